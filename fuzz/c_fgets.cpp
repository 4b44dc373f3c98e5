// Scrambled files of any content, key and buffer size: c_fgets stays in its buffer and its
// counter stays in step with the bytes read.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "fuzz_input.h"
#include "kivo8/c_crypt.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size < 5) return 0;
  uint32_t key;
  std::memcpy(&key, data, 4);
  const uint32_t buf_size = data[4] % 80;
  kivo8::fuzz::ExactCopy file(data + 5, size - 5);
  FILE *f = fmemopen(file.size != 0 ? file.bytes.get() : nullptr, file.size, "rb");
  if (f == nullptr) return 0;
  std::unique_ptr<char[]> buf(new char[buf_size == 0 ? 1 : buf_size]);
  int32_t counter = 0;
  for (std::size_t calls = 0; calls <= file.size + 1; ++calls) {
    char *line = c_fgets(buf.get(), buf_size, f, key, &counter);
    if (buf_size < 2) break;  // those sizes read nothing
    if (line == nullptr) break;
    if (std::strlen(line) >= buf_size) __builtin_trap();
    if (key != 0 && long(counter) != std::ftell(f)) __builtin_trap();
  }
  std::fclose(f);
  return 0;
}
