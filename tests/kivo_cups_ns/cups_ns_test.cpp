// kivo against a real cupsd: the backend kivo-cups listed by lpinfo, hostile device
// strings parsed by cupsd, and `kivo setup` making a queue that prints to ippeveprinter.
//
// Each case starts a cupsd of its own, as root in the foreground, in the hub namespace of
// a small network: its own configuration, spool, state and cache below a scratch folder,
// a ServerBin whose backend/ holds kivo-cups (a link to the kivo built here) and links to
// the system's backends, listening on the namespace's loopback only.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/discover_lan.h"
#include "support/hub_network.h"
#include "support/ippeveprinter.h"
#include "support/kivo_run.h"
#include "support/net_util.h"
#include "support/peers.h"
#include "support/snmpsim.h"

namespace kivo8::test {
namespace {

constexpr int kCupsPort = 8631;

// cupsd in `ns`, listening on 127.0.0.1:kCupsPort there, everything it writes below a
// scratch folder that cupsd's own user (lp, which runs the backends) can read. Anyone may
// do anything, unless `admin_only`: then making queues takes an administrator, as on a
// normal installation.
class Cupsd {
 public:
  explicit Cupsd(Netns &ns, bool admin_only = false) {
    const std::string d = dir_.path();
    sh("chmod 755 " + d);
    sh("mkdir -p " + d + "/etc/ppd " + d + "/spool/tmp " + d + "/cache " + d + "/state/certs " + d +
       "/log " + d + "/bin/backend " + d + "/bin/filter " + d + "/bin/daemon");
    sh("chmod -R 755 " + d + "/bin && chgrp lp " + d + "/spool " + d + "/spool/tmp " + d + "/cache " + d +
       "/state && chmod 1777 " + d + "/spool/tmp && chmod 775 " + d + "/cache " + d + "/spool " + d + "/state");
    sh("ln -s " + kivo_program() + " " + d + "/bin/backend/kivo-cups");
    for (const char *b : {"ipp", "ipps", "socket", "lpd"})
      sh(std::string("test -e /usr/lib/cups/backend/") + b + " && ln -s /usr/lib/cups/backend/" + b + " " + d +
         "/bin/backend/" + b);
    sh("for f in /usr/lib/cups/filter/*; do test -e \"$f\" && ln -s \"$f\" " + d + "/bin/filter/; done");
    sh("for f in /usr/lib/cups/daemon/*; do ln -s \"$f\" " + d + "/bin/daemon/; done");
    std::ofstream(d + "/etc/cupsd.conf")
        << "LogLevel debug\nListen 127.0.0.1:" << kCupsPort << "\nBrowsing Off\nWebInterface No\n"
        << "DefaultAuthType " << (admin_only ? "Basic" : "None") << "\nDefaultPolicy open\n"
        << "<Location />\n  Order allow,deny\n  Allow all\n</Location>\n"
        << "<Policy open>\n"
        << (admin_only ? "  <Limit CUPS-Add-Modify-Printer CUPS-Set-Default CUPS-Delete-Printer>\n"
                         "    AuthType Default\n    Require user @SYSTEM\n    Order deny,allow\n  </Limit>\n"
                       : "")
        << "  <Limit All>\n    Order deny,allow\n  </Limit>\n</Policy>\n";
    std::ofstream(d + "/etc/cups-files.conf")
        << "ServerRoot " << d << "/etc\nRequestRoot " << d << "/spool\nTempDir " << d << "/spool/tmp\n"
        << "CacheDir " << d << "/cache\nStateDir " << d << "/state\nServerBin " << d << "/bin\n"
        << "DataDir /usr/share/cups\nErrorLog " << d << "/log/error_log\nAccessLog " << d
        << "/log/access_log\nPageLog " << d << "/log/page_log\nPrintcap " << d << "/printcap\nUser lp\nGroup lp\nSystemGroup root\n";
    ns.must("ip link set lo up");
    cupsd_ = Process({"cupsd", "-f", "-c", d + "/etc/cupsd.conf", "-s", d + "/etc/cups-files.conf"}, ns.name(),
                     dir_.file("cupsd.out"));
    ready_ = wait_until(30, [&] { return ns.sh("lpstat -h " + server() + " -r 2>/dev/null | grep -q 'is running'") == 0; });
  }
  ~Cupsd() { cupsd_.stop(); }
  Cupsd(const Cupsd &) = delete;
  Cupsd &operator=(const Cupsd &) = delete;

