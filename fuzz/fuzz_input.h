// Hands each fuzz input to the code in a heap block of exactly its size, so that
// AddressSanitizer sees the first byte read past the end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace kivo8::fuzz {

struct ExactCopy {
  ExactCopy(const std::uint8_t *data, std::size_t size)
      : bytes(new std::uint8_t[size == 0 ? 1 : size]), size(size) {
    if (size != 0) std::memcpy(bytes.get(), data, size);
  }
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size;
};

// The input as a terminated text of exactly size + 1 bytes (embedded zeros kept).
inline std::unique_ptr<char[]> exact_text(const std::uint8_t *data, std::size_t size) {
  std::unique_ptr<char[]> text(new char[size + 1]);
  if (size != 0) std::memcpy(text.get(), data, size);
  text[size] = '\0';
  return text;
}

}  // namespace kivo8::fuzz
