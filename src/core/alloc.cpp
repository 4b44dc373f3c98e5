#include "core/alloc.h"

#include <atomic>
#include <cstdlib>

namespace kivo8 {
namespace {

std::atomic<std::uint64_t> g_calls{0};
std::atomic<std::uint64_t> g_fail_at{0};  // 0: never fail
std::atomic<bool> g_fail_after{false};
std::atomic<bool> g_injected{false};

// Counts the call and says whether this one must fail. Relaxed ordering is enough: the
// hook is a test aid, set up before the code under test runs.
bool should_fail() noexcept {
  const std::uint64_t at = g_fail_at.load(std::memory_order_relaxed);
  const std::uint64_t n = g_calls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (at == 0) return false;
  const bool fail = g_fail_after.load(std::memory_order_relaxed) ? n >= at : n == at;
  if (fail) g_injected.store(true, std::memory_order_relaxed);
  return fail;
}

}  // namespace

void *mem_alloc(std::size_t size) noexcept {
  if (should_fail()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

void *mem_calloc(std::size_t count, std::size_t size) noexcept {
  if (should_fail()) return nullptr;
  if (count == 0 || size == 0) count = size = 1;
  return std::calloc(count, size);
}

void *mem_realloc(void *block, std::size_t size) noexcept {
  if (should_fail()) return nullptr;
  return std::realloc(block, size == 0 ? 1 : size);
}

char *mem_strndup(const char *text, std::size_t len) noexcept {
  if (text == nullptr) return nullptr;
  auto *copy = static_cast<char *>(mem_alloc(len + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text, len);
  copy[len] = '\0';
  return copy;
}

char *mem_strdup(const char *text) noexcept {
  if (text == nullptr) return nullptr;
  return mem_strndup(text, std::strlen(text));
}

void mem_free(void *block) noexcept { std::free(block); }

bool mem_injected_failure() noexcept { return should_fail(); }

namespace alloc_testing {
void fail_nth(std::uint64_t n, bool and_after) noexcept {
  g_calls.store(0);
  g_injected.store(false);
  g_fail_after.store(and_after);
  g_fail_at.store(n);
}
void reset() noexcept { fail_nth(0, false); }
std::uint64_t count() noexcept { return g_calls.load(); }
bool injected() noexcept { return g_injected.load(); }
}  // namespace alloc_testing

}  // namespace kivo8
