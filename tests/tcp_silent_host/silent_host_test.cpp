// Connects to a host that never answers (a namespace whose firewall drops every SYN):
// the connect and probe time-outs, alone and on eight threads at once. Labels timing,
// namespace and concurrent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "kivo8/tcp_utils.h"
#include "support/tcp_loopback.h"

namespace {

using kivo8::UniqueFd;
using kivo8::test::loopback_address;
using kivo8::test::seconds_since;
using clk = std::chrono::steady_clock;

in_addr loopback() {
  in_addr a{};
  a.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int blocking_flags(int fd) { return fcntl(fd, F_GETFL) & O_NONBLOCK; }

std::atomic<int> g_alarms{0};
void count_alarm(int) { g_alarms++; }

TEST(ConnectTimeo, ATimeOutGivesEintrAndLeavesTheAlarmAlone) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("nft");
  static std::atomic<int> alarms{0};
  struct sigaction mine {}, seen{};
  mine.sa_handler = [](int) { alarms++; };
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &mine, nullptr), 0);
  alarm(100);

  kivo8::test::SilentHost host;
  host.ns.enter();
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  host.ns.leave();
  sockaddr_in to = loopback_address(kivo8::test::SilentHost::port);
  auto start = clk::now();
  errno = 0;
  EXPECT_EQ(connect_timeo(s.get(), reinterpret_cast<sockaddr *>(&to), sizeof to, 1), -1);
  EXPECT_EQ(errno, EINTR);
  double waited = seconds_since(start);
  EXPECT_GT(waited, 0.9);
  EXPECT_LT(waited, 2.0);
  EXPECT_EQ(blocking_flags(s.get()), 0);

  unsigned left = alarm(0);
  EXPECT_GE(left, 95u);
  EXPECT_LE(left, 100u);
  ASSERT_EQ(sigaction(SIGALRM, nullptr, &seen), 0);
  EXPECT_EQ(seen.sa_handler, mine.sa_handler);
  EXPECT_EQ(alarms.load(), 0);
  signal(SIGALRM, SIG_DFL);
}

TEST(Probe, HostThatNeverAnswersFailsAfterTheConnectTimeOut) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("nft");
  kivo8::test::SilentHost host;
  host.ns.enter();
  in_addr addr = loopback();
  auto start = clk::now();
  int32_t rc = tcp_check_http(&addr, kivo8::test::SilentHost::port);
  double waited = seconds_since(start);
  host.ns.leave();
  EXPECT_EQ(rc, -1);
  EXPECT_GT(waited, 2.8);
  EXPECT_LT(waited, 4.5);
}

TEST(ProbeThreads, EightSilentHostsAtOnceEachTimeOutOnTheirOwn) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("nft");
  struct sigaction mine {}, seen{};
  mine.sa_handler = count_alarm;
  sigemptyset(&mine.sa_mask);
  ASSERT_EQ(sigaction(SIGALRM, &mine, nullptr), 0);
  alarm(60);

  kivo8::test::SilentHost host;
  constexpr int workers = 8;
  std::vector<int32_t> results(workers, 0);
  std::vector<double> waited(workers, 0);
  std::vector<std::thread> threads;
  // Threads started from inside the namespace live there too.
  host.ns.enter();
  auto start = clk::now();
  for (int i = 0; i < workers; ++i)
    threads.emplace_back([&, i] {
      in_addr addr = loopback();
      auto own_start = clk::now();
      results[i] = tcp_check_http(&addr, kivo8::test::SilentHost::port);
      waited[i] = seconds_since(own_start);
    });
  host.ns.leave();
  for (auto &t : threads) t.join();
  double all = seconds_since(start);

  for (int i = 0; i < workers; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(results[i], -1);
    EXPECT_GT(waited[i], 2.8);
    EXPECT_LT(waited[i], 4.5);
  }
  EXPECT_LT(all, 5.0);

  unsigned left = alarm(0);
  EXPECT_GE(left, 50u);
  ASSERT_EQ(sigaction(SIGALRM, nullptr, &seen), 0);
  EXPECT_EQ(seen.sa_handler, &count_alarm);
  EXPECT_EQ(g_alarms.load(), 0);
  signal(SIGALRM, SIG_DFL);
}

}  // namespace
