// The status decoder over bindings made from the input: each binding picks one of the
// objects the decoder reads (or an unrelated one), an index of up to five sub-identifiers,
// a value type and value bytes, each value in a heap block of exactly its size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/bytes.h"
#include "fuzz_input.h"
#include "status/model.h"

namespace {

using Oid = std::vector<std::uint32_t>;

const kivo8::status::oid::Name kRoots[] = {
    kivo8::status::oid::kSysUpTime,        kivo8::status::oid::kSysContact,
    kivo8::status::oid::kSysLocation,      kivo8::status::oid::kIfPhysAddress,
    kivo8::status::oid::kIpAdEntIfIndex,   kivo8::status::oid::kHrDeviceStatus,
    kivo8::status::oid::kHrPrinterStatus,  kivo8::status::oid::kHrPrinterErrorState,
    kivo8::status::oid::kPrtSerial,        kivo8::status::oid::kPrtLifeCount,
    kivo8::status::oid::kPrtSuppliesEntry, kivo8::status::oid::kPrtColorantValue,
    kivo8::status::oid::kPrtConsoleText,   kivo8::status::oid::kPrtAlertEntry,
    kivo8::status::oid::kIpAddressIfIndex,
};
constexpr std::uint8_t kTypes[] = {0x02, 0x04, 0x41, 0x42, 0x43, 0x80, 0x81, 0x05};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  kivo8::ByteReader in(data, size);
  std::vector<Oid> names;
  std::vector<std::unique_ptr<std::uint8_t[]>> values;
  std::vector<kivo8::status::Binding> bindings;
  names.reserve(size);
  while (!in.empty() && bindings.size() < 20000) {
    auto root = in.u8(), count = in.u8(), type = in.u8(), length = in.u8();
    if (!root || !count || !type || !length) break;
    auto root_name = kRoots[*root % std::size(kRoots)];
    Oid name(root_name.begin(), root_name.end());
    if ((*root & 0x80) != 0 && !name.empty()) name.pop_back();  // names outside the objects
    for (int i = 0; i < *count % 6; ++i) {
      auto sub = in.u8();
      if (!sub) break;
      name.push_back(*sub == 0xff ? 0x80000000u : *sub);
    }
    auto bytes = in.take(*length);
    if (!bytes) break;
    std::unique_ptr<std::uint8_t[]> value(new std::uint8_t[bytes->size() + 1]);
    if (!bytes->empty()) std::memcpy(value.get(), bytes->data(), bytes->size());
    names.push_back(std::move(name));
    bindings.push_back({names.back(), kTypes[*type % std::size(kTypes)],
                        std::span<const std::uint8_t>(value.get(), bytes->size())});
    values.push_back(std::move(value));
  }
  std::uint32_t address = 0x0100007f;
  auto status = kivo8::status::decode(bindings, address);
  if (status.supplies.size() > kivo8::status::kMaxSupplies) std::abort();
  if (status.alerts.size() > kivo8::status::kMaxAlerts) std::abort();
  if (status.display.size() > kivo8::status::kMaxDisplayLines) std::abort();
  for (const auto &s : status.supplies) {
    auto p = s.percent();
    if (p && (*p < 0 || *p > 100)) std::abort();
  }
  return 0;
}
