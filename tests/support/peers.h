// Shared test fixtures: real peers in processes we start, network namespaces of our own,
// scratch directories. Everything here is owned by RAII objects that end their processes
// (by pid) and remove their namespaces also when a test fails.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kivo8::test {

// Seconds from `start` to now, for the tests that time what they call.
inline double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// True when running under CI: a missing peer is then a failure, never a skip.
bool in_ci();

// Full path of an installed program, or empty when it is not on PATH.
std::string find_program(const std::string &name);

// Skips the test (or fails it in CI) when `program` is missing. Use at the top of a test:
//   KIVO8_REQUIRE_PROGRAM("snmpd");
#define KIVO8_REQUIRE_PROGRAM(program)                                                    \
  do {                                                                                    \
    if (::kivo8::test::find_program(program).empty()) {                                   \
      if (::kivo8::test::in_ci()) FAIL() << "required peer program missing: " << program; \
      GTEST_SKIP() << "peer program missing: " << program;                                \
    }                                                                                     \
  } while (0)

// Skips (fails in CI) when the process cannot create network namespaces (not root).
#define KIVO8_REQUIRE_NETNS()                                                            \
  do {                                                                                   \
    if (!::kivo8::test::can_make_netns()) {                                              \
      if (::kivo8::test::in_ci()) FAIL() << "network namespaces are not available";      \
      GTEST_SKIP() << "network namespaces are not available (need root and ip netns)";   \
    }                                                                                    \
  } while (0)
bool can_make_netns();

// Runs `command` through /bin/sh; returns its exit status (-1 when it did not exit).
int sh(const std::string &command);
// Runs `command` through /bin/sh and returns what it printed on standard output.
std::string sh_output(const std::string &command, int *status = nullptr);

// A child process started from argv (optionally inside a namespace), ended by pid.
class Process {
 public:
  Process() = default;
  // stdout and stderr go to `log_path` when given, else to /dev/null.
  Process(const std::vector<std::string> &argv, const std::string &netns = "",
          const std::string &log_path = "");
  Process(Process &&other) noexcept;
  Process &operator=(Process &&other) noexcept;
  Process(const Process &) = delete;
  Process &operator=(const Process &) = delete;
  ~Process();

  pid_t pid() const { return pid_; }
  bool running();
  // Sends SIGTERM, then SIGKILL after a grace period; reaps the child.
  void stop();
  // Waits for the child to exit and returns its status (-1 when killed).
  int wait();

 private:
  pid_t pid_ = -1;
};

// A network namespace named uniquely for this run, removed with every process in it.
class Netns {
 public:
  Netns();
  ~Netns();
  Netns(const Netns &) = delete;
  Netns &operator=(const Netns &) = delete;

  const std::string &name() const { return name_; }
  // Runs a shell command inside the namespace; returns its exit status.
  int sh(const std::string &command) const;
  // Like sh but fails the current test when the command does not succeed.
  void must(const std::string &command) const;
  std::string sh_output(const std::string &command) const;
  // Moves the calling thread into this namespace until leave() or destruction.
  void enter();
  void leave();

 private:
  std::string name_;
  int saved_ns_ = -1;
};

// A scratch directory removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir &) = delete;
  TempDir &operator=(const TempDir &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A port on 127.0.0.1 that was free a moment ago.
int free_udp_port();
int free_tcp_port();

// Polls `ready` every 50 ms for up to `seconds`; true once it returns true.
bool wait_until(double seconds, const std::function<bool()> &ready);

// Source and build directories, for fixtures and built tools.
std::string source_dir();
std::string binary_dir();

}  // namespace kivo8::test
