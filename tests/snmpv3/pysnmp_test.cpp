// pysnmp as a second, independent SNMPv3 agent: every protocol pair it supports must take
// our messages and answer what it answers net-snmp's tools. The two clients' printed
// results are compared (sysUpTime left out: it moves between the two runs).
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/peers.h"

namespace {

using kivo8::test::Process;
using kivo8::test::sh_output;

std::string without_uptime(const std::string &text) {
  std::istringstream in(text);
  std::string line, out;
  while (std::getline(in, line))
    if (line.rfind(".1.3.6.1.2.1.1.3.0 ", 0) != 0) out += line + "\n";
  return out;
}

TEST(Snmpv3Pysnmp, EveryProtocolPairAnswersOurRequestsAsItAnswersNetSnmp) {
  KIVO8_REQUIRE_PROGRAM("snmpget");
  if (access("/usr/lib/python3/dist-packages/pysnmp", F_OK) != 0) {
    if (kivo8::test::in_ci()) FAIL() << "python3-pysnmp4 is missing";
    GTEST_SKIP() << "python3-pysnmp4 is missing";
  }
  kivo8::test::TempDir dir;
  const int port = kivo8::test::free_udp_port();
  Process agent({"/usr/bin/python3", std::string(KIVO8_SOURCE_DIR) + "/tests/snmpv3/pysnmp_agent.py",
                 std::to_string(port)},
                "", dir.file("agent.log"));
  ASSERT_TRUE(kivo8::test::wait_until(30, [&] {
    return sh_output("cat '" + dir.file("agent.log") + "'").find("ready") != std::string::npos;
  })) << sh_output("cat '" + dir.file("agent.log") + "'");
  const std::string endpoint = "127.0.0.1:" + std::to_string(port);
  const std::string kivo = kivo8::test::binary_dir() + "/tools/kivo/kivo";
  const char *auths[] = {"MD5", "SHA", "SHA-224", "SHA-256", "SHA-384", "SHA-512"};
  const char *privs[] = {"", "DES", "AES", "AES-192", "AES-256"};
  std::vector<std::string> users = {"-u u-none -l noAuthNoPriv"};
  for (const char *a : auths)
    for (const char *p : privs) {
      std::string u = std::string("-u u-") + a + (*p ? std::string("-") + p : "");
      u += std::string(*p ? " -l authPriv" : " -l authNoPriv") + " -a " + a + " -A ink-and-paper";
      if (*p) u += std::string(" -x ") + p + " -X toner-secret";
      users.push_back(u);
    }
  kivo8::test::sh("mkdir -p '" + dir.file("ns/cert_indexes") + "'");
  const std::string env = "HOME='" + dir.path() + "' SNMP_PERSISTENT_DIR='" + dir.file("ns") + "' ";
  for (const std::string &u : users) {
    SCOPED_TRACE(u);
    const std::string get = " -t 2 -r 1 " + u + " " + endpoint + " .1.3.6.1.2.1.1.1.0 .1.3.6.1.2.1.1.2.0";
    const std::string ours = sh_output(env + "'" + kivo + "' get -v 3" + get + " 2>&1");
    EXPECT_EQ(ours, sh_output(env + "snmpget -m '' -M /dev/null -On -v3" + get + " 2>&1"));
    EXPECT_NE(ours.find("PySNMP"), std::string::npos) << ours;
    const std::string walk = " -t 2 -r 1 " + u + " " + endpoint + " .1.3.6.1.2.1.1";
    EXPECT_EQ(without_uptime(sh_output(env + "'" + kivo + "' walk --no-bulk -v 3" + walk + " 2>&1")),
              without_uptime(sh_output(env + "snmpwalk -m '' -M /dev/null -On -v3" + walk + " 2>&1")));
    EXPECT_EQ(without_uptime(sh_output(env + "'" + kivo + "' walk -v 3" + walk + " 2>&1")),
              without_uptime(sh_output(env + "snmpbulkwalk -m '' -M /dev/null -On -v3" + walk + " 2>&1")));
  }
}

}  // namespace
