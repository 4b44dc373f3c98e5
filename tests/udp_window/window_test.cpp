// The transport's collection windows: how long a read waits, measured against the clock,
// and replies gathered from several senders while the window runs. Wall-time bounds here
// leave room for a loaded machine, but not for valgrind's slowdown (label timing).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kivo8/udp_sess.h"
#include "net/udp_internal.h"
#include "support/peers.h"
#include "support/udp_peer.h"

namespace {

using namespace kivo8::test::udp;

void on_alarm(int) {}

TEST(UdpLoopback, SynchReadTimesOutWithoutCallingBack) {
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->recv_buffer_size = 64;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
  Deliveries d;
  auto t0 = Clock::now();
  EXPECT_EQ(udp_synch_read(s.get(), record, &d, nullptr), UDP_ERR_TIMEOUT);
  double took = seconds_since(t0);
  EXPECT_GE(took, 1.95);
  EXPECT_LT(took, 3.0);
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(s->recv_buffer, nullptr);
}

TEST(UdpLoopback, AsynchReadWithTimeoutZeroReturnsAtOnce) {
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->recv_buffer_size = 64;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
  peer.send_to(peer.receive(), "queued");
  pause_ms(50);
  s->timeout = 0;
  Deliveries d;
  auto t0 = Clock::now();
  EXPECT_EQ(udp_asynch_read(s.get(), record, &d, nullptr), UDP_OK);
  EXPECT_LT(seconds_since(t0), 0.5);
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(s->recv_buffer, nullptr);
}

// Replies from three senders at 0.2 s, 0.5 s and 1.1 s: the wait that starts at 1.1 s
// runs its whole 2 seconds, so the window ends at about 3.1 s; newest first.
TEST(UdpWindowThreads, AsynchReadCollectsTheWindowAndDeliversNewestFirst) {
  Peer peer, s2("127.0.0.2"), s3("127.0.0.3"), s4("127.0.0.4");
  Session s = open_to("127.0.0.1", peer.port());
  s->timeout = 3;
  s->recv_buffer_size = 2048;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
  sockaddr_in client = peer.receive();
  std::thread replies([&] {
    pause_ms(200);
    s2.send_to(client, "r1");
    pause_ms(300);
    s3.send_to(client, "r2");
    pause_ms(600);
    s4.send_to(client, "r3");
  });
  Deliveries d;
  int marker = 0;
  auto t0 = Clock::now();
  EXPECT_EQ(udp_asynch_read(s.get(), record, &d, &marker), UDP_OK);
  double took = seconds_since(t0);
  replies.join();
  EXPECT_GE(took, 3.0);
  EXPECT_LT(took, 3.6);
  ASSERT_EQ(d.calls.size(), 3u);
  EXPECT_EQ(d.calls[0].from, "127.0.0.4");
  EXPECT_EQ(d.calls[0].bytes, bytes_of("r3"));
  EXPECT_EQ(d.calls[1].from, "127.0.0.3");
  EXPECT_EQ(d.calls[2].from, "127.0.0.2");
  EXPECT_EQ(d.calls[2].bytes, bytes_of("r1"));
  for (const auto &c : d.calls) {
    EXPECT_EQ(c.arg2, &marker);
    EXPECT_FALSE(c.buffer_is_sessions) << "each datagram comes from its own node";
  }
  EXPECT_EQ(s->recv_buffer, nullptr);
}

// However many replies keep arriving, a window of T seconds lasts >= T and < T + 1.
TEST(UdpWindowThreads, AsynchWindowEndsInTimeUnderAStreamOfReplies) {
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->timeout = 2;
  s->recv_buffer_size = 2048;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
  sockaddr_in client = peer.receive();
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread replies([&] {
    while (!stop) {
      peer.send_to(client, "r" + std::to_string(sent.load()));
      ++sent;
      pause_ms(30);
    }
  });
  Deliveries d;
  auto t0 = Clock::now();
  EXPECT_EQ(udp_asynch_read(s.get(), record, &d, nullptr), UDP_OK);
  double took = seconds_since(t0);
  stop = true;
  replies.join();
  EXPECT_GE(took, 2.0);
  EXPECT_LT(took, 3.0);
  EXPECT_GT(d.calls.size(), 20u);
  // Newest first: the sequence numbers come out in falling order.
  for (size_t i = 1; i < d.calls.size(); ++i)
    EXPECT_GT(std::stoi(std::string(d.calls[i - 1].bytes.begin() + 1, d.calls[i - 1].bytes.end())),
              std::stoi(std::string(d.calls[i].bytes.begin() + 1, d.calls[i].bytes.end())));
}

// A signal that lands during a wait (the HTTP probe's alarm, say) must not cost the
// replies collected so far or end a synchronous wait early.
TEST(UdpWindowThreads, InterruptedWaitsGoOn) {
  struct sigaction sa {}, old {};
  sa.sa_handler = on_alarm;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: select() sees EINTR
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->timeout = 2;
  s->recv_buffer_size = 64;
  itimerval every{{0, 150000}, {0, 150000}};
  ASSERT_EQ(setitimer(ITIMER_REAL, &every, nullptr), 0);

  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
  sockaddr_in client = peer.receive();
  std::thread late([&] {
    pause_ms(500);
    peer.send_to(client, "sync");
  });
  Deliveries d;
  EXPECT_EQ(udp_synch_read(s.get(), record, &d, nullptr), UDP_OK);
  late.join();
  ASSERT_EQ(d.calls.size(), 1u);

  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
  client = peer.receive();
  std::thread replies([&] {
    pause_ms(100);
    peer.send_to(client, "one");
    pause_ms(500);
    peer.send_to(client, "two");
  });
  d.calls.clear();
  auto t0 = Clock::now();
  EXPECT_EQ(udp_asynch_read(s.get(), record, &d, nullptr), UDP_OK);
  double took = seconds_since(t0);
  replies.join();
  EXPECT_EQ(d.calls.size(), 2u);
  EXPECT_GE(took, 2.0);
  EXPECT_LT(took, 3.0);

  // With no reply at all the interrupted wait still lasts its whole time-out.
  s->timeout = 1;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
  t0 = Clock::now();
  EXPECT_EQ(udp_synch_read(s.get(), record, &d, nullptr), UDP_ERR_TIMEOUT);
  took = seconds_since(t0);
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 2.0);

  itimerval off{};
  setitimer(ITIMER_REAL, &off, nullptr);
  sigaction(SIGALRM, &old, nullptr);
}

}  // namespace
