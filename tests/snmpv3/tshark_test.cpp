// Our SNMPv3 messages dissected by tshark, an independent reader: the header, the USM
// parameters, and, given the user's pass phrases through its snmp_users table, the digest
// checked and the scoped PDU decrypted, for every authentication and privacy protocol
// that it knows.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "snmpv3/message.h"
#include "snmpv3/usm.h"
#include "support/pcap.h"
#include "support/peers.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace kivo8::v3;

struct Proto {
  const char *tshark_auth;  // the snmp_users table's names
  const char *tshark_priv;
  int32_t auth;
  int32_t priv;
};

TEST(Snmpv3Tshark, DissectsVerifiesAndDecryptsOurMessages) {
  KIVO8_REQUIRE_PROGRAM("tshark");
  ASSERT_EQ(mt_res_init(), 0);
  const Proto cases[] = {
      {"MD5", "DES", KIVO_SNMPV3_AUTH_MD5, KIVO_SNMPV3_PRIV_DES},
      {"SHA1", "AES", KIVO_SNMPV3_AUTH_SHA, KIVO_SNMPV3_PRIV_AES},
      {"SHA2-224", "AES192", KIVO_SNMPV3_AUTH_SHA224, KIVO_SNMPV3_PRIV_AES192},
      {"SHA2-256", "AES", KIVO_SNMPV3_AUTH_SHA256, KIVO_SNMPV3_PRIV_AES},
      {"SHA2-384", "AES256", KIVO_SNMPV3_AUTH_SHA384, KIVO_SNMPV3_PRIV_AES256},
      {"SHA2-512", "DES", KIVO_SNMPV3_AUTH_SHA512, KIVO_SNMPV3_PRIV_DES},
  };
  const Bytes engine = {0x80, 0x00, 0x1f, 0x88, 0x80, 0x12, 0x34, 0x56, 0x78, 0x9a, 0xbc, 0xde, 0xf0};
  std::string engine_hex;
  for (std::uint8_t b : engine) {
    char h[3];
    std::snprintf(h, sizeof h, "%02x", b);
    engine_hex += h;
  }
  const std::uint32_t name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  for (const Proto &c : cases) {
    SCOPED_TRACE(std::string(c.tshark_auth) + "/" + c.tshark_priv);
    const std::string user = std::string("u-") + c.tshark_auth + "-" + c.tshark_priv;
    User u;
    kivo_snmpv3_options o{};
    o.size = sizeof o;
    o.user = user.c_str();
    o.level = KIVO_SNMPV3_AUTH_PRIV;
    o.auth_protocol = c.auth;
    o.auth_password = "ink-and-paper";
    o.priv_protocol = c.priv;
    o.priv_password = "toner-secret";
    ASSERT_EQ(u.set(o), 0);
    LocalKeys keys;
    ASSERT_TRUE(derive(u, engine, keys));
    snmp_pdu *pdu = snmp_create_pdu(SNMP_MSG_GET);
    ASSERT_NE(snmp_add_null_var(pdu, name, 9), nullptr);
    Outgoing m;
    m.msg_id = 31337;
    m.flags = kFlagAuth | kFlagPriv | kFlagReportable;
    m.engine_id = engine;
    m.boots = 3;
    m.time = 4567;
    m.user = u.name_view();
    m.context_engine_id = engine;
    m.keys = &keys;
    m.exported = pdu;
    Bytes msg(kMaxMessage);
    msg.resize(encode(m, msg));
    snmp_free_pdu(pdu);
    ASSERT_FALSE(msg.empty());

    kivo8::test::TempDir dir;
    const std::string pcap = dir.file("v3.pcap");
    kivo8::test::write_snmp_pcap(pcap, {msg});
    const std::string uat = "uat:snmp_users:" + engine_hex + ",\"" + user + "\",\"" +
                            c.tshark_auth + "\",\"ink-and-paper\",\"" + c.tshark_priv +
                            "\",\"toner-secret\"";
    const std::string text = kivo8::test::sh_output("tshark -n -r '" + pcap + "' -o '" + uat +
                                                    "' -V 2>&1");
    EXPECT_NE(text.find("msgVersion: snmpv3 (3)"), std::string::npos) << text;
    EXPECT_NE(text.find("msgID: 31337"), std::string::npos) << text;
    EXPECT_NE(text.find("msgUserName: " + user), std::string::npos) << text;
    EXPECT_NE(text.find("msgAuthoritativeEngineBoots: 3"), std::string::npos) << text;
    EXPECT_NE(text.find("msgAuthoritativeEngineTime: 4567"), std::string::npos) << text;
    EXPECT_NE(text.find("[Authentication: OK]"), std::string::npos) << text;
    EXPECT_NE(text.find("get-request"), std::string::npos) << text;
    EXPECT_NE(text.find("1.3.6.1.2.1.1.5.0"), std::string::npos) << text;
  }
}

}  // namespace
