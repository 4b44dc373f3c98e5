// Many writers of one preference file at once, threads and processes, some killed in the
// middle of a write: no change that a writer was told succeeded may be lost, the file is
// always one whole version, and a dead writer's lock never blocks the next.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kivo8/ifinfo.h"
#include "kivo8/preference.h"
#include "support/pref_home.h"

namespace {

using kivo8::test::PrefHome;

// The key lines of section "s", key to value.
std::map<std::string, std::string> keys_of(const std::string &file) {
  std::map<std::string, std::string> out;
  std::istringstream lines(file);
  bool in_s = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == '%') {
      in_s = line == "%s";
      continue;
    }
    const std::size_t eq = line.find('=');
    if (in_s && eq != std::string::npos) out[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return out;
}

// One step of a counter that every writer increments: read it and write it back one
// higher, as one change under the store's lock.
bool increment(const char *key) {
  if (kivo_preference_lock() != 0) return false;
  char buf[32] = "0";
  lanset_get_preference_string("s", key, buf, sizeof buf);
  const bool ok =
      lanset_set_preference_string("s", key, std::to_string(std::atoi(buf) + 1).c_str()) == 0;
  return kivo_preference_unlock() == 0 && ok;
}

std::string value_of(int writer, int n) {
  return std::to_string(writer) + "." + std::to_string(n) + std::string(40, 'v');
}

TEST(PreferenceWriters, ThreadsSettingAtOnceLoseNothing) {
  PrefHome home;
  ASSERT_TRUE(home.ready());
  constexpr int kThreads = 8, kEach = 20;
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([t, &failures] {
      for (int n = 0; n < kEach; ++n) {
        const std::string key = "t" + std::to_string(t) + "_" + std::to_string(n);
        if (lanset_set_preference_string("s", key.c_str(), value_of(t, n).c_str()) != 0)
          ++failures[std::size_t(t)];
        if (!increment("counter")) ++failures[std::size_t(t)];
      }
    });
  for (auto &th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[std::size_t(t)], 0) << "thread " << t;
  const auto keys = keys_of(home.contents().value_or(""));
  for (int t = 0; t < kThreads; ++t)
    for (int n = 0; n < kEach; ++n)
      EXPECT_EQ(keys.count("t" + std::to_string(t) + "_" + std::to_string(n)), 1u) << t << " " << n;
  EXPECT_EQ(keys.count("counter") ? keys.at("counter") : "", std::to_string(kThreads * kEach));
  EXPECT_FALSE(home.temp_left());
}

TEST(PreferenceWriters, ThreadsSavingTargetsAndSettingKeysLoseNothing) {
  PrefHome home;
  ASSERT_TRUE(home.ready());
  // A whole-list save beside single sets: the save's update replaces only its section.
  constexpr int kRounds = 15;
  std::thread saver([] {
    for (int n = 0; n < kRounds; ++n) {
      ifinfo *e = ifinfo_new_with(("10001,10.0." + std::to_string(n) + ".1,10.0." +
                                   std::to_string(n) + ".9,0.0.0.0,3,0,vellum")
                                      .c_str());
      ASSERT_NE(e, nullptr);
      EXPECT_EQ(ifinfo_write_preference(e), 0);
      ifinfo_free(e);
    }
  });
  std::thread setter([] {
    for (int n = 0; n < kRounds * 2; ++n)
      EXPECT_EQ(lanset_set_preference_string("s", ("k" + std::to_string(n)).c_str(), "v"), 0);
  });
  saver.join();
  setter.join();
  const auto keys = keys_of(home.contents().value_or(""));
  for (int n = 0; n < kRounds * 2; ++n) EXPECT_EQ(keys.count("k" + std::to_string(n)), 1u) << n;
  char line[128];
  ASSERT_EQ(lanset_get_preference_string("network", "1", line, sizeof line), 0);
  EXPECT_STREQ(line, ("10001,10.0." + std::to_string(kRounds - 1) + ".1,10.0." +
                      std::to_string(kRounds - 1) + ".9,0.0.0.0,3,0,vellum")
                         .c_str());
}

TEST(PreferenceWriters, ProcessesStartingTogetherAllGetTheNewDirectory) {
  // The first run in a fresh home: all of them find the directory missing, one makes it,
  // and the others must take the one it made rather than fail.
  for (int round = 0; round < 5; ++round) {
    kivo8::test::TempDir home;
    setenv("HOME", home.path().c_str(), 1);
    std::vector<pid_t> children;
    for (int i = 0; i < 20; ++i) {
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) _exit(lanset_set_preference_dir() == 0 ? 0 : 1);
      children.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : children) {
      int status = 0;
      waitpid(pid, &status, 0);
      failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(failed, 0) << "round " << round;
  }
}

// Child processes report each change the store said it made through a pipe, so that the
// parent can check them against the file whatever happened to the child afterwards.
struct Report {
  int writer, n;
};

[[noreturn]] void write_forever(int writer, int pipe_fd, int limit) {
  for (int n = 0; n < limit; ++n) {
    const std::string key = "w" + std::to_string(writer) + "_" + std::to_string(n);
    if (lanset_set_preference_string("s", key.c_str(), value_of(writer, n).c_str()) == 0) {
      const Report r{writer, n};
      if (write(pipe_fd, &r, sizeof r) != sizeof r) _exit(3);
    } else {
      _exit(4);
    }
  }
  _exit(0);
}

std::vector<Report> drain(int pipe_fd) {
  std::vector<Report> out;
  Report r;
  while (read(pipe_fd, &r, sizeof r) == sizeof r) out.push_back(r);
  return out;
}

TEST(PreferenceWriters, ProcessesSettingAtOnceLoseNothing) {
  PrefHome home;
  ASSERT_TRUE(home.ready());
  constexpr int kProcesses = 30, kEach = 8;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<pid_t> children;
  for (int w = 0; w < kProcesses; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      for (int n = 0; n < kEach; ++n)
        if (!increment("counter")) _exit(5);
      write_forever(w, fds[1], kEach);
    }
    children.push_back(pid);
  }
  close(fds[1]);
  const std::vector<Report> reports = drain(fds[0]);
  close(fds[0]);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  }
  EXPECT_EQ(reports.size(), std::size_t(kProcesses * kEach));
  const auto keys = keys_of(home.contents().value_or(""));
  for (const Report &r : reports) {
    const std::string key = "w" + std::to_string(r.writer) + "_" + std::to_string(r.n);
    EXPECT_EQ(keys.count(key) ? keys.at(key) : "", value_of(r.writer, r.n)) << key;
  }
  EXPECT_EQ(keys.count("counter") ? keys.at("counter") : "", std::to_string(kProcesses * kEach));
}

