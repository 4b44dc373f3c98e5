// The IPP message decoder against libcups's ippReadIO: both must accept and refuse the
// same messages (but for the departures named in ipp_cups.h) and read the same values.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "fuzz_input.h"
#include "support/ipp_cups.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  kivo8::fuzz::ExactCopy in(data, size);
  const std::string why =
      kivo8::test::ipp::disagreement(std::span<const std::uint8_t>(in.bytes.get(), in.size));
  if (!why.empty()) {
    (void)std::fprintf(stderr, "%s\n", why.c_str());
    std::abort();
  }
  return 0;
}
