// Encoded text files: the key made from a text, the byte-wise rotation and mask that scramble
// and unscramble, and reading such a file line by line.
#include "kivo8/c_crypt.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace {

// Seven pairs of key byte numbers; pair p mod 7 picks the mask of position p.
constexpr uint32_t KEYTABLE[14] = {3, 1, 2, 0, 1, 3, 0, 2, 3, 2, 1, 0, 2, 1};

uint8_t rotl8(uint8_t b, uint32_t n) noexcept {
  n &= 7;
  if (n == 0) return b;
  return uint8_t((b << n) | (b >> (8 - n)));
}

uint8_t key_byte(uint32_t key, uint32_t i) noexcept { return uint8_t(key >> (8 * i)); }

struct Step {
  uint32_t rotation;
  uint8_t mask;
};

// The position's rotation and mask, then the counter moves on. The counter is taken as
// unsigned so that a value gone negative still indexes the table inside its bounds and
// wraps instead of overflowing.
Step step(uint32_t key, int32_t *counter) noexcept {
  const uint32_t p = counter != nullptr ? uint32_t(*counter) : 0;
  const std::size_t k = p % 7;
  Step s{p % 8, uint8_t(key_byte(key, KEYTABLE[2 * k]) ^ key_byte(key, KEYTABLE[2 * k + 1]))};
  if (counter != nullptr) *counter = int32_t(p + 1);
  return s;
}

int32_t as_signed(uint8_t b) noexcept { return int32_t(int8_t(b)); }

}  // namespace

extern "C" KIVO8_API uint32_t c_makekey(const char *text) noexcept {
  if (text == nullptr) return 0;
  uint32_t key = 0;
  for (std::size_t i = std::strlen(text); i > 0; --i)
    key = key * 37u + uint32_t(int32_t(static_cast<signed char>(text[i - 1])));
  return key;
}

extern "C" KIVO8_API int32_t c_rotateleft(int8_t byte, int32_t count) noexcept {
  return as_signed(rotl8(uint8_t(byte), uint32_t(count)));
}

extern "C" KIVO8_API int32_t c_encode(int8_t byte, uint32_t key, int32_t *counter) noexcept {
  if (key == 0) return byte;
  const Step s = step(key, counter);
  return as_signed(uint8_t(rotl8(uint8_t(byte), s.rotation) ^ s.mask));
}

extern "C" KIVO8_API int32_t c_decode(int8_t byte, uint32_t key, int32_t *counter) noexcept {
  if (key == 0) return byte;
  const Step s = step(key, counter);
  return as_signed(rotl8(uint8_t(uint8_t(byte) ^ s.mask), 8 - s.rotation));
}

extern "C" KIVO8_API char *c_fgets(char *buf, uint32_t size, FILE *stream, uint32_t key,
                                   int32_t *counter) noexcept {
  if (size == 0) return buf;
  if (buf == nullptr) return nullptr;
  if (size == 1) {
    buf[0] = '\0';
    return buf;
  }
  if (stream == nullptr) return nullptr;
  std::size_t stored = 0;
  const std::size_t room = std::size_t(size) - 1;
  flockfile(stream);
  while (stored < room) {
    // The stream stays locked (flockfile above) for the whole line.
    const int c = getc_unlocked(stream);  // NOLINT(concurrency-mt-unsafe)
    if (c == EOF) {
      if (stored == 0) {
        funlockfile(stream);
        return nullptr;
      }
      break;
    }
    const char d = char(c_decode(int8_t(uint8_t(c)), key, counter));
    if (d == '\n' || d == '\r') break;
    buf[stored++] = d;
  }
  funlockfile(stream);
  buf[stored] = '\0';
  return buf;
}

extern "C" KIVO8_API FILE *c_fopen(const char *path) noexcept {
  if (path == nullptr) return nullptr;
  return std::fopen(path, "rb");
}

extern "C" KIVO8_API int32_t c_fclose(FILE *stream) noexcept {
  if (stream == nullptr) return EOF;
  return std::fclose(stream);
}
