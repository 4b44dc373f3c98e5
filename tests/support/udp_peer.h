// A UDP peer of the transport tests and the small helpers around it: a socket that answers
// from its own address, a recorder for what the read callbacks deliver, and an owner for
// udp_session. Shared by the loopback, window and namespace tests of the transport.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "kivo8/ifinfo.h"
#include "kivo8/udp_sess.h"
#include "support/peers.h"

namespace kivo8::test::udp {

using Clock = std::chrono::steady_clock;
using kivo8::UniqueFd;

inline struct in_addr ip(const char *text) {
  struct in_addr a {};
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}

inline std::string text_of(struct in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

using ::kivo8::test::seconds_since;

inline void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

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

inline int32_t record(udp_session *udp, uint8_t *data, int32_t length, void *arg1, void *arg2) {
  auto *d = static_cast<Deliveries *>(arg1);
  d->calls.push_back({text_of(udp->from_address), std::vector<uint8_t>(data, data + length),
                      arg1, arg2, data == udp->recv_buffer});
  return 0;
}

inline std::vector<uint8_t> bytes_of(const std::string &s) { return {s.begin(), s.end()}; }

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

inline Session open_to(const char *address, uint16_t port, const ifinfo *target = nullptr) {
  struct in_addr a = ip(address);
  Session s(udp_open(2, &a, port, target));
  EXPECT_NE(s, nullptr);
  return s;
}

}  // namespace kivo8::test::udp
