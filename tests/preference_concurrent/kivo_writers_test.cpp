// Many kivo programs changing the saved targets at once, as scripts started together do,
// some of them killed midway: every "added target N" that a program printed is in the file
// under that id, no program fails to write, and the ids stay unique.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/kivo_run.h"
#include "support/peers.h"

namespace {

using kivo8::test::kivo_command;
using kivo8::test::saved_targets;
using kivo8::test::shell_quote;
using kivo8::test::slurp;
using kivo8::test::TempDir;

std::string range_first(int i) { return "10." + std::to_string(i / 200) + "." + std::to_string(i % 200) + ".1"; }
std::string range_last(int i) { return "10." + std::to_string(i / 200) + "." + std::to_string(i % 200) + ".9"; }
std::string saved_range(int i) { return range_first(i) + "," + range_last(i) + ",0.0.0.0,3,0,vellum"; }

// Starts kivo in the background with its output in files of `home`; the pid is kivo's.
pid_t start_kivo(const TempDir &home, int i) {
  const std::string command =
      "exec env " + kivo_command(home.path(), {"targets", "add-range", range_first(i), range_last(i)}) +
      " >" + shell_quote(home.file("out." + std::to_string(i))) + " 2>" +
      shell_quote(home.file("err." + std::to_string(i)));
  const pid_t pid = fork();
  if (pid == 0) {
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
    _exit(127);
  }
  return pid;
}

int exit_status(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -2;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(KivoWriters, SixtyAddsAtOnceAreAllSavedUnderTheIdsTheyPrinted) {
  TempDir home;
  constexpr int kWriters = 60;
  std::vector<pid_t> pids;
  for (int i = 0; i < kWriters; ++i) pids.push_back(start_kivo(home, i));
  std::set<int32_t> ids;
  int failed = 0;
  const auto saved = [&] {
    std::vector<int> status;
    for (pid_t pid : pids) status.push_back(exit_status(pid));
    return status;
  }();
  const auto file = saved_targets(home.path());
  for (int i = 0; i < kWriters; ++i) {
    SCOPED_TRACE("writer " + std::to_string(i));
    const std::string out = slurp(home.file("out." + std::to_string(i)));
    const std::string err = slurp(home.file("err." + std::to_string(i)));
    EXPECT_EQ(saved[std::size_t(i)], 0) << err;
    EXPECT_EQ(err, "");
    if (saved[std::size_t(i)] != 0 || out.rfind("added target ", 0) != 0) {
      ++failed;
      continue;
    }
    const int32_t id = std::stoi(out.substr(13));
    EXPECT_TRUE(ids.insert(id).second) << "id " << id << " printed twice";
    EXPECT_TRUE(file.count(id) == 1 && file.at(id) == saved_range(i)) << "id " << id;
  }
  std::printf("%d writers: %zu added and saved, %d failed; the file holds %zu targets\n",
              kWriters, ids.size(), failed, file.size());
  EXPECT_EQ(failed, 0);
  // The new ranges only (the host's interfaces are saved too).
  std::size_t ranges = 0;
  for (const auto &[id, line] : file) ranges += id >= 10000 && id < 20000;
  EXPECT_EQ(ranges, std::size_t(kWriters));
}

TEST(KivoWriters, KilledAddsLeaveTheOthersSavedAndBlockNoOne) {
  TempDir home;
  constexpr int kWriters = 60;
  std::mt19937 rng(777);
  std::uniform_int_distribution<int> delay_us(0, 40000);
  std::vector<pid_t> pids;
  for (int i = 0; i < kWriters; ++i) pids.push_back(start_kivo(home, i));
  // Every third one is killed at some moment of its run: before, while or after it holds
  // the lock.
  for (int i = 0; i < kWriters; i += 3) {
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    kill(pids[std::size_t(i)], SIGKILL);
  }
  std::vector<int> status;
  for (pid_t pid : pids) status.push_back(exit_status(pid));
  const auto file = saved_targets(home.path());
  int killed = 0, kept = 0;
  std::set<std::string> lines;
  for (const auto &[id, line] : file) EXPECT_TRUE(lines.insert(line).second) << line;
  for (int i = 0; i < kWriters; ++i) {
    SCOPED_TRACE("writer " + std::to_string(i));
    if (status[std::size_t(i)] == -1) {
      ++killed;
      continue;
    }
    const std::string out = slurp(home.file("out." + std::to_string(i)));
    EXPECT_EQ(status[std::size_t(i)], 0) << slurp(home.file("err." + std::to_string(i)));
    ASSERT_EQ(out.rfind("added target ", 0), 0u) << out;
    const int32_t id = std::stoi(out.substr(13));
    EXPECT_TRUE(file.count(id) == 1 && file.at(id) == saved_range(i)) << "id " << id;
    ++kept;
  }
  std::printf("%d writers, %d killed, %d finished and were all saved\n", kWriters, killed, kept);
  // The next change goes through, whatever the dead held.
  const pid_t after = start_kivo(home, kWriters);
  EXPECT_EQ(exit_status(after), 0) << slurp(home.file("err." + std::to_string(kWriters)));
  EXPECT_EQ(saved_targets(home.path()).size(), file.size() + 1);
}

}  // namespace
