// Scope texts from saved search targets or a user: decoding, splitting and joining must
// stay inside their buffers, and what is joined must split back into the same names.
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz_input.h"
#include "kivo8/slp_sess.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // The decoder prints two lines per call; keep them out of the fuzzer's log.
  static bool quiet = std::freopen("/dev/null", "w", stdout) != nullptr;
  (void)quiet;
  auto text = kivo8::fuzz::exact_text(data, size);

  if (char *decoded = slp_scope_decode(text.get())) {
    if (std::strlen(decoded) > size) __builtin_trap();
    slp_free_tmp_ptr(decoded);
  }
  if (char *encoded = slp_scope_encode(text.get())) {
    char *back = slp_scope_decode(encoded);
    if (back == nullptr || std::strcmp(back, text.get()) != 0) __builtin_trap();
    slp_free_tmp_ptr(back);
    slp_free_tmp_ptr(encoded);
  }

  slp_slist *list = slp_scopes_to_slist(text.get());
  if (char *joined = slp_slist_to_scopes(list)) {
    slp_slist *again = slp_scopes_to_slist(joined);
    // Joining escapes every name, so the split of the joined text has the same count.
    if (slp_slist_count(again) != slp_slist_count(list)) __builtin_trap();
    slp_free_slist(again);
    slp_free_tmp_ptr(joined);
  }
  slp_free_slist(list);
  return 0;
}
