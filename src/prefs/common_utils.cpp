// The small text rules of saved values: cutting a line at its end, and splitting and
// building comma-separated fields with backslash escapes.
#include "kivo8/common_utils.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

#include "core/guard.h"
#include "prefs/preference_internal.h"

namespace kivo8::prefs {

void append_escaped(std::string &out, std::string_view name) {
  for (const char c : name) {
    if (c == ',' || c == '\\') out += '\\';
    out += c;
  }
}

}  // namespace kivo8::prefs

extern "C" KIVO8_API void remove_tailnl(char *s) noexcept {
  if (s == nullptr) return;
  // Every line end goes, from the back, so the string ends at its first CR or LF.
  for (std::size_t i = std::strlen(s); i > 0; --i)
    if (s[i - 1] == '\r' || s[i - 1] == '\n') s[i - 1] = '\0';
}

extern "C" KIVO8_API const char *next_token(const char *src, char *dst, uint32_t size) noexcept {
  if (src == nullptr || dst == nullptr || size == 0) return src;
  std::size_t copied = 0;
  // A field that fills the buffer stops where it is; its rest is read as the next field.
  while (copied < std::size_t(size) - 1) {
    char c = *src;
    if (c == '\0') break;
    if (c == ',') {
      ++src;
      break;
    }
    if (c == '\\') {
      ++src;
      if (*src == '\0') break;
      c = *src;
    }
    dst[copied++] = c;
    ++src;
  }
  dst[copied] = '\0';
  return src;
}

extern "C" KIVO8_API int32_t name_copy_with_encode(char *dst, const char *src,
                                                   int32_t size) noexcept {
  if (dst == nullptr || size < 1) return -1;
  dst[0] = '\0';
  if (src == nullptr) return -1;
  return kivo8::guarded(-1, [&]() -> int32_t {
    const std::size_t last = std::size_t(size) - 1;  // places before the terminator
    // No more of the source than can reach the buffer is escaped.
    std::string escaped;
    kivo8::prefs::append_escaped(escaped, std::string_view(src, strnlen(src, last + 1)));
    // The escaped text fits whole, or is cut at the last place: plain characters beyond it
    // are dropped, but half an escape pair would change the name's meaning, so a pair
    // that the cut splits fails the call rather than cut it.
    std::size_t used = 0;
    while (used < last && used < escaped.size()) used += escaped[used] == '\\' ? 2 : 1;
    if (used > last) {
      dst[0] = '\0';
      return -1;
    }
    std::memcpy(dst, escaped.data(), used);
    dst[used] = '\0';
    return int32_t(used);
  });
}
