// A unicast request takes only its own reply: forged datagrams from other ports or
// addresses, or with another request id, are dropped and the wait goes on.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "session_helpers.h"

namespace kivo8::test {
namespace {

using craft::Bytes;

const char *const kSysDescr = "1.3.6.1.2.1.1.1.0";

// A UDP socket of the test's own on a loopback address.
struct Socket {
  explicit Socket(const std::string &ip, int port = 0) {
    fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr = ipv4(ip);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return;
    socklen_t n = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &n);
    this->port = ntohs(a.sin_port);
  }
  ~Socket() {
    if (fd >= 0) ::close(fd);
  }
  Socket(const Socket &) = delete;
  Socket &operator=(const Socket &) = delete;

  // Waits up to 5 s for one datagram; its bytes and sender.
  bool receive(Bytes &out, sockaddr_in &from) const {
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    out.resize(9000);
    socklen_t n = sizeof from;
    ssize_t got = ::recvfrom(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), &n);
    if (got < 0) return false;
    out.resize(static_cast<std::size_t>(got));
    return true;
  }
  void send(const Bytes &bytes, const sockaddr_in &to) const {
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  }

  int fd = -1;
  int port = 0;
};

Bytes reply(std::uint32_t reqid, const std::string &text, std::uint8_t pdu_tag = 0xA2) {
  craft::Message m;
  m.version = 1;
  m.reqid = reqid;
  m.pdu_tag = pdu_tag;
  m.bindings = {{craft::parse_oid(kSysDescr), craft::octets(text)}};
  return craft::encode(m);
}

class Matching : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }
  Communities communities_;
};

TEST_F(Matching, ForgedRepliesAreDroppedAndTheRealOneIsTaken) {
  struct Case {
    const char *name;
    // Sends the forgery, given the agent's and a stranger's socket, the client's address
    // and the request's id.
    std::function<void(const Socket &agent, const Socket &other_port, const Socket &other_address,
                       const sockaddr_in &client, std::uint32_t reqid)>
        forge;
  } cases[] = {
      {"right id from another port",
       [](const Socket &, const Socket &p, const Socket &, const sockaddr_in &c, std::uint32_t id) {
         p.send(reply(id, "FORGED"), c);
       }},
      {"right id and port from another address",
       [](const Socket &, const Socket &, const Socket &a, const sockaddr_in &c, std::uint32_t id) {
         a.send(reply(id, "FORGED"), c);
       }},
      {"the agent's port, id 0x7f000001, tagged GetRequest",
       [](const Socket &agent, const Socket &, const Socket &, const sockaddr_in &c, std::uint32_t) {
         agent.send(reply(0x7f000001, "FORGED", 0xA0), c);
       }},
      {"the agent's port, the request id plus one",
       [](const Socket &agent, const Socket &, const Socket &, const sockaddr_in &c, std::uint32_t id) {
         agent.send(reply(id + 1, "FORGED"), c);
       }},
      {"bytes without a request id from the agent's port",
       [](const Socket &agent, const Socket &, const Socket &, const sockaddr_in &c, std::uint32_t) {
         agent.send(Bytes{0x30, 0x03, 0x02, 0x01, 0x01}, c);
       }},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Socket agent("127.0.0.1");
    Socket other_port("127.0.0.1");
    Socket other_address("127.0.0.2", agent.port);
    ASSERT_GT(agent.port, 0);
    ASSERT_GT(other_port.port, 0);
    ASSERT_EQ(other_address.port, agent.port);
    SessionPtr s = open_session("127.0.0.1", agent.port, 1, communities_.head, 3, 1);
    ASSERT_TRUE(s);
    auto get = std::async(std::launch::async, [&s] {
      OidList names({kSysDescr});
      snmp_pdu *raw = nullptr;
      const int32_t rc = snmp_get(s.get(), names.get(), &raw);
      return std::make_pair(rc, PduPtr(raw));
    });
    Bytes request;
    sockaddr_in client{};
    ASSERT_TRUE(agent.receive(request, client));
    const std::uint32_t reqid = craft::decode_request(request).reqid;
    c.forge(agent, other_port, other_address, client, reqid);
    // The real reply comes after the forgery and is the one taken.
    usleep(50 * 1000);
    agent.send(reply(reqid, "real"), client);
    auto [rc, response] = get.get();
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(response);
    EXPECT_EQ(string_of(bindings(response.get()).at(0)), "real");
    EXPECT_EQ(response->reqid, reqid);
  }
}

TEST_F(Matching, OnlyForgeriesMeanNoReply) {
  Socket agent("127.0.0.1");
  Socket other_port("127.0.0.1");
  ASSERT_GT(agent.port, 0);
  SessionPtr s = open_session("127.0.0.1", agent.port, 1, communities_.head, 1, 1);
  ASSERT_TRUE(s);
  auto get = std::async(std::launch::async, [&s] {
    OidList names({kSysDescr});
    snmp_pdu *raw = nullptr;
    const int32_t rc = snmp_get(s.get(), names.get(), &raw);
    return std::make_pair(rc, PduPtr(raw));
  });
  Bytes request;
  sockaddr_in client{};
  ASSERT_TRUE(agent.receive(request, client));
  const std::uint32_t reqid = craft::decode_request(request).reqid;
  other_port.send(reply(reqid, "FORGED"), client);
  agent.send(reply(0x7f000001, "FORGED", 0xA0), client);
  auto [rc, response] = get.get();
  EXPECT_EQ(rc, SNMP_ERR_TIMEOUT);
  EXPECT_FALSE(response);
}

}  // namespace
}  // namespace kivo8::test
