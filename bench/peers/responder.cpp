// A trivial SNMP responder for the round-trip benchmarks: every datagram that arrives is
// answered with one fixed Response (the request id copied from the request, so that
// clients that match ids accept it), or with a burst of them for the collection benchmark.
// It links neither SNMP library.
//
//   bench_peer_responder PORT            one Response per datagram
//   bench_peer_responder PORT burst N    N Responses per datagram, paced in small groups
//
// PORT 0 picks a free port. The port in use is printed on the first line of stdout.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/snmp_workload.h"

namespace {

std::string tlv(std::uint8_t type, const std::string &contents) {
  std::string out(1, static_cast<char>(type));
  std::size_t n = contents.size();
  if (n < 0x80) {
    out += static_cast<char>(n);
  } else if (n <= 0xFF) {
    out += '\x81';
    out += static_cast<char>(n);
  } else {
    out += '\x82';
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(n & 0xFF);
  }
  return out + contents;
}

std::string subid(std::uint32_t v) {
  std::string out;
  out += static_cast<char>(v & 0x7F);
  while ((v >>= 7) != 0) out.insert(out.begin(), static_cast<char>(0x80 | (v & 0x7F)));
  return out;
}

std::string objid(const std::uint32_t *subids, std::uint32_t n) {
  std::string contents = subid(subids[0] * 40 + subids[1]);
  for (std::uint32_t i = 2; i < n; ++i) contents += subid(subids[i]);
  return tlv(0x06, contents);
}

// Everything of the Response after its request id: error status, error index and one
// OCTET STRING binding for each of the first five names of the workload.
std::string response_tail() {
  std::string bindings;
  for (int i = 0; i < 5; ++i)
    bindings += tlv(0x30, objid(bench::kNames[i].subids, bench::kNames[i].length) +
                              tlv(0x04, bench::kText));
  return tlv(0x02, std::string(1, '\0')) + tlv(0x02, std::string(1, '\0')) + tlv(0x30, bindings);
}

// Position and size of the request id element in a v1/v2c message, or false.
bool find_reqid(const std::uint8_t *p, std::size_t n, std::size_t *at, std::size_t *size) {
  std::size_t i = 0;
  auto header = [&](std::size_t *contents) -> bool {
    if (i + 2 > n) return false;
    ++i;
    std::size_t len = p[i++];
    if (len & 0x80) {
      std::size_t k = len & 0x7F;
      if (k == 0 || k > 2 || i + k > n) return false;
      len = 0;
      while (k-- > 0) len = (len << 8) | p[i++];
    }
    *contents = len;
    return i + len <= n;
  };
  std::size_t len;
  if (!header(&len)) return false;  // message
  if (!header(&len)) return false;  // version
  i += len;
  if (!header(&len)) return false;  // community
  i += len;
  if (!header(&len)) return false;  // PDU
  std::size_t start = i;
  if (!header(&len)) return false;  // request id
  *at = start;
  *size = i + len - start;
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2 && argc != 4) {
    std::fprintf(stderr, "usage: %s PORT [burst N]\n", argv[0]);
    return 2;
  }
  int port = std::atoi(argv[1]);
  long burst = argc == 4 ? std::atol(argv[3]) : 1;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(static_cast<std::uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    std::perror("bind");
    return 1;
  }
  socklen_t len = sizeof local;
  getsockname(fd, reinterpret_cast<sockaddr *>(&local), &len);
  std::printf("%d\n", ntohs(local.sin_port));
  std::fflush(stdout);

  const std::string community = tlv(0x04, bench::kCommunity);
  const std::string version = tlv(0x02, std::string(1, '\x01'));
  const std::string tail = response_tail();
  std::uint8_t in[8192];
  for (;;) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(fd, in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0) continue;
    std::size_t at = 0, id_size = 0;
    if (!find_reqid(in, static_cast<std::size_t>(n), &at, &id_size)) continue;
    std::string pdu(reinterpret_cast<const char *>(in + at), id_size);
    const std::string out = tlv(0x30, version + community + tlv(0xA2, pdu + tail));
    for (long k = 0; k < burst; ++k) {
      sendto(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), from_len);
      // Groups of 50 with a short pause, so that the receiver's socket buffer keeps up:
      // the benchmark measures collecting, not drops.
      if (burst > 1 && k % 50 == 49) {
        timespec pause{0, 2000000};
        nanosleep(&pause, nullptr);
      }
    }
  }
}
