// Peers that attack the library on purpose: an agent that answers with the largest
// datagram there is, a flood of answers in one collection window, SLP agents whose reply
// lengths point past the end, and a web server that trickles one byte a second. Each
// must leave the call within its time-outs, with everything it collected freed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"
#include "kivo8/slp_sess.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/tcp_utils.h"
#include "support/hostile_peer.h"
#include "support/peers.h"
#include "support/snmp_agents.h"

namespace kivo8::test {
namespace {

using craft::Bytes;
using craft::cat;
using Reply = UdpResponder::Reply;

constexpr const char *kSysDescr = "1.3.6.1.2.1.1.1.0";
constexpr std::size_t kLargestDatagram = 65507;

// A response to `request` whose one OCTET STRING pads the whole message to `total` bytes.
Bytes response_of_size(const Bytes &request, std::size_t total) {
  craft::Request r = craft::decode_request(request);
  craft::Message m;
  m.version = r.ok ? r.version : 1;
  m.reqid = r.reqid;
  std::size_t text = total - 64;
  for (;;) {
    m.bindings = {{craft::parse_oid(kSysDescr), craft::octets(std::string(text, 'W'))}};
    Bytes out = craft::encode(m);
    if (out.size() == total) return out;
    text += total - out.size();  // the length octets do not change within this range
    if (out.size() > total) return {};
  }
}

TEST_F(HostilePeer, AgentAnsweringWithTheLargestDatagram) {
  responder_ = std::make_unique<UdpResponder>([](const Bytes &req, int) {
    return std::vector<Reply>{{response_of_size(req, kLargestDatagram), 0}};
  });
  ASSERT_TRUE(responder_->ok());
  ASSERT_EQ(response_of_size(Bytes{}, kLargestDatagram).size(), kLargestDatagram);

  {
    // The library's own buffer takes 8192 bytes of it: a cut message, refused.
    SessionPtr s = session(1, 1);
    PduPtr request = get_request();
    snmp_pdu *raw = nullptr;
    EXPECT_EQ(snmp_synch_response(s.get(), request.get(), &raw), SNMP_ERR_DECODE);
    EXPECT_EQ(raw, nullptr);
    snmp_pdu_list *list = nullptr;
    ASSERT_EQ(snmp_asynch_response(s.get(), request.get(), &list), 0);
    ListPtr owned(list);
    EXPECT_EQ(snmp_pdu_list_length(list), 0);
  }
  // Every request was answered with the whole datagram.
  EXPECT_GE(responder_->sent(), 2);
}

// A web server that accepts and then sends its status line one byte a second.
class TricklingServer {
 public:
  TricklingServer() : listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(listener_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener_.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        listen(listener_.get(), 4) != 0)
      return;
    socklen_t len = sizeof a;
    getsockname(listener_.get(), reinterpret_cast<sockaddr *>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~TricklingServer() {
    stop_ = true;
    shutdown(listener_.get(), SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
  }
  uint16_t port() const { return port_; }
  int bytes_sent() const { return sent_.load(); }

 private:
  void run() {
    UniqueFd conn(accept(listener_.get(), nullptr, nullptr));
    if (!conn) return;
    const std::string answer = "HTTP/1.0 200 OK\r\n\r\n";
    for (char c : answer) {
      if (send(conn.get(), &c, 1, MSG_NOSIGNAL) != 1) return;
      ++sent_;
      for (int i = 0; i < 10; ++i) {
        if (stop_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }
  UniqueFd listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> sent_{0};
  std::thread thread_;
};

TEST(HostileWebServer, OneByteASecondCannotHoldTheProbe) {
  TricklingServer server;
  ASSERT_NE(server.port(), 0);
  const in_addr a = ipv4("127.0.0.1");
  auto start = std::chrono::steady_clock::now();
  // Only the first read counts: a lone "H" is no status line.
  EXPECT_EQ(tcp_check_http(&a, server.port()), -1);
  // Two seconds for the answer, plus room for a loaded machine under valgrind; the bytes
  // the server managed to send are counted too.
  EXPECT_LT(seconds_since(start), 2.0 + 3.0);
  EXPECT_LE(server.bytes_sent(), 4);
}

// ---- SLP agents whose reply lengths point past the end ----

std::string hex(const Bytes &b) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (auto c : b) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

Bytes slp_reply(const Bytes &body) {
  const std::size_t total = 16 + body.size();
  return cat({{0x02, 0x02, static_cast<std::uint8_t>(total >> 16), static_cast<std::uint8_t>(total >> 8),
                static_cast<std::uint8_t>(total), 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x02, 'e', 'n'},
               body});
}

Bytes entry(const std::string &url, std::uint16_t claimed_length, std::uint8_t blocks = 0) {
  Bytes e = {0x00, 0x01, 0x2C, static_cast<std::uint8_t>(claimed_length >> 8),
             static_cast<std::uint8_t>(claimed_length)};
  for (char c : url) e.push_back(static_cast<std::uint8_t>(c));
  e.push_back(blocks);
  return e;
}

TEST(HostileSlpAgent, RepliesWhoseLengthsPointPastTheEnd) {
  KIVO8_REQUIRE_NETNS();
  ASSERT_EQ(mt_res_init(), 0);
  const std::string good = "service:printer:lpr://10.48.0.1:515/q";
  const Bytes well_formed = entry(good, uint16_t(good.size()));
  const std::vector<Bytes> replies = {
      slp_reply({0x00, 0x00, 0xFF, 0xFF}),                    // 65535 entries, none sent
      slp_reply(cat({{0x00, 0x00, 0x00, 0x01}, entry(good, 0xFFF0)})),  // URL past the end
      // three authentication blocks announced, the one sent claims 65535 bytes
      slp_reply(cat({{0x00, 0x00, 0x00, 0x02}, entry(good, uint16_t(good.size()), 3), {0x00, 0x02, 0xFF, 0xFF}})),
      // language tag past the end
      {0x02, 0x02, 0x00, 0x00, 0x12, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF, 0xFF, 'e', 'n', 0, 0},
      slp_reply(cat({{0x00, 0x00, 0x00, 0x01}, well_formed})),  // the one good reply
  };
  Netns ns;
  ns.must("ip link set lo up");
  // A veth pair inside the namespace: the request leaves through v0 and loops back to the
  // agent, which joined the group there.
  ns.must("ip link add v0 type veth peer name v1");
  ns.must("ip addr add 10.48.0.1/24 dev v0");
  ns.must("ip link set v1 up");
  ns.must("ip link set v0 up");
  TempDir dir;
  std::vector<std::string> argv = {"/usr/bin/python3", source_dir() + "/tests/hardening/slp_hostile.py",
                                   "--address", "10.48.0.1", "--ready", dir.file("ready")};
  for (const auto &r : replies) {
    argv.push_back("--reply");
    argv.push_back(hex(r));
  }
  Process agent(argv, ns.name(), dir.file("agent.log"));
  ASSERT_TRUE(wait_until(10, [&] { return std::ifstream(dir.file("ready")).good(); }));

  ifinfo *target = ifinfo_new();
  ASSERT_NE(target, nullptr);
  target->addr = ipv4("10.48.0.1");
  target->count = 1;
  target->flag = 0;
  slp_srvreplies *result = nullptr;
  int32_t rc = -1000;
  ns.enter();
  {
    const in_addr group = ipv4("239.255.255.253");
    slp_session *session = slp_create_session(AF_INET, &group, target);
    if (session != nullptr) {
      rc = slp_service_request(session, "service:printer", "DEFAULT", target, &result);
      slp_free_session(session);
    }
  }
  ns.leave();
  ifinfo_free(target);
  ASSERT_EQ(rc, 0);
  std::vector<std::string> urls;
  int nodes = 0;
  for (slp_srvreplies *n = result; n != nullptr; n = n->next) {
    ++nodes;
    if (n->reply == nullptr) continue;
    for (slp_url_node *u = n->reply->urls; u != nullptr; u = u->next) urls.emplace_back(u->entry->url);
  }
  slp_free_srvreplies(result);
  mt_res_free();
  EXPECT_GE(nodes, 1);
  // Only the well-formed entries of the replies come through, the good one at least once.
  ASSERT_FALSE(urls.empty());
  for (const auto &u : urls) EXPECT_EQ(u, good);
}

}  // namespace
}  // namespace kivo8::test
