// The status decoder on bindings made here: the error-state bits, the percentage rules,
// receptacles, and the quirks real devices show (odd texts, odd numbers, gaps, floods).
#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "status/model.h"

namespace kivo8::status {
namespace {

using Oid = std::vector<std::uint32_t>;

constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kOctets = 0x04;
constexpr std::uint8_t kCounter = 0x41;
constexpr std::uint8_t kTicks = 0x43;
constexpr std::uint8_t kNoSuchObject = 0x80;

// Bindings with storage of their own, as exact-size copies so that ASan sees any read
// past a value.
class Bindings {
 public:
  Bindings &add(Oid name, std::uint8_t type, std::vector<std::uint8_t> value) {
    names_.push_back(std::move(name));
    values_.push_back(std::move(value));
    types_.push_back(type);
    return *this;
  }
  Bindings &integer(Oid name, std::int32_t v) {
    std::vector<std::uint8_t> bytes(4);
    std::memcpy(bytes.data(), &v, 4);
    return add(std::move(name), kInteger, bytes);
  }
  Bindings &unsigned32(Oid name, std::uint8_t type, std::uint32_t v) {
    std::vector<std::uint8_t> bytes(4);
    std::memcpy(bytes.data(), &v, 4);
    return add(std::move(name), type, bytes);
  }
  Bindings &text(Oid name, const std::string &t) {
    return add(std::move(name), kOctets, std::vector<std::uint8_t>(t.begin(), t.end()));
  }
  Status decode(std::uint32_t address = 0) const {
    std::vector<Binding> list;
    for (std::size_t i = 0; i < names_.size(); ++i)
      list.push_back({names_[i], types_[i], values_[i]});
    return status::decode(list, address);
  }

