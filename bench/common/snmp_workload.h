// The SNMP messages that both sides of a comparison encode, decode and exchange: a
// GetRequest of 10 names and its Response with 10 bindings of mixed types. Plain data
// only, so that the programs built against the other SNMP library can include it too.
#pragma once

#include <cstdint>

namespace bench {

struct Name {
  std::uint32_t subids[16];
  std::uint32_t length;
};

// Printer-ish names as a discovery run asks for them.
inline constexpr Name kNames[10] = {
    {{1, 3, 6, 1, 2, 1, 1, 1, 0}, 9},
    {{1, 3, 6, 1, 2, 1, 1, 2, 0}, 9},
    {{1, 3, 6, 1, 2, 1, 1, 3, 0}, 9},
    {{1, 3, 6, 1, 2, 1, 2, 2, 1, 10, 1}, 11},
    {{1, 3, 6, 1, 2, 1, 1, 5, 0}, 9},
    {{1, 3, 6, 1, 2, 1, 4, 20, 1, 1, 192, 168, 1, 20}, 14},
    {{1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 6, 1}, 12},
    {{1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 5, 1}, 12},
    {{1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 16, 1}, 12},
    {{1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4, 1, 1}, 13},
};

// Value types by their BER tags.
enum : std::uint8_t {
  kInteger = 0x02,
  kOctets = 0x04,
  kObjectId = 0x06,
  kIpAddress = 0x40,
  kCounter32 = 0x41,
  kTimeTicks = 0x43,
  kCounter64 = 0x46,
};

// The type of the Response's binding i.
inline constexpr std::uint8_t kTypes[10] = {kOctets,    kObjectId, kTimeTicks, kCounter32,
                                            kOctets,    kIpAddress, kCounter64, kInteger,
                                            kOctets,    kCounter32};

inline constexpr std::int32_t kIntValue = 3;
inline constexpr char kText[] = "Office printer, second floor A";  // 30 bytes
inline constexpr std::uint32_t kOidValue[] = {1, 3, 6, 1, 4, 1, 2435, 2, 3, 9, 1};
inline constexpr std::uint32_t kOidValueLength = 11;
inline constexpr std::uint32_t kCounterValue = 3141592653u;
inline constexpr std::uint32_t kTicksValue = 123456789u;
inline constexpr std::uint8_t kAddressValue[4] = {192, 168, 1, 20};
inline constexpr std::uint32_t kCounter64High = 0x12u;
inline constexpr std::uint32_t kCounter64Low = 0x3456789Au;

inline constexpr char kCommunity[] = "vellum";

static_assert(sizeof kText - 1 == 30);

}  // namespace bench
