// Loopback sockets and a host that never answers a connect, for the TCP tests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "core/unique_fd.h"
#include "support/peers.h"

namespace kivo8::test {

inline sockaddr_in loopback_address(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

inline uint16_t bound_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

// A TCP socket bound to 127.0.0.1 on a port of the system's choice; listening when asked.
// Bound but not listening, it makes its port refuse connections for as long as it lives.
inline UniqueFd loopback_socket(bool listening, int backlog = 16) {
  UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a = loopback_address(0);
  int one = 1;
  setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (bind(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return UniqueFd();
  if (listening && listen(fd.get(), backlog) != 0) return UniqueFd();
  return fd;
}


// Two connected stream sockets, for the tests of what reads and writes them.
struct SocketPair {
  SocketPair() {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    a.reset(fds[0]);
    b.reset(fds[1]);
  }
  UniqueFd a, b;
};

// A namespace whose loopback drops every segment to one TCP port, so a connect there
// gets no answer at all (the SYN and its retransmissions vanish). Threads that create
// sockets after enter() and before leave(), or that are started in between, live there.
class SilentHost {
 public:
  static constexpr uint16_t port = 8080;
  SilentHost() {
    ns.must("nft add table ip kivo8test");
    ns.must("nft add chain ip kivo8test in '{ type filter hook input priority 0; policy accept; }'");
    ns.must("nft add rule ip kivo8test in tcp dport " + std::to_string(port) + " drop");
  }
  Netns ns;
};

}  // namespace kivo8::test
