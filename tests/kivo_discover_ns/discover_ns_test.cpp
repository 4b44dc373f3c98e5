// kivo discover as someone who looks after a fleet of printers meets it, in a hub
// network of namespaces: agents with different communities, an agent that ignores
// broadcasts, an SNMPv3-only agent, a router the naming rule cannot name. kivo runs in
// the hub namespace with a scratch HOME; Debian's python reads its JSON and CSV.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/kivo_run.h"
#include "support/peers.h"
#include "support/snmp_agents.h"

namespace kivo8::test {
namespace {

std::vector<SnmprecLine> printer(const std::string &model, const std::string &sys_name) {
  return {{"1.3.6.1.2.1.1.1.0", "4", "Acme " + model + " network printer"},
          {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.1.7"},
          {"1.3.6.1.2.1.1.5.0", "4", sys_name},
          {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
          {"1.3.6.1.2.1.25.3.2.1.3.1", "4", "Acme " + model}};
}

// A router: the system group alone, its description two lines long.
std::vector<SnmprecLine> router() {
  return {{"1.3.6.1.2.1.1.1.0", "4x", "4564676520726f7574657220370d0a7265762032"},  // Edge router 7\r\nrev 2
          {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.2.1"},
          {"1.3.6.1.2.1.1.5.0", "4", "gw-east"}};
}

// The MAC address of an agent's end of its link, as the hub's neighbour table shows it.
std::string mac_of(Netns &agent) {
  std::string out = agent.sh_output("cat /sys/class/net/eth0/address 2>/dev/null || "
                                    "ip -o link | sed -n 's/.*link\\/ether \\([0-9a-f:]*\\).*/\\1/p' | head -n1");
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

class KivoFleet : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    KIVO8_REQUIRE_PROGRAM("snmpsimd");
    KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
    net_ = std::make_unique<HubNetwork>(3, "10.81.0");
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(0).name(), printer("Jet 100", "front-desk"),
                                                "0.0.0.0:161", "public"));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(1).name(), router(), "0.0.0.0:161", "vellum"));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(2).name(), printer("Jet 300", "lab"),
                                                "0.0.0.0:161", "secret"));
    for (auto &a : agents_) ASSERT_TRUE(a->wait_ready(30));
  }

  KivoResult kivo(const std::vector<std::string> &args,
                  const std::vector<std::string> &env = {"LANG=C.UTF-8"}) {
    return run_kivo(&net_->hub(), home_, args, env);
  }
  static std::vector<std::string> discover(std::vector<std::string> more) {
    // Answers come from python agents: a loaded two-core machine can delay them by
    // seconds, and a search window that closes first finds nothing.
    std::vector<std::string> args = {"discover", "--no-slp", "--no-mdns", "--no-web", "--timeout", "4"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  std::string ip(int i) const { return net_->agent_ip(i); }
  std::string query(const std::string &json, const std::string &expr) { return json_query(home_, json, expr); }

  std::unique_ptr<HubNetwork> net_;
  std::vector<std::unique_ptr<Snmpsim>> agents_;
  TempDir home_;
};

// By default vellum and public are both tried; the community that answered is shown;
// --community replaces them; a saved target keeps its own list; silence to every
// community says which were tried.
TEST_F(KivoFleet, CommunitiesTriedAndTheOneThatAnswered) {
  KivoResult json = kivo(discover({"--json"}));
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(query(json.out, "[[x['address'], x['community'], x['name']] for x in d]"),
            "[[\"" + ip(0) + "\", \"public\", \"Acme Jet 100\"], [\"" + ip(1) + "\", \"vellum\", \"Unknown\"]]");
  KivoResult table = kivo(discover({}), {"LANG=C.UTF-8"});
  ASSERT_EQ(table.status, 0) << table.err;
  auto rows = lines_of(table.out);
  ASSERT_EQ(rows.size(), 3u) << table.out;
  EXPECT_NE(rows[0].find("Community"), std::string::npos) << rows[0];
  EXPECT_NE(rows[1].find("  public  "), std::string::npos) << rows[1];
  EXPECT_NE(rows[2].find("  vellum  "), std::string::npos) << rows[2];

  KivoResult secret = kivo(discover({"--json", "--community", "secret"}));
  ASSERT_EQ(secret.status, 0) << secret.err;
  EXPECT_EQ(query(secret.out, "[[x['address'], x['community']] for x in d]"),
            "[[\"" + ip(2) + "\", \"secret\"]]");

  // A saved range asks with its own list only, the interface with the run's set.
  ASSERT_EQ(kivo({"targets", "add-range", ip(2) + "-" + ip(2), "--community", "secret"}).status, 0);
  KivoResult saved = kivo(discover({"--json", "--community", "nobody"}));
  ASSERT_EQ(saved.status, 0) << saved.err;
  EXPECT_EQ(query(saved.out, "[[x['address'], x['community'], x['found_by']] for x in d]"),
            "[[\"" + ip(2) + "\", \"secret\", [\"scan\"]]]");
  ASSERT_EQ(kivo({"targets", "remove", "10001"}).status, 0);

  KivoResult none = kivo(discover({"--community", "nobody", "--community", "nor-this"}));
  ASSERT_EQ(none.status, 0) << none.err;
  EXPECT_EQ(none.out, "No devices found.\n");
  EXPECT_NE(none.err.find("no device answered SNMP with the communities tried: nobody, nor-this"),
            std::string::npos)
      << none.err;
}

// The naming rule has no name for the router: the table says so and shows what the
// router says of itself (its first line only: a line end would break the row).
TEST_F(KivoFleet, UnknownDevicesShowTheirSysNameAndDescription) {
  KivoResult r = kivo(discover({"--wide"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Unknown (gw-east: Edge router 7)  "), std::string::npos) << r.out;
  EXPECT_EQ(first_control(r.out, true), "") << r.out;
  KivoResult de = kivo(discover({"--wide", "--lang", "de", "--datadir", kivo_catalogue_dir()}));
  EXPECT_NE(de.out.find("Unbekannt (gw-east: Edge router 7)  "), std::string::npos) << de.out;
}

// Columns and fields for the system name and the MAC address the kernel learnt; the
// same devices as JSON, NDJSON (a line each) and CSV; a narrow terminal keeps the name
// readable by leaving the last columns out.
TEST_F(KivoFleet, FormatsCarrySystemNameAndMacAddress) {
  const std::string mac0 = mac_of(net_->agent(0)), mac1 = mac_of(net_->agent(1));
  ASSERT_EQ(mac0.size(), 17u) << mac0;
  KivoResult json = kivo(discover({"--format", "json"}));
  ASSERT_EQ(json.status, 0) << json.err;
  const std::string want = "[[\"" + ip(0) + "\", \"front-desk\", \"" + mac0 + "\"], [\"" + ip(1) +
                           "\", \"gw-east\", \"" + mac1 + "\"]]";
  EXPECT_EQ(query(json.out, "[[x['address'], x['sys_name'], x['mac']] for x in d]"), want);

  KivoResult nd = kivo(discover({"--format", "ndjson"}));
  ASSERT_EQ(nd.status, 0) << nd.err;
  std::string as_array = "[";
  for (const auto &line : lines_of(nd.out)) as_array += (as_array.size() > 1 ? "," : "") + line;
  as_array += "]";
  EXPECT_EQ(query(as_array, "sorted([[x['address'], x['sys_name'], x['mac']] for x in d])"), want);

  KivoResult csv = kivo(discover({"--format", "csv"}));
  ASSERT_EQ(csv.status, 0) << csv.err;
  const std::string file = home_.file("devices.csv");
  std::ofstream(file, std::ios::binary) << csv.out;
  std::ofstream(home_.file("read_csv.py")) << "import csv, json, sys\n"
                                         "rows = list(csv.DictReader(open(sys.argv[1], newline='', encoding='utf-8')))\n"
                                         "print(json.dumps([[r['address'], r['sys_name'], r['mac'], r['community'], "
                                         "r['sys_descr']] for r in rows]))\n";
  EXPECT_EQ(sh_output("/usr/bin/python3 " + home_.file("read_csv.py") + " " + file),
            "[[\"" + ip(0) + "\", \"front-desk\", \"" + mac0 + "\", \"public\", \"Acme Jet 100 network printer\"], [\"" +
                ip(1) + "\", \"gw-east\", \"" + mac1 + "\", \"vellum\", \"Edge router 7\\r\\nrev 2\"]]\n");

  KivoResult wide = kivo(discover({}), {"LANG=C.UTF-8", "COLUMNS=200"});
  EXPECT_NE(wide.out.find(mac0), std::string::npos) << wide.out;
  EXPECT_NE(wide.out.find("front-desk"), std::string::npos) << wide.out;
  KivoResult narrow = kivo(discover({}), {"LANG=C.UTF-8", "COLUMNS=80"});
  for (const auto &line : lines_of(narrow.out)) EXPECT_LE(utf8_chars(line), 80u) << narrow.out;
  EXPECT_EQ(narrow.out.find(mac0), std::string::npos) << "the MAC column goes first: " << narrow.out;
  EXPECT_NE(narrow.out.find("Acme Jet 100"), std::string::npos) << narrow.out;
}

// --only: the addresses given, nothing else (no broadcast, no saved target); a host name
// in the hosts file is looked up, one that does not resolve is refused.
TEST_F(KivoFleet, OnlyTheHostsGivenAndHostNamesInTheFile) {
  ASSERT_EQ(kivo({"targets", "add-range", ip(1) + "-" + ip(1)}).status, 0);
  // The hub's own hosts file, which `ip netns exec` puts in place of /etc/hosts.
  const std::string etc = "/etc/netns/" + net_->hub().name();
  ASSERT_EQ(sh("mkdir -p " + etc), 0);
  std::ofstream(etc + "/hosts") << "127.0.0.1 localhost\n" << ip(0) << " desk-printer.example\n";
  std::ofstream(home_.file("hosts")) << "# the front desk\ndesk-printer.example\n";
  KivoResult r = kivo(discover({"--json", "--only", "--hosts-file", home_.file("hosts")}));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(query(r.out, "[[x['address'], x['found_by']] for x in d]"),
            "[[\"" + ip(0) + "\", [\"scan\"]]]");
  std::ofstream(home_.file("bad-hosts")) << ip(0) << "\nno-such-printer.invalid\n";
  KivoResult bad = kivo(discover({"--only", "--hosts-file", home_.file("bad-hosts")}));
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find(home_.file("bad-hosts") + ":2: cannot find the host 'no-such-printer.invalid'"),
            std::string::npos)
      << bad.err;
  KivoResult alone = kivo(discover({"--only"}));
  EXPECT_EQ(alone.status, 2);
  EXPECT_NE(alone.err.find("--only needs --range or --hosts-file"), std::string::npos) << alone.err;
  sh("rm -rf " + etc);
}

// --max-devices: the first N to answer, and a word on what came past the cap.
TEST_F(KivoFleet, DeviceCapIsStated) {
  KivoResult r = kivo(discover({"--json", "--max-devices", "1", "--community", "public",
                                "--community", "vellum"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(query(r.out, "len(d)"), "1");
  EXPECT_NE(r.err.find("--max-devices 1 reached: the first 1 devices to answer are shown;"),
            std::string::npos)
      << r.err;
}

// Ctrl-C during a long sweep: the search stops, what was found so far is printed in the
// format asked for (NDJSON lines already written as devices completed), kivo says it
// was interrupted and exits with 130. A sweep this large says its size first.
TEST_F(KivoFleet, CtrlCPrintsWhatWasFoundAndExits130) {
  for (const char *format : {"json", "ndjson"}) {
    SCOPED_TRACE(format);
    const std::string out = home_.file(std::string("interrupted.") + format), err = home_.file("interrupted.err");
    std::string command = "exec env -u LANGUAGE -u LC_ALL HOME=" + shell_quote(home_.path()) +
                          " LANG=C.UTF-8 " + shell_quote(kivo_program()) +
                          " discover --no-slp --no-mdns --no-web --timeout 5 --rate 500 --format " +
                          format + " --range 10.80.0.0/15 >" + shell_quote(out) + " 2>" + shell_quote(err);
    Process kivo_run({"ip", "netns", "exec", net_->hub().name(), "sh", "-c", command});
    // The broadcast answers come within the time-out (python agents on a loaded machine
    // may take seconds); the sweep goes on for minutes.
    ASSERT_TRUE(wait_until(20, [&] { return read_bytes(err).find("scanning 131072 addresses") != std::string::npos; }))
        << read_bytes(err);
    if (std::string(format) == "ndjson")
      ASSERT_TRUE(wait_until(20, [&] { return lines_of(read_bytes(out)).size() >= 2; })) << read_bytes(out);
    else
      std::this_thread::sleep_for(std::chrono::seconds(9));  // past the broadcast window
    ASSERT_TRUE(kivo_run.running());
    ASSERT_EQ(kill(kivo_run.pid(), SIGINT), 0);
    EXPECT_EQ(kivo_run.wait(), 130);
    std::string json = read_bytes(out);
    if (std::string(format) == "ndjson") {
      std::string array = "[";
      for (const auto &line : lines_of(json)) array += (array.size() > 1 ? "," : "") + line;
      json = array + "]";
    }
    EXPECT_EQ(query(json, "sorted(x['address'] for x in d)"), "[\"" + ip(0) + "\", \"" + ip(1) + "\"]");
    EXPECT_NE(read_bytes(err).find("interrupted: the 2 devices found so far are shown"), std::string::npos)
        << read_bytes(err);
  }
}

// Progress as lines when standard error is no terminal, none with --quiet.
TEST_F(KivoFleet, ProgressLinesWhenStandardErrorIsAFile) {
  KivoResult r = kivo(discover({"--only", "--range", "10.81.0.0/24", "--rate", "50", "--timeout", "1"}));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find(" of 256 addresses asked, "), std::string::npos) << r.err;
  EXPECT_EQ(first_control(r.err, true), "") << "no bar drawn with carriage returns: " << r.err;
  KivoResult quiet = kivo(discover({"--only", "--range", "10.81.0.0/24", "--rate", "50", "--timeout", "1",
                                    "--quiet"}));
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_EQ(quiet.err, "");
}

// An agent that does not answer broadcasts (net-snmp's snmpd here) is found only by a
// range scan: a search that heard no broadcast answer says how to ask every address.
TEST(KivoBroadcastHint, SaysRangeAsksEveryAddress) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("snmpd");
  HubNetwork net(1, "10.82.0");
  SnmpdConfig config;
  config.netns = net.agent(0).name();
  config.address = "0.0.0.0";
  Snmpd agent(config);
  ASSERT_TRUE(agent.ok());
  TempDir home;
  KivoResult r = run_kivo(&net.hub(), home, {"discover", "--no-slp", "--no-mdns", "--no-web", "--timeout", "2"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "No devices found.\n");
  EXPECT_NE(r.err.find("no device answered the SNMP broadcast; some agents do not answer broadcasts: "
                       "--range 10.82.0.0/24 asks every address"),
            std::string::npos)
      << r.err;
  KivoResult scan = run_kivo(&net.hub(), home, {"discover", "--json", "--no-slp", "--no-mdns", "--no-web",
                                                "--timeout", "2", "--range", "10.82.0.0/24"});
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(json_query(home, scan.out, "[x['address'] for x in d if 'scan' in x['found_by']]"),
            "[\"" + net.agent_ip(0) + "\"]");
  EXPECT_EQ(scan.err.find("broadcast"), std::string::npos) << "no hint once a range was asked: " << scan.err;
}

// An SNMPv3 user the agent refuses: said per device on standard error and in JSON.
TEST(KivoSnmpv3Refusals, WrongPassPhraseAndUnknownUserNamedPerDevice) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("snmpd");
  HubNetwork net(1, "10.60.0");
  SnmpdConfig config;
  config.netns = net.agent(0).name();
  config.address = "0.0.0.0";
  config.v3_only = true;
  config.extra_lines = {"createUser ops SHA ink-and-paper", "rouser ops auth -V kv"};
  Snmpd agent(config);
  ASSERT_TRUE(agent.ok());
  TempDir home;
  const std::string ip = net.agent_ip(0);
  struct {
    const char *name;
    std::vector<std::string> user;
    const char *said;
    const char *token;
  } cases[] = {
      {"wrong pass phrase", {"--v3-user", "ops", "-l", "authNoPriv", "-a", "SHA", "-A", "not-the-phrase"},
       ": SNMPv3 user ops: wrong digest", "wrong_digest"},
      {"unknown user", {"--v3-user", "nobody", "-l", "authNoPriv", "-a", "SHA", "-A", "ink-and-paper"},
       ": SNMPv3 user nobody: unknown user", "unknown_user"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = {"discover", "--json", "--no-slp", "--no-mdns", "--no-web",
                                     "--timeout", "2", "--only", "--range", ip};
    args.insert(args.end(), c.user.begin(), c.user.end());
    KivoResult r = run_kivo(&net.hub(), home, args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(ip + c.said), std::string::npos) << r.err;
    EXPECT_EQ(json_query(home, r.out, "[[x['address'], x['snmpv3_error']] for x in d]"),
              "[[\"" + ip + "\", \"" + c.token + "\"]]");
    EXPECT_EQ(r.err.find("not-the-phrase"), std::string::npos) << r.err;
  }
  KivoResult good = run_kivo(&net.hub(), home, {"discover", "--json", "--no-slp", "--no-mdns", "--no-web",
                                                "--timeout", "2", "--only", "--range", ip, "--v3-user", "ops",
                                                "-l", "authNoPriv", "-a", "SHA", "-A", "ink-and-paper"});
  ASSERT_EQ(good.status, 0) << good.err;
  EXPECT_EQ(json_query(home, good.out, "[[x['snmpv3_error'], x['snmpv3_user']] for x in d]"), "[[null, \"ops\"]]");
  EXPECT_EQ(good.err, "");
}

}  // namespace
}  // namespace kivo8::test
