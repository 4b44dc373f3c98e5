// kivo's output when the devices are hostile: a hub network of namespaces holding printers
// (snmpsim agents) whose names carry a byte that is not UTF-8, terminal escape sequences
// with a line end and a fake table row, names of 156 and 229 characters, Latin-1 and
// UTF-8 umlauts, and a router that the library cannot name. kivo runs in the hub.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/kivo_run.h"
#include "support/peers.h"
#include "support/snmp_agents.h"

namespace {

using kivo8::test::first_control;
using kivo8::test::HubNetwork;
using kivo8::test::json_query;
using kivo8::test::KivoResult;
using kivo8::test::kivo_catalogue_dir;
using kivo8::test::Latin1Locale;
using kivo8::test::lines_of;
using kivo8::test::Netns;
using kivo8::test::run_kivo;
using kivo8::test::Snmpsim;
using kivo8::test::SnmprecLine;
using kivo8::test::TempDir;
using kivo8::test::utf8_chars;

std::string hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

const std::string kHostile =
    "\xda\x1b[2J\x1b]0;owned\x07" "Evil\r\n10.95.0.99  Fake printer";
const std::string kLong156 = "Printer " + std::string(148, 'L');
const std::string kLong229 = "Printer " + std::string(221, 'W');

// A printer as the Host Resources and Printer MIBs describe one, named `name` (raw bytes).
std::vector<SnmprecLine> printer(const std::string &sys_descr, const std::string &name) {
  return {
      {"1.3.6.1.2.1.1.1.0", "4x", hex(sys_descr)},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.1.7"},
      {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
      {"1.3.6.1.2.1.25.3.2.1.3.1", "4x", hex(name)},
  };
}

class KivoHostileDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    KIVO8_REQUIRE_PROGRAM("snmpsimd");
    net_ = std::make_unique<HubNetwork>(5, "10.95.0");
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(0).name(), printer(kHostile, kHostile)));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(1).name(), printer(kLong156, kLong156)));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(2).name(), printer(kLong229, kLong229)));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(3).name(),
                                                printer("B\xfcro printer", "B\xc3\xbcro 2")));
    // A router: the library has no name for it.
    agents_.push_back(std::make_unique<Snmpsim>(
        net_->agent(4).name(),
        std::vector<SnmprecLine>{{"1.3.6.1.2.1.1.1.0", "4", "Edge router"},
                                 {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.2.1"},
                                 {"1.3.6.1.2.1.1.4.0", "4x", hex("Rack 1\r\nRack 2")},
                                 {"1.3.6.1.2.1.1.6.0", "4x", hex("Rack 1\r\nRack 2\x1b[1m")}}));
    for (auto &a : agents_) ASSERT_TRUE(a->wait_ready(30));
  }

  KivoResult kivo(const std::vector<std::string> &args,
                  const std::vector<std::string> &env = {"LANG=C.UTF-8"}) {
    return run_kivo(&net_->hub(), home_, args, env);
  }
  static std::vector<std::string> discover(std::vector<std::string> more) {
    // Broadcast answers come from python agents: a loaded two-core machine can delay
    // them by seconds, and a search window that closes first finds nothing.
    std::vector<std::string> args = {"discover", "--no-slp", "--no-mdns", "--no-web", "--timeout", "6"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }
  static std::vector<std::string> german(std::vector<std::string> args) {
    args.insert(args.end(), {"--lang", "de", "--datadir", kivo_catalogue_dir()});
    return args;
  }
  std::string ip(int i) const { return net_->agent_ip(i); }

  std::unique_ptr<HubNetwork> net_;
  std::vector<std::unique_ptr<Snmpsim>> agents_;
  TempDir home_;
};

