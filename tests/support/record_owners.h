// Owners for the C records the discovery and status tests get from the library: a target
// entry or list, an engine handle, a status record. Each frees through the library's own
// function, so an assertion that returns early leaks nothing for LeakSanitizer or valgrind
// to report. (The session tests' owners are in session_helpers.h.)
#pragma once

#include <memory>

#include "kivo8/discover.h"
#include "kivo8/ifinfo.h"
#include "kivo8/status.h"

namespace kivo8::test {

// One entry alone: ifinfo_free leaves the entries linked to it where they are.
struct IfinfoFree {
  void operator()(ifinfo *entry) const { ifinfo_free(entry); }
};
using IfinfoEntry = std::unique_ptr<ifinfo, IfinfoFree>;

// A whole list: ifinfo_free_list frees every entry of the list the pointer is in.
struct IfinfoListFree {
  void operator()(ifinfo *head) const { ifinfo_free_list(head); }
};
using IfinfoList = std::unique_ptr<ifinfo, IfinfoListFree>;

struct DiscoverFree {
  void operator()(kivo_discover *h) const { kivo_discover_free(h); }
};
using DiscoverHandle = std::unique_ptr<kivo_discover, DiscoverFree>;

struct StatusFree {
  void operator()(kivo_status *s) const { kivo_status_free(s); }
};
using StatusRecord = std::unique_ptr<kivo_status, StatusFree>;

}  // namespace kivo8::test
