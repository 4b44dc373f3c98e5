// A printer's status from any IPP message the decoder takes: whatever its state, reasons
// and markers hold, the record stays within its caps and holds no number the message did
// not give.
#include <cstdint>
#include <cstdlib>

#include "fuzz_input.h"
#include "ipp/markers.h"
#include "ipp/message.h"
#include "kivo8/status.h"
#include "status/ipp.h"
#include "status/record.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  kivo8::fuzz::ExactCopy in(data, size);
  kivo8::ipp::Message m;
  if (kivo8::ipp::decode(std::span<const std::uint8_t>(in.bytes.get(), in.size), m) != kivo8::ipp::Decode::Ok)
    return 0;
  const kivo8::status::Status s = kivo8::status::from_ipp(kivo8::ipp::markers_of(m));
  kivo_status *r = kivo8::status::make_record(s);
  if (r == nullptr) return 0;
  if (r->supply_count > KIVO_STATUS_MAX_SUPPLIES) std::abort();
  for (std::uint32_t i = 0; i < r->supply_count; ++i) {
    const kivo_status_supply &c = r->supplies[i];
    if (c.percent < -1 || c.percent > 100 || (c.percent >= 0 && c.percent != c.level)) std::abort();
    if (c.max_capacity != KIVO_STATUS_ABSENT || c.level_is_space_remaining != 0) std::abort();
  }
  if ((r->errors >> KIVO_STATUS_ERROR_BITS) != 0) std::abort();
  kivo_status_free(r);
  return 0;
}
