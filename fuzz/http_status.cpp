// Status lines from any web server: parsed within the terminated text, never past it.
#include <cstddef>
#include <cstdint>

#include "fuzz_input.h"
#include "kivo8/tcp_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  auto text = kivo8::fuzz::exact_text(data, size);
  int32_t status = tcp_parse_http_status_line(text.get());
  if (status < -1 || status > 999) __builtin_trap();
  return 0;
}
