// A printer's status from IPP against real peers in namespaces of our own: ippeveprinter
// with SNMP off (its state and markers as ipptool reads them from the same printer), a
// printer with both an SNMP agent and IPP (one record, SNMP's supplies), and addresses that
// announce one DNS-SD UUID (one device).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kivo8/discover.h"
#include "kivo8/kivo8.h"
#include "support/discover_lan.h"
#include "support/hub_network.h"
#include "support/ippeveprinter.h"
#include "support/kivo_run.h"
#include "support/mdns_lan.h"
#include "support/net_util.h"
#include "support/peers.h"
#include "support/record_owners.h"
#include "support/snmpsim.h"

namespace kivo8::test {
namespace {

// A printer that has run low on toner and out of paper: four markers, one of them a waste
// box and one with only "some remaining".
const char *const kLowTonerPrinter =
    "ATTR text printer-make-and-model \"Kivo Low 1\"\n"
    "ATTR keyword marker-types toner,toner,waste-toner,opc\n"
    "ATTR name marker-names \"Black Toner\",\"Cyan Toner\",\"Waste Toner Box\",\"Drum\"\n"
    "ATTR name marker-colors \"#000000\",\"#00FFFF\",none,none\n"
    "ATTR integer marker-levels 4,87,30,-3\n"
    "ATTR integer marker-low-levels 10,10,0,5\n"
    "ATTR integer marker-high-levels 100,100,90,100\n"
    "";
// Its state reasons come the way a real printer's do, from the print engine: a print
// command that reports them for the first job.
const char *const kLowTonerReasons = "+media-empty,toner-low,moving-to-paused";

// ippeveprinter as that printer on `port`, its engine reporting `reasons` once a job is
// printed.
EveOptions low_toner(int port, const std::string &reasons = "") {
  EveOptions o;
  o.port = port;
  o.attributes = kLowTonerPrinter;
  o.reasons = reasons;
  return o;
}

std::string text(const kivo_status_text &t) { return t.data == nullptr ? "(null)" : std::string(t.data, t.length); }
std::string text(const char *t) { return t == nullptr ? "(null)" : t; }

// With SNMP off, the state and markers come from IPP, equal to what ipptool reads from the
// same printer; reasons with an error's meaning become its bits, the rest stay words.
TEST(IppStatusNamespace, APrinterWithoutSnmpHasItsStatusFromIpp) {
  KIVO8_REQUIRE_EVE();
  MdnsLan lan;
  const int dev = lan.add_device();
  EvePrinter eve(lan.ns(dev), low_toner(8631, kLowTonerReasons));
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  ASSERT_TRUE(eve.print_and_wait("media-empty")) << eve.log();
  TempDir dir;
  Process link = tcp_peer(lan.ns(dev), dir, "link", {"8631:to-8631"}, lan.address(dev));
  ASSERT_TRUE(lan.start_zeroconf(dev, "low1", {{"Low 1", "_ipp._tcp", 8631, {{"rp", "ipp/print"}}, {}}}));

  ASSERT_EQ(mt_res_init(), 0);
  IfinfoList list = target_list(hub_interface(lan));
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_MDNS | KIVO_DISCOVER_ENDPOINTS | KIVO_DISCOVER_STATUS;
  o.timeout_ms = 2500;
  lan.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  ASSERT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  lan.hub().leave();

  const kivo_discover_device *d = device_at(h.get(), lan.address(dev));
  ASSERT_NE(d, nullptr);
  ASSERT_NE(d->status, nullptr) << "an IPP answer with state and markers is a status";
  const kivo_status &s = *d->status;
  // What ipptool reads from the same printer.
  EXPECT_EQ(eve.value("printer-state"), "idle");
  EXPECT_EQ(eve.value("marker-levels"), "4,87,30,-3");
  EXPECT_EQ(eve.value("marker-types"), "toner,toner,waste-toner,opc");
  const std::string reasons = eve.value("printer-state-reasons");
  ASSERT_NE(reasons.find("toner-low"), std::string::npos) << eve.log();

  EXPECT_EQ(s.ipp_state, 3);
  EXPECT_EQ(s.printer_status, 3);
  EXPECT_EQ(s.printer_status_source, KIVO_STATUS_SOURCE_IPP);
  EXPECT_EQ(s.errors_source, KIVO_STATUS_SOURCE_IPP);
  EXPECT_EQ(s.supplies_source, KIVO_STATUS_SOURCE_IPP);
  EXPECT_EQ(s.errors_given, 1);
  EXPECT_EQ(s.errors, KIVO_STATUS_ERR_NO_PAPER | KIVO_STATUS_ERR_LOW_TONER) << reasons;
  // The rest as sent (ippeveprinter adds its severity suffix).
  std::string other;
  std::istringstream words(reasons);
  for (std::string w; std::getline(words, w, ',');)
    if (w.rfind("media-empty", 0) != 0 && w.rfind("toner-low", 0) != 0) other += (other.empty() ? "" : ",") + w;
  EXPECT_EQ(other.rfind("moving-to-paused", 0), 0u) << reasons;
  EXPECT_EQ(text(s.ipp_reasons), other) << reasons;
  EXPECT_EQ(text(d->ipp_state_reasons), reasons);
  EXPECT_EQ(s.device_status, KIVO_STATUS_ABSENT);
  EXPECT_EQ(s.page_count, -1);
  EXPECT_EQ(s.alert_count, 0u);
  ASSERT_EQ(s.supply_count, 4u);
  std::string levels, names, colours;
  for (uint32_t i = 0; i < s.supply_count; ++i) {
    levels += (i ? "," : "") + std::to_string(s.supplies[i].level);
    names += (i ? "," : "") + ("\"" + text(s.supplies[i].description) + "\"");
    colours += (i ? "," : "") + text(s.supplies[i].colorant);
    EXPECT_EQ(s.supplies[i].unit, KIVO_STATUS_UNIT_PERCENT);
    EXPECT_EQ(s.supplies[i].max_capacity, KIVO_STATUS_ABSENT);
  }
  EXPECT_EQ(levels, eve.value("marker-levels"));
  EXPECT_EQ(names, "\"Black Toner\",\"Cyan Toner\",\"Waste Toner Box\",\"Drum\"") << eve.value("marker-names");
  EXPECT_EQ(colours, "#000000,#00FFFF,(null),(null)") << eve.value("marker-colors");
  EXPECT_EQ(s.supplies[0].percent, 4);
  EXPECT_EQ(s.supplies[0].type, 3);
  EXPECT_EQ(s.supplies[2].type, 4);
  EXPECT_EQ(s.supplies[2].supply_class, KIVO_STATUS_CLASS_RECEPTACLE);
  EXPECT_EQ(s.supplies[3].percent, -1) << "some remaining is no number";
  EXPECT_EQ(s.supplies[3].level, KIVO_STATUS_LEVEL_SOME_REMAINING);
}

std::vector<SnmprecLine> recording(const std::string &name, const std::string &ip) {
  std::ifstream in(source_dir() + "/tests/status/recordings/" + name + ".snmprec");
  EXPECT_TRUE(in.good()) << "no recording " << name;
  std::vector<SnmprecLine> lines;
  std::string line;
  while (std::getline(in, line)) {
    auto a = line.find('|');
    auto b = line.find('|', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    std::string oid = line.substr(0, a);
    if (oid == "1.3.6.1.2.1.4.20.1.2.127.0.0.1") oid = "1.3.6.1.2.1.4.20.1.2." + ip;
    lines.push_back({oid, line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
  return lines;
}

// SNMP and IPP at one address are one printer: its status is SNMP's (state, errors, the
// five supplies of its Printer MIB), IPP adds only its own words; kivo shows where each
// part came from.
TEST(IppStatusNamespace, APrinterWithSnmpAndIppKeepsSnmpsSupplies) {
  KIVO8_REQUIRE_EVE();
  KIVO8_REQUIRE_SNMPSIM();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(1);
  TempDir dir, home;
  const std::string a = net.agent_ip(0);
  Snmpsim agent(net.agent(0).name(), recording("colour_laser", a));
  EvePrinter eve(net.agent(0), low_toner(631));
  ASSERT_TRUE(agent.wait_ready());
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link = tcp_peer(net.agent(0), dir, "link", {"631:to-631"}, a);

  IfinfoList list = target_list(hub_interface(net));
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_BROADCAST | KIVO_DISCOVER_ENDPOINTS | KIVO_DISCOVER_STATUS;
  net.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  ASSERT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  net.hub().leave();
  ASSERT_EQ(kivo_discover_count(h.get()), 1u);
  const kivo_discover_device *d = device_at(h.get(), a);
  ASSERT_NE(d, nullptr);
  EXPECT_NE(d->printer_uuid, nullptr) << "IPP answered too";
  ASSERT_NE(d->status, nullptr);
  const kivo_status &s = *d->status;
  EXPECT_EQ(s.printer_status_source, KIVO_STATUS_SOURCE_SNMP);
  EXPECT_EQ(s.errors_source, KIVO_STATUS_SOURCE_SNMP);
  EXPECT_EQ(s.supplies_source, KIVO_STATUS_SOURCE_SNMP);
  EXPECT_EQ(s.printer_status, 3);
  ASSERT_EQ(s.supply_count, 5u) << "the Printer MIB's five supplies, none of IPP's four";
  EXPECT_EQ(s.supplies[0].level, 9000);
  EXPECT_EQ(s.supplies[4].level_is_space_remaining, 1);
  EXPECT_EQ(s.ipp_state, 3) << "IPP's own state is kept beside SNMP's";

  // kivo discover --status --json: one device, its parts' sources.
  KivoResult json = run_kivo(&net.hub(), home,
                             {"discover", "--no-slp", "--no-mdns", "--no-web", "--no-snmpv3", "--status", "--json",
                              "--timeout", "3"});
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json_query(home, json.out,
                       "[len(d), d[0]['status']['sources'], d[0]['status']['ipp_state'], "
                       "len(d[0]['status']['supplies'])]"),
            "[1, {\"state\": \"snmp\", \"errors\": \"snmp\", \"supplies\": \"snmp\"}, \"idle\", 5]")
      << json.out;
}

// Addresses that announce one DNS-SD UUID (as "urn:uuid:..." or bare, in any case, under
// any print service type) are one device; a UUID equal to another address's printer-uuid
// joins that printer; another UUID stays apart.
TEST(IppStatusNamespace, AddressesAnnouncingOneUuidAreOneDevice) {
  KIVO8_REQUIRE_EVE();
  MdnsLan lan;
  const int twin_a = lan.add_device(), twin_b = lan.add_device(), other = lan.add_device(), eve_at = lan.add_device(),
            eve_alias = lan.add_device();
  EvePrinter eve(lan.ns(eve_at), low_toner(8631));
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  TempDir dir;
  Process link = tcp_peer(lan.ns(eve_at), dir, "link", {"8631:to-8631"}, lan.address(eve_at));
  std::string eve_uuid = eve.value("printer-uuid");
  ASSERT_EQ(eve_uuid.rfind("urn:uuid:", 0), 0u) << eve_uuid;
  std::string bare_upper = eve_uuid.substr(9);
  for (char &c : bare_upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string uuid = "2f4a6c1e-8b3d-4e5f-9a7b-1c2d3e4f5a6b";
  ASSERT_TRUE(lan.start_zeroconf(twin_a, "twina", {{"Twin A", "_ipp._tcp", 631, {{"UUID", "urn:uuid:" + uuid}}, {}}}));
  std::string upper = uuid;
  for (char &c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  ASSERT_TRUE(lan.start_zeroconf(twin_b, "twinb", {{"Twin B", "_printer._tcp", 515, {{"uuid", upper}}, {}}}));
  ASSERT_TRUE(lan.start_zeroconf(
      other, "other", {{"Other", "_pdl-datastream._tcp", 9100, {{"UUID", "2f4a6c1e-8b3d-4e5f-9a7b-000000000000"}}, {}}}));
  ASSERT_TRUE(lan.start_zeroconf(eve_at, "eve", {{"Eve", "_ipp._tcp", 8631, {{"rp", "ipp/print"}}, {}}}));
  ASSERT_TRUE(lan.start_zeroconf(eve_alias, "evealias",
                                 {{"Eve Alias", "_pdl-datastream._tcp", 9100, {{"UUID", bare_upper}}, {}}}));

  ASSERT_EQ(mt_res_init(), 0);
  IfinfoList list = target_list(hub_interface(lan));
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_MDNS | KIVO_DISCOVER_ENDPOINTS;
  o.timeout_ms = 2500;
  o.endpoint_timeout_ms = 1500;
  lan.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  ASSERT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  lan.hub().leave();

  std::vector<std::string> seen;
  for (uint32_t i = 0; i < kivo_discover_count(h.get()); ++i) {
    const kivo_discover_device *d = kivo_discover_get(h.get(), i);
    std::string line = ipv4_text(d->address) + ":";
    for (uint32_t k = 0; k < d->service_count; ++k) line += " " + std::string(d->services[k].instance);
    seen.push_back(line);
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      lan.address(twin_a) + ": Twin A._ipp._tcp.local Twin B._printer._tcp.local",
                      lan.address(other) + ": Other._pdl-datastream._tcp.local",
                      lan.address(eve_at) + ": Eve._ipp._tcp.local Eve Alias._pdl-datastream._tcp.local",
                  }));
  const kivo_discover_device *e = device_at(h.get(), lan.address(eve_at));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(text(e->printer_uuid), eve_uuid);
  kivo_discover_stats stats{};
  ASSERT_EQ(kivo_discover_get_stats(h.get(), &stats), KIVO_DISCOVER_OK);
  EXPECT_EQ(stats.devices, 3u);
}

// kivo status --ipp: a printer with SNMP off answers IPP, and its status comes from
// there, the same as the library's kivo_ipp_status gives for the same answer; without
// --ipp it is a printer that did not answer.
TEST(IppStatusNamespace, KivoStatusAsksIppWhenSnmpIsSilent) {
  KIVO8_REQUIRE_EVE();
  HubNetwork net(1);
  TempDir dir, home;
  const std::string a = net.agent_ip(0);
  EvePrinter eve(net.agent(0), low_toner(631));
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link = tcp_peer(net.agent(0), dir, "link", {"631:to-631"}, a);

  KivoResult plain = run_kivo(&net.hub(), home, {"status", "--json", "-t", "1", "-r", "0", a});
  EXPECT_EQ(plain.status, 1) << plain.out;
  KivoResult ipp = run_kivo(&net.hub(), home, {"status", "--ipp", "--json", "-t", "1", "-r", "0", a});
  ASSERT_EQ(ipp.status, 0) << ipp.err << ipp.out;
  EXPECT_EQ(json_query(home, ipp.out,
                       "[d[0]['state'], d[0]['sources'], d[0]['ipp_state'], "
                       "[[s['type'], s['level'], s['percent'], s['colorant']] for s in d[0]['supplies']]]"),
            "[\"idle\", {\"state\": \"ipp\", \"errors\": \"ipp\", \"supplies\": \"ipp\"}, \"idle\", "
            "[[\"toner\", 4, 4, \"#000000\"], [\"toner\", 87, 87, \"#00FFFF\"], [\"wasteToner\", 30, 30, null], "
            "[\"opc\", -3, null, null]]]")
      << ipp.out;
  KivoResult text = run_kivo(&net.hub(), home, {"status", "--ipp", "-t", "1", "-r", "0", a}, {"LANG=C.UTF-8"});
  ASSERT_EQ(text.status, 0) << text.err;
  EXPECT_NE(text.out.find("state ipp, errors ipp, supplies ipp"), std::string::npos) << text.out;
  EXPECT_NE(text.out.find("] some"), std::string::npos) << "some remaining is shown in words: " << text.out;

  // The library's own call on the same printer.
  net.hub().enter();
  kivo_ipp_result *raw = nullptr;
  const std::string uri = "ipp://" + a + ":631/ipp/print";
  const int32_t rc = kivo_ipp_get_printer_attributes(uri.c_str(), nullptr, &raw);
  net.hub().leave();
  ASSERT_EQ(rc, KIVO_IPP_OK);
  kivo_status *st = nullptr;
  ASSERT_EQ(kivo_ipp_status(raw, &st), KIVO_IPP_OK);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->supply_count, 4u);
  EXPECT_EQ(st->supplies_source, KIVO_STATUS_SOURCE_IPP);
  kivo_status_free(st);
  kivo_ipp_result_free(raw);
  EXPECT_EQ(kivo_ipp_status(nullptr, &st), KIVO_IPP_EINVAL);
  EXPECT_EQ(st, nullptr);
}

}  // namespace
}  // namespace kivo8::test
