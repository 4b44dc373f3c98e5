// Identifiers handed out under the lock table stay unique when several threads draw them
// at once: SNMP request ids and SLP transaction ids.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <vector>

#include "kivo8/mt_support.h"
#include "kivo8/slp_sess.h"
#include "kivo8/snmp_sess.h"
#include "slp/slp_internal.h"
#include "snmp/pdu.h"

namespace {

TEST(PduIdThreads, TwoThreadsAMillionIdsEachNeverShareOne) {
  ASSERT_EQ(mt_res_init(), 0);
  _snmp_set_reqid_counter(0);
  _snmp_set_msgid_counter(0);
  constexpr int kEach = 1000000;
  std::vector<std::uint32_t> a(kEach), b(kEach);
  std::thread ta([&] {
    for (auto &id : a) id = snmp_get_next_reqid();
  });
  std::thread tb([&] {
    for (auto &id : b) id = snmp_get_next_reqid();
  });
  ta.join();
  tb.join();
  // Each thread sees its own ids rising; together they are exactly 1 .. 2,000,000.
  std::vector<bool> seen(2 * kEach + 1, false);
  for (const auto *ids : {&a, &b}) {
    for (std::size_t i = 0; i < ids->size(); ++i) {
      const std::uint32_t id = (*ids)[i];
      ASSERT_GE(id, 1u);
      ASSERT_LE(id, 2u * kEach);
      ASSERT_FALSE(seen[id]) << "id " << id << " handed out twice";
      seen[id] = true;
      if (i > 0) {
        ASSERT_GT(id, (*ids)[i - 1]);
      }
    }
  }
  EXPECT_EQ(snmp_get_next_reqid(), 2u * kEach + 1);
  std::thread tc([] {
    for (int i = 0; i < kEach; ++i) snmp_get_next_msgid();
  });
  for (int i = 0; i < kEach; ++i) snmp_get_next_msgid();
  tc.join();
  EXPECT_EQ(snmp_get_next_msgid(), 2u * kEach + 1);
  mt_res_free();
}

TEST(SlpXidThreads, IdsStayUniqueAcrossThreads) {
  ASSERT_EQ(mt_res_init(), 0);
  _slp_set_xid(0);
  constexpr int kThreads = 4, kEach = 20000;
  std::vector<std::vector<uint32_t>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < kEach; ++i) got[t].push_back(slp_get_next_xid());
    });
  for (auto &th : threads) th.join();
  std::vector<uint32_t> all;
  for (const auto &g : got) all.insert(all.end(), g.begin(), g.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), size_t(kThreads * kEach));
  for (size_t i = 0; i < all.size(); ++i) ASSERT_EQ(all[i], uint32_t(i + 1));
  mt_res_free();
}

}  // namespace
