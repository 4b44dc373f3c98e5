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
#include "support/ippeveprinter.h"
#include "support/peers.h"

namespace kivo8::test {
namespace {

constexpr int kPort = 8631;

// ippeveprinter alone in a namespace of its own, on the namespace's loopback.
struct Eve {
  Netns ns;
  EvePrinter printer{ns, EveOptions{kPort, "Lab 9", "Room 1", "Kivo Test", false, {}, {}}};
};

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

std::unique_ptr<Result> ask(Eve &eve, const std::string &uri, uint32_t flags = 0) {
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
  Eve eve;
  ASSERT_TRUE(eve.printer.wait_ready()) << eve.printer.log();
  for (const std::string scheme : {"ipp", "ipps"}) {
    SCOPED_TRACE(scheme);
    auto ours = ask(eve, eve.printer.uri(scheme));
    ASSERT_EQ(ours->code, KIVO_IPP_OK) << ours->r->error;
    auto theirs = eve.printer.ipptool(scheme);
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
  Eve eve;
  ASSERT_TRUE(eve.printer.wait_ready()) << eve.printer.log();
  auto plain = ask(eve, eve.printer.uri("ipps"));
  ASSERT_EQ(plain->code, KIVO_IPP_OK) << plain->r->error;
  EXPECT_EQ(std::string(plain->r->tls_sha256), eve.printer.fingerprint());
  EXPECT_EQ(plain->r->tls_verified, 0);
  // The certificate is self-signed: verification fails, with a clear result.
  auto verified = ask(eve, eve.printer.uri("ipps"), KIVO_IPP_VERIFY);
  EXPECT_EQ(verified->code, KIVO_IPP_EVERIFY);
  EXPECT_NE(std::string(verified->r->error).find("self-signed"), std::string::npos) << verified->r->error;
}

TEST(IppEvePrinter, TsharkDissectsOurRequestAsIpp) {
  KIVO8_REQUIRE_EVE();
  KIVO8_REQUIRE_PROGRAM("tshark");
  Eve eve;
  ASSERT_TRUE(eve.printer.wait_ready()) << eve.printer.log();
  const std::string pcap = eve.printer.dir().file("ipp.pcap");
  Process capture({"tshark", "-i", "lo", "-w", pcap, "-f", "tcp port " + std::to_string(kPort)}, eve.ns.name());
  ASSERT_TRUE(wait_until(20, [&] {
    eve.ns.sh("ipptool -q " + eve.printer.uri("ipp") + " get-printer-attributes.test");
    return !sh_output("tshark -r " + pcap + " -Y tcp 2>/dev/null").empty();
  }));
  const std::string before = sh_output("tshark -r " + pcap + " -d tcp.port==" + std::to_string(kPort) +
                                       ",http -Y ipp 2>/dev/null | wc -l");
  auto ours = ask(eve, eve.printer.uri("ipp"));
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
