// The one place where C++ failures become the C interface's results.
#pragma once

#include <exception>
#include <utility>

namespace kivo8 {

// Runs `body` and returns its result; any exception (bad_alloc from a standard
// container, say) becomes `on_error`, so nothing ever leaves an extern "C" function.
template <typename R, typename F>
R guarded(R on_error, F &&body) noexcept {
  try {
    return std::forward<F>(body)();
  } catch (...) {
    return on_error;
  }
}

// The same for functions that return nothing.
template <typename F>
void guarded_void(F &&body) noexcept {
  try {
    std::forward<F>(body)();
  } catch (...) {
  }
}

}  // namespace kivo8
