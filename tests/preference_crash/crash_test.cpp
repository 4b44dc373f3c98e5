// A writer killed at random moments: the preference file must always hold one whole state.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "kivo8/preference.h"
#include "support/pref_home.h"

namespace {

using kivo8::test::PrefHome;

TEST(PreferenceCrash, AKilledSetLeavesTheOldOrTheNewFile) {
  PrefHome home;
  ASSERT_TRUE(home.ready());
  std::string other = "%other\n";
  for (int i = 0; i < 300; ++i) other += "line" + std::to_string(i) + "=" + std::string(30, 'o') + "\n";
  const std::string value_a(3000, 'a'), value_b(20, 'b');
  const std::string state_a = other + "%s\nk=" + value_a + "\ntail=1\n";
  const std::string state_b = other + "%s\nk=" + value_b + "\ntail=1\n";
  home.put(state_a);

  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> delay_us(0, 15000);
  int kills = 0, mid_write = 0, seen_b = 0;
  for (; kills < 200; ++kills) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) {
        lanset_set_preference_string("s", "k", value_b.c_str());
        lanset_set_preference_string("s", "k", value_a.c_str());
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
    const auto now = home.contents();
    ASSERT_TRUE(now.has_value()) << "file missing after kill " << kills;
    ASSERT_TRUE(*now == state_a || *now == state_b) << "mixed file after kill " << kills;
    if (*now == state_b) ++seen_b;
    char buf[4096];
    ASSERT_EQ(lanset_get_preference_string("s", "k", buf, sizeof buf), 0);
  }
  RecordProperty("kills_during_write", mid_write);
  std::printf("%d kills, %d while a temporary file existed, %d left the second value\n", kills,
              mid_write, seen_b);
  // The kills must have struck while writes were under way, else the test proves nothing.
  EXPECT_GT(mid_write, 0);
  EXPECT_GT(seen_b, 0);
}

}  // namespace