  bool ready() const { return ready_; }
  std::string server() const { return "127.0.0.1:" + std::to_string(kCupsPort); }
  std::string error_log() { return sh_output("cat " + dir_.file("log/error_log") + " " + dir_.file("cupsd.out")); }

 private:
  TempDir dir_;
  Process cupsd_;
  bool ready_ = false;
};

#define KIVO8_REQUIRE_CUPS()                \
  KIVO8_REQUIRE_NETNS();                    \
  KIVO8_REQUIRE_SNMPSIM();                  \
  KIVO8_REQUIRE_PROGRAM("cupsd");           \
  KIVO8_REQUIRE_PROGRAM("lpinfo");          \
  KIVO8_REQUIRE_PROGRAM("/usr/lib/cups/daemon/cups-deviced"); \
  KIVO8_REQUIRE_PROGRAM("lpstat");          \
  KIVO8_REQUIRE_PROGRAM("lp");              \
  KIVO8_REQUIRE_PROGRAM("ippeveprinter");   \
  KIVO8_REQUIRE_PROGRAM("ipptool");         \
  KIVO8_REQUIRE_PROGRAM("avahi-daemon");    \
  KIVO8_REQUIRE_PROGRAM("dbus-daemon");     \
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3")

std::string hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// An SNMP printer whose name and 1284 device id hold every byte a backend line must not
// pass through: quotes, backslashes, line ends, 8-bit bytes, and 2,000 characters.
std::vector<SnmprecLine> hostile_printer_data() {
  const std::string name = "Evil \"Jet\" \\ 5\nnetwork ipp://forged \"x\" \xE9\xFF " + std::string(2000, 'N');
  const std::string id = "MFG:Ev\"il\\;MDL:J\ret \xC3\xA4\xFF\n" + std::string(2000, 'M') + ";CMD:PCL;";
  return {
      {"1.3.6.1.2.1.1.1.0", "4x", hex(name)},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.11.2.3.9.1"},
      {"1.3.6.1.2.1.1.5.0", "4x", hex(name)},
      {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
      {"1.3.6.1.2.1.25.3.2.1.3.1", "4x", hex(name)},
      {"1.3.6.1.2.1.43.5.1.1.16.1", "4x", hex(name)},
      {"1.3.6.1.4.1.11.2.3.9.1.1.7.0", "4x", hex(id)},
  };
}

// lpinfo -v lines that name an address of the test network.
std::vector<std::string> lines_for(const std::string &listing, const std::string &subnet) {
  std::vector<std::string> out;
  std::istringstream in(listing);
  std::string line;
  while (std::getline(in, line))
    if (line.find("://" + subnet + ".") != std::string::npos) out.push_back(line);
  return out;
}

TEST(KivoCupsNamespace, LpinfoListsOneLinePerPrinterEvenForHostileStrings) {
  KIVO8_REQUIRE_CUPS();
  HubNetwork net(2, "10.84.0");
  TempDir dir;
  Snmpsim host(net.agent(0).name(), host_data());
  Snmpsim evil(net.agent(1).name(), hostile_printer_data());
  EvePrinter eve(net.agent(0), {631, "Lab \"9\" \\ \xC3\xA4", "Room \"5\"\\ " + std::string(300, 'L'), "Kivo Eve", true, {}, {}});
  ASSERT_TRUE(host.wait_ready());
  ASSERT_TRUE(evil.wait_ready());
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link = tcp_peer(net.agent(0), dir, "link", {"631:to-631"}, net.agent_ip(0));
  Process raw = tcp_peer(net.agent(1), dir, "raw", {"9100:close"}, "0.0.0.0");
  Cupsd cupsd(net.hub());
  ASSERT_TRUE(cupsd.ready()) << cupsd.error_log();

  // lpinfo asks with cupsd's default time-out, the budget the backend must keep: cupsd
  // drops whatever a backend prints after it (cups-deviced logs nothing then, so the
  // lines themselves are the check).
  const std::string listing = net.hub().sh_output("lpinfo -h " + cupsd.server() + " -l -v 2>&1");
  const std::vector<std::string> lines =
      lines_for(net.hub().sh_output("lpinfo -h " + cupsd.server() + " -v 2>&1"), "10.84.0");
  // One line per device, whichever protocols found it.
  ASSERT_EQ(lines.size(), 2u) << listing << cupsd.error_log();
  // ippeveprinter names its IPPS URI in its plain answer: the best URI is that one.
  EXPECT_EQ(lines[0], "network ipps://" + net.agent_ip(0) + ":631/ipp/print") << listing;
  EXPECT_EQ(lines[1], "network socket://" + net.agent_ip(1) + ":9100") << listing;
  // cupsd read each of our strings whole: what it shows holds the texts unescaped and cut,
  // and no forged device came from the name's line end.
  EXPECT_NE(listing.find("make-and-model = Kivo Lab \"9\" \\ \xC3\xA4"), std::string::npos) << listing;
  EXPECT_NE(listing.find("location = Room \"5\"\\ LLL"), std::string::npos) << listing;
  EXPECT_NE(listing.find("make-and-model = Ev\"il\\ J et \xC3\xA4\xC3\xBF"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("ipp://forged"), std::string::npos) << listing;
  const std::string log = cupsd.error_log();
  EXPECT_EQ(log.find("Bad line"), std::string::npos) << log;
  EXPECT_NE(log.find("kivo-cups"), std::string::npos) << "cupsd never ran our backend:\n" << log;
}

TEST(KivoCupsNamespace, SetupMakesAnEverywhereQueueThatPrintsToIppeveprinter) {
  KIVO8_REQUIRE_CUPS();
  HubNetwork net(1, "10.85.0");
  TempDir dir;
  EvePrinter eve(net.agent(0), {631, "Lab 9", "Room 1", "Kivo Eve", true, {}, {}});
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link = tcp_peer(net.agent(0), dir, "link", {"631:to-631"}, net.agent_ip(0));
  Cupsd cupsd(net.hub());
  ASSERT_TRUE(cupsd.ready()) << cupsd.error_log();

  const std::string kivo = kivo_program() + " setup --server " + cupsd.server() + " ";
  const std::string dry = net.hub().sh_output(kivo + "--dry-run --default " + net.agent_ip(0) + " 2>&1");
  EXPECT_EQ(dry, "lpadmin -h " + cupsd.server() + " -p Kivo_Eve -E -v ipp://" + net.agent_ip(0) +
                     ":631/ipp/print -m everywhere\nlpadmin -h " + cupsd.server() + " -d Kivo_Eve\n");
  EXPECT_NE(net.hub().sh_output("lpstat -h " + cupsd.server() + " -v 2>&1").find("No destinations"), std::string::npos)
      << "--dry-run made a queue";

  int status = -1;
  const std::string made = sh_output("ip netns exec " + net.hub().name() + " " + kivo + "--default " +
                                         net.agent_ip(0) + " 2>&1",
                                     &status);
  ASSERT_EQ(status, 0) << made << cupsd.error_log();
  EXPECT_NE(net.hub().sh_output("lpstat -h " + cupsd.server() + " -v 2>&1").find("Kivo_Eve: ipp://" + net.agent_ip(0)),
            std::string::npos);
  EXPECT_NE(net.hub().sh_output("lpstat -h " + cupsd.server() + " -d 2>&1").find("Kivo_Eve"), std::string::npos);
  EXPECT_TRUE(wait_until(60, [&] {
    return net.hub().sh("lpstat -h " + cupsd.server() + " -a Kivo_Eve 2>/dev/null | grep -q 'accepting requests'") == 0;
  })) << cupsd.error_log();

  // cupsd built the queue's PPD from the printer's attributes: it has options a raw
  // queue lacks.
  const std::string options = net.hub().sh_output("lpoptions -h " + cupsd.server() + " -p Kivo_Eve -l 2>&1");
  EXPECT_NE(options.find("PageSize"), std::string::npos) << options << cupsd.error_log();

  // A small PDF, through the queue's filters (cupsd's PPD for the printer says it takes
  // PDF, so pdftopdf rewrites it) to the printer, which keeps it in its spool.
  const std::string pdf = dir.file("hello.pdf");
  std::ofstream(pdf) << "%PDF-1.4\n1 0 obj<</Type/Catalog/Pages 2 0 R>>endobj\n"
                        "2 0 obj<</Type/Pages/Kids[3 0 R]/Count 1>>endobj\n"
                        "3 0 obj<</Type/Page/Parent 2 0 R/MediaBox[0 0 612 792]>>endobj\n"
                        "trailer<</Root 1 0 R>>\n%%EOF\n";
  const std::string submitted =
      net.hub().sh_output("lp -h " + cupsd.server() + " -d Kivo_Eve " + pdf + " 2>&1");
  ASSERT_NE(submitted.find("request id is Kivo_Eve-"), std::string::npos) << submitted << cupsd.error_log();
  EXPECT_TRUE(wait_until(120, [&] {
    return sh("grep -rlq '^%PDF-' " + eve.spool() + " 2>/dev/null") == 0;
  })) << sh_output("ls -lR " + eve.spool()) << eve.log() << cupsd.error_log();
}

std::vector<SnmprecLine> raw_printer_data() {
  return {
      {"1.3.6.1.2.1.1.1.0", "4", "Acme engine controller v2"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.11.2.3.9.1"},
      {"1.3.6.1.2.1.1.5.0", "4", "shelf"},
      {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
      {"1.3.6.1.2.1.25.3.2.1.3.1", "4", "Acme LabelJet 410"},
      {"1.3.6.1.2.1.43.5.1.1.16.1", "4", "shelf"},
      {"1.3.6.1.4.1.11.2.3.9.1.1.7.0", "4", "MFG:Acme;MDL:LabelJet 410;CMD:ZPL;"},
  };
}

TEST(KivoCupsNamespace, SetupMakesARawQueueOnTheSocketPortThatPrints) {
  KIVO8_REQUIRE_CUPS();
  KIVO8_REQUIRE_PROGRAM("/usr/lib/cups/backend/socket");
  HubNetwork net(1, "10.86.0");
  TempDir dir;
  sh("mkdir -p " + dir.file("jobs"));
  Snmpsim agent(net.agent(0).name(), raw_printer_data());
  ASSERT_TRUE(agent.wait_ready());
  Process printer({"/usr/bin/python3", source_dir() + "/tests/kivo_cups_ns/raw_printer.py", "--dir",
                   dir.file("jobs"), "--ready", dir.file("raw.ready")},
                  net.agent(0).name(), dir.file("raw.log"));
  ASSERT_TRUE(wait_until(10, [&] { return std::ifstream(dir.file("raw.ready")).good(); }));
  Cupsd cupsd(net.hub());
  ASSERT_TRUE(cupsd.ready()) << cupsd.error_log();

  // No IPP at the address: kivo searches it and finds the raw port.
  int status = -1;
  const std::string made = sh_output("ip netns exec " + net.hub().name() + " " + kivo_program() +
                                         " setup --server " + cupsd.server() + " --queue shelf " +
                                         net.agent_ip(0) + " 2>&1",
                                     &status);
  ASSERT_EQ(status, 0) << made << cupsd.error_log();
  EXPECT_NE(made.find("driver"), std::string::npos) << "a raw queue must say a driver may be needed:\n" << made;
  EXPECT_NE(net.hub().sh_output("lpstat -h " + cupsd.server() + " -v 2>&1").find("shelf: socket://" + net.agent_ip(0) + ":9100"),
            std::string::npos);

  // The same printer by its system name (letter case aside) from the last kivo discover,
  // kept in the user's home: set up from the print services that discover found.
  const std::string home = dir.file("home");
  sh("mkdir -p " + home);
  const std::string as_user = "env HOME=" + shell_quote(home) + " " + kivo_program();
  (void)net.hub().sh_output(as_user + " discover --only --range " + net.agent_ip(0) +
                            " --no-web --timeout 4 --format json 2>&1");
  ASSERT_TRUE(std::ifstream(home + "/.kivo/last-discover.json").good()) << "discover kept no list";
  int named_status = -1;
  const std::string named = sh_output("ip netns exec " + net.hub().name() + " " + as_user +
                                          " setup --dry-run SHELF 2>&1",
                                      &named_status);
  EXPECT_EQ(named_status, 0) << named;
  EXPECT_NE(named.find(" -v socket://" + net.agent_ip(0) + ":9100"), std::string::npos) << named;
  EXPECT_EQ(named.find("everywhere"), std::string::npos) << named;

  const std::string label = dir.file("label.zpl");
  std::ofstream(label) << "^XA^FO50,50^FDkivo raw queue^FS^XZ\n";
  const std::string submitted = net.hub().sh_output("lp -h " + cupsd.server() + " -d shelf " + label + " 2>&1");
  ASSERT_NE(submitted.find("request id is shelf-"), std::string::npos) << submitted << cupsd.error_log();
  EXPECT_TRUE(wait_until(120, [&] {
    return sh("grep -rlq 'kivo raw queue' " + dir.file("jobs") + " 2>/dev/null") == 0;
  })) << sh_output("ls -l " + dir.file("jobs") + "; cat " + dir.file("raw.log")) << cupsd.error_log();
}

// A user cupsd does not let make queues is told what to do about it; a cupsd that is
// not there is named as such.
TEST(KivoCupsNamespace, SetupSaysWhyCupsdRefused) {
  KIVO8_REQUIRE_CUPS();
  KIVO8_REQUIRE_PROGRAM("setpriv");
  HubNetwork net(1, "10.87.0");
  Cupsd cupsd(net.hub(), true);
  ASSERT_TRUE(cupsd.ready()) << cupsd.error_log();
  int status = -1;
  const std::string refused = sh_output(
      "ip netns exec " + net.hub().name() + " setsid setpriv --reuid=nobody --regid=nogroup --clear-groups " +
          kivo_program() + " setup --server " + cupsd.server() + " --queue q socket://" + net.agent_ip(0) +
          ":9100 2>&1 </dev/null",
      &status);
  EXPECT_EQ(status, 1) << refused;
  EXPECT_NE(refused.find("lpadmin group"), std::string::npos) << refused;
  EXPECT_NE(refused.find("sudo"), std::string::npos) << refused;
  EXPECT_NE(net.hub().sh_output("lpstat -h " + cupsd.server() + " -v 2>&1").find("No destinations"), std::string::npos);

  const std::string absent = sh_output("ip netns exec " + net.hub().name() + " " + kivo_program() +
                                           " setup --server 127.0.0.1:" + std::to_string(kCupsPort + 1) +
                                           " socket://" + net.agent_ip(0) + ":9100 2>&1",
                                       &status);
  EXPECT_EQ(status, 1) << absent;
  EXPECT_NE(absent.find("is it running?"), std::string::npos) << absent;
}

}  // namespace
}  // namespace kivo8::test
