// The engine's endpoint search against real peers in namespaces of our own: ippeveprinter
// (IPP and IPPS), plain TCP listeners on the raw-socket and LPD ports, an snmpsim printer
// without IPP, and listeners that answer garbage or nothing at all.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>

#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "discover/endpoint_search.h"
#include "ipp/client.h"
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

using kivo::discover::Clock;

// "scheme uri from" lines of a device's endpoints, in its order.
std::vector<std::string> endpoints_of(const kivo_discover_device *d) {
  std::vector<std::string> out;
  for (uint32_t i = 0; i < d->endpoint_count; ++i) {
    const kivo_discover_endpoint &e = d->endpoints[i];
    out.push_back(std::to_string(e.scheme) + " " + e.uri + " " + std::to_string(e.port) +
                  (e.from_dnssd != 0 ? " dnssd" : " probe"));
  }
  return out;
}

std::string text(const char *t) { return t == nullptr ? "(null)" : t; }

TEST(EndpointsNamespace, ProbesFindEachPortIppAnswersAndBadPeersEndAtTheirTimeOut) {
  KIVO8_REQUIRE_EVE();
  KIVO8_REQUIRE_SNMPSIM();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(5);
  TempDir dir;
  // 0: a host whose SNMP says nothing of printing, with ippeveprinter on the IPP port.
  // 1: an SNMP printer that takes raw-socket and LPD connections. 2: an SNMP printer with
  // no print port at all. 3: IPP port answering garbage. 4: IPP port that never answers.
  Snmpsim host(net.agent(0).name(), host_data());
  Snmpsim p1(net.agent(1).name(), printer_data("raw"));
  Snmpsim p2(net.agent(2).name(), printer_data("bare"));
  Snmpsim p3(net.agent(3).name(), host_data());
  Snmpsim p4(net.agent(4).name(), host_data());
  EvePrinter eve(net.agent(0), 631, "Lab 9");
  for (Snmpsim *s : {&host, &p1, &p2, &p3, &p4}) ASSERT_TRUE(s->wait_ready());
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link = tcp_peer(net.agent(0), dir, "link", {"631:to-631"}, net.agent_ip(0));
  Process raw = tcp_peer(net.agent(1), dir, "raw", {"9100:close", "515:close"});
  Process garbage = tcp_peer(net.agent(3), dir, "garbage", {"631:garbage"});
  Process silent = tcp_peer(net.agent(4), dir, "silent", {"631:silent"});

  IfinfoList list = target_list(hub_interface(net));

  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_BROADCAST | KIVO_DISCOVER_ENDPOINTS;
  o.endpoint_timeout_ms = 1500;
  net.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  const auto started = Clock::now();
  const int32_t rc = kivo_discover_run(h.get());
  const double took = std::chrono::duration<double>(Clock::now() - started).count();
  net.hub().leave();
  ASSERT_EQ(rc, KIVO_DISCOVER_OK);
  ASSERT_EQ(kivo_discover_count(h.get()), 5u);
  kivo_discover_stats stats{};
  ASSERT_EQ(kivo_discover_get_stats(h.get(), &stats), KIVO_DISCOVER_OK);
  // Two seconds of SNMP, describe, then the silent peer's connect and exchange each end
  // at 1.5 s: the run ends by its own deadline, well before anything a peer could drag out.
  EXPECT_LT(took, 15.0);

  const std::string a0 = net.agent_ip(0), a1 = net.agent_ip(1), a2 = net.agent_ip(2), a3 = net.agent_ip(3),
                    a4 = net.agent_ip(4);
  const kivo_discover_device *eve_d = device_at(h.get(), a0);
  ASSERT_NE(eve_d, nullptr);
  // Its plain answer names ipps://localhost:631/ipp/print beside ipp://localhost:631/...:
  // the same host, so 631 is tried with TLS too, and its certificate kept.
  EXPECT_EQ(endpoints_of(eve_d), (std::vector<std::string>{"2 ipps://" + a0 + ":631/ipp/print 631 probe",
                                                           "1 ipp://" + a0 + ":631/ipp/print 631 probe"}));
  EXPECT_EQ(eve_d->driverless, 1);
  EXPECT_EQ(text(eve_d->ipp_make_and_model), "Kivo Lab 9");
  EXPECT_EQ(text(eve_d->ipp_location), "Room 1");
  EXPECT_EQ(eve_d->ipp_state, 3);
  EXPECT_EQ(text(eve_d->printer_uuid), eve.uuid());
  EXPECT_EQ(text(eve_d->printer_uuid).rfind("urn:uuid:", 0), 0u);
  EXPECT_EQ(text(eve_d->tls_fingerprint), eve.fingerprint());
  EXPECT_EQ(eve_d->kind, KIVO_DISCOVER_KIND_PRINTER) << "IPP answered: a printer, whatever SNMP said";
  EXPECT_EQ(std::string(eve_d->product_name), "Kivo Lab 9");
  // No SNMP device id: IPP's printer-device-id fills the device-id fields.
  EXPECT_EQ(std::string(eve_d->device_id_mfg), "Kivo") << eve_d->device_id;
  EXPECT_EQ(std::string(eve_d->device_id_mdl), "Lab 9") << eve_d->device_id;

  const kivo_discover_device *raw_d = device_at(h.get(), a1);
  ASSERT_NE(raw_d, nullptr);
  EXPECT_EQ(endpoints_of(raw_d), (std::vector<std::string>{"3 socket://" + a1 + ":9100 9100 probe",
                                                           "4 lpd://" + a1 + ":515 515 probe"}));
  EXPECT_EQ(raw_d->driverless, -1);
  EXPECT_EQ(raw_d->printer_uuid, nullptr);
  EXPECT_EQ(raw_d->kind, KIVO_DISCOVER_KIND_PRINTER);

  const kivo_discover_device *bare = device_at(h.get(), a2);
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->endpoint_count, 0u);
  EXPECT_EQ(bare->endpoints, nullptr);
  EXPECT_EQ(bare->driverless, -1);
  EXPECT_EQ(bare->ipp_make_and_model, nullptr);
  EXPECT_EQ(bare->ipp_state, 0);

  // The port took the connection, so it is an endpoint; what it said was no IPP.
  for (const std::string &a : {a3, a4}) {
    SCOPED_TRACE(a);
    const kivo_discover_device *d = device_at(h.get(), a);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(endpoints_of(d), (std::vector<std::string>{"1 ipp://" + a + ":631/ipp/print 631 probe"}));
    EXPECT_EQ(d->driverless, -1);
    EXPECT_EQ(d->ipp_make_and_model, nullptr);
    EXPECT_EQ(d->kind, KIVO_DISCOVER_KIND_OTHER);
  }
}

