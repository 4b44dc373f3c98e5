// The exported record: every value copied exactly (texts with their NUL bytes), nothing
// invented for what the device did not give, and every allocation failure ending in null
// with nothing leaked.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kivo8/status.h"
#include "status/record.h"
#include "support/alloc_failure.h"

namespace kivo8::status {
namespace {

Status sample() {
  Status s;
  s.printer_status = 3;
  s.errors = (1u << 5) | (1u << 14);
  s.page_count = 4000000000u;
  s.serial = std::string("SN\0x", 4);
  s.location = "";
  s.mac = "00:11:22:33:44:55";
  s.display = {"Ready", std::string("\xff\r\n", 3)};
  Supply toner;
  toner.index = 1;
  toner.supply_class = 3;
  toner.unit = 19;
  toner.level = 40;
  toner.description = "Black";
  toner.colorant = "black";
  toner.colorant_index = 1;
  Supply waste;
  waste.index = 9;
  waste.supply_class = 4;
  waste.level = -3;
  s.supplies = {toner, waste};
  s.supplies_truncated = true;
  Alert jam;
  jam.index = 2;
  jam.code = 8;
  jam.description = "Jam";
  s.alerts = {jam};
  return s;
}

TEST(StatusRecord, ValuesCopiedAndAbsentValuesMarked) {
  kivo_status *r = make_record(sample());
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->printer_status, 3);
  EXPECT_EQ(r->device_status, KIVO_STATUS_ABSENT);
  EXPECT_EQ(r->errors_given, 1);
  EXPECT_EQ(r->errors, KIVO_STATUS_ERR_JAMMED | KIVO_STATUS_ERR_OVERDUE_PREVENT_MAINT);
  EXPECT_EQ(r->page_count, 4000000000LL);
  EXPECT_EQ(r->uptime_ticks, -1);
  ASSERT_EQ(r->serial.length, 4u);
  EXPECT_EQ(std::memcmp(r->serial.data, "SN\0x", 5), 0);  // terminator after the length
  ASSERT_NE(r->location.data, nullptr);  // given, though empty
  EXPECT_EQ(r->location.length, 0u);
  EXPECT_EQ(r->contact.data, nullptr);   // not given
  EXPECT_STREQ(r->mac, "00:11:22:33:44:55");
  ASSERT_EQ(r->display_count, 2u);
  EXPECT_EQ(r->display[1].length, 3u);
  ASSERT_EQ(r->supply_count, 2u);
  EXPECT_EQ(r->supplies_truncated, 1);
  EXPECT_EQ(r->supplies[0].percent, 40);
  EXPECT_EQ(r->supplies[0].level_is_space_remaining, 0);
  EXPECT_STREQ(r->supplies[0].colorant.data, "black");
  EXPECT_EQ(r->supplies[1].level, KIVO_STATUS_LEVEL_SOME_REMAINING);
  EXPECT_EQ(r->supplies[1].percent, -1);
  EXPECT_EQ(r->supplies[1].max_capacity, KIVO_STATUS_ABSENT);
  EXPECT_EQ(r->supplies[1].level_is_space_remaining, 1);
  EXPECT_EQ(r->supplies[1].description.data, nullptr);
  ASSERT_EQ(r->alert_count, 1u);
  EXPECT_EQ(r->alerts[0].severity, KIVO_STATUS_ABSENT);
  EXPECT_EQ(r->alerts[0].code, 8);
  kivo_status_free(r);
  kivo_status_free(nullptr);
}

TEST(StatusRecord, EveryAllocationFailureGivesNullAndLeaksNothing) {
  const Status s = sample();
  auto made = test::sweep_allocation_failures([&] {
    kivo_status *r = make_record(s);
    if (r == nullptr) return false;
    kivo_status_free(r);
    return true;
  });
  EXPECT_GT(made, 5u);
}

TEST(StatusNames, EnumerationsAsTheMibsNameThem) {
  EXPECT_STREQ(kivo_status_printer_status_name(3), "idle");
  EXPECT_STREQ(kivo_status_device_status_name(5), "down");
  EXPECT_STREQ(kivo_status_error_name(0), "lowPaper");
  EXPECT_STREQ(kivo_status_error_name(14), "overduePreventMaint");
  EXPECT_EQ(kivo_status_error_name(15), nullptr);
  EXPECT_EQ(kivo_status_error_name(-1), nullptr);
  EXPECT_STREQ(kivo_status_class_name(3), "supplyThatIsConsumed");
  EXPECT_STREQ(kivo_status_class_name(4), "receptacleThatIsFilled");
  EXPECT_STREQ(kivo_status_type_name(3), "toner");
  EXPECT_STREQ(kivo_status_type_name(4), "wasteToner");
  EXPECT_STREQ(kivo_status_unit_name(19), "percent");
  EXPECT_STREQ(kivo_status_severity_name(3), "critical");
  EXPECT_STREQ(kivo_status_group_name(13), "mediaPath");
  EXPECT_STREQ(kivo_status_code_name(8), "jam");
  EXPECT_STREQ(kivo_status_code_name(1101), "markerTonerEmpty");
  EXPECT_EQ(kivo_status_type_name(KIVO_STATUS_ABSENT), nullptr);
  EXPECT_EQ(kivo_status_code_name(0), nullptr);
}

}  // namespace
}  // namespace kivo8::status
