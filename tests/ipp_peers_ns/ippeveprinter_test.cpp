// kivo_ipp_get_printer_attributes against ippeveprinter, over ipp:// and ipps://, read
// beside ipptool's get-printer-attributes.test; and tshark's dissection of our request.
//
// ippeveprinter will not start without DNS-SD, so each test gets a namespace of its own
// with a private D-Bus system bus and an avahi-daemon on it (whatever they announce stays
// inside the namespace), and the printer listens on the namespace's loopback.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "kivo8/ipp.h"
#include "support/peers.h"

namespace kivo8::test {
namespace {

constexpr int kPort = 8631;

class EvePrinter {
 public:
  EvePrinter() {
    const std::string run = dir_.file("run");
    sh("mkdir -p " + run + "/dbus " + run + "/avahi-daemon " + dir_.file("keys") + " " + dir_.file("spool"));
    bus_ = "unix:path=" + run + "/dbus/system_bus_socket";
    std::ofstream(dir_.file("bus.conf"))
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>" << bus_ << "</listen><auth>EXTERNAL</auth>\n"
           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    std::ofstream(dir_.file("avahi.conf"))
        << "[server]\nhost-name=kv8eve\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=yes\n"
           "[publish]\npublish-addresses=no\npublish-workstation=no\n";
    ns.must("ip link set lo up");
    dbus_ = Process({"dbus-daemon", "--config-file=" + dir_.file("bus.conf"), "--nofork"}, ns.name(),
                    dir_.file("dbus.log"));
    EXPECT_TRUE(wait_until(10, [&] { return sh("test -S " + run + "/dbus/system_bus_socket") == 0; }));
    // avahi-daemon keeps its pid file and socket under /run: a /run of the test's own.
    avahi_ = Process({"unshare", "-m", "sh", "-c",
                      "mount --bind " + run + " /run && exec avahi-daemon -f " + dir_.file("avahi.conf") +
                          " --no-drop-root --no-chroot --no-rlimits"},
                     ns.name(), dir_.file("avahi.log"));
    EXPECT_TRUE(wait_until(10, [&] { return sh("test -S " + run + "/avahi-daemon/socket") == 0; }));
    printer_ = Process({"env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus_, "ippeveprinter", "-p", std::to_string(kPort), "-n",
                        "localhost", "-K", dir_.file("keys"), "-d", dir_.file("spool"), "-M", "Kivo", "-m",
                        "Lab 9", "-l", "Room 1", "-f", "application/pdf,image/pwg-raster", "Kivo Test"},
                       ns.name(), dir_.file("ippeveprinter.log"));
    ready_ = wait_until(20, [&] { return ns.sh("ipptool -q " + uri("ipp") + " get-printer-attributes.test") == 0; });
  }

  std::string uri(const std::string &scheme) const {
    return scheme + "://localhost:" + std::to_string(kPort) + "/ipp/print";
  }
  bool ready() const { return ready_; }
  std::string log() { return sh_output("cat " + dir_.file("ippeveprinter.log") + " " + dir_.file("avahi.log")); }
  std::string certificate() const { return dir_.file("keys") + "/localhost.crt"; }
  const TempDir &dir() const { return dir_; }

  // ipptool's reading: "name (syntax) = value" lines into name -> value.
  std::map<std::string, std::string> ipptool(const std::string &scheme) {
    std::map<std::string, std::string> out;
    std::istringstream in(ns.sh_output("ipptool -tv " + uri(scheme) + " get-printer-attributes.test"));
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t open = line.find(" ("), eq = line.find(") = ");
      if (open == std::string::npos || eq == std::string::npos || eq < open) continue;
      const std::size_t start = line.find_first_not_of(' ');
      out[line.substr(start, open - start)] = line.substr(eq + 4);
    }
    return out;
  }

  Netns ns;

