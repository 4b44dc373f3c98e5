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

namespace {

using Clock = std::chrono::steady_clock;
using kivo8::UniqueFd;

struct in_addr ip(const char *text) {
  struct in_addr a {};
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}

std::string text_of(struct in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// What the callback saw, one entry per call.
struct Delivery {
  std::string from;
  std::vector<uint8_t> bytes;
  void *arg1, *arg2;
  bool buffer_is_sessions;
};
struct Deliveries {
  std::vector<Delivery> calls;
};

int32_t record(udp_session *udp, uint8_t *data, int32_t length, void *arg1, void *arg2) {
  auto *d = static_cast<Deliveries *>(arg1);
  d->calls.push_back({text_of(udp->from_address), std::vector<uint8_t>(data, data + length),
                      arg1, arg2, data == udp->recv_buffer});
  return 0;
}

std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

// A UDP peer of the test: receives requests and answers them from its own address.
class Peer {
 public:
  explicit Peer(const char *address = "127.0.0.1", uint16_t port = 0)
      : fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    EXPECT_TRUE(fd_.valid());
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr = ip(address);
    EXPECT_EQ(bind(fd_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << address;
    socklen_t len = sizeof a;
    getsockname(fd_.get(), reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    timeval tv{3, 0};
    setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  uint16_t port() const { return port_; }
  int fd() const { return fd_.get(); }
  // Waits up to 3 s for one datagram; returns its sender (family 0 when none came).
  sockaddr_in receive(std::string *payload = nullptr, int *ttl = nullptr) {
    uint8_t buf[2048];
    char control[256];
    sockaddr_in from{};
    iovec iov{buf, sizeof buf};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = recvmsg(fd_.get(), &msg, 0);
    if (n < 0) return sockaddr_in{};
    if (payload != nullptr) payload->assign(reinterpret_cast<char *>(buf), size_t(n));
    if (ttl != nullptr) {
      *ttl = -1;
      for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
          std::memcpy(ttl, CMSG_DATA(c), sizeof(int));
    }
    return from;
  }
  void send_to(const sockaddr_in &to, const std::string &payload) {
    ASSERT_EQ(sendto(fd_.get(), payload.data(), payload.size(), 0,
                     reinterpret_cast<const sockaddr *>(&to), sizeof to),
              ssize_t(payload.size()));
  }

 private:
  UniqueFd fd_;
  uint16_t port_ = 0;
};

struct SessionCloser {
  void operator()(udp_session *u) const { udp_close(u); }
};
using Session = std::unique_ptr<udp_session, SessionCloser>;

Session open_to(const char *address, uint16_t port, const ifinfo *target = nullptr) {
  struct in_addr a = ip(address);
  Session s(udp_open(2, &a, port, target));
  EXPECT_NE(s, nullptr);
  return s;
}

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

void on_alarm(int) {}

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

// Two namespaces joined by a veth pair: the test's side sends, a peer on the other side
// answers. Broadcast and multicast never leave these namespaces.
class UdpNetns : public testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    here_ = std::make_unique<kivo8::test::Netns>();
    there_ = std::make_unique<kivo8::test::Netns>();
    here_->must("ip link add va type veth peer name vb");
    here_->must("ip link set vb netns " + there_->name());
    here_->must("ip addr add 10.77.0.1/24 broadcast 10.77.0.255 dev va && ip link set va up");
    there_->must("ip addr add 10.77.0.2/24 broadcast 10.77.0.255 dev vb && ip link set vb up");
    there_->must("ip route add 224.0.0.0/4 dev vb");
    here_->must("ip route add 224.0.0.0/4 dev va");
    // A peer socket made inside the other namespace stays there after we leave it.
    there_->enter();
    peer_ = std::make_unique<Peer>("0.0.0.0", 0);
    there_->leave();
    int on = 1;
    setsockopt(peer_->fd(), IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    here_->enter();
  }
  void TearDown() override {
    if (here_) here_->leave();
  }
  std::unique_ptr<kivo8::test::Netns> here_, there_;
  std::unique_ptr<Peer> peer_;
};

TEST_F(UdpNetns, BroadcastNeedsTheFlagAndGathersTheAnswer) {
  ifinfo *t = ifinfo_new();
  t->addr = ip("10.77.0.1");
  t->count = 1;
  Session s = open_to("10.77.0.255", peer_->port(), t);
  s->recv_buffer_size = 2048;
  EXPECT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("who"), 3), UDP_ERR_SEND);
  s->flags |= UDP_FLAG_BROADCAST;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("who"), 3), UDP_OK);
  std::string got;
  sockaddr_in client = peer_->receive(&got);
  ASSERT_EQ(got, "who");
  EXPECT_EQ(text_of(client.sin_addr), "10.77.0.1");
  peer_->send_to(client, "me");
  Deliveries d;
  auto t0 = Clock::now();
  EXPECT_EQ(udp_asynch_read(s.get(), record, &d, nullptr), UDP_OK);
  double took = seconds_since(t0);
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 2.0);
  ASSERT_EQ(d.calls.size(), 1u);
  EXPECT_EQ(d.calls[0].from, "10.77.0.2");
  EXPECT_EQ(d.calls[0].bytes, bytes_of("me"));
  ifinfo_free(t);
}

TEST_F(UdpNetns, MulticastLeavesWithHopsPlusOneThroughTheChosenInterface) {
  ip_mreq join{};
  join.imr_multiaddr = ip("239.255.77.1");
  join.imr_interface = ip("10.77.0.2");
  ASSERT_EQ(setsockopt(peer_->fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
  Session s = open_to("239.255.77.1", peer_->port());
  s->flags = 2;  // other bits are not the transport's business
  struct in_addr iface = ip("10.77.0.1");
  for (int32_t hops : {0, 3}) {
    SCOPED_TRACE(hops);
    ASSERT_EQ(udp_sendm(s.get(), reinterpret_cast<const uint8_t *>("slp"), 3, &iface, hops),
              UDP_OK);
    EXPECT_EQ(text_of(s->sockinfo->local.sin_addr), "10.77.0.1");
    std::string got;
    int ttl = -1;
    sockaddr_in from = peer_->receive(&got, &ttl);
    EXPECT_EQ(got, "slp");
    EXPECT_EQ(text_of(from.sin_addr), "10.77.0.1");
    EXPECT_EQ(ttl, hops + 1);
  }
}

}  // namespace
