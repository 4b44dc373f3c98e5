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

namespace {

struct in_addr ip(const char *dotted) {
  struct in_addr a {};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
  return a;
}

std::string text(struct in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

enum class Kind { range, bcast, local, slp };

struct Target {
  Kind kind;
  const char *first;
  const char *last;
};

// A private list holding the targets in the given order, freed with the test.
class TargetList {
 public:
  explicit TargetList(const std::vector<Target> &targets) {
    // ifinfo_add puts each new entry first, so add from the last.
    for (auto t = targets.rbegin(); t != targets.rend(); ++t) {
      ifinfo *e = ifinfo_new();
      EXPECT_NE(e, nullptr);
      switch (t->kind) {
        case Kind::range:
          e->id = 10001;
          break;
        case Kind::bcast:
          e->id = 1;
          break;
        case Kind::local:
          std::snprintf(e->name, sizeof e->name, "eth%d", ifinfo_get_num(head_));
          break;
        case Kind::slp:
          e->id = 20001;
          break;
      }
      e->addr1 = ip(t->first);
      e->addr2 = ip(t->last);
      ifinfo_add(&head_, e);
    }
    EXPECT_EQ(ifinfo_get_num(head_), static_cast<int32_t>(targets.size()))
        << "targets with equal ends replace each other";
  }
  ~TargetList() { ifinfo_free_list(head_); }
  TargetList(const TargetList &) = delete;
  TargetList &operator=(const TargetList &) = delete;

  ifinfo *first() const { return head_; }
  ifinfo *at(int32_t n) const { return ifinfo_getat(head_, n); }

 private:
  ifinfo *head_ = nullptr;
};

struct Drawn {
  std::string addr;
  int32_t owner;  // position of the owning entry in the list
  bool operator==(const Drawn &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Drawn &d) {
  return os << d.addr << "@" << d.owner;
}

class AddressTable : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }

  // Draws the whole record, then checks that it stays exhausted.
  static std::vector<Drawn> draw_all(ifinfo_iplist *record, const TargetList &list) {
    std::vector<Drawn> out;
    while (ifinfo_ipentry *e = ifinfo_iplist_getnext(record)) {
      int32_t owner = -1;
      for (int32_t i = 0; list.at(i) != nullptr; ++i)
        if (list.at(i) == e->owner) owner = i;
      out.push_back({text(e->addr), owner});
      EXPECT_EQ(ifinfo_iplist_getcurrent(record), static_cast<int32_t>(out.size()));
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ifinfo_iplist_getnext(record), nullptr);
    EXPECT_EQ(ifinfo_iplist_getcurrent(record), ifinfo_iplist_getcount(record));
    return out;
  }
};

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

class AddressDrawThreads : public AddressTable {};

// Drawing holds the slot of the address cursor: a draw waits while someone else holds it.
TEST_F(AddressDrawThreads, DrawWaitsWhileTheIfinfoSlotIsHeld) {
  TargetList list({{Kind::range, "10.0.0.1", "10.0.0.2"}});
  ifinfo_iplist *record = ifinfo_init_iplist(list.first());
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(mt_res_lock(MT_RES_IFINFO, 1), 0);
  std::atomic<bool> drawn{false};
  std::thread worker([&] {
    (void)ifinfo_iplist_getnext(record);
    drawn = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(drawn.load());
  EXPECT_EQ(ifinfo_iplist_getcurrent(record), 0);
  ASSERT_EQ(mt_res_unlock(MT_RES_IFINFO, 1), 0);
  worker.join();
  EXPECT_TRUE(drawn.load());
  EXPECT_EQ(ifinfo_iplist_getcurrent(record), 1);
  ifinfo_free_iplist(record);
}

// Eight workers share one table of 1,000 addresses while a progress display reads the
// cursor without the lock: every address goes to exactly one worker, the display never
// sees the cursor fall, and the table stays exhausted.
TEST_F(AddressDrawThreads, EightThreadsReceiveEachAddressOnce) {
  TargetList list({{Kind::range, "10.0.0.0", "10.0.3.231"}});
  ifinfo_iplist *record = ifinfo_init_iplist(list.first());
  ASSERT_NE(record, nullptr);
  ASSERT_EQ(ifinfo_iplist_getcount(record), 1000);

  constexpr int kThreads = 8;
  std::vector<std::vector<ifinfo_ipentry *>> got(kThreads);
  std::vector<int> nulls_after(kThreads, 0);
  std::atomic<bool> go{false}, done{false};
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t)
    workers.emplace_back([&, t] {
      while (!go) std::this_thread::yield();
      while (ifinfo_ipentry *e = ifinfo_iplist_getnext(record)) got[t].push_back(e);
      for (int i = 0; i < 10; ++i) nulls_after[t] += ifinfo_iplist_getnext(record) == nullptr;
    });
  bool fell = false;
  std::thread display([&] {
    int32_t last = 0;
    while (!done) {
      int32_t now = ifinfo_iplist_getcurrent(record);
      fell |= now < last;
      last = now;
    }
  });
  go = true;
  for (auto &w : workers) w.join();
  done = true;
  display.join();

  std::set<ifinfo_ipentry *> entries;
  std::set<uint32_t> addresses;
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(nulls_after[t], 10) << "worker " << t;
    for (ifinfo_ipentry *e : got[t]) {
      ASSERT_GE(e, record->entries);
      ASSERT_LT(e, record->entries + 1000);
      entries.insert(e);
      addresses.insert(ntohl(e->addr.s_addr));
    }
  }
  EXPECT_EQ(entries.size(), 1000u);
  EXPECT_EQ(addresses.size(), 1000u);
  EXPECT_EQ(*addresses.begin(), ntohl(ip("10.0.0.0").s_addr));
  EXPECT_EQ(*addresses.rbegin(), ntohl(ip("10.0.3.231").s_addr));
  EXPECT_FALSE(fell);
  EXPECT_EQ(ifinfo_iplist_getcurrent(record), 1000);
  EXPECT_EQ(ifinfo_iplist_getnext(record), nullptr);
  ifinfo_free_iplist(record);
}

// One slot serves every table: two tables drawn at once each hand out all of theirs.
TEST_F(AddressDrawThreads, TwoTablesDrawnAtOnceStayApart) {
  TargetList a({{Kind::range, "10.0.0.0", "10.0.1.243"}});
  TargetList b({{Kind::range, "10.9.0.0", "10.9.1.243"}});
  ifinfo_iplist *ra = ifinfo_init_iplist(a.first());
  ifinfo_iplist *rb = ifinfo_init_iplist(b.first());
  ASSERT_NE(ra, nullptr);
  ASSERT_NE(rb, nullptr);
  std::atomic<int> from_a{0}, from_b{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < 4; ++t)
    workers.emplace_back([&, t] {
      ifinfo_iplist *r = (t % 2 == 0) ? ra : rb;
      auto &n = (t % 2 == 0) ? from_a : from_b;
      while (ifinfo_ipentry *e = ifinfo_iplist_getnext(r)) {
        EXPECT_EQ(e->owner, (t % 2 == 0) ? a.first() : b.first());
        ++n;
      }
    });
  for (auto &w : workers) w.join();
  EXPECT_EQ(from_a.load(), 500);
  EXPECT_EQ(from_b.load(), 500);
  ifinfo_free_iplist(ra);
  ifinfo_free_iplist(rb);
}

}  // namespace
