// Owners for stdio streams and malloc'd buffers.
#pragma once

#include <cstdio>
#include <memory>

#include "core/alloc.h"

namespace kivo8 {

struct FileCloser {
  void operator()(std::FILE *f) const noexcept {
    if (f != nullptr) (void)std::fclose(f);
  }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

struct MemFree {
  void operator()(void *p) const noexcept { mem_free(p); }
};
template <typename T>
using UniqueMem = std::unique_ptr<T, MemFree>;

}  // namespace kivo8
