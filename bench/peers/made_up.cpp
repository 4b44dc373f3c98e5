// Made-up devices for the discovery benchmark: every SNMP GET or GETNEXT sent to any
// address of a block that is local in this namespace (`ip route add local BLOCK dev lo`)
// is answered as a printer at that address, from that address, at the rate the requests
// come. It links neither SNMP library.
//
//   bench_peer_made_up         listens on UDP port 161 of every address; prints "ready"
//
// GET: each name is answered (sysObjectID and hrDeviceType as object identifiers, every
// other name as a text naming the device). GETNEXT: each name is answered with the name
// one level below it, so a walk moves on. Anything that does not parse is ignored.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string tlv(std::uint8_t type, const std::string &contents) {
  std::string out(1, static_cast<char>(type));
  const std::size_t n = contents.size();
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

struct Element {
  std::uint8_t tag;
  std::string_view contents;
};

// The element at the front of `in`, which moves past it.
std::optional<Element> take(std::string_view &in) {
  if (in.size() < 2) return std::nullopt;
  const auto tag = static_cast<std::uint8_t>(in[0]);
  std::size_t len = static_cast<std::uint8_t>(in[1]);
  std::size_t pos = 2;
  if (len & 0x80) {
    const std::size_t k = len & 0x7F;
    if (k == 0 || k > 2 || in.size() < 2 + k) return std::nullopt;
    len = 0;
    for (std::size_t i = 0; i < k; ++i) len = (len << 8) | static_cast<std::uint8_t>(in[2 + i]);
    pos += k;
  }
  if (len > in.size() - pos) return std::nullopt;
  Element e{tag, in.substr(pos, len)};
  in.remove_prefix(pos + len);
  return e;
}

// Contents of the names that get object identifiers as values.
const std::string kSysObjectId("\x2b\x06\x01\x02\x01\x01\x02\x00", 8);
const std::string kHrDeviceType("\x2b\x06\x01\x02\x01\x19\x03\x02\x01\x02\x01", 11);
const std::string kMadeUpObject("\x2b\x06\x01\x04\x01\x83\xfb\x67\x02\x01", 10);  // .1.3.6.1.4.1.64999.2.1
const std::string kPrinterType("\x2b\x06\x01\x02\x01\x19\x03\x01\x05", 9);       // hrDevicePrinter

std::optional<std::string> answer(std::string_view datagram, const std::string &who) {
  auto message = take(datagram);
  if (!message || message->tag != 0x30) return std::nullopt;
  std::string_view m = message->contents;
  auto version = take(m);
  auto community = take(m);
  auto pdu = take(m);
  if (!version || !community || !pdu || (pdu->tag != 0xA0 && pdu->tag != 0xA1)) return std::nullopt;
  std::string_view p = pdu->contents;
  auto reqid = take(p);
  auto status = take(p);
  auto index = take(p);
  auto list = take(p);
  if (!reqid || !status || !index || !list) return std::nullopt;
  std::string bindings;
  std::string_view l = list->contents;
  for (int i = 0; i < 64 && !l.empty(); ++i) {
    auto binding = take(l);
    if (!binding) return std::nullopt;
    std::string_view b = binding->contents;
    auto name = take(b);
    if (!name || name->tag != 0x06) return std::nullopt;
    std::string oid(name->contents);
    std::string value;
    if (pdu->tag == 0xA1) {
      oid += '\x01';
      value = tlv(0x04, "Made-up device " + who);
    } else if (oid == kSysObjectId) {
      value = tlv(0x06, kMadeUpObject);
    } else if (oid == kHrDeviceType) {
      value = tlv(0x06, kPrinterType);
    } else {
      value = tlv(0x04, "Made-up device " + who);
    }
    bindings += tlv(0x30, tlv(0x06, oid) + value);
  }
  const std::string zero = tlv(0x02, std::string(1, '\0'));
  const std::string head = tlv(version->tag, std::string(version->contents)) +
                           tlv(community->tag, std::string(community->contents));
  const std::string body = tlv(reqid->tag, std::string(reqid->contents)) + zero + zero + tlv(0x30, bindings);
  return tlv(0x30, head + tlv(0xA2, body));
}

}  // namespace

int main() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  const int on = 1, size = 8 << 20;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(161);
  if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    std::perror("bind");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  char in[4096];
  char control[256];
  for (;;) {
    sockaddr_in from{};
    iovec iov{in, sizeof in};
    msghdr msg{};
    msg.msg_name = &from;
    msg.msg_namelen = sizeof from;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &msg, 0);
    if (n <= 0) continue;
    in_addr dst{};
    bool have_dst = false;
    for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
        in_pktinfo info;
        std::memcpy(&info, CMSG_DATA(c), sizeof info);
        dst = info.ipi_addr;
        have_dst = true;
      }
    }
    if (!have_dst) continue;
    char who[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &dst, who, sizeof who);
    auto out = answer(std::string_view(in, static_cast<std::size_t>(n)), who);
    if (!out) continue;
    // Reply from the address that was asked.
    char out_control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    iovec out_iov{out->data(), out->size()};
    msghdr reply{};
    reply.msg_name = &from;
    reply.msg_namelen = sizeof from;
    reply.msg_iov = &out_iov;
    reply.msg_iovlen = 1;
    reply.msg_control = out_control;
    reply.msg_controllen = sizeof out_control;
    cmsghdr *c = CMSG_FIRSTHDR(&reply);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_spec_dst = dst;
    std::memcpy(CMSG_DATA(c), &info, sizeof info);
    sendmsg(fd, &reply, 0);
  }
}
