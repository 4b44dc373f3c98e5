#include "kivo8/common_utils.h"

#include <cstddef>
#include <cstring>

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
  const std::size_t last = std::size_t(size) - 1;  // places before the terminator
  std::size_t used = 0;
  for (; *src != '\0' && used < last; ++src) {
    const char c = *src;
    if (c == ',' || c == '\\') {
      // Half an escape pair would change the name's meaning: refuse rather than cut it.
      if (used + 1 >= last) {
        dst[0] = '\0';
        return -1;
      }
      dst[used++] = '\\';
    }
    dst[used++] = c;
  }
  dst[used] = '\0';
  return int32_t(used);
}