// One printer reached at two addresses (an alias on its link) answers IPP on both with
// one printer-uuid: one record, at the lower address, with the endpoints of both.
TEST(EndpointsNamespace, OnePrinterOnTwoAddressesIsOneRecord) {
  KIVO8_REQUIRE_EVE();
  KIVO8_REQUIRE_SNMPSIM();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(1);
  TempDir dir;
  const std::string first = net.agent_ip(0), second = "10.66.0.12";
  net.agent(0).must("ip addr add " + second + "/24 dev eth0");
  Snmpsim one(net.agent(0).name(), host_data(), first + ":161");
  Snmpsim two(net.agent(0).name(), host_data(), second + ":161");
  EvePrinter eve(net.agent(0), 631, "Twin");
  ASSERT_TRUE(one.wait_ready());
  ASSERT_TRUE(two.wait_ready());
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link1 = tcp_peer(net.agent(0), dir, "link1", {"631:to-631"}, first);
  Process link2 = tcp_peer(net.agent(0), dir, "link2", {"631:to-631"}, second);

  ifinfo *head = ifinfo_new();
  head->count = 2;
  head->id = 10000;
  head->addr1 = ipv4(first);
  head->addr2 = ipv4(second);
  snmp_comm_add(&head->comms, "vellum");
  IfinfoList list(head);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_RANGES | KIVO_DISCOVER_ENDPOINTS;
  // Both addresses' TLS handshakes reach the one ippeveprinter at once; under the
  // sanitizers on a loaded machine one of them took longer than the default 2 s, and its
  // address then had no ipps endpoint. The merge is what is tested here, not the time-out.
  o.endpoint_timeout_ms = 8000;
  net.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  ASSERT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  net.hub().leave();
  ASSERT_EQ(kivo_discover_count(h.get()), 1u);
  const kivo_discover_device *d = kivo_discover_get(h.get(), 0);
  EXPECT_EQ(ipv4_text(d->address), first);
  EXPECT_EQ(text(d->printer_uuid), eve.uuid());
  EXPECT_EQ(endpoints_of(d), (std::vector<std::string>{"2 ipps://" + first + ":631/ipp/print 631 probe",
                                                       "2 ipps://" + second + ":631/ipp/print 631 probe",
                                                       "1 ipp://" + first + ":631/ipp/print 631 probe",
                                                       "1 ipp://" + second + ":631/ipp/print 631 probe"}));
  kivo_discover_stats stats{};
  ASSERT_EQ(kivo_discover_get_stats(h.get(), &stats), KIVO_DISCOVER_OK);
  EXPECT_EQ(stats.devices, 1u);
}

