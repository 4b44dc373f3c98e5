#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

#include "kivo8/device.h"
#include "kivo8/mt_support.h"

namespace {

using Predicate = uint32_t (*)(const device_record *) noexcept;

// Column order of the expectation strings below.
const struct {
  const char *name;
  Predicate fn;
} predicates[] = {
    {"isStdMibPrinter", device_isStdMibPrinter},
    {"isNAB", device_isNAB},
    {"isNoSNMP", device_isNoSNMP},
    {"is_alive", device_is_alive},
    {"mustbe_alive", device_mustbe_alive},
    {"isNotConfig", device_isNotConfig},
    {"isNotConfigPrinter", device_isNotConfigPrinter},
    {"isConnTerminated", device_isConnTerminated},
    {"isConnTerminatedPrinter", device_isConnTerminatedPrinter},
    {"isZarno", device_isZarno},
    {"isZarnoPrinter", device_isZarnoPrinter},
    {"isPrinter", device_isPrinter},
    {"isActivePrinter", device_isActivePrinter},
    {"isConnected", device_isConnected},
    {"isNotUsed", device_isNotUsed},
};

struct PredicateCase {
  const char *name;
  int32_t status;
  bool target;
  std::optional<int32_t> type;  // no value: no info
  // One digit per predicate, in the order of the table above:
  //                 StdMib NAB NoSNMP alive must NotCfg NotCfgPr Term TermPr Zarno ZarnoPr
  //                 Printer Active Connected NotUsed
  const char *expected;
};

const PredicateCase cases[] = {
    {"no_info_status_0", 0, true, std::nullopt, "000111100000000"},
    {"no_info_status_6", 6, true, std::nullopt, "000111000000000"},
    {"no_info_status_20", 20, true, std::nullopt, "000001010000000"},
    {"no_info_status_31", 31, true, std::nullopt, "000001000000000"},
    {"no_info_status_32", 32, true, std::nullopt, "000001100000000"},
    {"no_info_no_target", 0, false, std::nullopt, "000001000000000"},
    {"no_info_lowest_status", INT32_MIN, true, std::nullopt, "000111100000000"},
    {"stdmib_negative_status", -5, true, 200, "100110000001110"},
    {"stdmib_not_configured", 100, true, 200, "100111000001100"},
    {"nab_not_configured", 100, true, 100, "010111000000000"},
    {"nab_reachable", 0, true, 100, "010110000100010"},
    {"nab_terminated", 25, true, 100, "010000010100010"},
    {"nosnmp_status_15", 15, true, 101, "001100011111110"},
    {"zarno_status_9", 9, true, 1, "000110000111110"},
    {"zarno_status_10", 10, true, 1, "000100011111110"},
    {"zarno_status_19", 19, true, 1, "000100011111110"},
    {"zarno_status_30_not_used", 30, true, 1, "000000011111011"},
    {"zarno_status_31", 31, true, 1, "000000000111010"},
    {"zarno_status_101", 101, true, 1, "000000000111010"},
    {"zarno_not_configured", 100, true, 1, "000111000011100"},
    {"zarno_no_target", 0, false, 1, "000000000001000"},
    {"zarno_no_target_terminated", 12, false, 1, "000000011001000"},
    {"type_zero_is_zarno", 0, true, 0, "000110000111110"},
    {"negative_type_is_zarno", 0, true, -200, "000110000111110"},
};

void PrintTo(const PredicateCase &c, std::ostream *os) { *os << c.name; }

class Predicates : public ::testing::TestWithParam<PredicateCase> {};

TEST_P(Predicates, FollowTheStatusBandsTypesAndPresence) {
  const PredicateCase &c = GetParam();
  ifinfo target{};
  device_info info{};
  device_record d{};
  d.status = c.status;
  d.target = c.target ? &target : nullptr;
  if (c.type) {
    info.type = *c.type;
    d.info = &info;
  }
  ASSERT_EQ(std::string(c.expected).size(), std::size(predicates));
  for (size_t i = 0; i < std::size(predicates); ++i)
    EXPECT_EQ(predicates[i].fn(&d), static_cast<uint32_t>(c.expected[i] - '0'))
        << predicates[i].name;
}

INSTANTIATE_TEST_SUITE_P(Table, Predicates, ::testing::ValuesIn(cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(PredicatesNull, EveryPredicateIsFalseForNull) {
  for (const auto &p : predicates) EXPECT_EQ(p.fn(nullptr), 0u) << p.name;
}

TEST(DeviceStatus, UpdatesTheRecordAndRefusesNull) {
  ASSERT_EQ(mt_res_init(), 0);
  device_record d{};
  EXPECT_EQ(device_update_status(&d, 42), 0);
  EXPECT_EQ(d.status, 42);
  EXPECT_EQ(device_update_status(&d, -3), 0);
  EXPECT_EQ(d.status, -3);
  EXPECT_EQ(device_update_status(nullptr, 5), -1);
  mt_res_free();
}

}  // namespace
