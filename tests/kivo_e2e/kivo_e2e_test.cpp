// The kivo program end to end: a hub network of namespaces holding three printers
// (snmpsim agents with Printer-MIB data), one SNMP agent that is no printer, a printer
// that answers only SLP, and a web server on one printer. kivo runs inside the hub
// namespace with a scratch HOME, as a user would run it on that network.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/peers.h"
#include "support/snmp_agents.h"

namespace {

using kivo8::test::HubNetwork;
using kivo8::test::Netns;
using kivo8::test::Process;
using kivo8::test::Snmpsim;
using kivo8::test::SnmprecLine;
using kivo8::test::TempDir;

std::string kivo_program() { return kivo8::test::binary_dir() + "/tools/kivo/kivo"; }
std::string catalogue_dir() { return kivo8::test::binary_dir() + "/tools/kivo"; }

std::string read_file(const std::string &path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string quote(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs a command line (already quoted) inside `ns` (or here when null) with HOME set.
Result run_in(const Netns *ns, const TempDir &home, const std::string &command) {
  Result r;
  std::string out = home.file("run.out"), err = home.file("run.err");
  std::string line = "HOME=" + quote(home.path()) + " LANG=C.UTF-8 LANGUAGE= LC_ALL= " + command +
                     " >" + quote(out) + " 2>" + quote(err);
  r.status = ns != nullptr ? ns->sh(line) : kivo8::test::sh(line);
  r.out = read_file(out);
  r.err = read_file(err);
  return r;
}

Result kivo(const Netns *ns, const TempDir &home, const std::vector<std::string> &args) {
  std::string command = quote(kivo_program());
  for (const auto &a : args) command += " " + quote(a);
  return run_in(ns, home, command);
}

// kivo's JSON device list reduced to one line per device by Debian's python (which is
// not the program under test): address|name|kind|web|ways.
std::map<std::string, std::string> device_summary(const TempDir &scratch, const std::string &json) {
  std::string file = scratch.file("devices.json");
  std::ofstream(file) << json;
  std::string py =
      "import json,sys\n"
      "for d in json.load(open(sys.argv[1])):\n"
      "  print('|'.join([d['address'], d['name'], d['kind'], str(d['web_server']).lower(),"
      " ','.join(d['found_by'])]))\n";
  std::ofstream(scratch.file("summary.py")) << py;
  int status = 0;
  std::string text = kivo8::test::sh_output(
      "/usr/bin/python3 " + quote(scratch.file("summary.py")) + " " + quote(file), &status);
  EXPECT_EQ(status, 0) << "kivo printed no valid JSON:\n" << json;
  std::map<std::string, std::string> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) out[line.substr(0, line.find('|'))] = line;
  return out;
}

std::vector<SnmprecLine> printer_data(const std::string &model, const std::string &queue,
                                      const std::string &device_id) {
  std::vector<SnmprecLine> lines = {
      {"1.3.6.1.2.1.1.1.0", "4", "Acme " + model + " network printer"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.1.7"},
      {"1.3.6.1.2.1.1.3.0", "67", "1234567"},
      {"1.3.6.1.2.1.1.5.0", "4", queue},
      {"1.3.6.1.2.1.2.2.1.5.1", "66", "100000000"},
      {"1.3.6.1.2.1.2.2.1.6.1", "4x", "008077315a01"},
      {"1.3.6.1.2.1.2.2.1.10.1", "65", "4000123"},
      {"1.3.6.1.2.1.4.20.1.1.10.77.0.2", "64", "10.77.0.2"},
      {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
      {"1.3.6.1.2.1.25.3.2.1.3.1", "4", "Acme " + model},
      {"1.3.6.1.2.1.25.3.2.1.5.1", "2", "2"},
      {"1.3.6.1.2.1.31.1.1.1.6.1", "70", "98765432109876"},
      {"1.3.6.1.2.1.43.5.1.1.16.1", "4", queue},
      {"1.3.6.1.2.1.43.5.1.1.17.1", "4", "SN \"42\""},
      {"1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1", "4", device_id},
  };
  return lines;
}

class KivoNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    KIVO8_REQUIRE_PROGRAM("snmpsimd");
    KIVO8_REQUIRE_PROGRAM("lighttpd");
    KIVO8_REQUIRE_PROGRAM("snmpget");
    net_ = std::make_unique<HubNetwork>(5, "10.77.0");
    agents_.push_back(std::make_unique<Snmpsim>(
        net_->agent(0).name(),
        printer_data("Jet 100", "front-desk", "MFG:Acme;MDL:Jet 100;CMD:PCL,PS;CLS:PRINTER;")));
    agents_.push_back(std::make_unique<Snmpsim>(
        net_->agent(1).name(),
        printer_data("Jet 200", "back-office", "MFG:Acme;CMD:PCL;MODEL:Jet 200 Duplex;")));
    agents_.push_back(std::make_unique<Snmpsim>(
        net_->agent(2).name(), printer_data("Jet 300", "lab", "MFG:Acme;MDL:Jet 300;")));
    // A router: the system group only, no Host Resources or Printer MIB.
    agents_.push_back(std::make_unique<Snmpsim>(
        net_->agent(3).name(),
        std::vector<SnmprecLine>{{"1.3.6.1.2.1.1.1.0", "4", "Edge router 7"},
                                 {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.2.1"},
                                 {"1.3.6.1.2.1.1.5.0", "4", "gw"}}));
    // The web server of the first printer.
    std::string root = www_.file("www");
    ASSERT_EQ(kivo8::test::sh("mkdir -p " + quote(root)), 0);
    std::ofstream(root + "/index.html") << "<html><body>Jet 100</body></html>\n";
    std::ofstream(www_.file("lighttpd.conf"))
        << "server.document-root = \"" << root << "\"\n"
        << "server.bind = \"" << net_->agent_ip(0) << "\"\n"
        << "server.port = 80\n"
        << "server.errorlog = \"" << www_.file("error.log") << "\"\n"
        << "index-file.names = ( \"index.html\" )\n";
    chmod(www_.path().c_str(), 0755);
    web_ = Process({kivo8::test::find_program("lighttpd"), "-D", "-f", www_.file("lighttpd.conf")},
                   net_->agent(0).name(), www_.file("lighttpd.out"));
    // The printer without SNMP answers SLP only.
    slp_ = Process({"/usr/bin/python3", kivo8::test::source_dir() + "/tests/slp/responder.py",
                    "--address", net_->agent_ip(4), "--match", "service:printer", "--url",
                    "service:printer:lpr://" + net_->agent_ip(4) + "/queue", "--ready",
                    www_.file("slp.ready")},
                   net_->agent(4).name(), www_.file("slp.log"));
    for (auto &a : agents_) ASSERT_TRUE(a->wait_ready(30));
    ASSERT_TRUE(kivo8::test::wait_until(10, [&] {
      return access(www_.file("slp.ready").c_str(), F_OK) == 0;
    })) << read_file(www_.file("slp.log"));
    ASSERT_TRUE(kivo8::test::wait_until(10, [&] {
      return net_->hub().sh("/usr/bin/python3 -c \"import socket; socket.create_connection(('" +
                            net_->agent_ip(0) + "', 80), 1)\" 2>/dev/null") == 0;
    })) << "lighttpd did not start: " << read_file(www_.file("lighttpd.out"));
  }

  const Netns *hub() { return &net_->hub(); }
  std::string ip(int i) { return net_->agent_ip(i); }

  std::unique_ptr<HubNetwork> net_;
  std::vector<std::unique_ptr<Snmpsim>> agents_;
  TempDir www_;
  Process web_;
  Process slp_;
  TempDir home_;
};

TEST_F(KivoNetwork, DiscoverTargetsGetAndWalk) {
  // A fresh HOME: the hub's own interface is the only target; SNMP by broadcast, SLP by
  // multicast with the scope DEFAULT.
  Result first = kivo(hub(), home_, {"discover", "--json", "--timeout", "2"});
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_EQ(first.err, "") << "every search went out and ended normally";
  std::map<std::string, std::string> expected = {
      {ip(0), ip(0) + "|Acme Jet 100|printer|true|broadcast"},
      {ip(1), ip(1) + "|Acme Jet 200 Duplex|printer|false|broadcast"},
      {ip(2), ip(2) + "|Acme Jet 300|printer|false|broadcast"},
      {ip(3), ip(3) + "|Unknown|other|false|broadcast"},
      {ip(4), ip(4) + "|SNMP Disabled Device|no-snmp|false|slp"},
  };
  EXPECT_EQ(device_summary(home_, first.out), expected) << first.out;

  // The same network by an address-range scan, saved as a target, without broadcasts;
  // in German, which the JSON does not follow: its names stay untranslated.
  Result add = kivo(hub(), home_, {"targets", "add-range", ip(0), "10.77.0.9", "--timeout", "1"});
  ASSERT_EQ(add.status, 0) << add.err;
  EXPECT_EQ(add.out, "added target 10001\n");
  Result scan = kivo(hub(), home_,
                  {"discover", "--json", "--no-broadcast", "--timeout", "1", "--lang", "de",
                   "--datadir", catalogue_dir()});
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_EQ(scan.err, "");
  expected = {
      {ip(0), ip(0) + "|Acme Jet 100|printer|true|scan"},
      {ip(1), ip(1) + "|Acme Jet 200 Duplex|printer|false|scan"},
      {ip(2), ip(2) + "|Acme Jet 300|printer|false|scan"},
      {ip(3), ip(3) + "|Unknown|other|false|scan"},
      {ip(4), ip(4) + "|SNMP Disabled Device|no-snmp|false|slp"},
  };
  EXPECT_EQ(device_summary(home_, scan.out), expected) << scan.out;

  // The table: headings in German, one line per device, sorted by address.
  Result table = kivo(hub(), home_,
                   {"discover", "--no-slp", "--no-web", "--timeout", "1", "--lang", "de",
                    "--datadir", catalogue_dir()});
  ASSERT_EQ(table.status, 0) << table.err;
  std::istringstream rows(table.out);
  std::vector<std::string> lines;
  for (std::string l; std::getline(rows, l);) lines.push_back(l);
  ASSERT_EQ(lines.size(), 5u) << table.out;
  EXPECT_EQ(lines[0].rfind("Adresse", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("Gefunden über"), std::string::npos) << lines[0];
  for (int i = 0; i < 4; ++i) EXPECT_EQ(lines[static_cast<std::size_t>(i + 1)].rfind(ip(i), 0), 0u);
  EXPECT_NE(lines[1].find("Broadcast, Bereichssuche"), std::string::npos) << lines[1];
  EXPECT_NE(lines[4].find("Unbekannt"), std::string::npos) << "the table is translated: " << lines[4];

  // Ranges as scanners write them, in a HOME of their own (no saved range target): a
  // CIDR block, and a hosts file read from standard input.
  TempDir fresh;
  Result cidr = kivo(hub(), fresh, {"discover", "--json", "--no-broadcast", "--no-slp", "--no-web",
                                    "--timeout", "1", "--range", "10.77.0.0/28"});
  ASSERT_EQ(cidr.status, 0) << cidr.err;
  std::map<std::string, std::string> by_scan = {
      {ip(0), ip(0) + "|Acme Jet 100|printer|none|scan"},
      {ip(1), ip(1) + "|Acme Jet 200 Duplex|printer|none|scan"},
      {ip(2), ip(2) + "|Acme Jet 300|printer|none|scan"},
      {ip(3), ip(3) + "|Unknown|other|none|scan"},
  };
  EXPECT_EQ(device_summary(fresh, cidr.out), by_scan) << cidr.out;
  Result hosts = run_in(hub(), fresh,
                        "printf '# two printers\\n" + ip(0) + "\\n\\n" + ip(1) + "-" + ip(1) +
                            "  # and one more\\n' | " + quote(kivo_program()) +
                            " discover --json --no-broadcast --no-slp --no-web --timeout 1"
                            " --hosts-file -");
  ASSERT_EQ(hosts.status, 0) << hosts.err;
  by_scan.erase(ip(2));
  by_scan.erase(ip(3));
  EXPECT_EQ(device_summary(fresh, hosts.out), by_scan) << hosts.out;
  Result bad_file = run_in(hub(), fresh, "echo 10.77.0 | " + quote(kivo_program()) +
                                             " discover --hosts-file -");
  EXPECT_EQ(bad_file.status, 2);
  EXPECT_NE(bad_file.err.find("-:1: '10.77.0' is not an IPv4 address"), std::string::npos)
      << bad_file.err;

  // Target edits are saved and read back by the next run; a rejected edit changes nothing.
  Result set = kivo(hub(), home_, {"targets", "set", "10001", "--community", "ink", "--community",
                                "vellum", "--hops", "2"});
  ASSERT_EQ(set.status, 0) << set.err;
  Result slp = kivo(hub(), home_, {"targets", "add-slp", "DEFAULT,floor2", "--timeout", "1"});
  ASSERT_EQ(slp.status, 0) << slp.err;
  std::string saved = read_file(home_.file(".kivo/kivo2.pref"));
  Result bad = kivo(hub(), home_, {"targets", "set", "10001", "--timeout", "0"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("time-out"), std::string::npos) << bad.err;
  Result gone = kivo(hub(), home_, {"targets", "remove", "1"});
  EXPECT_EQ(gone.status, 2) << "the hub's own interface cannot be removed";
  EXPECT_EQ(read_file(home_.file(".kivo/kivo2.pref")), saved);
  Result list = kivo(hub(), home_, {"targets", "--json"});
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_NE(list.out.find("{\"id\": 10001, \"kind\": \"range\", \"first\": \"" + ip(0) +
                          "\", \"last\": \"10.77.0.9\", \"timeout\": 1, \"hops\": 2, "
                          "\"communities\": [\"ink\", \"vellum\"]}"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("{\"id\": 20001, \"kind\": \"slp\", \"scopes\": [\"DEFAULT\", "
                          "\"floor2\"], \"timeout\": 1, \"hops\": 0, \"communities\": "
                          "[\"vellum\"]}"),
            std::string::npos)
      << list.out;
  EXPECT_NE(list.out.find("\"kind\": \"local\", \"interface\": \"br0\", \"address\": \"10.77.0.1\""),
            std::string::npos)
      << list.out;
  Result removed = kivo(hub(), home_, {"targets", "remove", "20001"});
  ASSERT_EQ(removed.status, 0) << removed.err;
  Result after = kivo(hub(), home_, {"targets", "--json"});
  EXPECT_EQ(after.out.find("\"slp\""), std::string::npos) << after.out;
  EXPECT_NE(after.out.find("\"range\""), std::string::npos) << after.out;

  // get and walk print what net-snmp's tools print for the same agent.
  const std::string printer = ip(0);
  const std::vector<std::string> names = {
      ".1.3.6.1.2.1.1.1.0",          ".1.3.6.1.2.1.1.2.0",          ".1.3.6.1.2.1.1.3.0",
      ".1.3.6.1.2.1.2.2.1.5.1",      ".1.3.6.1.2.1.2.2.1.6.1",      ".1.3.6.1.2.1.2.2.1.10.1",
      ".1.3.6.1.2.1.4.20.1.1.10.77.0.2", ".1.3.6.1.2.1.25.3.2.1.2.1", ".1.3.6.1.2.1.43.5.1.1.17.1",
      ".1.3.6.1.2.1.31.1.1.1.6.1",   ".1.3.6.1.2.1.1.9.0"};
  // SNMPv1 cannot carry the Counter64 that follows the Host Resources rows: the agent
  // answers genError there, and both walks stop with it.
  struct {
    const char *kivo_version;
    const char *snmp_version;
    int walk_status;
  } versions[] = {{"1", "1", 1}, {"2c", "2c", 0}};
  for (const auto &v : versions) {
    SCOPED_TRACE(std::string("SNMP version ") + v.snmp_version);
    std::string oids;
    std::vector<std::string> args = {"get", "-v", v.kivo_version, "-t", "1", printer};
    for (const auto &n : names) {
      // Counter64 and missing names exist only in SNMPv2c.
      if (std::string(v.snmp_version) == "1" &&
          (n == ".1.3.6.1.2.1.31.1.1.1.6.1" || n == ".1.3.6.1.2.1.1.9.0"))
        continue;
      oids += " " + n;
      args.push_back(n);
    }
    Result ours = kivo(hub(), home_, args);
    Result theirs = run_in(hub(), home_,
                        std::string("snmpget -On -m '' -v") + v.snmp_version + " -c vellum " +
                            printer + oids);
    EXPECT_EQ(ours.status, 0) << ours.err;
    EXPECT_EQ(ours.out, theirs.out);
    EXPECT_NE(ours.out.find("STRING: \"SN \\\"42\\\"\""), std::string::npos) << ours.out;

    Result walk = kivo(hub(), home_, {"walk", "-v", v.kivo_version, printer, ".1.3.6.1.2.1"});
    Result snmpwalk = run_in(hub(), home_,
                          std::string("snmpwalk -On -m '' -v") + v.snmp_version +
                              " -c vellum " + printer + " .1.3.6.1.2.1");
    EXPECT_EQ(walk.status, v.walk_status) << walk.err;
    EXPECT_EQ(walk.out, snmpwalk.out);
    EXPECT_GE(std::count(walk.out.begin(), walk.out.end(), '\n'), 11);
  }

  // An agent that does not answer: a time-out message and status 1.
  Result silent = kivo(hub(), home_, {"get", "-t", "1", "-r", "0", ip(4), ".1.3.6.1.2.1.1.1.0"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_NE(silent.err.find("Timeout"), std::string::npos) << silent.err;
  Result web = kivo(hub(), home_, {"probe", printer});
  EXPECT_EQ(web.status, 0) << web.out << web.err;
  Result noweb = kivo(hub(), home_, {"probe", ip(1)});
  EXPECT_EQ(noweb.status, 1) << noweb.out;
}

// Bad arguments: status 2, a message that names the problem, nothing sent or saved.
TEST(KivoArguments, BadArgumentsAreRefusedByName) {
  struct {
    const char *name;
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {"unknown command", {"frobnicate"}, "unknown command 'frobnicate'"},
      {"unknown option", {"discover", "--bogus"}, "unknown option --bogus"},
      {"bad range", {"discover", "--range", "10.0.0"}, "'10.0.0' is not an IPv4 address, FIRST-LAST or ADDRESS/BITS"},
      {"bad prefix", {"discover", "--range", "10.0.0.0/33"}, "'10.0.0.0/33' is not of the form"},
      {"threads is gone", {"discover", "--threads", "8"}, "--threads is gone"},
      {"reversed range", {"discover", "--range", "10.0.0.9-10.0.0.1"}, "ends before it starts"},
      {"zero time-out", {"discover", "--timeout", "0"}, "the time-out must be"},
      {"operand to discover", {"discover", "now"}, "unexpected argument 'now'"},
      {"get without host", {"get"}, "no host given"},
      {"get without name", {"get", "127.0.0.1"}, "no object identifier given"},
      {"bad version", {"get", "-v", "4", "127.0.0.1", ".1.3"}, "must be 1, 2c or 3"},
      {"v3 without user", {"get", "-v", "3", "127.0.0.1", ".1.3"}, "SNMPv3 needs a user name"},
      {"bad level", {"get", "-v", "3", "-u", "ops", "-l", "secret", "127.0.0.1", ".1.3"},
       "noAuthNoPriv, authNoPriv or authPriv"},
      {"short pass phrase",
       {"walk", "-v", "3", "-u", "ops", "-l", "authNoPriv", "-a", "SHA", "-A", "short", "127.0.0.1"},
       "at least 8 characters"},
      {"bad name", {"get", "127.0.0.1", "1.3.x"}, "'1.3.x' is not a numeric object identifier"},
      {"missing value", {"walk", "127.0.0.1", "-c"}, "option -c needs a value"},
      {"two roots", {"walk", "127.0.0.1", ".1.3", ".1.4"}, "one object identifier"},
      {"bad port", {"probe", "127.0.0.1", "70000"}, "the port must be"},
      {"flag with value", {"discover", "--json=yes"}, "takes no value"},
      {"bad address", {"targets", "add-range", "10.0.0.1", "10.0.0.300"}, "'10.0.0.300' is not"},
      {"bad netmask", {"targets", "add-broadcast", "10.0.0.1", "255.0.255.0"}, "not a netmask"},
      {"reserved scope", {"targets", "add-slp", "a(b"}, "reserved character '('"},
      {"no such id", {"targets", "remove", "12345"}, "no target with the id 12345"},
      {"set without settings", {"targets", "set", "1"}, "set needs"},
      {"unknown action", {"targets", "shuffle"}, "unknown action 'shuffle'"},
  };
  TempDir home;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Result r = kivo(nullptr, home, c.args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  struct stat st{};
  EXPECT_NE(stat(home.file(".kivo/kivo2.pref").c_str(), &st), 0) << "nothing may be saved";
}

TEST(KivoArguments, HelpForEveryCommand) {
  TempDir home;
  for (const char *command : {"discover", "targets", "get", "walk", "probe"}) {
    SCOPED_TRACE(command);
    Result r = kivo(nullptr, home, {command, "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(std::string("Usage: kivo "), 0), 0u) << r.out;
    EXPECT_NE(r.out.find("Exit status"), std::string::npos) << r.out;
  }
}

}  // namespace

namespace {

// The same comparison against net-snmp's own agent on loopback, whose values come from a
// different implementation than snmpsim's: system group, snmpSetSerialNo, and the names
// it lacks.
TEST(KivoSnmpd, GetAndWalkPrintWhatNetSnmpPrints) {
  KIVO8_REQUIRE_PROGRAM("snmpd");
  KIVO8_REQUIRE_PROGRAM("snmpget");
  kivo8::test::SnmpdConfig config;
  config.sys_descr = "Shelf \"B\" printer \\ agent";
  kivo8::test::Snmpd agent(config);
  ASSERT_TRUE(agent.ok());
  TempDir home;
  const std::string names =
      ".1.3.6.1.2.1.1.1.0 .1.3.6.1.2.1.1.2.0 .1.3.6.1.2.1.1.6.0 .1.3.6.1.6.3.1.1.6.1.0";
  for (const char *version : {"1", "2c"}) {
    SCOPED_TRACE(std::string("SNMP version ") + version);
    for (const char *root : {".1.3.6.1.2.1.1", ".1.3.6.1.6.3.1.1.6", ".1.3.6.1.2.1.1.1.0"}) {
      SCOPED_TRACE(root);
      Result walk = kivo(nullptr, home, {"walk", "-v", version, agent.endpoint(), root});
      EXPECT_EQ(walk.status, 0) << walk.err;
      EXPECT_EQ(walk.out, agent.snmpwalk(root, std::string("-v") + version));
    }
    Result get = run_in(nullptr, home,
                        quote(kivo_program()) + " get -v " + version + " " + agent.endpoint() +
                            " " + names);
    Result snmpget = run_in(nullptr, home,
                            std::string("snmpget -m '' -M /dev/null -On -v") + version +
                                " -c vellum " + agent.endpoint() + " " + names);
    EXPECT_EQ(get.status, 0) << get.err;
    EXPECT_EQ(get.out, snmpget.out);
    EXPECT_NE(get.out.find("STRING: \"Shelf \\\"B\\\" printer \\\\ agent\""), std::string::npos)
        << get.out;
  }
  // A name the agent lacks: SNMPv2c answers with an exception value, SNMPv1 with an
  // error for the whole request, which is reported and the rest asked again.
  const std::string missing = ".1.3.6.1.2.1.1.99.0";
  Result v2 = kivo(nullptr, home, {"get", "-v", "2c", agent.endpoint(), missing});
  EXPECT_EQ(v2.status, 0);
  EXPECT_EQ(v2.out, missing + " = No Such Object available on this agent at this OID\n");
  Result v1 = kivo(nullptr, home, {"get", agent.endpoint(), missing, ".1.3.6.1.2.1.1.5.0"});
  EXPECT_EQ(v1.status, 1);
  EXPECT_EQ(v1.out, ".1.3.6.1.2.1.1.5.0 = STRING: \"kv-agent\"\n");
  EXPECT_NE(v1.err.find("(noSuchName)"), std::string::npos) << v1.err;
  EXPECT_NE(v1.err.find("Failed object: " + missing), std::string::npos) << v1.err;
  // A wrong community gets no answer at all.
  Result wrong = kivo(nullptr, home, {"get", "-c", "nope", "-t", "1", "-r", "0", agent.endpoint(),
                                      ".1.3.6.1.2.1.1.1.0"});
  EXPECT_EQ(wrong.status, 1);
  EXPECT_NE(wrong.err.find("Timeout: No Response from " + agent.endpoint() + " (SNMPv1, community 'nope')."),
            std::string::npos)
      << "the message names the community it asked with: " << wrong.err;
}

}  // namespace

namespace {

std::string hex_of(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// A value with line ends, as an agent may hold one (here set through snmpd's own
// configuration): to a pipe or a file kivo writes it byte for byte as snmpwalk and
// snmpget do, so that the two can be compared or the value read back whole; on a
// terminal every binding stays one line, the line ends shown as escapes. The fault this
// guards against: kivo always escaped, so its piped output differed from net-snmp's.
TEST(KivoSnmpd, LineEndsReachAPipeAsNetSnmpWritesThemAndATerminalAsEscapes) {
  KIVO8_REQUIRE_PROGRAM("snmpd");
  KIVO8_REQUIRE_PROGRAM("snmpwalk");
  const std::string location = "Shelf 3\r\nRoom 12";
  const std::string contact = "ops\tdesk\v\"night\" \\ \fshift\n";
  kivo8::test::SnmpdConfig config;
  config.extra_lines = {"override .1.3.6.1.2.1.1.6.0 octet_str 0x" + hex_of(location),
                        "override .1.3.6.1.2.1.1.4.0 octet_str 0x" + hex_of(contact)};
  kivo8::test::Snmpd agent(config);
  ASSERT_TRUE(agent.ok());
  TempDir home;
  for (const char *version : {"1", "2c"}) {
    SCOPED_TRACE(std::string("SNMP version ") + version);
    const std::string theirs = agent.snmpwalk(".1.3.6.1.2.1.1", std::string("-v") + version);
    ASSERT_NE(theirs.find(location), std::string::npos) << "snmpd holds the value: " << theirs;
    Result piped = run_in(nullptr, home,
                          quote(kivo_program()) + " walk -v " + version + " " + agent.endpoint() +
                              " .1.3.6.1.2.1.1 | cat");
    EXPECT_EQ(piped.out, theirs);
    Result get = kivo(nullptr, home, {"get", "-v", version, agent.endpoint(), ".1.3.6.1.2.1.1.4.0",
                                      ".1.3.6.1.2.1.1.6.0"});
    EXPECT_EQ(get.out, agent.tool("snmpget", std::string("-v") + version + " -c vellum " +
                                                 agent.endpoint() + " .1.3.6.1.2.1.1.4.0 .1.3.6.1.2.1.1.6.0"));
  }
  // On a terminal (a pseudo-terminal made by Debian's python): escapes, one line each.
  const std::string script = home.file("on_a_terminal.py");
  std::ofstream(script) << "import os, pty, sys\n"
                           "out = b''\n"
                           "def read(fd):\n"
                           "    global out\n"
                           "    data = os.read(fd, 4096)\n"
                           "    out += data\n"
                           "    return data\n"
                           "pid, fd = pty.fork()\n"
                           "if pid == 0:\n"
                           "    os.execv(sys.argv[1], sys.argv[1:])\n"
                           "while True:\n"
                           "    try:\n"
                           "        if not read(fd): break\n"
                           "    except OSError:\n"
                           "        break\n"
                           "os.waitpid(pid, 0)\n"
                           "sys.stdout.buffer.write(out)\n";
  Result tty = run_in(nullptr, home,
                      "/usr/bin/python3 " + quote(script) + " " + quote(kivo_program()) +
                          " walk " + agent.endpoint() + " .1.3.6.1.2.1.1.4");
  // The terminal turns each line end kivo writes into CR LF; none is left inside a value.
  EXPECT_EQ(tty.out, ".1.3.6.1.2.1.1.4.0 = STRING: \"ops\tdesk\\v\\\"night\\\" \\\\ \\fshift\\n\"\r\n")
      << tty.err;
  Result tty_get = run_in(nullptr, home,
                          "/usr/bin/python3 " + quote(script) + " " + quote(kivo_program()) +
                              " get " + agent.endpoint() + " .1.3.6.1.2.1.1.6.0");
  EXPECT_EQ(tty_get.out, ".1.3.6.1.2.1.1.6.0 = STRING: \"Shelf 3\\r\\nRoom 12\"\r\n") << tty_get.err;
}

}  // namespace

namespace {

// Saved SNMPv3 credentials hold the master keys (RFC 3414 Ku, computed here by Debian's
// python from the pass phrases), never the pass phrases; they still open the account.
// A file of an older kivo, with pass phrases, is rewritten with keys when it is read.
TEST(KivoSnmpd, SavedCredentialsHoldMasterKeysNotPassPhrases) {
  KIVO8_REQUIRE_PROGRAM("snmpd");
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  const std::string auth_pass = "ink-and-paper", priv_pass = "toner-secret";
  kivo8::test::SnmpdConfig config;
  config.extra_lines = {"createUser ops SHA-256 " + auth_pass + " AES " + priv_pass, "rouser ops priv -V kv"};
  kivo8::test::Snmpd agent(config);
  ASSERT_TRUE(agent.ok());
  TempDir home;
  const std::string file = home.file(".kivo/snmpv3-users");
  const std::string ku_script = home.file("ku.py");
  std::ofstream(ku_script) << "import hashlib, sys\n"
                              "p = sys.argv[2].encode()\n"
                              "print(hashlib.new(sys.argv[1], (p * (1048576 // len(p) + 1))[:1048576]).hexdigest())\n";
  auto ku = [&](const std::string &pass) {
    std::string out = kivo8::test::sh_output("/usr/bin/python3 " + quote(ku_script) + " sha256 " + quote(pass));
    return out.substr(0, out.find('\n'));
  };
  const std::string line = "ops\tauthPriv\tSHA-256\t" + ku(auth_pass) + "\tAES\t" + ku(priv_pass) + "\n";
  const std::vector<std::string> get = {"get", "-v", "3", "-u", "ops", agent.endpoint(), ".1.3.6.1.2.1.1.5.0"};
  const std::string answer = ".1.3.6.1.2.1.1.5.0 = STRING: \"kv-agent\"\n";
  auto check_file = [&](const char *when) {
    SCOPED_TRACE(when);
    const std::string saved = read_file(file);
    EXPECT_EQ(saved.find(auth_pass), std::string::npos) << saved;
    EXPECT_EQ(saved.find(priv_pass), std::string::npos) << saved;
    EXPECT_NE(saved.find(line), std::string::npos) << saved;
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    Result r = kivo(nullptr, home, get);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, answer);
  };
  Result add = kivo(nullptr, home, {"credentials", "add", "ops", "-l", "authPriv", "-a", "SHA-256", "-A",
                                    auth_pass, "-x", "AES", "-X", priv_pass});
  ASSERT_EQ(add.status, 0) << add.err;
  check_file("added");
  Result list = kivo(nullptr, home, {"credentials", "list"});
  EXPECT_EQ(list.out, "ops\tauthPriv\tSHA-256\tAES\n");

  // As an older kivo left it: pass phrases in clear.
  std::ofstream(file, std::ios::trunc) << "ops\tauthPriv\tSHA-256\t" << auth_pass << "\tAES\t" << priv_pass << "\n";
  chmod(file.c_str(), 0600);
  Result listed = kivo(nullptr, home, {"credentials", "list"});
  EXPECT_EQ(listed.out, "ops\tauthPriv\tSHA-256\tAES\n");
  check_file("rewritten");
  // A key belongs to its protocol: another -a with no pass phrase cannot use it.
  Result other = kivo(nullptr, home, {"get", "-v", "3", "-u", "ops", "-a", "MD5", agent.endpoint(), ".1.3.6.1.2.1.1.5.0"});
  EXPECT_EQ(other.status, 2) << other.out;
}

}  // namespace