TEST(EndpointsNamespace, ARunDeadlineEndsExchangesWithAPeerThatNeverAnswers) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_SNMPSIM();
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(1);
  TempDir dir;
  Snmpsim agent(net.agent(0).name(), host_data());
  ASSERT_TRUE(agent.wait_ready());
  Process silent = tcp_peer(net.agent(0), dir, "silent", {"631:silent", "9100:silent", "515:silent"});

  HubInterface bridge = hub_interface(net);
  bridge.name.clear();
  bridge.seconds = 1;
  IfinfoList list = target_list(bridge);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_BROADCAST | KIVO_DISCOVER_ENDPOINTS;
  o.endpoint_timeout_ms = 60000;  // the exchange alone would wait a minute
  o.deadline_ms = 3000;
  net.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  const auto started = Clock::now();
  ASSERT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  const double took = std::chrono::duration<double>(Clock::now() - started).count();
  net.hub().leave();
  // The exchange's own time limit is the run's deadline: it ends there, with the run.
  EXPECT_GE(took, 2.9);
  EXPECT_LT(took, 10.0) << "the deadline, not the peer, ends the run";
  const kivo_discover_device *d = device_at(h.get(), net.agent_ip(0));
  ASSERT_NE(d, nullptr);
  // Every port took its connection; the IPP question found no answer by the deadline.
  EXPECT_EQ(d->endpoint_count, 3u);
  EXPECT_EQ(d->driverless, -1);
}

TEST(EndpointsNamespace, AnnouncedIppsIsAskedAtItsResourceWithSnmpOff) {
  KIVO8_REQUIRE_EVE();
  MdnsLan lan;
  const int dev = lan.add_device();
  EvePrinter eve(lan.ns(dev), 8631, "Desk 3");
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  TempDir dir;
  Process link = tcp_peer(lan.ns(dev), dir, "link", {"8631:to-8631"}, lan.address(dev));
  ASSERT_TRUE(lan.start_zeroconf(dev, "desk3",
                                 {{"Desk 3", "_ipps._tcp", 8631, {{"rp", "ipp/print"}, {"ty", "Desk 3"}}, {}},
                                  {"Desk 3", "_pdl-datastream._tcp", 9100, {{"ty", "Desk 3"}}, {}}}));

  ASSERT_EQ(mt_res_init(), 0);
  IfinfoList list = target_list(hub_interface(lan));
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_MDNS | KIVO_DISCOVER_ENDPOINTS;
  o.timeout_ms = 2500;
  lan.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  ASSERT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  lan.hub().leave();

  const std::string a = lan.address(dev);
  const kivo_discover_device *d = device_at(h.get(), a);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->found_by, KIVO_DISCOVER_FOUND_MDNS);
  // Both announced services count without a probe; nothing listens on 9100 and no probe
  // of 631 or 515 found anything.
  EXPECT_EQ(endpoints_of(d), (std::vector<std::string>{"2 ipps://" + a + ":8631/ipp/print 8631 dnssd",
                                                       "3 socket://" + a + ":9100 9100 dnssd"}));
  EXPECT_EQ(text(d->ipp_make_and_model), "Kivo Desk 3");
  EXPECT_EQ(text(d->tls_fingerprint), eve.fingerprint());
  EXPECT_EQ(d->driverless, 1);
  EXPECT_EQ(d->kind, KIVO_DISCOVER_KIND_PRINTER_NO_SNMP);
  EXPECT_EQ(std::string(d->product_name), "Kivo Desk 3");
}

