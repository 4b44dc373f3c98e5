#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/alloc.h"
#include "core/unique_fd.h"
#include "kivo8/udp_sess.h"
#include "net/udp_internal.h"
#include "support/alloc_failure.h"
#include "support/peers.h"
#include "support/udp_peer.h"

namespace {

using namespace kivo8::test::udp;

TEST(UdpOpen, RefusesOtherFamiliesAndSetsDefaults) {
  struct in_addr a = ip("127.0.0.1");
  EXPECT_EQ(udp_open(23, &a, 161, nullptr), nullptr);
  Session s = open_to("127.0.0.1", 161);
  EXPECT_EQ(s->timeout, 2);
  EXPECT_EQ(s->flags, 0u);
  EXPECT_EQ(s->family, 2);
  EXPECT_EQ(text_of(s->address), "127.0.0.1");
  EXPECT_EQ(s->port, 161);
  EXPECT_EQ(s->recv_buffer_size, 0u);
  EXPECT_EQ(s->recv_buffer, nullptr);
  ASSERT_NE(s->sockinfo, nullptr);
  EXPECT_EQ(s->sockinfo->fd, -1);
  EXPECT_EQ(s->sockinfo->remote.sin_family, AF_INET);
  EXPECT_EQ(ntohs(s->sockinfo->remote.sin_port), 161);
  EXPECT_EQ(text_of(s->sockinfo->remote.sin_addr), "127.0.0.1");
  EXPECT_EQ(s->sockinfo->local.sin_family, AF_INET);
  EXPECT_EQ(s->sockinfo->local.sin_port, 0);
  EXPECT_EQ(s->sockinfo->local.sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST(UdpOpen, TakesTimeoutAndLocalAddressFromTheTarget) {
  ifinfo *t = ifinfo_new();
  t->count = 5;
  t->addr = ip("127.0.0.1");
  Session s = open_to("127.0.0.9", 161, t);
  EXPECT_EQ(s->timeout, 5);
  EXPECT_EQ(text_of(s->sockinfo->local.sin_addr), "127.0.0.1");
  ifinfo_free(t);
}

TEST(UdpOpen, AllocationFailures) {
  struct in_addr a = ip("127.0.0.1");
  kivo8::test::sweep_allocation_failures([&] {
    udp_session *s = udp_open(2, &a, 161, nullptr);
    if (s == nullptr) return false;
    EXPECT_EQ(udp_close(s), 0);
    return true;
  });
}

TEST(UdpLoopback, SendAndSynchReadHandOverOneReplyWithItsSender) {
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->recv_buffer_size = 8192;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("ping"), 4), UDP_OK);
  EXPECT_GE(s->sockinfo->fd, 0);
  EXPECT_EQ(s->local_port, 0);
  std::string got;
  sockaddr_in client = peer.receive(&got);
  ASSERT_EQ(got, "ping");
  Peer other("127.0.0.2");
  other.send_to(client, "pong");
  Deliveries d;
  int marker = 0;
  EXPECT_EQ(udp_synch_read(s.get(), record, &d, &marker), UDP_OK);
  ASSERT_EQ(d.calls.size(), 1u);
  EXPECT_EQ(d.calls[0].bytes, bytes_of("pong"));
  EXPECT_EQ(d.calls[0].from, "127.0.0.2");
  EXPECT_EQ(d.calls[0].arg2, &marker);
  EXPECT_TRUE(d.calls[0].buffer_is_sessions);
  EXPECT_EQ(text_of(s->from_address), "127.0.0.2");
  EXPECT_EQ(s->recv_buffer, nullptr);
}

TEST(UdpLoopback, SendLeavesFromTheTargetsAddress) {
  Peer peer("127.0.0.2");
  ifinfo *t = ifinfo_new();
  t->addr = ip("127.0.0.5");
  Session s = open_to("127.0.0.2", peer.port(), t);
  ifinfo_free(t);  // the session keeps what it needs, not the target
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
  EXPECT_EQ(text_of(peer.receive().sin_addr), "127.0.0.5");
}

TEST(UdpLoopback, PortChangeTakesEffectAtTheNextSend) {
  Peer a, b;
  Session s = open_to("127.0.0.1", a.port());
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("1"), 1), UDP_OK);
  std::string got;
  a.receive(&got);
  EXPECT_EQ(got, "1");
  s->port = b.port();
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("2"), 1), UDP_OK);
  b.receive(&got);
  EXPECT_EQ(got, "2");
  EXPECT_EQ(ntohs(s->sockinfo->remote.sin_port), b.port());
}

