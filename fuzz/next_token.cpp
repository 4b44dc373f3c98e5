// Field splitting and escaping: next_token must stay inside its source and its buffer,
// and an encoded name must read back as itself.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz_input.h"
#include "kivo8/common_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 1) return 0;
  const uint32_t field_size = 1 + data[0] % 64;
  auto text = kivo8::fuzz::exact_text(data + 1, size - 1);
  const char *end = text.get() + std::strlen(text.get());

  std::unique_ptr<char[]> field(new char[field_size]);
  const char *p = text.get();
  // Every call but one at the end moves on, so the loop is bounded by the text's length.
  for (std::size_t calls = 0; calls <= size; ++calls) {
    const char *next = next_token(p, field.get(), field_size);
    if (next < p || next > end) __builtin_trap();
    if (std::strlen(field.get()) >= field_size) __builtin_trap();
    if (next == p) break;
    p = next;
  }

  const int32_t room = int32_t(2 * std::strlen(text.get()) + 1);
  std::unique_ptr<char[]> encoded(new char[std::size_t(room)]);
  const int32_t n = name_copy_with_encode(encoded.get(), text.get(), room);
  if (n < 0 || std::size_t(n) != std::strlen(encoded.get())) __builtin_trap();
  std::unique_ptr<char[]> decoded(new char[std::size_t(room)]);
  const char *rest = next_token(encoded.get(), decoded.get(), uint32_t(room));
  if (*rest != '\0' || std::strcmp(decoded.get(), text.get()) != 0) __builtin_trap();

  // A tight buffer: either a clean refusal (empty, -1) or a prefix of the full encoding.
  const int32_t tight = 1 + data[0] % 16;
  std::unique_ptr<char[]> small(new char[std::size_t(tight)]);
  const int32_t m = name_copy_with_encode(small.get(), text.get(), tight);
  if (m == -1 ? small[0] != '\0' : std::strncmp(small.get(), encoded.get(), std::size_t(m)) != 0)
    __builtin_trap();
  return 0;
}
