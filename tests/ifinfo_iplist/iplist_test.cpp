// The address table: range targets expanded into single addresses, drawn once each.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"
#include "support/alloc_failure.h"
#include "support/iplist_fixture.h"

namespace {

using namespace kivo8::test::iplist;

struct ExpandCase {
  const char *label;
  std::vector<Target> targets;
  uint32_t counted;             // count_ip_in_range
  std::vector<Drawn> expected;  // the draws, in order
};

const ExpandCase kExpand[] = {
    {"no range entries",
     {{Kind::bcast, "192.168.1.255", "255.255.255.0"},
      {Kind::local, "10.0.0.255", "255.255.255.0"},
      {Kind::slp, "0.0.0.0", "0.0.0.0"}},
     0,
     {}},
    {"crossing an octet boundary",
     {{Kind::range, "10.0.0.250", "10.0.1.5"}},
     12,
     {{"10.0.0.250", 0},
      {"10.0.0.251", 0},
      {"10.0.0.252", 0},
      {"10.0.0.253", 0},
      {"10.0.0.254", 0},
      {"10.0.0.255", 0},
      {"10.0.1.0", 0},
      {"10.0.1.1", 0},
      {"10.0.1.2", 0},
      {"10.0.1.3", 0},
      {"10.0.1.4", 0},
      {"10.0.1.5", 0}}},
    {"crossing three octet boundaries",
     {{Kind::range, "9.255.255.254", "10.0.0.1"}},
     4,
     {{"9.255.255.254", 0}, {"9.255.255.255", 0}, {"10.0.0.0", 0}, {"10.0.0.1", 0}}},
    {"ending at 255.255.255.255",
     {{Kind::range, "255.255.255.253", "255.255.255.255"}},
     3,
     {{"255.255.255.253", 0}, {"255.255.255.254", 0}, {"255.255.255.255", 0}}},
    {"the single address 255.255.255.255",
     {{Kind::range, "255.255.255.255", "255.255.255.255"}},
     1,
     {{"255.255.255.255", 0}}},
    {"starting at 0.0.0.0",
     {{Kind::range, "0.0.0.0", "0.0.0.1"}},
     2,
     {{"0.0.0.0", 0}, {"0.0.0.1", 0}}},
    {"a reversed range is counted but stores nothing",
     {{Kind::range, "10.0.0.5", "10.0.0.1"}},
     5,
     {}},
    {"reversed beside an ordered range",
     {{Kind::range, "10.0.0.5", "10.0.0.1"}, {Kind::range, "10.0.1.1", "10.0.1.2"}},
     7,
     {{"10.0.1.1", 1}, {"10.0.1.2", 1}}},
    {"two ranges in list order, network and broadcast addresses kept",
     {{Kind::range, "10.0.1.255", "10.0.2.0"}, {Kind::range, "10.0.0.0", "10.0.0.1"}},
     4,
     {{"10.0.1.255", 0}, {"10.0.2.0", 0}, {"10.0.0.0", 1}, {"10.0.0.1", 1}}},
    {"overlapping ranges give shared addresses once per range",
     {{Kind::range, "10.0.0.1", "10.0.0.3"}, {Kind::range, "10.0.0.2", "10.0.0.4"}},
     6,
     {{"10.0.0.1", 0},
      {"10.0.0.2", 0},
      {"10.0.0.3", 0},
      {"10.0.0.2", 1},
      {"10.0.0.3", 1},
      {"10.0.0.4", 1}}},
    {"other kinds between ranges are passed over",
     {{Kind::range, "10.0.0.1", "10.0.0.1"},
      {Kind::local, "10.0.0.255", "255.255.255.0"},
      {Kind::slp, "0.0.0.0", "0.0.0.0"},
      {Kind::range, "10.0.0.9", "10.0.0.9"}},
     2,
     {{"10.0.0.1", 0}, {"10.0.0.9", 3}}},
};

class Expansion : public AddressTable, public ::testing::WithParamInterface<ExpandCase> {};

TEST_P(Expansion, DrawsEveryAddressOfEveryRangeInOrder) {
  const ExpandCase &c = GetParam();
  TargetList list(c.targets);
  EXPECT_EQ(count_ip_in_range(list.first()), c.counted);
  ifinfo_iplist *record = ifinfo_init_iplist(list.first());
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(ifinfo_iplist_getcount(record), static_cast<int32_t>(c.expected.size()));
  EXPECT_EQ(ifinfo_iplist_getcurrent(record), 0);
  if (c.expected.empty()) {
    EXPECT_EQ(record->entries, nullptr);
  }
  EXPECT_EQ(draw_all(record, list), c.expected);
  ifinfo_free_iplist(record);
}

std::string expand_name(const ::testing::TestParamInfo<ExpandCase> &info) {
  std::string name;
  for (const char *p = info.param.label; *p != '\0'; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Ranges, Expansion, ::testing::ValuesIn(kExpand), expand_name);

struct LimitCase {
  const char *label;
  std::vector<Target> targets;
  uint32_t counted;
  bool accepted;
};

const LimitCase kLimits[] = {
    {"exactly 262,144 in one range", {{Kind::range, "10.0.0.0", "10.3.255.255"}}, 262144, true},
    {"262,145 in one range", {{Kind::range, "10.0.0.0", "10.4.0.0"}}, 262145, false},
    {"exactly 262,144 over two ranges",
     {{Kind::range, "10.0.0.0", "10.2.255.255"}, {Kind::range, "172.16.0.0", "172.16.255.255"}},
     262144,
     true},
    {"262,145 over three ranges",
     {{Kind::range, "10.0.0.0", "10.2.255.255"},
      {Kind::range, "172.16.0.0", "172.16.255.255"},
      {Kind::range, "192.168.0.1", "192.168.0.1"}},
     262145,
     false},
    {"a reversed range counts toward the limit",
     {{Kind::range, "10.4.0.0", "10.0.0.0"}},
     262145,
     false},
    {"the whole address space", {{Kind::range, "0.0.0.0", "255.255.255.255"}}, 4294967295u, false},
    // The sum would wrap past 2^32 to a small number; it is held at the top instead.
    {"ranges whose sum passes 2^32",
     {{Kind::range, "0.0.0.0", "255.255.255.255"}, {Kind::range, "10.0.0.0", "10.0.0.9"}},
     4294967295u,
     false},
};

class Limit : public AddressTable, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(Limit, AcceptsAtMost262144Addresses) {
  const LimitCase &c = GetParam();
  TargetList list(c.targets);
  EXPECT_EQ(count_ip_in_range(list.first()), c.counted);
  ifinfo_iplist *record = ifinfo_init_iplist(list.first());
  if (!c.accepted) {
    EXPECT_EQ(record, nullptr);
    return;
  }
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(ifinfo_iplist_getcount(record), 262144);
  EXPECT_EQ(text(record->entries[0].addr), "10.0.0.0");
  uint32_t previous = 0;
  int32_t drawn = 0;
  while (ifinfo_ipentry *e = ifinfo_iplist_getnext(record)) {
    if (drawn > 0 && e->owner == record->entries[drawn - 1].owner) {
      ASSERT_EQ(ntohl(e->addr.s_addr), previous + 1) << "at " << drawn;
    }
    previous = ntohl(e->addr.s_addr);
    ++drawn;
  }
  EXPECT_EQ(drawn, 262144);
  EXPECT_EQ(text(record->entries[262143].addr), c.targets.back().last);
  ifinfo_free_iplist(record);
}

std::string limit_name(const ::testing::TestParamInfo<LimitCase> &info) {
  std::string name;
  for (const char *p = info.param.label; *p != '\0'; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Ranges, Limit, ::testing::ValuesIn(kLimits), limit_name);

TEST_F(AddressTable, NullListMeansTheGlobalList) {
  ifinfo_init_list(nullptr);
  EXPECT_EQ(count_ip_in_range(nullptr), 0u);
  ifinfo *e = ifinfo_new();
  e->id = 10001;
  e->addr1 = ip("10.0.0.1");
  e->addr2 = ip("10.0.0.3");
  ifinfo_add(nullptr, e);
  EXPECT_EQ(count_ip_in_range(nullptr), 3u);
  ifinfo_iplist *record = ifinfo_init_iplist(nullptr);
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(ifinfo_iplist_getcount(record), 3);
  EXPECT_EQ(ifinfo_iplist_getnext(record)->owner, e);
  ifinfo_free_iplist(record);
  ifinfo_free_list(nullptr);
  ifinfo_init_list(nullptr);
}

TEST_F(AddressTable, NullRecordIsHarmless) {
  EXPECT_EQ(ifinfo_iplist_getnext(nullptr), nullptr);
  EXPECT_EQ(ifinfo_iplist_getcount(nullptr), 0);
  EXPECT_EQ(ifinfo_iplist_getcurrent(nullptr), 0);
  ifinfo_free_iplist(nullptr);
}

// The entries the table points at belong to the list and survive the table.
TEST_F(AddressTable, FreeingTheTableLeavesTheList) {
  TargetList list({{Kind::range, "10.0.0.1", "10.0.0.2"}});
  ifinfo_iplist *record = ifinfo_init_iplist(list.first());
  ASSERT_NE(record, nullptr);
  ifinfo_free_iplist(record);
  EXPECT_EQ(ifinfo_get_num_range(list.first()), 1);
  EXPECT_EQ(count_ip_in_range(list.first()), 2u);
}

TEST_F(AddressTable, AllocationFailuresGiveNullAndLeakNothing) {
  for (bool with_ranges : {true, false}) {
    SCOPED_TRACE(with_ranges ? "with ranges" : "without ranges");
    TargetList list(with_ranges ? std::vector<Target>{{Kind::range, "10.0.0.1", "10.0.0.4"},
                                                      {Kind::range, "10.0.1.1", "10.0.1.2"}}
                                : std::vector<Target>{{Kind::bcast, "10.0.0.255", "255.0.0.0"}});
    std::uint64_t used = kivo8::test::sweep_allocation_failures([&] {
      ifinfo_iplist *record = ifinfo_init_iplist(list.first());
      if (record == nullptr) return false;
      EXPECT_EQ(ifinfo_iplist_getcount(record), with_ranges ? 6 : 0);
      ifinfo_free_iplist(record);
      return true;
    });
    EXPECT_EQ(used, with_ranges ? 2u : 1u);
  }
}

}  // namespace
