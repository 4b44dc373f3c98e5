// The one place where the library allocates memory that crosses the C interface.
//
// Every record handed to a caller, and every buffer that such a record owns, comes from
// these functions (malloc family underneath, so callers and the library's own _free
// functions can release it with kivo8::mem_free / free). Tests can make the n-th
// allocation fail, or every allocation from the n-th on, and check that each creator
// gives its failure result with nothing leaked or half-linked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kivo8 {

void *mem_alloc(std::size_t size) noexcept;
void *mem_calloc(std::size_t count, std::size_t size) noexcept;
void *mem_realloc(void *block, std::size_t size) noexcept;
char *mem_strdup(const char *text) noexcept;
// A copy of the first `len` bytes of `text`, always terminated.
char *mem_strndup(const char *text, std::size_t len) noexcept;
void mem_free(void *block) noexcept;

// For a module that keeps freed records of its own to hand out again: counts one
// allocation for the failure hook below, and tells whether that allocation must fail, so
// that records from such a cache fail under the hook as malloc'd ones do.
bool mem_injected_failure() noexcept;

// Typed zeroed allocation of one record. malloc and a clear rather than calloc: glibc's
// calloc bypasses the per-thread cache, and records such as decoded bindings are made and
// freed by the dozen per message.
template <typename T>
T *mem_new() noexcept {
  void *block = mem_alloc(sizeof(T));
  if (block != nullptr) std::memset(block, 0, sizeof(T));
  return static_cast<T *>(block);
}

namespace alloc_testing {
// Fails the n-th allocation counted from this call (1 = the next one); with `and_after`
// every later allocation fails too. n = 0 turns injection off.
void fail_nth(std::uint64_t n, bool and_after = false) noexcept;
void reset() noexcept;
// Allocations made since the last fail_nth/reset, failed ones included.
std::uint64_t count() noexcept;
// True once an injected failure has been handed out since the last fail_nth/reset.
bool injected() noexcept;
}  // namespace alloc_testing

}  // namespace kivo8
