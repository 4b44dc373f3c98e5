// The IPP message decoder on any bytes; what it accepts must encode and decode again to
// the same message.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "fuzz_input.h"
#include "ipp/message.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  kivo8::fuzz::ExactCopy in(data, size);
  kivo8::ipp::Message m;
  if (kivo8::ipp::decode(std::span<const std::uint8_t>(in.bytes.get(), in.size), m) !=
      kivo8::ipp::Decode::Ok)
    return 0;
  std::vector<std::uint8_t> again;
  if (!kivo8::ipp::encode(m, again)) std::abort();
  kivo8::ipp::Message m2;
  if (kivo8::ipp::decode(again, m2) != kivo8::ipp::Decode::Ok) std::abort();
  std::vector<std::uint8_t> third;
  if (!kivo8::ipp::encode(m2, third) || third != again) std::abort();
  return 0;
}