 private:
  std::deque<Oid> names_;
  std::deque<std::vector<std::uint8_t>> values_;
  std::vector<std::uint8_t> types_;
};

Oid with(oid::Name prefix, std::initializer_list<std::uint32_t> rest = {}) {
  Oid out(prefix.begin(), prefix.end());
  out.insert(out.end(), rest);
  return out;
}

Oid supply(std::uint32_t column, std::uint32_t index, std::uint32_t device = 1) {
  return with(oid::kPrtSuppliesEntry, {column, device, index});
}
Oid alert(std::uint32_t column, std::uint32_t index) {
  return with(oid::kPrtAlertEntry, {column, 1, index});
}

TEST(StatusErrorBits, BitZeroIsTheTopBitOfTheFirstOctet) {
  struct {
    const char *name;
    std::vector<std::uint8_t> octets;
    std::uint32_t bits;
  } cases[] = {
      {"empty string: no error", {}, 0},
      {"one octet, lowPaper", {0x80}, 1u << 0},
      {"one octet, jammed and offline", {0x06}, (1u << 5) | (1u << 6)},
      {"serviceRequested is the last bit of octet one", {0x01}, 1u << 7},
      {"second octet, inputTrayMissing", {0x00, 0x80}, 1u << 8},
      {"second octet, overduePreventMaint", {0x00, 0x02}, 1u << 14},
      {"undefined bit 15 gives no name", {0x00, 0x01}, 0},
      {"all defined bits", {0xff, 0xfe}, 0x7fff},
      {"octets past the second are ignored", {0x00, 0x00, 0xff, 0xff}, 0},
      {"one octet: the second octet's bits are not read", {0x00}, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::uint8_t> exact(c.octets);
    EXPECT_EQ(error_bits(exact), c.bits);
    auto s = Bindings().add(with(oid::kHrPrinterErrorState, {1}), kOctets, c.octets).decode();
    ASSERT_TRUE(s.errors.has_value());
    EXPECT_EQ(*s.errors, c.bits);
  }
}

TEST(StatusErrorBits, IntegerInsteadOfOctetsIsNoErrorState) {
  auto s = Bindings().integer(with(oid::kHrPrinterErrorState, {1}), 4).decode();
  EXPECT_FALSE(s.errors.has_value());
}

TEST(StatusSupplies, PercentOnlyWhereTheNumbersDefineOne) {
  constexpr std::int32_t kNone = INT32_MIN;
  struct {
    const char *name;
    std::int32_t unit, max, level;
    std::optional<std::int32_t> percent;
  } cases[] = {
      {"half full", 7, 2000, 1000, 50},
      {"rounded to nearest", 7, 3, 2, 67},
      {"empty", 7, 100, 0, 0},
      {"full", 7, 100, 100, 100},
      {"no restriction", 7, 100, -1, std::nullopt},
      {"unknown level", 7, 100, -2, std::nullopt},
      {"some remaining", 7, 100, -3, std::nullopt},
      {"max 0 gives no division", 7, 0, 0, std::nullopt},
      {"max unlimited", 7, -1, 50, std::nullopt},
      {"max unknown", 7, -2, 50, std::nullopt},
      {"level above max is not 100%", 7, 100, 150, std::nullopt},
      {"large numbers do not overflow", 7, INT32_MAX, INT32_MAX - 1, 100},
      {"unit percent is already a percentage", 19, 200, 40, 40},
      {"unit percent with unknown max", 19, -2, 40, 40},
      {"unit percent above 100", 19, 100, 120, std::nullopt},
      {"no max given", 7, kNone, 50, std::nullopt},
      {"no level given", 7, 100, kNone, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Bindings b;
    b.integer(supply(7, 1), c.unit);
    if (c.max != kNone) b.integer(supply(8, 1), c.max);
    if (c.level != kNone) b.integer(supply(9, 1), c.level);
    auto s = b.decode();
    ASSERT_EQ(s.supplies.size(), 1u);
    EXPECT_EQ(s.supplies[0].percent(), c.percent);
    // The raw numbers stay as the device gave them.
    if (c.level != kNone) {
      EXPECT_EQ(s.supplies[0].level, c.level);
    }
    if (c.max != kNone) {
      EXPECT_EQ(s.supplies[0].max_capacity, c.max);
    }
  }
}

TEST(StatusSupplies, ReceptacleSaysItsLevelIsSpaceRemaining) {
  auto s = Bindings()
               .integer(supply(4, 1), 3)
               .integer(supply(5, 1), 3)
               .integer(supply(4, 2), 4)
               .integer(supply(5, 2), 4)
               .integer(supply(8, 2), 100)
               .integer(supply(9, 2), 20)
               .decode();
  ASSERT_EQ(s.supplies.size(), 2u);
  EXPECT_FALSE(s.supplies[0].is_receptacle());
  EXPECT_TRUE(s.supplies[1].is_receptacle());
  EXPECT_EQ(s.supplies[1].percent(), 20);
}

TEST(StatusSupplies, ColorantJoinedThroughItsIndexAndGapsKept) {
  auto s = Bindings()
               .text(with(oid::kPrtColorantValue, {1, 1}), "black")
               .text(with(oid::kPrtColorantValue, {1, 2}), "cyan")
               .integer(supply(3, 7), 2)
               .text(supply(6, 7), "Cyan Toner")
               .integer(supply(3, 2), 1)
               .integer(supply(3, 40), 9)  // a colorant that is not in the table
               .integer(supply(3, 41), 0)  // no colorant
               .decode();
  ASSERT_EQ(s.supplies.size(), 4u);
  EXPECT_EQ(s.supplies[0].index, 2);
  EXPECT_EQ(s.supplies[0].colorant, "black");
  EXPECT_EQ(s.supplies[1].index, 7);
  EXPECT_EQ(s.supplies[1].colorant, "cyan");
  EXPECT_EQ(s.supplies[1].description, "Cyan Toner");
  EXPECT_FALSE(s.supplies[2].colorant.has_value());
  EXPECT_FALSE(s.supplies[3].colorant.has_value());
}

TEST(StatusSupplies, DescriptionBytesKeptExactly) {
  const std::string odd("Toner\0\r\n\xff\xfe\"<script>", 19);
  auto s = Bindings().text(supply(6, 1), odd).decode();
  ASSERT_EQ(s.supplies.size(), 1u);
  EXPECT_EQ(s.supplies[0].description, odd);
}

TEST(StatusSupplies, ThousandsOfRowsAreCapped) {
  Bindings b;
  for (std::uint32_t i = 1; i <= 5000; ++i) b.integer(supply(9, i), 10);
  for (std::uint32_t i = 1; i <= 5000; ++i) b.integer(alert(2, i), 3);
  auto s = b.decode();
  EXPECT_EQ(s.supplies.size(), kMaxSupplies);
  EXPECT_TRUE(s.supplies_truncated);
  EXPECT_EQ(s.supplies.back().index, static_cast<std::int32_t>(kMaxSupplies));
  EXPECT_EQ(s.alerts.size(), kMaxAlerts);
  EXPECT_TRUE(s.alerts_truncated);
}

TEST(StatusSupplies, MalformedBindingsAreIgnored) {
  auto s = Bindings()
               .add(supply(9, 1), kInteger, {1, 2, 3})         // short integer
               .add(supply(8, 1), kNoSuchObject, {})           // exception value
               .text(supply(5, 1), "3")                        // text where a number goes
               .integer(with(oid::kPrtSuppliesEntry, {9, 1}), 5)  // index too short
               .integer(with(oid::kPrtSuppliesEntry, {9, 1, 2, 3}), 5)  // too long
               .integer(supply(9, 0x80000000u), 5)             // index beyond Integer32
               .decode();
  ASSERT_EQ(s.supplies.size(), 1u);
  EXPECT_FALSE(s.supplies[0].level.has_value());
  EXPECT_FALSE(s.supplies[0].max_capacity.has_value());
  EXPECT_FALSE(s.supplies[0].type.has_value());
}

TEST(StatusAlerts, RowsWithEveryColumnAndAnEmptyTable) {
  auto s = Bindings()
               .integer(alert(2, 5), 3)
               .integer(alert(3, 5), 4)
               .integer(alert(4, 5), 13)
               .integer(alert(7, 5), 8)
               .text(alert(8, 5), "Paper jam\r\nin tray 2")
               .decode();
  ASSERT_EQ(s.alerts.size(), 1u);
  EXPECT_EQ(s.alerts[0].index, 5);
  EXPECT_EQ(s.alerts[0].severity, 3);
  EXPECT_EQ(s.alerts[0].training_level, 4);
  EXPECT_EQ(s.alerts[0].group, 13);
  EXPECT_EQ(s.alerts[0].code, 8);
  EXPECT_EQ(s.alerts[0].description, "Paper jam\r\nin tray 2");
  EXPECT_FALSE(s.alerts_truncated);

  auto none = Bindings().decode();
  EXPECT_TRUE(none.alerts.empty());
  EXPECT_TRUE(none.supplies.empty());
  EXPECT_FALSE(none.printer_status || none.device_status || none.errors || none.page_count ||
               none.serial || none.mac);
}

TEST(StatusState, ThePrinterIsTheLowestDeviceWithAPrinterRow) {
  // hrDeviceTable lists the network card (1) before the printer (3); the card's status
  // must not be reported as the printer's.
  auto s = Bindings()
               .integer(with(oid::kHrDeviceStatus, {1}), 5)
               .integer(with(oid::kHrDeviceStatus, {3}), 3)
               .integer(with(oid::kHrPrinterStatus, {3}), 4)
               .add(with(oid::kHrPrinterErrorState, {3}), kOctets, {0x04})
               .text(with(oid::kPrtSerial, {3}), "SN-3")
               .unsigned32(with(oid::kPrtLifeCount, {3, 1}), kCounter, 123456)
               .unsigned32(with(oid::kPrtLifeCount, {3, 2}), kCounter, 9)
               .text(with(oid::kPrtConsoleText, {3, 1}), "Ready")
               .text(with(oid::kPrtConsoleText, {3, 2}), "Tray 2 low")
               .unsigned32(with(oid::kSysUpTime), kTicks, 4200)
               .text(with(oid::kSysLocation), "2nd floor")
               .text(with(oid::kSysContact), "help desk")
               .decode();
  EXPECT_EQ(s.printer_status, 4);
  EXPECT_EQ(s.device_status, 3);
  EXPECT_EQ(s.errors, 1u << 5);
  EXPECT_EQ(s.serial, "SN-3");
  EXPECT_EQ(s.page_count, 123456u);
  EXPECT_EQ(s.display, (std::vector<std::string>{"Ready", "Tray 2 low"}));
  EXPECT_EQ(s.uptime_ticks, 4200u);
  EXPECT_EQ(s.location, "2nd floor");
  EXPECT_EQ(s.contact, "help desk");
}

TEST(StatusState, MacOfTheInterfaceThatHoldsTheAddressAsked) {
  std::uint32_t address = 0;
  const std::uint8_t octets[4] = {192, 0, 2, 7};
  std::memcpy(&address, octets, 4);
  struct {
    const char *name;
    Bindings bindings;
    std::optional<std::string> mac;
  } cases[] = {
      {"second interface answers",
       Bindings()
           .integer(with(oid::kIpAdEntIfIndex, {127, 0, 0, 1}), 1)
           .integer(with(oid::kIpAdEntIfIndex, {192, 0, 2, 7}), 2)
           .text(with(oid::kIfPhysAddress, {1}), "")
           .add(with(oid::kIfPhysAddress, {2}), kOctets, {0x00, 0x1b, 0xa9, 0x3c, 0x4d, 0xfe}),
       "00:1b:a9:3c:4d:fe"},
      {"the newer address table",
       Bindings()
           .integer(with(oid::kIpAddressIfIndex, {1, 4, 192, 0, 2, 7}), 3)
           .integer(with(oid::kIpAddressIfIndex, {1, 4, 192, 0, 2, 8}), 2)
           .add(with(oid::kIfPhysAddress, {2}), kOctets, {1, 2, 3, 4, 5, 6})
           .add(with(oid::kIfPhysAddress, {3}), kOctets, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}),
       "aa:bb:cc:dd:ee:ff"},
      {"an IPv6 row of the newer table is not ours",
       Bindings()
           .integer(with(oid::kIpAddressIfIndex, {2, 4, 192, 0, 2, 7}), 3)
           .add(with(oid::kIfPhysAddress, {3}), kOctets, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}),
       std::nullopt},
      {"no address entry: no guess",
       Bindings().add(with(oid::kIfPhysAddress, {2}), kOctets, {1, 2, 3, 4, 5, 6}),
       std::nullopt},
      {"empty physical address", Bindings()
                                     .integer(with(oid::kIpAdEntIfIndex, {192, 0, 2, 7}), 2)
                                     .text(with(oid::kIfPhysAddress, {2}), ""),
       std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.bindings.decode(address).mac, c.mac);
  }
}

TEST(StatusState, LongTextsAreCut) {
  auto s = Bindings().text(with(oid::kSysLocation), std::string(100000, 'x')).decode();
  ASSERT_TRUE(s.location.has_value());
  EXPECT_EQ(s.location->size(), kMaxText);
}

}  // namespace
}  // namespace kivo8::status