// A set run in a child that must end within `seconds`: a lock left behind by a dead writer
// would make it wait for ever.
bool set_finishes(const char *key, unsigned seconds) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    alarm(seconds);
    _exit(lanset_set_preference_string("s", key, "after") == 0 ? 0 : 1);
  }
  int status = 0;
  return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(PreferenceWriters, KilledWritersLeaveAWholeFileAndNoLockBehind) {
  PrefHome home;
  ASSERT_TRUE(home.ready());
  // A large section of other settings makes each write long enough to be struck.
  std::string other = "%other\n";
  for (int i = 0; i < 2000; ++i) other += "line" + std::to_string(i) + "=" + std::string(40, 'o') + "\n";
  home.put(other + "%s\n");

  std::mt19937 rng(4242);
  std::uniform_int_distribution<int> delay_us(0, 20000);
  constexpr int kRounds = 40, kWriters = 3;
  int mid_write = 0, writer_id = 0;
  std::vector<Report> reports;
  for (int round = 0; round < kRounds; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w, ++writer_id) {
      const pid_t pid = fork();
      ASSERT_GE(pid, 0);
      if (pid == 0) {
        close(fds[0]);
        write_forever(writer_id, fds[1], 1 << 20);
      }
      children.push_back(pid);
    }
    // And one that dies while holding the lock outright, between two of its own changes.
    const pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
      close(fds[0]);
      for (;;) {
        if (kivo_preference_lock() != 0) _exit(6);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        kivo_preference_unlock();
      }
    }
    close(fds[1]);
    // Mostly soon, striking the first writes; every fifth round late enough that some
    // writes finish first even on a slow machine (or under valgrind), so that there are
    // reported changes to look for.
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)) +
                                std::chrono::milliseconds(round % 5 == 4 ? 300 : 0));
    for (pid_t pid : children) kill(pid, SIGKILL);
    kill(holder, SIGKILL);
    for (pid_t pid : children) waitpid(pid, nullptr, 0);
    waitpid(holder, nullptr, 0);
    for (const Report &r : drain(fds[0])) reports.push_back(r);
    close(fds[0]);
    if (home.temp_left()) ++mid_write;

    // Whole: the other section intact, every line of "s" one that some set wrote whole.
    const std::string now = home.contents().value_or("");
    ASSERT_EQ(now.rfind(other + "%s\n", 0), 0u) << "round " << round;
    ASSERT_TRUE(now.back() == '\n') << "round " << round;
    for (const auto &[key, value] : keys_of(now)) {
      if (key == "after") continue;
      const std::size_t cut = key.find('_');
      ASSERT_EQ(value, value_of(std::atoi(key.c_str() + 1), std::atoi(key.c_str() + cut + 1)))
          << key;
    }
    // Nothing reported is missing, and the next writer goes ahead at once.
    const auto keys = keys_of(now);
    for (const Report &r : reports)
      ASSERT_EQ(keys.count("w" + std::to_string(r.writer) + "_" + std::to_string(r.n)), 1u)
          << "round " << round;
    ASSERT_TRUE(set_finishes("after", 60)) << "round " << round;
    EXPECT_FALSE(home.temp_left()) << "the next write sweeps what the dead left";
  }
  std::printf("%d rounds, %zu changes reported and kept, %d kills during a write\n", kRounds,
              reports.size(), mid_write);
  EXPECT_GT(mid_write, 0) << "no kill struck a write: the test proves nothing";
  EXPECT_FALSE(reports.empty());
}

}  // namespace