// kivo discover: the best URI in the table, every one with --wide, the endpoint and IPP
// fields in JSON (a location with quotes, a backslash and UTF-8 arrives exactly), and nothing of
// it with --no-endpoints.
TEST(EndpointsNamespace, KivoShowsUrisAndIppFields) {
  KIVO8_REQUIRE_EVE();
  KIVO8_REQUIRE_SNMPSIM();
  HubNetwork net(2);
  TempDir dir, home;
  Snmpsim host(net.agent(0).name(), host_data(), "0.0.0.0:161", "public");
  Snmpsim raw(net.agent(1).name(), printer_data("raw"), "0.0.0.0:161", "public");
  EvePrinter eve(net.agent(0), 631, "Lab 9", "Room \"1\" \\ S\xC3\xBC" "d");
  ASSERT_TRUE(host.wait_ready());
  ASSERT_TRUE(raw.wait_ready());
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link = tcp_peer(net.agent(0), dir, "link", {"631:to-631", "9100:close"}, net.agent_ip(0));
  Process ports = tcp_peer(net.agent(1), dir, "raw", {"9100:close", "515:close"});
  const std::string a0 = net.agent_ip(0), a1 = net.agent_ip(1);
  const std::vector<std::string> discover = {"discover", "--no-slp", "--no-mdns", "--no-web", "--no-snmpv3",
                                             "--timeout", "4"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> args = discover;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };

  KivoResult json = run_kivo(&net.hub(), home, with({"--json"}));
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json_query(home, json.out,
                       "[[x['address'], [[e['scheme'], e['uri'], e['port'], e['from']] for e in x['endpoints']], "
                       "x['driverless'], x['uuid'] is not None, x['ipp'] and x['ipp']['make_and_model']] for x in d]"),
            "[[\"" + a0 + "\", [[\"ipps\", \"ipps://" + a0 + ":631/ipp/print\", 631, \"probe\"], [\"ipp\", \"ipp://" + a0 +
                ":631/ipp/print\", 631, \"probe\"], [\"socket\", \"socket://" +
                a0 + ":9100\", 9100, \"probe\"]], true, true, \"Kivo Lab 9\"], [\"" + a1 + "\", [[\"socket\", \"socket://" +
                a1 + ":9100\", 9100, \"probe\"], [\"lpd\", \"lpd://" + a1 + ":515\", 515, \"probe\"]], null, false, null]]")
      << json.out;
  // Each endpoint also names its protocol, and its certificate's fingerprint where it has
  // one (none without TLS).
  EXPECT_EQ(json_query(home, json.out, "[[e['protocol'], e['tls_sha256']] for e in d[0]['endpoints']]"),
            "[[\"ipps\", \"" + eve.fingerprint() + "\"], [\"ipp\", null], [\"socket\", null]]");
  EXPECT_EQ(json_query(home, json.out, "[d[0]['uuid'], d[0]['ipp']['location'], d[0]['ipp']['state']]"),
            "[\"" + eve.uuid() + "\", \"Room \\\"1\\\" \\\\ S\\u00fcd\", \"idle\"]");

  KivoResult table = run_kivo(&net.hub(), home, with({}), {"LANG=C.UTF-8", "COLUMNS=250"});
  ASSERT_EQ(table.status, 0) << table.err;
  EXPECT_NE(table.out.find("ipps://" + a0 + ":631/ipp/print"), std::string::npos) << table.out;
  EXPECT_EQ(table.out.find("socket://" + a0 + ":9100"), std::string::npos) << "only the best URI: " << table.out;
  EXPECT_NE(table.out.find("socket://" + a1 + ":9100"), std::string::npos) << table.out;
  KivoResult wide = run_kivo(&net.hub(), home, with({"--wide"}));
  EXPECT_NE(wide.out.find("ipps://" + a0 + ":631/ipp/print ipp://" + a0 + ":631/ipp/print socket://" + a0 + ":9100"),
            std::string::npos)
      << wide.out;

  KivoResult off = run_kivo(&net.hub(), home, with({"--json", "--no-endpoints"}));
  ASSERT_EQ(off.status, 0) << off.err;
  EXPECT_EQ(json_query(home, off.out, "[[x['endpoints'], x['driverless'], x['ipp']] for x in d]"),
            "[[null, null, null], [null, null, null]]");
}

