// A printer's status from its IPP answer: reasons to error bits (and the rest kept as
// text), markers to supplies with nothing invented, and SNMP's values kept first when both
// exist.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kivo8/status.h"
#include "status/ipp.h"
#include "status/record.h"
#include "support/alloc_failure.h"
#include "support/record_owners.h"

namespace kivo8::status {
namespace {

using kivo8::test::StatusRecord;

std::string text(const kivo_status_text &t) { return t.data == nullptr ? "(null)" : std::string(t.data, t.length); }

TEST(IppStatus, ReasonsMapToTheBitsOfTheSameMeaningWhateverTheirSeverity) {
  const struct {
    const char *reason;
    int bit;  // -1: none
  } cases[] = {
      {"media-empty", 1},           {"media-empty-error", 1},        {"media-needed-report", 1},
      {"media-low-warning", 0},     {"toner-low-report", 2},         {"marker-supply-low-warning", 2},
      {"toner-empty-error", 3},     {"marker-supply-empty", 3},      {"door-open-error", 4},
      {"cover-open", 4},            {"media-jam-error", 5},          {"offline-report", 6},
      {"shutdown", 6},              {"input-tray-missing", 8},       {"output-tray-missing-error", 9},
      {"marker-supply-missing", 10}, {"output-area-almost-full", 11}, {"output-area-full-error", 12},
      // Only the suffix is cut, and only a whole word of the list counts.
      {"media-empty-errors", -1},   {"paused", -1},                  {"toner", -1},
      {"-error", -1},               {"", -1},                        {"MEDIA-EMPTY", -1},
      {"marker-waste-almost-full-warning", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.reason);
    const auto bit = error_bit_of_reason(c.reason);
    if (c.bit < 0) EXPECT_FALSE(bit.has_value());
    else
      EXPECT_EQ(bit, c.bit);
  }
}

TEST(IppStatus, MarkerTypesNameTheMibsSupplyTypes) {
  const struct {
    const char *keyword;
    std::int32_t type;  // 0: none
  } cases[] = {{"toner", 3},       {"waste-toner", 4},      {"ink", 5},       {"ink-cartridge", 6},
               {"waste-ink", 8},   {"opc", 9},              {"fuser-oil-wick", 17}, {"toner-cartridge", 21},
               {"waste-paper", 26}, {"matte-ink", 36},      {"wasteToner", 0}, {"waste-", 0},
               {"-toner", 0},      {"waste--toner", 0},     {"other", 0},     {"", 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.keyword);
    EXPECT_EQ(supply_type_of_marker(c.keyword).value_or(0), c.type);
  }
}

IppMarkers low_toner_printer() {
  IppMarkers m;
  m.state = 5;
  m.reasons = std::vector<std::string>{"toner-low-report", "media-empty-error", "moving-to-paused", "none",
                                       "door-open-warning"};
  m.names = {"Black Toner", "Cyan Toner", "Waste", "Drum", "Ink"};
  m.types = {"toner", "toner", "waste-toner", "opc", "glitter"};
  m.colors = {"#000000", "#00FFFF", "none", "none"};
  m.levels = {std::optional<std::int32_t>(4), 87, 30, -3, -1};
  return m;
}

TEST(IppStatus, AStoppedLowTonerPrinterIsOneRecordWithEveryValueAsGiven) {
  const Status s = from_ipp(low_toner_printer());
  StatusRecord r(make_record(s));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->printer_status, 1) << "stopped is no idle, printing or warmup";
  EXPECT_EQ(r->ipp_state, 5);
  EXPECT_EQ(r->device_status, KIVO_STATUS_ABSENT) << "IPP says nothing of hrDeviceStatus";
  EXPECT_EQ(r->errors_given, 1);
  EXPECT_EQ(r->errors, KIVO_STATUS_ERR_LOW_TONER | KIVO_STATUS_ERR_NO_PAPER | KIVO_STATUS_ERR_DOOR_OPEN);
  EXPECT_EQ(text(r->ipp_reasons), "moving-to-paused");
  EXPECT_EQ(r->printer_status_source, KIVO_STATUS_SOURCE_IPP);
  EXPECT_EQ(r->errors_source, KIVO_STATUS_SOURCE_IPP);
  EXPECT_EQ(r->supplies_source, KIVO_STATUS_SOURCE_IPP);
  EXPECT_EQ(r->page_count, -1);
  ASSERT_EQ(r->supply_count, 5u);
  const struct {
    std::int32_t index, supply_class, type, level, percent;
    const char *description, *colorant;
  } want[] = {
      {1, 3, 3, 4, 4, "Black Toner", "#000000"},
      {2, 3, 3, 87, 87, "Cyan Toner", "#00FFFF"},
      {3, 4, 4, 30, 30, "Waste", "(null)"},
      {4, 3, 9, -3, -1, "Drum", "(null)"},  // some remaining: no number
      {5, KIVO_STATUS_ABSENT, KIVO_STATUS_ABSENT, -1, -1, "Ink", "(null)"},  // a type the MIB lacks
  };
  for (std::uint32_t i = 0; i < r->supply_count; ++i) {
    SCOPED_TRACE(i);
    const kivo_status_supply &c = r->supplies[i];
    EXPECT_EQ(c.index, want[i].index);
    EXPECT_EQ(c.supply_class, want[i].supply_class);
    EXPECT_EQ(c.type, want[i].type);
    EXPECT_EQ(c.level, want[i].level);
    EXPECT_EQ(c.percent, want[i].percent);
    EXPECT_EQ(c.unit, KIVO_STATUS_UNIT_PERCENT);
    EXPECT_EQ(c.max_capacity, KIVO_STATUS_ABSENT) << "IPP gives no capacity";
    EXPECT_EQ(c.level_is_space_remaining, 0) << "IPP does not say which way a waste level runs";
    EXPECT_EQ(c.colorant_index, 0);
    EXPECT_EQ(text(c.description), want[i].description);
    EXPECT_EQ(text(c.colorant), want[i].colorant);
  }
}

TEST(IppStatus, WhatThePrinterDidNotSayStaysAbsent) {
  const struct {
    const char *name;
    IppMarkers in;
    std::int32_t printer_status, errors_given, errors_source;
    std::uint32_t supplies;
  } cases[] = {
      {"nothing", {}, KIVO_STATUS_ABSENT, 0, KIVO_STATUS_SOURCE_NONE, 0},
      {"unknown state", {9, std::nullopt, {}, {}, {}, {}}, KIVO_STATUS_ABSENT, 0, KIVO_STATUS_SOURCE_NONE, 0},
      {"reasons none", {3, std::vector<std::string>{"none"}, {}, {}, {}, {}}, 3, 1, KIVO_STATUS_SOURCE_IPP, 0},
      {"levels without names", {4, std::nullopt, {}, {}, {}, {50, std::nullopt}}, 4, 0, KIVO_STATUS_SOURCE_NONE, 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    StatusRecord r(make_record(from_ipp(c.in)));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->printer_status, c.printer_status);
    EXPECT_EQ(r->errors_given, c.errors_given);
    EXPECT_EQ(r->errors, 0u);
    EXPECT_EQ(r->errors_source, c.errors_source);
    EXPECT_EQ(r->supply_count, c.supplies);
    EXPECT_EQ(r->ipp_reasons.data, nullptr);
    for (std::uint32_t i = 0; i < r->supply_count; ++i) {
      EXPECT_EQ(r->supplies[i].description.data, nullptr);
      EXPECT_EQ(r->supplies[i].type, KIVO_STATUS_ABSENT);
    }
    if (c.supplies == 2) {
      EXPECT_EQ(r->supplies[0].percent, 50);
      EXPECT_EQ(r->supplies[1].level, KIVO_STATUS_ABSENT) << "a level that was no integer";
      EXPECT_EQ(r->supplies[1].unit, KIVO_STATUS_ABSENT);
    }
  }
}

TEST(IppStatus, AFloodOfMarkersIsCappedAndMarkedTruncated) {
  IppMarkers m;
  m.levels.assign(kMaxSupplies + 1, 10);
  const Status s = from_ipp(m);
  EXPECT_EQ(s.supplies.size(), kMaxSupplies);
  EXPECT_TRUE(s.supplies_truncated);
}

Status snmp_with_supplies() {
  Status s;
  s.printer_status = 4;
  s.status_from = Source::kSnmp;
  Supply toner;
  toner.index = 1;
  toner.supply_class = 3;
  toner.level = 500;
  toner.max_capacity = 1000;
  s.supplies.push_back(toner);
  s.supplies_from = Source::kSnmp;
  return s;
}

// SNMP's values win; IPP fills only the parts SNMP did not give, and says so.
TEST(IppStatus, SnmpStaysFirstAndIppFillsOnlyItsGaps) {
  Status both = snmp_with_supplies();
  fill_gaps(both, from_ipp(low_toner_printer()));
  StatusRecord r(make_record(both));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->printer_status, 4);
  EXPECT_EQ(r->printer_status_source, KIVO_STATUS_SOURCE_SNMP);
  EXPECT_EQ(r->errors_source, KIVO_STATUS_SOURCE_IPP) << "SNMP gave no error state";
  EXPECT_EQ(r->errors, KIVO_STATUS_ERR_LOW_TONER | KIVO_STATUS_ERR_NO_PAPER | KIVO_STATUS_ERR_DOOR_OPEN);
  EXPECT_EQ(r->supplies_source, KIVO_STATUS_SOURCE_SNMP);
  ASSERT_EQ(r->supply_count, 1u) << "supplies are never mixed";
  EXPECT_EQ(r->supplies[0].percent, 50);
  EXPECT_EQ(r->ipp_state, 5);

