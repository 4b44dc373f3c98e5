// How long the TCP helpers and the web-server probe wait: time-outs measured against the
// clock on loopback. The upper bounds leave room for a loaded machine, not for valgrind's
// slowdown (label timing).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "kivo8/tcp_utils.h"
#include "support/tcp_loopback.h"

namespace {

using kivo8::UniqueFd;
using kivo8::test::loopback_address;
using kivo8::test::loopback_socket;
using kivo8::test::seconds_since;
using clk = std::chrono::steady_clock;

using Pair = kivo8::test::SocketPair;

in_addr loopback() {
  in_addr a{};
  a.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

int blocking_flags(int fd) { return fcntl(fd, F_GETFL) & O_NONBLOCK; }

TEST(SelectFd, ReportsReadableWritableAndTimeOut) {
  Pair p;
  auto start = clk::now();
  EXPECT_EQ(select_fd(p.a.get(), 0, 0), 0);  // nothing to read, no wait
  EXPECT_LT(seconds_since(start), 0.5);
  EXPECT_GT(select_fd(p.a.get(), 0, 1), 0);
  ASSERT_EQ(write(p.b.get(), "x", 1), 1);
  EXPECT_GT(select_fd(p.a.get(), 1, 0), 0);

  start = clk::now();
  EXPECT_EQ(select_fd(p.b.get(), 1, 0), 0);
  double waited = seconds_since(start);
  EXPECT_GT(waited, 0.8);
  EXPECT_LT(waited, 2.5);
}

TEST(TcpRead, TimesOutWithEtimedout) {
  Pair p;
  uint8_t buf[4];
  auto start = clk::now();
  errno = 0;
  EXPECT_EQ(tcp_read(p.a.get(), buf, sizeof buf, 1), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_GT(seconds_since(start), 0.8);
  EXPECT_LT(seconds_since(start), 2.5);
}

TEST(TcpRead, WithoutTimeOutBlocksUntilData) {
  Pair p;
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    (void)!write(p.b.get(), "z", 1);
  });
  uint8_t c = 0;
  auto start = clk::now();
  EXPECT_EQ(tcp_read(p.a.get(), &c, 1, 0), 1);
  EXPECT_GT(seconds_since(start), 0.2);
  EXPECT_EQ(c, 'z');
  late.join();
}

TEST(TcpWrite, TimesOutWhenNobodyReads) {
  Pair p;
  // Fill the connection until the kernel takes nothing more, then ask for one byte.
  int flags = fcntl(p.a.get(), F_GETFL);
  ASSERT_EQ(fcntl(p.a.get(), F_SETFL, flags | O_NONBLOCK), 0);
  std::vector<uint8_t> chunk(65536, 0x55);
  while (write(p.a.get(), chunk.data(), chunk.size()) > 0) {
  }
  ASSERT_EQ(errno, EAGAIN);
  ASSERT_EQ(fcntl(p.a.get(), F_SETFL, flags), 0);
  auto start = clk::now();
  errno = 0;
  EXPECT_EQ(tcp_write(p.a.get(), chunk.data(), 1, 1), -1);
  EXPECT_EQ(errno, ETIMEDOUT);
  EXPECT_GT(seconds_since(start), 0.8);
  EXPECT_LT(seconds_since(start), 3.0);
}

TEST(ConnectTimeo, ARefusedConnectGivesItsErrorAtOnce) {
  UniqueFd closed_port = loopback_socket(false);
  ASSERT_TRUE(closed_port);
  sockaddr_in to = loopback_address(kivo8::test::bound_port(closed_port.get()));
  for (int32_t seconds : {0, 3}) {
    SCOPED_TRACE(seconds);
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto start = clk::now();
    errno = 0;
    EXPECT_EQ(connect_timeo(s.get(), reinterpret_cast<sockaddr *>(&to), sizeof to, seconds), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(blocking_flags(s.get()), 0);
  }
}

TEST(Probe, SilentServerFailsAfterTheReadTimeOut) {
  // Listening but never accepting: the kernel completes the connect and takes the
  // request, and nothing ever comes back.
  UniqueFd listener = kivo8::test::loopback_socket(true);
  ASSERT_TRUE(listener);
  in_addr addr = loopback();
  auto start = clk::now();
  EXPECT_EQ(tcp_check_http(&addr, kivo8::test::bound_port(listener.get())), -1);
  double waited = seconds_since(start);
  EXPECT_GT(waited, 1.8);
  EXPECT_LT(waited, 3.5);
}

TEST(Probe, RefusedPortFailsAtOnce) {
  UniqueFd closed_port = kivo8::test::loopback_socket(false);
  ASSERT_TRUE(closed_port);
  in_addr addr = loopback();
  auto start = clk::now();
  EXPECT_EQ(tcp_check_http(&addr, kivo8::test::bound_port(closed_port.get())), -1);
  EXPECT_LT(seconds_since(start), 1.0);
}

}  // namespace
