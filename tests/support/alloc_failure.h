// Allocation-failure sweeps: run a creator with its 1st, 2nd, ... allocation failing
// (once alone, once with every later allocation failing too) until it succeeds.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>

#include "core/alloc.h"

namespace kivo8::test {

// `attempt` runs the code under test and returns true when it succeeded; it must check
// the failure result itself and release whatever a success produced. Returns the number
// of allocations the successful run made.
inline std::uint64_t sweep_allocation_failures(const std::function<bool()> &attempt,
                                               std::uint64_t limit = 10000) {
  for (bool and_after : {false, true}) {
    for (std::uint64_t n = 1; n <= limit; ++n) {
      SCOPED_TRACE(testing::Message() << "allocation " << n << (and_after ? " onwards" : "")
                                      << " fails");
      alloc_testing::fail_nth(n, and_after);
      bool ok = attempt();
      bool injected = alloc_testing::injected();
      alloc_testing::reset();
      if (!injected) {
        EXPECT_TRUE(ok) << "no failure was injected, yet the call failed";
        if (!and_after) break;
        return n - 1;
      }
      if (testing::Test::HasFatalFailure()) return 0;
    }
  }
  return 0;
}

}  // namespace kivo8::test
