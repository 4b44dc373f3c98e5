// The HTTP response reader on any bytes, fed whole and in two pieces: both must agree.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "ipp/http.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  kivo8::fuzz::ExactCopy in(data, size);
  const std::span<const std::uint8_t> all(in.bytes.get(), in.size);
  kivo8::ipp::HttpResponseReader whole;
  whole.feed(all);
  const auto a = whole.finish();
  kivo8::ipp::HttpResponseReader split;
  split.feed(all.first(size / 2));
  split.feed(all.subspan(size / 2));
  const auto b = split.finish();
  if (a != b || whole.body() != split.body()) std::abort();
  if (whole.body().size() > kivo8::ipp::kMaxBody) std::abort();
  return 0;
}
