// The address table drawn by several threads at once, as the range scan's workers do.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"
#include "support/iplist_fixture.h"

namespace {

using namespace kivo8::test::iplist;

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
