// The lock table under ThreadSanitizer (CI runs this folder, label concurrent): eight threads
// take every slot of the table in turn, and a counter guarded by each slot loses nothing.
#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "kivo8/mt_support.h"

namespace {

class LockTable : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }
};

TEST(LockTableThreads, EightThreadsOverEverySlotLoseNothing) {
  ASSERT_EQ(mt_res_init(), 0);
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  // Plain counters: only the slot's mutex keeps them whole, which is what TSan watches.
  static long counters[MT_RES_GROUPS][MT_RES_INDICES];
  for (auto &g : counters)
    for (auto &c : g) c = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t] {
      for (int r = 0; r < kRounds; ++r)
        for (int g = 0; g < MT_RES_GROUPS; ++g)
          for (int i = 0; i < MT_RES_INDICES; ++i) {
            // Each thread walks the table from its own starting slot, so threads meet on
            // every slot in every order.
            const int gg = (g + t) % MT_RES_GROUPS;
            if (mt_res_lock(gg, i) != 0) continue;
            ++counters[gg][i];
            mt_res_unlock(gg, i);
          }
    });
  for (auto &th : threads) th.join();
  for (int g = 0; g < MT_RES_GROUPS; ++g)
    for (int i = 0; i < MT_RES_INDICES; ++i) EXPECT_EQ(counters[g][i], long{kThreads} * kRounds) << g << "," << i;
  mt_res_free();
}

TEST_F(LockTable, TwoThreadsIncrementingUnderOneSlotLoseNothing) {
  long counter = 0;
  auto work = [&counter] {
    for (int i = 0; i < 1000000; ++i) {
      mt_res_lock(2, 0);
      ++counter;
      mt_res_unlock(2, 0);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 2000000);
}

}  // namespace