// The library names devices by its own rule (which cleans and shortens what devices
// report); what the devices sent reaches the JSON whole in sys_descr.
TEST_F(KivoHostileDevices, JsonIsValidUtf8UntranslatedAndWhole) {
  // German through the locale and through --lang: the JSON must not change.
  for (auto env : {std::vector<std::string>{"LANG=C.UTF-8"},
                   std::vector<std::string>{"LANG=de_DE.UTF-8"}}) {
    SCOPED_TRACE(env[0]);
    KivoResult r = kivo(german(discover({"--json"})), env);
    ASSERT_EQ(r.status, 0) << r.err;
    bool ok = false;
    std::string summary = json_query(home_, r.out, "[[x['address'], x['sys_descr'], x['kind'], "
                                                   "x['web_server']] for x in d]", &ok);
    ASSERT_TRUE(ok) << r.out;
    EXPECT_EQ(summary,
              "[[\"" + ip(0) + "\", \"\\u00da\\u001b[2J\\u001b]0;owned\\u0007Evil\\r\\n10.95.0.99  "
              "Fake printer\", \"printer\", null], "
              "[\"" + ip(1) + "\", \"" + kLong156 + "\", \"printer\", null], "
              "[\"" + ip(2) + "\", \"" + kLong229 + "\", \"printer\", null], "
              "[\"" + ip(3) + "\", \"B\\u00fcro printer\", \"printer\", null], "
              "[\"" + ip(4) + "\", \"Edge router\", \"other\", null]]");
    EXPECT_EQ(json_query(home_, r.out, "[d[3]['name'], d[4]['name']]"),
              "[\"B\\u00fcro 2\", \"Unknown\"]")
        << "a name the library translates for the table stays English in JSON";
    EXPECT_EQ(r.out.find("Unbekannt"), std::string::npos);
    // The texts that are not UTF-8 are also there exactly, byte for byte; the others are
    // exact as they stand.
    EXPECT_EQ(json_query(home_, r.out, "[d[0]['exact_bytes']['sys_descr'], "
                                       "d[3]['exact_bytes']['sys_descr'], "
                                       "'exact_bytes' in d[4], 'name' in d[3]['exact_bytes']]"),
              "[\"" + hex(kHostile) + "\", \"" + hex("B\xfcro printer") + "\", false, false]");
  }
}