TEST(UdpLoopback, EverySendUsesANewSocketSoLateRepliesAreNeverRead) {
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->timeout = 1;
  s->recv_buffer_size = 64;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("first"), 5), UDP_OK);
  sockaddr_in first = peer.receive();
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("second"), 6), UDP_OK);
  sockaddr_in second = peer.receive();
  ASSERT_NE(first.sin_port, second.sin_port);
  peer.send_to(first, "late");
  Deliveries d;
  auto t0 = Clock::now();
  EXPECT_EQ(udp_synch_read(s.get(), record, &d, nullptr), UDP_ERR_TIMEOUT);
  EXPECT_GE(seconds_since(t0), 0.95);
  EXPECT_TRUE(d.calls.empty());
  peer.send_to(second, "answer");
  EXPECT_EQ(udp_synch_read(s.get(), record, &d, nullptr), UDP_OK);
  ASSERT_EQ(d.calls.size(), 1u);
  EXPECT_EQ(d.calls[0].bytes, bytes_of("answer"));
}

TEST(UdpLoopback, OversizeDatagramIsCutToTheBufferSize) {
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->timeout = 1;
  s->recv_buffer_size = 16;
  std::string big(300, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char('A' + i % 26);
  for (bool collect : {false, true}) {
    SCOPED_TRACE(collect ? "asynch" : "synch");
    ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("q"), 1), UDP_OK);
    peer.send_to(peer.receive(), big);
    Deliveries d;
    int32_t r = collect ? udp_asynch_read(s.get(), record, &d, nullptr)
                        : udp_synch_read(s.get(), record, &d, nullptr);
    EXPECT_EQ(r, UDP_OK);
    ASSERT_EQ(d.calls.size(), 1u);
    EXPECT_EQ(d.calls[0].bytes, bytes_of(big.substr(0, 16)));
  }
}

TEST(UdpLoopback, ReadsWithoutASocketFailAndLeaveNothingBehind) {
  Session s = open_to("127.0.0.1", 9);
  s->recv_buffer_size = 64;
  Deliveries d;
  EXPECT_EQ(udp_synch_read(s.get(), record, &d, nullptr), UDP_ERR_SELECT);
  EXPECT_EQ(udp_asynch_read(s.get(), record, &d, nullptr), UDP_ERR_SELECT);
  EXPECT_TRUE(d.calls.empty());
  EXPECT_EQ(s->recv_buffer, nullptr);
}

TEST(UdpLoopback, BindFailureKeepsTheFailedSocket) {
  ifinfo *t = ifinfo_new();
  t->addr = ip("192.0.2.77");  // not an address of this host
  Session s = open_to("127.0.0.1", 9, t);
  EXPECT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_ERR_BIND);
  EXPECT_GE(s->sockinfo->fd, 0) << "the failed socket stays for the next send or close";
  ifinfo_free(t);
}

TEST(UdpLoopback, BufferAllocationFailureGivesSeven) {
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->timeout = 1;
  s->recv_buffer_size = 64;
  for (bool collect : {false, true}) {
    SCOPED_TRACE(collect ? "asynch" : "synch");
    ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
    peer.send_to(peer.receive(), "reply");
    pause_ms(50);
    Deliveries d;
    kivo8::alloc_testing::fail_nth(1);
    int32_t r = collect ? udp_asynch_read(s.get(), record, &d, nullptr)
                        : udp_synch_read(s.get(), record, &d, nullptr);
    kivo8::alloc_testing::reset();
    EXPECT_EQ(r, UDP_ERR_NOMEM);
    EXPECT_TRUE(d.calls.empty());
    EXPECT_EQ(s->recv_buffer, nullptr);
  }
}

// A datagram whose node cannot be had is dropped alone; the window goes on.
TEST(UdpLoopback, CollectedNodeAllocationFailureDropsOnlyThatDatagram) {
  Peer peer;
  Session s = open_to("127.0.0.1", peer.port());
  s->timeout = 1;
  s->recv_buffer_size = 64;
  for (uint64_t failing = 2; failing <= 4; ++failing) {
    SCOPED_TRACE(failing);
    ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("x"), 1), UDP_OK);
    sockaddr_in client = peer.receive();
    for (const char *r : {"a", "b", "c"}) peer.send_to(client, r);
    pause_ms(50);
    Deliveries d;
    kivo8::alloc_testing::fail_nth(failing);  // 1st: the buffer; then one node per datagram
    EXPECT_EQ(udp_asynch_read(s.get(), record, &d, nullptr), UDP_OK);
    kivo8::alloc_testing::reset();
    std::vector<std::string> got;
    for (const auto &c : d.calls) got.emplace_back(c.bytes.begin(), c.bytes.end());
    std::vector<std::string> want{"c", "b", "a"};
    want.erase(want.end() - int(failing - 1));
    EXPECT_EQ(got, want);
  }
}

TEST(UdpTimeval, SubtractBorrows) {
  struct {
    timeval x, y, want;
  } cases[] = {{{5, 200}, {3, 100}, {2, 100}},
               {{5, 100}, {3, 200}, {1, 999900}},
               {{5, 0}, {5, 0}, {0, 0}},
               {{10, 0}, {9, 999999}, {0, 1}}};
  for (const auto &c : cases) {
    timeval r{};
    _timeval_subtract(&r, &c.x, &c.y);
    EXPECT_EQ(r.tv_sec, c.want.tv_sec);
    EXPECT_EQ(r.tv_usec, c.want.tv_usec);
  }
}

}  // namespace