// What kivo discover asks ippeveprinter on 631, captured on the printer's link and read by
// tshark: an IPP Get-Printer-Attributes that asks for every attribute the search reads,
// with nothing tshark finds malformed or wrong.
TEST(EndpointsNamespace, KivoDiscoverAsksIppThatTsharkDissects) {
  KIVO8_REQUIRE_EVE();
  KIVO8_REQUIRE_SNMPSIM();
  KIVO8_REQUIRE_PROGRAM("tshark");
  HubNetwork net(1);
  TempDir dir, home;
  Snmpsim host(net.agent(0).name(), host_data(), "0.0.0.0:161", "public");
  EvePrinter eve(net.agent(0), 631, "Lab 9");
  ASSERT_TRUE(host.wait_ready());
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link = tcp_peer(net.agent(0), dir, "link", {"631:to-631"}, net.agent_ip(0));
  const std::string pcap = dir.file("ipp.pcap"), tshark_log = dir.file("tshark.log");
  Process capture({"tshark", "-i", "eth0", "-w", pcap, "-f", "tcp port 631"}, net.agent(0).name(), tshark_log);
  ASSERT_TRUE(wait_until(20, [&] { return read_bytes(tshark_log).find("Capturing on") != std::string::npos; }))
      << read_bytes(tshark_log);

  KivoResult json = run_kivo(&net.hub(), home,
                             {"discover", "--json", "--no-slp", "--no-mdns", "--no-web", "--no-snmpv3", "--timeout", "2"});
  ASSERT_EQ(json.status, 0) << json.err;
  ASSERT_EQ(json_query(home, json.out, "[x['ipp'] and x['ipp']['make_and_model'] for x in d]"), "[\"Kivo Lab 9\"]")
      << json.out;
  const std::string read = "tshark -r " + pcap + " -d tcp.port==631,http ";
  const std::string ours = "-Y 'ipp && http.user_agent == \"kivo8\" && http.request' ";
  const std::string query = read + ours + "-T fields -E occurrence=a -E aggregator=, -e ipp.version "
                                          "-e ipp.operation_id -e ipp.name 2>/dev/null";
  std::string fields;
  ASSERT_TRUE(wait_until(10, [&] { return !(fields = sh_output(query)).empty(); })) << sh_output(read + "2>&1");
  capture.stop();
  fields = sh_output(query);
  // One request, version 2.0 (tshark shows the two octets as one number),
  // Get-Printer-Attributes, the operation attributes in their order.
  EXPECT_EQ(fields, "512\t0x000b\tattributes-charset,attributes-natural-language,printer-uri,requested-attributes\n");
  // The values, as tshark's dissection shows them (its string value field stays empty).
  const std::string shown = sh_output(read + ours + "-V -O ipp 2>/dev/null");
  EXPECT_NE(shown.find("uri value: 'ipp://" + net.agent_ip(0) + ":631/ipp/print'"), std::string::npos) << shown;
  EXPECT_NE(shown.find("charset value: 'utf-8'"), std::string::npos) << shown;
  for (std::string_view name : kivo8::ipp::default_requested_attributes())
    EXPECT_NE(shown.find("keyword value: '" + std::string(name) + "'\n"), std::string::npos) << name << ": " << shown;
  // tshark's own verdict: nothing malformed, no expert finding of error severity (the
  // filter must compile, or no output would prove nothing).
  int status = -1;
  EXPECT_EQ(sh_output(read + "-Y '_ws.malformed || _ws.expert.severity >= error' 2>/dev/null", &status), "");
  EXPECT_EQ(status, 0);
}

