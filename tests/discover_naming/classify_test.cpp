// The one classification of a discovered device. Faults it catches: an SNMPv3 agent that
// only answered the engine-id request classed as a printer without SNMP; a v3 description
// classed differently from the same answers over v2c; the maker an engine id names left
// out; a kind that depends on which search reported first.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discover/classify.h"
#include "discover/naming.h"
#include "kivo8/snmp_sess.h"

namespace kivo::discover {
namespace {

TEST(DiscoverClassify, KindFollowsWhatIsKnownNotWhoFoundIt) {
  // An RFC 3411 engine id of enterprise 11 (first bit set), format 3 (a MAC address).
  const std::vector<std::uint8_t> engine = {0x80, 0x00, 0x00, 0x0B, 0x03, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
  struct Case {
    const char *what;
    std::uint32_t found_by;
    std::int32_t snmp_version;
    bool printer_seen;  // an SNMP description showed a printer
    bool dnssd_service;
    bool has_engine;
    Kind expect;
  };
  const Case cases[] = {
      {"engine-id Report only: unknown, not a printer without SNMP", kFoundSnmpv3, -1, false, false, true,
       Kind::kUnknown},
      {"SLP only: printer without SNMP", kFoundSlp, -1, false, false, false, Kind::kPrinterNoSnmp},
      {"DNS-SD only: printer without SNMP", kFoundMdns, -1, false, true, false, Kind::kPrinterNoSnmp},
      {"v2c answer, no printer objects: other", kFoundScan, SNMP_VERSION_2c, false, false, false, Kind::kOther},
      {"v3 description, no printer objects: other, as over v2c", kFoundSnmpv3, 3, false, false, true,
       Kind::kOther},
      {"v3 description with printer objects: printer, as over v2c", kFoundSnmpv3, 3, true, false, true,
       Kind::kPrinter},
      {"SNMP other, but announces a printer service", kFoundScan | kFoundMdns, SNMP_VERSION_1, false, true,
       false, Kind::kPrinter},
      {"SLP and the engine-id Report: the SLP printer", kFoundSlp | kFoundSnmpv3, -1, false, false, true,
       Kind::kPrinterNoSnmp},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Device d;
    d.found_by = c.found_by;
    d.snmp_version = c.snmp_version;
    if (c.printer_seen) d.kind = Kind::kPrinter;
    if (c.dnssd_service) d.services.push_back({"Hall._ipp._tcp.local", "_ipp._tcp", "hall.local", 631, {}, {}});
    if (c.has_engine) d.engine_id = engine;
    classify(d);
    EXPECT_EQ(d.kind, c.expect);
    // Classing again (a later answer, another search's report) changes nothing.
    const Device once = d;
    classify(d);
    EXPECT_EQ(d.kind, once.kind);
    EXPECT_EQ(d.product_name, once.product_name);
    EXPECT_EQ(d.make, once.make);
    if (c.has_engine && c.snmp_version < 0 && !c.dnssd_service) {
      EXPECT_EQ(d.make, maker_of_enterprise(11));
    }
  }
}

TEST(DiscoverClassify, MakerFromEngineId) {
  ASSERT_FALSE(maker_of_enterprise(11).empty());
  struct Case {
    const char *what;
    std::vector<std::uint8_t> id;
    std::string_view expect;
  };
  const Case cases[] = {
      {"RFC 3411 form, known maker", {0x80, 0x00, 0x00, 0x0B, 0x04, 'p', 'r', 'n'}, maker_of_enterprise(11)},
      {"RFC 3411 form, unknown number", {0x80, 0x00, 0x1F, 0x88, 0x80, 1, 2, 3, 4}, ""},
      {"older 12-octet form", {0x00, 0x00, 0x00, 0x0B, 0, 0, 0, 0, 0, 0, 0, 1}, maker_of_enterprise(11)},
      {"first bit clear, not 12 octets: no number in it", {0x00, 0x00, 0x00, 0x0B, 1, 2, 3}, ""},
      {"too short", {0x80, 0x00, 0x00, 0x0B}, ""},
      {"empty", {}, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(maker_of_engine_id(c.id), c.expect);
  }
}

}  // namespace
}  // namespace kivo::discover
