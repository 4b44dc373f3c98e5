// SNMPv3 sessions against a responder of the tests' own that sends Reports no sound agent
// sends: engine ids too long to keep, lengths past the datagram's end, Reports that never
// let the discovery or the time synchronisation end, replies of the wrong level. Every
// case ends with a clear code after a bounded number of messages.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "support/snmp_agents.h"

namespace {

using kivo8::test::UdpResponder;
namespace craft = kivo8::test::craft;
using craft::Bytes;
using craft::cat;

std::string str(const Bytes &b) { return std::string(b.begin(), b.end()); }

// The msgID of a request, read by hand: SEQUENCE { INTEGER version, SEQUENCE { INTEGER
// msgID ...
std::int64_t msg_id_of(const Bytes &m) {
  std::size_t pos = 0;
  auto header = [&](std::size_t &len) {
    if (pos + 2 > m.size()) return false;
    ++pos;
    std::size_t first = m[pos++];
    if (first < 0x80) {
      len = first;
      return true;
    }
    len = 0;
    for (std::size_t n = first & 0x7f; n > 0 && pos < m.size(); --n) len = len << 8 | m[pos++];
    return true;
  };
  std::size_t len = 0;
  if (!header(len) || !header(len)) return -1;
  pos += len;  // version
  if (!header(len) || !header(len) || pos + len > m.size()) return -1;
  std::int64_t v = 0;
  for (std::size_t i = 0; i < len; ++i) v = v << 8 | m[pos + i];
  return v;
}

const Bytes kEngine = {0x80, 0x00, 0x1f, 0x88, 0x04, 'h', 'o', 's', 't', 'i', 'l', 'e'};

Bytes report(std::int64_t msg_id, const Bytes &engine, const std::string &stat_oid,
             std::uint8_t pdu = 0xA8, std::uint8_t flags = 0x00) {
  Bytes usm = craft::tlv(0x30, cat({craft::octets(str(engine)), craft::integer(5), craft::integer(1000),
                                    craft::octets(""), craft::octets(""), craft::octets("")}));
  Bytes global = craft::tlv(0x30, cat({craft::integer(msg_id), craft::integer(65507),
                                       craft::octets(std::string(1, static_cast<char>(flags))),
                                       craft::integer(3)}));
  Bytes binding = craft::tlv(0x30, cat({craft::oid(craft::parse_oid(stat_oid)), craft::integer(1, 0x41)}));
  Bytes scoped = craft::tlv(0x30, cat({craft::octets(str(engine)), craft::octets(""),
                                       craft::tlv(pdu, cat({craft::integer(0), craft::integer(0),
                                                            craft::integer(0), craft::tlv(0x30, binding)}))}));
  return craft::tlv(0x30, cat({craft::integer(3), global, craft::octets(str(usm)), scoped}));
}

constexpr const char *kUnknownEngine = "1.3.6.1.6.3.15.1.1.4.0";
constexpr const char *kNotInTime = "1.3.6.1.6.3.15.1.1.2.0";
constexpr const char *kDecryption = "1.3.6.1.6.3.15.1.1.6.0";
constexpr const char *kUnknownContext = "1.3.6.1.6.3.12.1.1.5.0";

uint32_t kSysName[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
const snmp_oid kNames[] = {{kSysName, 9}, {nullptr, 0}};

struct Case {
  const char *name;
  int32_t level;
  UdpResponder::Handler handler;
  int32_t want;
  int retries;
  int datagrams;  // what the session sends in all: bounded whatever the responder does
};

TEST(HostileReports, EveryCaseEndsWithItsCodeAfterBoundedMessages) {
  ASSERT_EQ(mt_res_init(), 0);
  auto discovery_then = [](std::function<Bytes(std::int64_t)> after) {
    return [after](const Bytes &req, int index) -> std::vector<UdpResponder::Reply> {
      std::int64_t id = msg_id_of(req);
      if (index == 0) return {{report(id, kEngine, kUnknownEngine), 0}};
      return {{after(id), 0}};
    };
  };
  const Case cases[] = {
      {"engine id of 300 octets", KIVO_SNMPV3_NOAUTH_NOPRIV,
       [](const Bytes &req, int) -> std::vector<UdpResponder::Reply> {
         return {{report(msg_id_of(req), Bytes(300, 0x41), kUnknownEngine), 0}};
       },
       SNMP_ERR_DECODE, 1, 2},
      {"lengths past the end", KIVO_SNMPV3_NOAUTH_NOPRIV,
       [](const Bytes &req, int) -> std::vector<UdpResponder::Reply> {
         Bytes r = report(msg_id_of(req), kEngine, kUnknownEngine);
         r[1] = 0x82;
         r.insert(r.begin() + 2, {0x7f, 0xf0});
         return {{r, 0}};
       },
       SNMP_ERR_DECODE, 1, 2},
      {"cut in the middle", KIVO_SNMPV3_NOAUTH_NOPRIV,
       [](const Bytes &req, int) -> std::vector<UdpResponder::Reply> {
         Bytes r = report(msg_id_of(req), kEngine, kUnknownEngine);
         r.resize(r.size() / 2);
         return {{r, 0}};
       },
       SNMP_ERR_DECODE, 1, 2},
      {"another msgID", KIVO_SNMPV3_NOAUTH_NOPRIV,
       [](const Bytes &req, int) -> std::vector<UdpResponder::Reply> {
         return {{report(msg_id_of(req) + 1, kEngine, kUnknownEngine), 0}};
       },
       SNMP_ERR_TIMEOUT, 1, 2},
      {"unknown engine id for ever", KIVO_SNMPV3_NOAUTH_NOPRIV,
       discovery_then([](std::int64_t id) { return report(id, kEngine, kUnknownEngine); }),
       KIVO_SNMPV3_ERR_UNKNOWN_ENGINE, 0, 4},
      {"not in time window for ever", KIVO_SNMPV3_NOAUTH_NOPRIV,
       discovery_then([](std::int64_t id) { return report(id, kEngine, kNotInTime); }),
       KIVO_SNMPV3_ERR_NOT_IN_TIME_WINDOW, 0, 3},
      {"decryption error", KIVO_SNMPV3_NOAUTH_NOPRIV,
       discovery_then([](std::int64_t id) { return report(id, kEngine, kDecryption); }),
       KIVO_SNMPV3_ERR_DECRYPTION, 0, 2},
      {"another Report", KIVO_SNMPV3_NOAUTH_NOPRIV,
       discovery_then([](std::int64_t id) { return report(id, kEngine, kUnknownContext); }),
       KIVO_SNMPV3_ERR_REPORT, 0, 2},
      // A Response without authentication to an authenticated request could come from
      // anyone: refused.
      {"response below the level asked for", KIVO_SNMPV3_AUTH_NOPRIV,
       discovery_then([](std::int64_t id) { return report(id, kEngine, "1.3.6.1.2.1.1.5.0", 0xA2); }),
       KIVO_SNMPV3_ERR_AUTH_REPLY, 0, 2},
      // Claims a digest that cannot verify.
      {"forged digest flag", KIVO_SNMPV3_AUTH_NOPRIV,
       discovery_then([](std::int64_t id) { return report(id, kEngine, "1.3.6.1.2.1.1.5.0", 0xA2, 0x01); }),
       KIVO_SNMPV3_ERR_AUTH_REPLY, 0, 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    UdpResponder responder(c.handler);
    ASSERT_TRUE(responder.ok());
    kivo_snmpv3_options o{};
    o.size = sizeof o;
    o.user = "hostile";
    o.level = c.level;
    o.auth_protocol = KIVO_SNMPV3_AUTH_SHA256;
    o.auth_password = "authpass123";
    o.port = static_cast<uint16_t>(responder.port());
    o.timeout_ms = 300;
    o.retries = c.retries;
    in_addr lo{htonl(INADDR_LOOPBACK)};
    int32_t code = 0;
    kivo_snmpv3_session *s = kivo_snmpv3_create(&lo, &o, &code);
    ASSERT_NE(s, nullptr) << code;
    snmp_pdu *r = nullptr;
    EXPECT_EQ(kivo_snmpv3_get(s, kNames, &r), c.want) << kivo_snmpv3_strerror(c.want);
    EXPECT_EQ(r, nullptr);
    kivo_snmpv3_free(s);
    EXPECT_EQ(responder.received(), c.datagrams);
  }
}

}  // namespace
