// Status over SNMPv3 (authPriv) from net-snmp's snmpd, whose printer rows the test sets:
// the library's read and `kivo status -v 3` give what snmpwalk -v3 reads.
#include <gtest/gtest.h>

#include <string>

#include "kivo8/kivo8.h"
#include "status_agents.h"
#include "support/kivo_run.h"
#include "support/snmpd.h"

namespace kivo8::test {
namespace {

SnmpdConfig printer_agent() {
  SnmpdConfig c;
  c.view_lines.push_back("view kv included .1.3.6.1.2.1.25.3.2.1.5");
  c.view_lines.push_back("view kv included .1.3.6.1.2.1.25.3.5.1");
  c.view_lines.push_back("view kv included .1.3.6.1.2.1.43");
  c.extra_lines = {
      "createUser scout SHA-256 ink-and-paper AES toner-secret",
      "rouser scout priv -V kv",
      "override .1.3.6.1.2.1.25.3.2.1.5.1 integer 3",
      "override .1.3.6.1.2.1.25.3.5.1.1.1 integer 4",
      "override .1.3.6.1.2.1.43.5.1.1.17.1 octet_str \"V3-SERIAL\"",
      "override .1.3.6.1.2.1.43.11.1.1.4.1.1 integer 3",
      "override .1.3.6.1.2.1.43.11.1.1.5.1.1 integer 3",
      "override .1.3.6.1.2.1.43.11.1.1.6.1.1 octet_str \"Black Toner\"",
      "override .1.3.6.1.2.1.43.11.1.1.7.1.1 integer 19",
      "override .1.3.6.1.2.1.43.11.1.1.8.1.1 integer 100",
      "override .1.3.6.1.2.1.43.11.1.1.9.1.1 integer 42",
      "override .1.3.6.1.2.1.43.18.1.1.2.1.1 integer 4",
      "override .1.3.6.1.2.1.43.18.1.1.7.1.1 integer 1104",
      "override .1.3.6.1.2.1.43.18.1.1.8.1.1 octet_str \"Toner low\"",
  };
  return c;
}

TEST(StatusV3, LibraryAndKivoReadWhatSnmpwalkReads) {
  KIVO8_REQUIRE_PROGRAM("snmpd");
  ASSERT_EQ(mt_res_init(), 0);
  Snmpd agent(printer_agent());
  ASSERT_TRUE(agent.ok());
  const std::string v3 = "-v3 -l authPriv -u scout -a SHA-256 -A ink-and-paper -x AES -X toner-secret";
  std::string walked = agent.snmpwalk(".1.3.6.1.2.1.43.11.1.1.9", v3);
  ASSERT_NE(walked.find(".1.3.6.1.2.1.43.11.1.1.9.1.1 = INTEGER: 42"), std::string::npos) << walked;

  kivo_snmpv3_options o{};
  o.size = sizeof o;
  o.user = "scout";
  o.level = KIVO_SNMPV3_AUTH_PRIV;
  o.auth_protocol = KIVO_SNMPV3_AUTH_SHA256;
  o.auth_password = "ink-and-paper";
  o.priv_protocol = KIVO_SNMPV3_PRIV_AES;
  o.priv_password = "toner-secret";
  o.port = static_cast<std::uint16_t>(agent.port());
  o.timeout_ms = 2000;
  in_addr a = agent.address();
  std::int32_t code = 0;
  kivo_snmpv3_session *session = kivo_snmpv3_create(&a, &o, &code);
  ASSERT_NE(session, nullptr) << code;
  kivo_status *s = nullptr;
  EXPECT_EQ(kivo_status_read_v3(session, &a, &s), SNMP_ERR_NONE);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->printer_status, 4);
  EXPECT_EQ(s->device_status, 3);
  EXPECT_EQ(std::string(s->serial.data, s->serial.length), "V3-SERIAL");
  ASSERT_EQ(s->supply_count, 1u);
  EXPECT_EQ(s->supplies[0].level, 42);
  EXPECT_EQ(s->supplies[0].percent, 42);
  ASSERT_EQ(s->alert_count, 1u);
  EXPECT_EQ(s->alerts[0].code, 1104);
  EXPECT_EQ(std::string(s->location.data, s->location.length), "Shelf 3, room 12");
  kivo_status_free(s);
  kivo_snmpv3_free(session);
  mt_res_free();

  TempDir home;
  KivoResult r = run_kivo(nullptr, home,
                          {"status", "-v", "3", "-l", "authPriv", "-u", "scout", "-a", "SHA-256",
                           "-A", "ink-and-paper", "-x", "AES", "-X", "toner-secret", "--json",
                           agent.endpoint()});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json_query(home, r.out, "[d[0]['state'], d[0]['supplies'][0]['percent'], "
                                    "d[0]['supplies'][0]['unit'], d[0]['alerts'][0]['code']]"),
            "[\"printing\", 42, \"percent\", \"markerTonerAlmostEmpty\"]");
  KivoResult wrong = run_kivo(nullptr, home,
                              {"status", "-v", "3", "-l", "authPriv", "-u", "scout", "-a", "SHA-256",
                               "-A", "wrong-password", "-x", "AES", "-X", "toner-secret", "-t", "1",
                               "-r", "0", agent.endpoint()});
  EXPECT_EQ(wrong.status, 1) << wrong.out;
}

}  // namespace
}  // namespace kivo8::test
