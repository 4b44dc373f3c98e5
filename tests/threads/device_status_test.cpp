#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "kivo8/device.h"
#include "kivo8/mt_support.h"

namespace {

class DeviceStatusThreads : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }
};

TEST_F(DeviceStatusThreads, EightWritersAndALockedReader) {
  // Eight workers update one shared record and one record each; a reader that takes the
  // same slot (as the front end does) must never race with them.
  constexpr int workers = 8;
  constexpr int rounds = 5000;
  device_record shared{};
  std::vector<device_record> own(workers);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      mt_res_lock(MT_RES_DEVICE, 1);
      int32_t s = shared.status;
      mt_res_unlock(MT_RES_DEVICE, 1);
      EXPECT_GE(s, 0);
      EXPECT_LT(s, workers * rounds);
    }
  });
  std::vector<std::thread> threads;
  for (int w = 0; w < workers; ++w)
    threads.emplace_back([&, w] {
      for (int i = 0; i < rounds; ++i) {
        EXPECT_EQ(device_update_status(&shared, w * rounds + i), 0);
        EXPECT_EQ(device_update_status(&own[w], i), 0);
      }
    });
  for (auto &t : threads) t.join();
  done = true;
  reader.join();
  for (int w = 0; w < workers; ++w) EXPECT_EQ(own[w].status, rounds - 1);
  // The last store of some worker is what remains.
  EXPECT_EQ(shared.status % rounds, rounds - 1);
}

TEST_F(DeviceStatusThreads, WaitsWhileTheDeviceSlotIsHeld) {
  device_record d{};
  ASSERT_EQ(mt_res_lock(MT_RES_DEVICE, 1), 0);
  std::atomic<bool> finished{false};
  std::thread writer([&] {
    device_update_status(&d, 7);
    finished = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(finished.load());
  ASSERT_EQ(mt_res_unlock(MT_RES_DEVICE, 1), 0);
  writer.join();
  EXPECT_TRUE(finished.load());
  mt_res_lock(MT_RES_DEVICE, 1);
  EXPECT_EQ(d.status, 7);
  mt_res_unlock(MT_RES_DEVICE, 1);
}

}  // namespace
