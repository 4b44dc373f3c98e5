// kivo discover and an agent that speaks SNMPv3 only: net-snmp's snmpd with users and no
// community for the network, in a namespace of its own on the test network. Found by
// its engine-id Report without credentials, described with them, found but not
// described with a wrong pass phrase; no pass phrase is ever printed.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "discover/naming.h"
#include "support/hub_network.h"
#include "support/kivo_run.h"
#include "support/snmpd.h"

namespace kivo8::test {
namespace {

constexpr const char *kUser = "kv-sha256";
constexpr const char *kAuthPass = "ink-and-paper";
constexpr const char *kPrivPass = "toner-secret";
constexpr const char *kSysDescr = "Kestrel LX-410 Series";

// The JSON reduced by Debian's python (not the program under test) to one line per
// device: address|product|found_by|engine_id|sys_descr|snmp_version|snmpv3_user|kind|
// sys_object_id.
std::string summary(const TempDir &home, const std::string &json) {
  std::ofstream(home.file("d.json")) << json;
  std::ofstream(home.file("s.py"))
      << "import json,sys\n"
         "for d in json.load(open(sys.argv[1])):\n"
         "  print('|'.join([d['address'],d['product'] or '',','.join(d['found_by']),d['engine_id'] or '-',"
         "d['sys_descr'] or '',d['snmp_version'] or '-',d.get('snmpv3_user') or '-',d['kind'],"
         "d['sys_object_id'] or '-']))\n";
  int status = 0;
  std::string text = sh_output("/usr/bin/python3 " + home.file("s.py") + " " + home.file("d.json"), &status);
  EXPECT_EQ(status, 0) << json;
  return text;
}

// What snmpget prints for one value, without its name and type.
std::string value_of(const Snmpd &agent, const std::string &oid) {
  std::string out = agent.tool("snmpget", std::string("-v3 -Oqv -u ") + kUser + " -l authPriv -a SHA-256 -A " +
                                              kAuthPass + " -x AES -X " + kPrivPass + " 127.0.0.1 " + oid);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

TEST(DiscoverV3, FindsV3OnlyAgentAndDescribesItWithCredentials) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("snmpd");
  KIVO8_REQUIRE_PROGRAM("snmpget");
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  HubNetwork net(1, "10.67.0");
  SnmpdConfig config;
  config.netns = net.agent(0).name();
  config.address = "0.0.0.0";
  config.v3_only = true;
  config.sys_descr = kSysDescr;
  config.view_lines.push_back("view kv included .1.3.6.1.6.3.10.2.1");
  // The Printer-MIB's printer name makes the agent a printer, whichever version reads it.
  config.view_lines.push_back("view kv included .1.3.6.1.2.1.43");
  config.extra_lines = {std::string("createUser ") + kUser + " SHA-256 " + kAuthPass + " AES " + kPrivPass,
                        std::string("rouser ") + kUser + " priv -V kv",
                        std::string("override .1.3.6.1.2.1.43.5.1.1.16.1 octet_str \"") + kSysDescr + "\""};
  Snmpd agent(config);
  ASSERT_TRUE(agent.ok());
  const std::string ip = net.agent_ip(0);

  // The agent's own word for its engine id and description.
  std::string engine = value_of(agent, ".1.3.6.1.6.3.10.2.1.1.0");
  std::string engine_hex;
  for (char c : engine)
    if (std::isxdigit(static_cast<unsigned char>(c)) != 0) engine_hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  ASSERT_GE(engine_hex.size(), 10u) << engine;
  const std::string descr = value_of(agent, ".1.3.6.1.2.1.1.1.0");
  ASSERT_EQ(descr, std::string("\"") + kSysDescr + "\"");
  const std::string sys_object_id = value_of(agent, ".1.3.6.1.2.1.1.2.0");
  // The name the library's naming rule gives what the agent tells.
  kivo::discover::NamingInput in;
  in.sys_descr = kSysDescr;
  in.printer_name = kSysDescr;
  std::vector<std::uint32_t> oid;
  for (std::size_t p = 1; p < sys_object_id.size();) {
    std::size_t dot = sys_object_id.find('.', p);
    oid.push_back(static_cast<std::uint32_t>(std::stoul(sys_object_id.substr(p, dot - p))));
    p = dot == std::string::npos ? sys_object_id.size() : dot + 1;
  }
  in.sys_object_id = oid;
  in.answered_snmp = true;
  const std::string name = kivo::discover::choose_name(in).product_name;
  ASSERT_FALSE(name.empty());

  // v1 from the network is not answered: only SNMPv3 can find this agent.
  EXPECT_FALSE(net.hub().sh("snmpget -v1 -c vellum -t 1 -r 0 " + ip + " .1.3.6.1.2.1.1.1.0 >/dev/null 2>&1") == 0);

  TempDir home;
  const std::vector<std::string> base = {"discover", "--timeout", "2", "--no-web", "--no-mdns", "--no-slp",
                                         "--range", ip};
  const std::vector<std::string> creds = {"--v3-user", kUser, "-l", "authPriv", "-a", "SHA-256",
                                          "-A", kAuthPass, "-x", "AES", "-X", kPrivPass};
  ASSERT_EQ(value_of(agent, ".1.3.6.1.2.1.43.5.1.1.16.1"), std::string("\"") + kSysDescr + "\"");
  // Described with credentials: a printer as v1/v2c answers would make it, its object id
  // in the one dotted form (the table's leading dot once, never "..").
  const std::string described =
      ip + "|" + name + "|snmpv3|" + engine_hex + "|" + kSysDescr + "|3|" + kUser + "|printer|" + sys_object_id;
  // Found by the engine-id probe alone: an SNMPv3 agent of unknown kind, never a printer
  // without SNMP.
  const std::string found_only = ip + "||snmpv3|" + engine_hex + "||-|-|unknown|-";
  struct Case {
    const char *what;
    std::vector<std::string> args;
    std::string expect;  // the summary line; empty: not listed
    bool saved = false;  // the credentials saved first with kivo credentials
  };
  std::vector<std::string> wrong = creds;
  wrong[7] = "not-the-pass-phrase";
  std::vector<std::string> saved_user = {"--v3-user", kUser};
  const Case cases[] = {
      {"no credentials: found by its engine-id Report", {}, found_only},
      {"with the user: described and named", creds, described},
      {"a saved user by name", saved_user, described, true},
      {"a wrong pass phrase: found, not described", wrong, found_only},
      {"--no-snmpv3: not found", {"--no-snmpv3"}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if (c.saved) {
      KivoResult add = run_kivo(nullptr, home, {"credentials", "add", kUser, "-l", "authPriv", "-a", "SHA-256",
                                                "-A", kAuthPass, "-x", "AES", "-X", kPrivPass});
      ASSERT_EQ(add.status, 0) << add.err;
    }
    std::vector<std::string> args = base;
    args.insert(args.end(), c.args.begin(), c.args.end());
    KivoResult table = run_kivo(&net.hub(), home, args);
    args.push_back("--json");
    KivoResult json = run_kivo(&net.hub(), home, args);
    ASSERT_EQ(table.status, 0) << table.err;
    ASSERT_EQ(json.status, 0) << json.err;
    const std::string s = summary(home, json.out);
    if (c.expect.empty()) {
      EXPECT_EQ(s.find(ip + "|"), std::string::npos) << s;
    } else {
      EXPECT_NE(s.find(c.expect + "\n"), std::string::npos) << "expected " << c.expect << "\n" << s;
      EXPECT_NE(table.out.find("snmpv3"), std::string::npos) << table.out;
      EXPECT_EQ(table.out.find("without SNMP"), std::string::npos) << table.out;
      if (c.expect == found_only) {
        EXPECT_NE(table.out.find("SNMPv3 agent"), std::string::npos) << table.out;
      }
    }
    for (const std::string &text : {table.out, table.err, json.out, json.err}) {
      EXPECT_EQ(text.find(kAuthPass), std::string::npos) << text;
      EXPECT_EQ(text.find(kPrivPass), std::string::npos) << text;
      EXPECT_EQ(text.find("not-the-pass-phrase"), std::string::npos) << text;
    }
  }
  // Security options without a user, and a user without the search, are usage errors.
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{"discover", "-l", "authPriv"},
        std::vector<std::string>{"discover", "--v3-user", kUser, "--no-snmpv3"}}) {
    KivoResult r = run_kivo(&net.hub(), home, args);
    EXPECT_EQ(r.status, 2) << r.err;
  }
}

}  // namespace
}  // namespace kivo8::test
