#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
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

// A signal handler installed without SA_RESTART, so a blocked call sees EINTR.
void nothing(int) {}
void install_interrupting(int sig) {
  struct sigaction sa {};
  sa.sa_handler = nothing;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  ASSERT_EQ(sigaction(sig, &sa, nullptr), 0);
}

TEST(SelectFd, RefusesBadDescriptors) {
  errno = 0;
  EXPECT_EQ(select_fd(-1, 0, 0), -1);
  EXPECT_EQ(errno, EBADF);
}

TEST(SelectFd, DescriptorsAboveTheSelectLimitAreWatchedSafely) {
  // An fd_set cannot hold this descriptor; it must still be served, never written past.
  Pair p;
  const int high = FD_SETSIZE + 40;
  ASSERT_EQ(dup2(p.a.get(), high), high);
  UniqueFd high_fd(high);
  EXPECT_EQ(select_fd(high, 0, 0), 0);
  EXPECT_GT(select_fd(high, 0, 1), 0);
  ASSERT_EQ(write(p.b.get(), "x", 1), 1);
  EXPECT_GT(select_fd(high, 1, 0), 0);
  uint8_t c = 0;
  EXPECT_EQ(tcp_read(high, &c, 1, 1), 1);
  EXPECT_EQ(c, 'x');
}

TEST(TcpRead, ReadsWhatHasArrivedAndZeroAtTheEnd) {
  Pair p;
  ASSERT_EQ(write(p.b.get(), "hello", 5), 5);
  uint8_t buf[16] = {};
  EXPECT_EQ(tcp_read(p.a.get(), buf, sizeof buf, 1), 5);
  EXPECT_EQ(std::memcmp(buf, "hello", 5), 0);
  ASSERT_EQ(write(p.b.get(), "abcdef", 6), 6);
  EXPECT_EQ(tcp_read(p.a.get(), buf, 4, 1), 4);  // never more than asked
  EXPECT_EQ(tcp_read(p.a.get(), buf, 4, 0), 2);
  p.b.reset();
  EXPECT_EQ(tcp_read(p.a.get(), buf, sizeof buf, 1), 0);
}

TEST(TcpRead, FailsOnAClosedDescriptorAndANegativeLength) {
  Pair p;
  uint8_t buf[4];
  errno = 0;
  EXPECT_EQ(tcp_read(-1, buf, sizeof buf, 1), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(tcp_read(p.a.get(), buf, -1, 0), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(TcpRead, ASignalDuringTheWaitDoesNotEndIt) {
  install_interrupting(SIGUSR1);
  Pair p;
  pthread_t reader = pthread_self();
  std::thread other([&] {
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
      pthread_kill(reader, SIGUSR1);
    }
    (void)!write(p.b.get(), "s", 1);
  });
  uint8_t c = 0;
  EXPECT_EQ(tcp_read(p.a.get(), &c, 1, 3), 1);
  EXPECT_EQ(c, 's');
  other.join();
  signal(SIGUSR1, SIG_DFL);
}

TEST(TcpWrite, LengthBelowOneTouchesNothing) {
  errno = 1234;
  EXPECT_EQ(tcp_write(-1, nullptr, 0, 1), 0);
  EXPECT_EQ(tcp_write(-1, nullptr, -7, 0), 0);
  EXPECT_EQ(errno, 1234);
}

TEST(TcpWrite, WritesEverythingAcrossManyWrites) {
  Pair p;
  std::vector<uint8_t> data(4 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  std::vector<uint8_t> got;
  std::thread reader([&] {
    uint8_t buf[65536];
    ssize_t n;
    while ((n = read(p.b.get(), buf, sizeof buf)) > 0) got.insert(got.end(), buf, buf + n);
  });
  int32_t rc = tcp_write(p.a.get(), data.data(), static_cast<int32_t>(data.size()), 2);
  EXPECT_GT(rc, 0);
  EXPECT_LE(rc, static_cast<int32_t>(data.size()));
  p.a.reset();
  reader.join();
  EXPECT_TRUE(got == data);
}

TEST(TcpWrite, APeerThatHasGoneGivesAnErrorNotSigpipe) {
  // SIGPIPE keeps its default action here: raising it would end this test program.
  signal(SIGPIPE, SIG_DFL);
  Pair p;
  p.b.reset();
  const uint8_t msg[] = "HEAD";
  errno = 0;
  EXPECT_EQ(tcp_write(p.a.get(), msg, 4, 1), -1);
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(tcp_write(p.a.get(), msg, 4, 0), -1);
}

TEST(TcpWrite, WorksOnAPipeToo) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  UniqueFd r(fds[0]), w(fds[1]);
  const uint8_t msg[] = "abc";
  EXPECT_EQ(tcp_write(w.get(), msg, 3, 1), 3);
  char buf[4] = {};
  EXPECT_EQ(read(r.get(), buf, 3), 3);
  EXPECT_STREQ(buf, "abc");
}

int blocking_flags(int fd) { return fcntl(fd, F_GETFL) & O_NONBLOCK; }

TEST(ConnectTimeo, ConnectsWithAndWithoutTimeOutKeepingBlockingMode) {
  UniqueFd listener = loopback_socket(true);
  ASSERT_TRUE(listener);
  sockaddr_in to = loopback_address(kivo8::test::bound_port(listener.get()));
  for (int32_t seconds : {0, 2}) {
    SCOPED_TRACE(seconds);
    UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    EXPECT_EQ(connect_timeo(s.get(), reinterpret_cast<sockaddr *>(&to), sizeof to, seconds), 0);
    EXPECT_EQ(blocking_flags(s.get()), 0);
    EXPECT_EQ(write(s.get(), "x", 1), 1);
  }
  // A socket that the caller made non-blocking stays so.
  UniqueFd nb(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  EXPECT_EQ(connect_timeo(nb.get(), reinterpret_cast<sockaddr *>(&to), sizeof to, 2), 0);
  EXPECT_NE(blocking_flags(nb.get()), 0);
}

TEST(ConnectTimeo, OtherFailuresKeepConnectsErrno) {
  sockaddr_in to = loopback_address(80);
  errno = 0;
  EXPECT_EQ(connect_timeo(-1, reinterpret_cast<sockaddr *>(&to), sizeof to, 2), -1);
  EXPECT_EQ(errno, EBADF);
  UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  EXPECT_EQ(connect_timeo(s.get(), reinterpret_cast<sockaddr *>(&to), 3, 2), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST(ConnectAlarm, IsAHandlerThatDoesNothing) {
  // Callers that still install it as their SIGALRM handler must survive the signal.
  auto previous = signal(SIGALRM, connect_alarm);
  ASSERT_NE(previous, SIG_ERR);
  EXPECT_EQ(raise(SIGALRM), 0);
  signal(SIGALRM, previous);
}

}  // namespace
