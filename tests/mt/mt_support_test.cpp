#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "kivo8/mt_support.h"
#include "mt/mt_internal.h"

namespace {

class LockTable : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }
};

TEST_F(LockTable, PairsOutsideTheTableLockNothing) {
  struct {
    int32_t group, index;
  } cases[] = {{5, 0}, {0, 4}, {-1, 0}, {0, -1}, {INT32_MIN, 0}, {0, INT32_MAX}};
  for (auto c : cases) {
    SCOPED_TRACE(testing::Message() << c.group << "," << c.index);
    EXPECT_EQ(mt_res_lock(c.group, c.index), EFAULT);
    EXPECT_EQ(mt_res_unlock(c.group, c.index), EFAULT);
    EXPECT_EQ(mt_res_destroy_mutex(c.group, c.index), EFAULT);
    EXPECT_EQ(_mt_res(c.group, c.index), nullptr);
  }
}

TEST_F(LockTable, EverySlotLocksAndUnlocksAndIsItsOwnMutex) {
  for (int32_t g = 0; g < MT_RES_GROUPS; ++g)
    for (int32_t i = 0; i < MT_RES_INDICES; ++i) {
      EXPECT_EQ(mt_res_lock(g, i), 0);
      // Held: another attempt on the same mutex must see it busy.
      EXPECT_EQ(pthread_mutex_trylock(_mt_res(g, i)), EBUSY);
      EXPECT_EQ(mt_res_unlock(g, i), 0);
    }
  EXPECT_EQ(_mt_res(4, 3), _mt_res(0, 0) + 19);
}

TEST(LockTableSetup, InitMutexRejectsNull) {
  EXPECT_EQ(mt_res_init_mutex(nullptr), EINVAL);
  pthread_mutex_t m;
  ASSERT_EQ(mt_res_init_mutex(&m), 0);
  EXPECT_EQ(pthread_mutex_destroy(&m), 0);
}

}  // namespace