TEST_F(KivoHostileDevices, TableShowsEscapesFitsTheTerminalAndFakesNoRow) {
  KivoResult json = kivo(discover({"--json"}));
  ASSERT_EQ(json.status, 0) << json.err;
  const std::string long_name = json_query(home_, json.out, "d[2]['name']");
  ASSERT_GT(long_name.size(), 30u) << "the library shows some of a long name: " << json.out;

  KivoResult r = kivo(discover({}), {"LANG=C.UTF-8", "COLUMNS=70"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(first_control(r.out, true), "") << r.out;
  auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  for (const auto &line : lines) {
    EXPECT_LE(utf8_chars(line), 70u) << line;
    EXPECT_NE(line.rfind("10.95.0.99", 0), 0u) << "a fake row: " << r.out;
  }
  for (int i = 0; i < 5; ++i) EXPECT_EQ(lines[static_cast<std::size_t>(i + 1)].rfind(ip(i) + "  ", 0), 0u);
  EXPECT_NE(lines[3].find("WWW\xe2\x80\xa6  "), std::string::npos) << "cut with an ellipsis: " << lines[3];
  // --no-web: the web column says "-" rather than "no".
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_NE(lines[i].find("  -  "), std::string::npos) << lines[i];

  KivoResult wide = kivo(discover({"--wide"}), {"LANG=C.UTF-8", "COLUMNS=70"});
  EXPECT_NE(wide.out.find(long_name.substr(1, long_name.size() - 2) + "  "), std::string::npos)
      << wide.out;
  EXPECT_EQ(first_control(wide.out, true), "") << wide.out;
}

// The display encoding: UTF-8 when no locale is set, Latin-1 bytes in straight columns
// under a Latin-1 locale.
TEST_F(KivoHostileDevices, GermanTableInTheTerminalsEncoding) {
  KivoResult utf8 = kivo(german(discover({})), {"COLUMNS=200"});
  ASSERT_EQ(utf8.status, 0) << utf8.err;
  EXPECT_NE(utf8.out.find("Gefunden \xc3\xbc" "ber"), std::string::npos) << utf8.out;
  EXPECT_NE(utf8.out.find("anderes Ger\xc3\xa4t"), std::string::npos) << utf8.out;
  EXPECT_NE(utf8.out.find("Unbekannt"), std::string::npos) << "the table is translated";

  Latin1Locale latin1;
  if (!latin1.ok()) {
    if (kivo8::test::in_ci()) FAIL() << "cannot make a Latin-1 locale with localedef";
    GTEST_SKIP() << "localedef cannot make a Latin-1 locale here";
  }
  std::vector<std::string> env = latin1.env();
  env.push_back("COLUMNS=120");
  KivoResult r = kivo(german(discover({})), env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(first_control(r.out, false), "") << r.out;
  EXPECT_NE(r.out.find("Gefunden \xfc" "ber"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("B\xfcro 2"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\xc3'), std::string::npos) << "no UTF-8 under a Latin-1 locale: " << r.out;
  auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 6u) << r.out;
  const std::size_t kind = lines[0].find("Art");
  ASSERT_NE(kind, std::string::npos) << lines[0];
  for (const auto &line : lines) {
    EXPECT_LE(line.size(), 120u) << line;
    ASSERT_GT(line.size(), kind) << line;
    EXPECT_EQ(line.substr(kind - 2, 2), "  ") << line;
    EXPECT_NE(line[kind], ' ') << "the kind column starts at byte " << kind << ": " << line;
  }
}

TEST_F(KivoHostileDevices, GetAndWalkShowNoRawControls) {
  KivoResult get = kivo({"get", "-t", "1", ip(4), ".1.3.6.1.2.1.1.6.0"});
  EXPECT_EQ(get.status, 0) << get.err;
  EXPECT_EQ(get.out, ".1.3.6.1.2.1.1.6.0 = Hex-STRING: 52 61 63 6B 20 31 0D 0A 52 61 63 6B 20 32 1B 5B \n31 6D \n");
  // Text with line ends only stays text; to a file it is written as net-snmp writes it,
  // the line ends as they came (a terminal gets escapes: see KivoSnmpd).
  KivoResult text = kivo({"get", "-t", "1", ip(4), ".1.3.6.1.2.1.1.4.0"});
  EXPECT_EQ(text.out, ".1.3.6.1.2.1.1.4.0 = STRING: \"Rack 1\r\nRack 2\"\n");
  // The hostile name holds an escape byte: hexadecimal, as net-snmp writes it.
  KivoResult walk = kivo({"walk", "-t", "1", ip(0), ".1.3.6.1.2.1"});
  EXPECT_EQ(walk.status, 0) << walk.err;
  // Only the white space that net-snmp itself writes raw may reach a file; escape
  // sequences and the other controls still come out as Hex-STRING.
  for (char c : walk.out) {
    const auto b = static_cast<unsigned char>(c);
    EXPECT_FALSE((b < 0x20 && (b < 0x09 || b > 0x0D)) || b == 0x7F) << walk.out;
  }
  // HOST:PORT in probe as in get; nothing listens on 8080.
  KivoResult probe = kivo({"probe", ip(0) + ":8080"});
  EXPECT_EQ(probe.status, 1);
  EXPECT_EQ(probe.out, ip(0) + ":8080: no web server answers\n");
}

// A host whose only interface is the loopback has nowhere to search: it says so and
// fails, rather than report that no devices were found.
TEST(KivoLoopbackOnly, SaysSoAndFails) {
  KIVO8_REQUIRE_NETNS();
  Netns lonely;
  TempDir home;
  for (const char *format : {"--json", "--no-web"}) {
    SCOPED_TRACE(format);
    KivoResult r = run_kivo(&lonely, home, {"discover", format, "--timeout", "1"});
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("no network interface but the loopback"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
