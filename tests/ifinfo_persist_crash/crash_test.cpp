// A process saving its search targets is killed at random moments: the saved list must
// always read back whole, as the old list or the new one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "kivo8/ifinfo.h"
#include "support/pref_home.h"
#include "support/saved_targets.h"

namespace {

using kivo8::test::PrefHome;

ifinfo *fifty(const char *community, int32_t count) {
  ifinfo *head = nullptr;
  for (int i = 50; i >= 1; --i) {
    ifinfo *e;
    if (i % 10 == 0) {
      e = persist_test::slp_entry(20000 + i, ("scope" + std::to_string(i) + ",x").c_str(), count, 1,
                                  {community});
    } else {
      const std::string bcast = "10." + std::to_string(i) + ".0.255";
      e = persist_test::entry(i, bcast.c_str(), "255.255.255.0", "0.0.0.0", count, 0,
                              {community, "shared,name"});
    }
    e->next = head;
    head = e;
  }
  return head;
}

TEST(SavedTargetsCrash, AKilledSaveLeavesTheOldListOrTheNewOne) {
  PrefHome home;
  ASSERT_TRUE(home.ready());
  ifinfo *list_a = fifty("alpha", 3);
  ifinfo *list_b = fifty("beta-with-a-longer-name", 7);
  const auto want_a = persist_test::describe_list(list_a);
  const auto want_b = persist_test::describe_list(list_b);
  ASSERT_EQ(ifinfo_write_preference(list_a), 0);

  std::mt19937 rng(4242);
  std::uniform_int_distribution<int> delay_us(0, 15000);
  int kills = 0, mid_write = 0, seen_b = 0;
  for (; kills < 200; ++kills) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) {
        ifinfo_write_preference(list_b);
        ifinfo_write_preference(list_a);
      }
    }
    // Every tenth kill comes late enough that a write finishes first even on a loaded
    // machine or in a sanitizer build, so that both versions are seen.
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)) +
                                std::chrono::milliseconds(kills % 10 == 9 ? 200 : 0));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (home.temp_left()) ++mid_write;
    ASSERT_TRUE(PrefHome::exists(home.file())) << "file missing after kill " << kills;
    ifinfo *read = nullptr;
    ifinfo_read_preference(&read);
    const auto got = persist_test::describe_list(read);
    if (read != nullptr) ifinfo_free_list(read);
    ASSERT_TRUE(got == want_a || got == want_b)
        << "after kill " << kills << " the file holds " << got.size() << " entries";
    if (got == want_b) ++seen_b;
  }
  std::printf("%d kills, %d while a temporary file existed, %d left the second list\n", kills,
              mid_write, seen_b);
  EXPECT_GT(mid_write, 0);
  EXPECT_GT(seen_b, 0);
  ifinfo_free_list(list_a);
  ifinfo_free_list(list_b);
}

}  // namespace