  Status errors_given = snmp_with_supplies();
  errors_given.errors = 0;
  errors_given.errors_from = Source::kSnmp;
  fill_gaps(errors_given, from_ipp(low_toner_printer()));
  EXPECT_EQ(errors_given.errors, 0u) << "SNMP said: no errors";
  EXPECT_EQ(errors_given.errors_from, Source::kSnmp);

  Status no_supplies;
  fill_gaps(no_supplies, from_ipp(low_toner_printer()));
  EXPECT_EQ(no_supplies.supplies.size(), 5u);
  EXPECT_EQ(no_supplies.supplies_from, Source::kIpp);
}

TEST(IppStatus, EveryAllocationFailureGivesNullAndLeaksNothing) {
  const Status s = from_ipp(low_toner_printer());
  test::sweep_allocation_failures([&] {
    kivo_status *r = make_record(s);
    const bool ok = r != nullptr;
    kivo_status_free(r);
    return ok;
  });
}

TEST(IppStatus, SourcesHaveNames) {
  EXPECT_STREQ(kivo_status_source_name(KIVO_STATUS_SOURCE_SNMP), "snmp");
  EXPECT_STREQ(kivo_status_source_name(KIVO_STATUS_SOURCE_IPP), "ipp");
  EXPECT_EQ(kivo_status_source_name(KIVO_STATUS_SOURCE_NONE), nullptr);
  EXPECT_EQ(kivo_status_source_name(3), nullptr);
}

}  // namespace
}  // namespace kivo8::status
