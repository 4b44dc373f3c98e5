// Shared between the files of the search-target module; not part of the interface.
#pragma once

#include "kivo8/ifinfo.h"

namespace kivo8 {

// Head of the library's global list of search targets; empty at load time.
extern ifinfo *ifinfo_root;

// A null head_ref or first stands for the global list.
inline ifinfo **_ifinfo_head(ifinfo **head_ref) noexcept {
  return head_ref != nullptr ? head_ref : &ifinfo_root;
}
inline ifinfo *_ifinfo_first(ifinfo *first) noexcept {
  return first != nullptr ? first : ifinfo_root;
}

}  // namespace kivo8