 private:
  TempDir dir_;
  std::string bus_;
  Process dbus_, avahi_, printer_;
  bool ready_ = false;
};

#define KIVO8_REQUIRE_EVE()                       \
  KIVO8_REQUIRE_NETNS();                          \
  KIVO8_REQUIRE_PROGRAM("ippeveprinter");         \
  KIVO8_REQUIRE_PROGRAM("ipptool");               \
  KIVO8_REQUIRE_PROGRAM("avahi-daemon");          \
  KIVO8_REQUIRE_PROGRAM("dbus-daemon")

struct Result {
  int32_t code = 0;
  kivo_ipp_result *r = nullptr;
  ~Result() { kivo_ipp_result_free(r); }
  std::string values(const char *name) const {
    const kivo_ipp_attribute *a = kivo_ipp_find(r, name);
    std::string s;
    for (uint32_t i = 0; a != nullptr && i < a->value_count; ++i) {
      if (i != 0) s += ",";
      const kivo_ipp_value &v = a->values[i];
      s += v.tag == KIVO_IPP_TAG_ENUM || v.tag == KIVO_IPP_TAG_INTEGER ? std::to_string(v.integer)
                                                                      : std::string(v.text, v.text_length);
    }
    return s;
  }
};

std::unique_ptr<Result> ask(EvePrinter &eve, const std::string &uri, uint32_t flags = 0) {
  kivo_ipp_options opt{};
  opt.size = sizeof opt;
  opt.timeout_ms = 10000;
  opt.flags = flags;
  auto res = std::make_unique<Result>();
  eve.ns.enter();
  res->code = kivo_ipp_get_printer_attributes(uri.c_str(), &opt, &res->r);
  eve.ns.leave();
  return res;
}

const char *state_word(const std::string &n) {
  return n == "3" ? "idle" : n == "4" ? "processing" : n == "5" ? "stopped" : "?";
}

TEST(IppEvePrinter, AttributesAgreeWithIpptoolOverIppAndIpps) {
  KIVO8_REQUIRE_EVE();
  EvePrinter eve;
  ASSERT_TRUE(eve.ready()) << eve.log();
  for (const std::string scheme : {"ipp", "ipps"}) {
    SCOPED_TRACE(scheme);
    auto ours = ask(eve, eve.uri(scheme));
    ASSERT_EQ(ours->code, KIVO_IPP_OK) << ours->r->error;
    auto theirs = eve.ipptool(scheme);
    ASSERT_FALSE(theirs.empty());
    EXPECT_EQ(ours->values("printer-make-and-model"), theirs["printer-make-and-model"]);
    EXPECT_EQ(ours->values("printer-make-and-model"), "Kivo Lab 9");
    EXPECT_EQ(ours->values("printer-uuid"), theirs["printer-uuid"]);
    EXPECT_EQ(state_word(ours->values("printer-state")), theirs["printer-state"]);
    EXPECT_EQ(ours->values("document-format-supported"), theirs["document-format-supported"]);
    EXPECT_EQ(ours->values("printer-location"), "Room 1");
    EXPECT_EQ(kivo_ipp_driverless(ours->r), 1);
    EXPECT_EQ(ours->r->tls, scheme == "ipps" ? 1 : 0);
  }
}

TEST(IppEvePrinter, IppsRecordsTheCertificateAndVerifiesOnlyWhenAsked) {
  KIVO8_REQUIRE_EVE();
  EvePrinter eve;
  ASSERT_TRUE(eve.ready()) << eve.log();
  auto plain = ask(eve, eve.uri("ipps"));
  ASSERT_EQ(plain->code, KIVO_IPP_OK) << plain->r->error;
  std::string want = sh_output("openssl x509 -in " + eve.certificate() + " -noout -fingerprint -sha256");
  want = want.substr(want.find('=') + 1);
  std::string hex;
  for (char c : want)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  EXPECT_EQ(std::string(plain->r->tls_sha256), hex);
  EXPECT_EQ(plain->r->tls_verified, 0);
  // The certificate is self-signed: verification fails, with a clear result.
  auto verified = ask(eve, eve.uri("ipps"), KIVO_IPP_VERIFY);
  EXPECT_EQ(verified->code, KIVO_IPP_EVERIFY);
  EXPECT_NE(std::string(verified->r->error).find("self-signed"), std::string::npos) << verified->r->error;
}

TEST(IppEvePrinter, TsharkDissectsOurRequestAsIpp) {
  KIVO8_REQUIRE_EVE();
  KIVO8_REQUIRE_PROGRAM("tshark");
  EvePrinter eve;
  ASSERT_TRUE(eve.ready()) << eve.log();
  const std::string pcap = eve.dir().file("ipp.pcap");
  Process capture({"tshark", "-i", "lo", "-w", pcap, "-f", "tcp port " + std::to_string(kPort)}, eve.ns.name());
  ASSERT_TRUE(wait_until(20, [&] {
    eve.ns.sh("ipptool -q " + eve.uri("ipp") + " get-printer-attributes.test");
    return !sh_output("tshark -r " + pcap + " -Y tcp 2>/dev/null").empty();
  }));
  const std::string before = sh_output("tshark -r " + pcap + " -d tcp.port==" + std::to_string(kPort) +
                                       ",http -Y ipp 2>/dev/null | wc -l");
  auto ours = ask(eve, eve.uri("ipp"));
  ASSERT_EQ(ours->code, KIVO_IPP_OK) << ours->r->error;
  const std::string query = "tshark -r " + pcap + " -d tcp.port==" + std::to_string(kPort) +
                            ",http -Y 'ipp && http.user_agent == \"kivo8\"' -T fields "
                            "-e ipp.version -e ipp.operation_id -e ipp.name 2>/dev/null";
  std::string fields;
  ASSERT_TRUE(wait_until(10, [&] { return !(fields = sh_output(query)).empty(); })) << before;
  capture.stop();
  // Version 2.0 (tshark shows the two octets as one number), Get-Printer-Attributes.
  EXPECT_EQ(fields.rfind("512\t0x000b\t", 0), 0u) << fields;
  for (const char *name : {"attributes-charset", "attributes-natural-language", "printer-uri",
                           "requested-attributes"})
    EXPECT_NE(fields.find(name), std::string::npos) << fields;
  EXPECT_EQ(sh_output("tshark -r " + pcap + " -d tcp.port==" + std::to_string(kPort) +
                      ",http -Y '_ws.malformed || _ws.expert.severity >= error' 2>/dev/null"),
            "");
}

// A name that does not resolve gives its own result. The lookup runs in a namespace with
// only a loopback, so no query leaves the host.
TEST(IppEvePrinter, UnresolvableHostIsReportedAsSuch) {
  KIVO8_REQUIRE_NETNS();
  Netns ns;
  ns.must("ip link set lo up");
  kivo_ipp_options opt{};
  opt.size = sizeof opt;
  opt.timeout_ms = 2000;
  kivo_ipp_result *r = nullptr;
  ns.enter();
  const int32_t code = kivo_ipp_get_printer_attributes("ipp://no-such-printer.invalid/", &opt, &r);
  ns.leave();
  EXPECT_EQ(code, KIVO_IPP_ERESOLVE);
  ASSERT_NE(r, nullptr);
  EXPECT_NE(std::string(r->error).find("cannot resolve no-such-printer.invalid"), std::string::npos) << r->error;
  kivo_ipp_result_free(r);
}

}  // namespace
}  // namespace kivo8::test