// The search driven alone, as the engine drives it, for a hundred devices on one host's
// loopback addresses whose print ports take every connection and answer nothing.
class Book final : public kivo::discover::DeviceBook, public kivo::discover::FollowUps {
 public:
  std::map<std::uint32_t, kivo::discover::Device> devices;
  int done = 0;
  kivo::discover::Device *find_or_add(in_addr a, std::uint32_t how) override {
    auto &d = devices[a.s_addr];
    d.address = a;
    d.found_by |= how;
    return &d;
  }
  kivo::discover::Device *find(in_addr a) override {
    auto it = devices.find(a.s_addr);
    return it == devices.end() ? nullptr : &it->second;
  }
  void changed(kivo::discover::Device &) override {}
  void note_dropped(std::uint64_t) override {}
  void note_sent(std::uint64_t) override {}
  void note_answer(std::uint64_t) override {}
  void note_address_done(std::uint64_t) override {}
  void follow_up_done(in_addr) override { ++done; }
};

TEST(EndpointsNamespace, AHundredDevicesStayWithinTheInFlightCap) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  Netns ns;
  ns.must("ip link set lo up");
  TempDir dir;
  Process peer = tcp_peer(ns, dir, "hung", {"631:silent", "9100:close", "515:close"});
  Book book;
  constexpr std::uint32_t kCap = 8;
  constexpr int kDevices = 100;
  const auto start = Clock::now();
  kivo::discover::EndpointSearch search(400, kCap, start + std::chrono::seconds(60), book);
  ASSERT_TRUE(search.start({&book, nullptr}, start));
  ns.enter();
  for (int i = 0; i < kDevices; ++i) {
    in_addr a{};
    a.s_addr = htonl(0x7F000002u + static_cast<std::uint32_t>(i));  // 127.0.0.2 ...
    EXPECT_TRUE(search.follow_up(*book.find_or_add(a, kivo::discover::kFoundScan), Clock::now()));
  }
  std::vector<pollfd> fds;
  while (!search.done() && Clock::now() - start < std::chrono::seconds(30)) {
    fds.clear();
    search.watched(fds);
    ASSERT_LE(fds.size(), kCap);
    auto now = Clock::now();
    auto wake = search.next_wakeup().value_or(now + std::chrono::milliseconds(100));
    const auto wait = std::max<long>(1, std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count());
    (void)::poll(fds.data(), fds.size(), static_cast<int>(wait));
    now = Clock::now();
    for (auto &p : fds)
      if (p.revents != 0) search.on_ready(p.fd, p.revents, now);
    if (auto at = search.next_wakeup(); at && *at <= Clock::now()) search.on_timer(Clock::now());
  }
  ns.leave();
  const double took = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_TRUE(search.done());
  EXPECT_EQ(search.peak_in_flight(), kCap);
  EXPECT_EQ(book.done, kDevices);
  // 100 hung IPP exchanges of 0.4 s, eight at a time: about five seconds, never the
  // 40 s they would take one after another.
  EXPECT_LT(took, 25.0);
  for (const auto &[address, d] : book.devices) {
    EXPECT_EQ(d.probed.size(), 3u);
    EXPECT_FALSE(d.ipp.answered);
  }
}

}  // namespace
}  // namespace kivo8::test
