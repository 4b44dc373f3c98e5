// Network helpers of the test peers: addresses, namespace sockets, the agent probe.
#include "support/net_util.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>

#include "support/snmp_craft.h"

namespace kivo8::test {

struct in_addr ipv4(const std::string &dotted) {
  in_addr a{};
  if (inet_pton(AF_INET, dotted.c_str(), &a) != 1) ADD_FAILURE() << "bad address " << dotted;
  return a;
}

std::string ipv4_text(struct in_addr address) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, buf, sizeof buf);
  return buf;
}

int udp_socket_in(const std::string &netns) {
  if (netns.empty()) return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int saved = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int target = open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
  int fd = -1;
  if (saved >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (setns(saved, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot return from " << netns;
  }
  if (target >= 0) close(target);
  if (saved >= 0) close(saved);
  return fd;
}

sockaddr_in socket_address(const std::string &ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr = ipv4(ip);
  return a;
}

bool snmp_answers(const std::string &netns, const std::string &ip, int port,
                  const std::string &community, const std::string &oid) {
  int fd = udp_socket_in(netns);
  if (fd < 0) return false;
  craft::Message m;
  m.version = 1;
  m.community = community;
  m.pdu_tag = 0xA0;
  m.reqid = 4711;
  m.bindings.push_back({craft::parse_oid(oid), craft::null()});
  craft::Bytes bytes = craft::encode(m);
  sockaddr_in to = socket_address(ip, port);
  bool got = false;
  if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) >=
      0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 300) == 1) {
      std::uint8_t buf[2048];
      got = recv(fd, buf, sizeof buf, 0) > 0;
    }
  }
  close(fd);
  return got;
}

bool write_text_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace kivo8::test
