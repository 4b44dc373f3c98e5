// The multicast DNS search against real responders (avahi-daemon and python3-zeroconf),
// each in a namespace of its own, with tshark reading the queries we send and a
// responder of the tests' own sending attack datagrams through the network.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <map>
#include <set>
#include <sstream>

#include "mdns/search.h"
#include "support/dns_attacks.h"
#include "support/dns_craft.h"
#include "support/mdns_lan.h"
#include "support/snmp_agents.h"

namespace kivo8::mdns {
namespace {

using kivo8::test::DnsSdService;
using kivo8::test::MdnsLan;
namespace d = kivo8::test::dns;

std::string dotted(std::uint32_t a) {
  char text[INET_ADDRSTRLEN];
  in_addr in{};
  in.s_addr = a;
  inet_ntop(AF_INET, &in, text, sizeof text);
  return text;
}

const Device *device_at(const std::vector<Device> &devices, const std::string &address) {
  for (const auto &dev : devices)
    if (dotted(dev.ipv4) == address) return &dev;
  return nullptr;
}


std::vector<Device> search_from_hub(MdnsLan &lan, Counters *counters = nullptr, SearchStats *stats = nullptr,
                                    std::int64_t window_ms = 2500) {
  SearchOptions options;
  options.window_ms = window_ms;
  // KIVO8_MDNS_CAPTURE=DIR keeps a capture of each search, from which the fuzz seeds of
  // the DNS decoder are taken (the replies of the real responders).
  std::unique_ptr<test::Process> capture;
  if (const char *dir = std::getenv("KIVO8_MDNS_CAPTURE")) {
    const std::string pcap = std::string(dir) + "/" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".pcap";
    capture = std::make_unique<test::Process>(std::vector<std::string>{"tshark", "-i", "br0", "-w", pcap, "-f", "udp"},
                                              lan.hub().name());
    test::wait_until(20, [&] {
      lan.hub().sh("bash -c 'echo mark > /dev/udp/" + lan.address(0) + "/9' 2>/dev/null");
      return !lan.hub().sh_output("tshark -r " + pcap + " -Y 'udp.dstport==9' 2>/dev/null").empty();
    });
  }
  lan.hub().enter();
  auto devices = run_search(options, counters, stats);
  lan.hub().leave();
  if (capture) capture->stop();
  return devices;
}

const std::vector<std::pair<std::string, std::string>> kFullTxt = {
    {"txtvers", "1"},
    {"qtotal", "1"},
    {"rp", "ipp/print"},
    {"ty", "Kestrel LX-410 Series"},
    {"product", "(Kestrel LX-410)"},
    {"usb_MFG", "Kestrel"},
    {"usb_MDL", "LX-410"},
    {"note", "Room 12, second floor"},
    {"adminurl", "http://lx410.local/admin/"},
    {"pdl", "application/octet-stream,application/pdf,image/jpeg,image/pwg-raster,image/urf"},
    {"UUID", "5b7e9a2c-1f00-4c1e-8a77-0000c0ffee01"},
    {"Color", "T"},
    {"Duplex", "T"},
    {"TLS", "1.2"},
    {"URF", "W8,SRGB24,CP1,RS600,DM1"},
    {"mopria-certified", "2.0"},
    {"kind", "document,envelope,photo"},
    {"PaperMax", "legal-A4"},
};

TEST(MdnsSearch, FindsExactlyTheAnnouncedPrinters) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("avahi-daemon");
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  KIVO8_REQUIRE_PROGRAM("unshare");
  MdnsLan lan;
  const int ipp = lan.add_device(), ipps = lan.add_device(), lpd = lan.add_device(), nas = lan.add_device();
  ASSERT_TRUE(lan.start_avahi(ipp, "lx410",
                              {{"Kestrel LX-410 (Room 12)", "_ipp._tcp", 631, kFullTxt, {"_universal._sub._ipp._tcp"}},
                               {"Kestrel LX-410 (Room 12)", "_http._tcp", 80, {}, {}}}));
  ASSERT_TRUE(lan.start_zeroconf(ipps, "annex",
                                 {{"Annex Secure Printer", "_ipps._tcp", 443,
                                   {{"txtvers", "1"}, {"ty", "Brightline P7"}, {"TLS", "1.3"}, {"Color", "F"},
                                    {"usb_MFG", "Brightline"}, {"usb_MDL", "P7"}, {"rp", "ipp/print"}},
                                   {}}}));
  ASSERT_TRUE(lan.start_avahi(lpd, "basement",
                              {{"Basement Line Printer", "_printer._tcp", 515,
                                {{"txtvers", "1"}, {"rp", "lp"}, {"ty", "Oldfield 3000"}, {"pdl", "application/postscript"}},
                                {}}}));
  ASSERT_TRUE(lan.start_avahi(nas, "nas", {{"Storage", "_http._tcp", 80, {{"path", "/"}}, {}},
                                           {"Storage", "_smb._tcp", 445, {}, {}}}));

  Counters counters;
  SearchStats stats;
  auto devices = search_from_hub(lan, &counters, &stats);
  std::set<std::string> found;
  for (const auto &dev : devices) found.insert(dotted(dev.ipv4));
  EXPECT_EQ(found, (std::set<std::string>{lan.address(ipp), lan.address(ipps), lan.address(lpd)}))
      << "the device that announces no printer service is not a printer";
  EXPECT_EQ(stats.interfaces, 1u);
  EXPECT_EQ(stats.wrong_port, 0u);
  EXPECT_EQ(counters.damaged, 0u);

  const Device *a = device_at(devices, lan.address(ipp));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->host, "lx410.local");
  ASSERT_EQ(a->services.size(), 1u) << "the web page of the printer is no printer service";
  const Service &s = a->services[0];
  EXPECT_EQ(s.type, "_ipp._tcp.local");
  EXPECT_EQ(s.instance, "Kestrel LX-410 (Room 12)");
  EXPECT_EQ(s.port, 631);
  for (const auto &[key, value] : kFullTxt) {
    SCOPED_TRACE(key);
    const bool kept = std::find(kept_txt_keys().begin(), kept_txt_keys().end(), key) != kept_txt_keys().end();
    const std::string *got = s.txt_value(key);
    if (kept) {
      ASSERT_NE(got, nullptr) << "the TXT record came whole: each type is asked in its own query";
      EXPECT_EQ(*got, value);
    } else {
      EXPECT_EQ(got, nullptr);
    }
  }

  const Device *b = device_at(devices, lan.address(ipps));
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->services.size(), 1u);
  EXPECT_EQ(b->services[0].type, "_ipps._tcp.local");
  EXPECT_EQ(b->services[0].instance, "Annex Secure Printer");
  EXPECT_EQ(b->services[0].port, 443);
  EXPECT_EQ(b->host, "annex.local");
  EXPECT_EQ(*b->services[0].txt_value("ty"), "Brightline P7");
  EXPECT_EQ(*b->services[0].txt_value("TLS"), "1.3");

  const Device *c = device_at(devices, lan.address(lpd));
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(c->services.size(), 1u);
  EXPECT_EQ(c->services[0].type, "_printer._tcp.local");
  EXPECT_EQ(c->services[0].port, 515);
  EXPECT_EQ(*c->services[0].txt_value("rp"), "lp");
}

TEST(MdnsSearch, AnswersOfAPrinterThatAlsoAnswersSnmpComeFromItsOwnAddress) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  if (test::snmpsim_program().empty()) {
    if (test::in_ci()) FAIL() << "required peer program missing: snmpsim";
    GTEST_SKIP() << "snmpsim is not installed";
  }
  MdnsLan lan;
  const int mfp = lan.add_device();
  test::Snmpsim agent(lan.ns(mfp).name(), {{"1.3.6.1.2.1.1.1.0", "4", "Kestrel MX-20 multifunction"},
                                           {"1.3.6.1.2.1.1.5.0", "4", "mfp-hall"}});
  ASSERT_TRUE(lan.start_zeroconf(mfp, "mfp-hall",
                                 {{"Hall MFP", "_ipp._tcp", 631, {{"ty", "Kestrel MX-20"}, {"usb_MDL", "MX-20"}}, {}},
                                  {"Hall MFP", "_pdl-datastream._tcp", 9100, {{"ty", "Kestrel MX-20"}}, {}}}));
  ASSERT_TRUE(agent.wait_ready());
  auto devices = search_from_hub(lan);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(dotted(devices[0].ipv4), lan.address(mfp));
  EXPECT_EQ(devices[0].services.size(), 2u) << "both printer services of the device in one record";
}

// What tshark reads in the queries we sent: every field as the mDNS and DNS-SD RFCs put
// it for a one-shot query.
TEST(MdnsSearch, QueriesAsTsharkDissectsThem) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("tshark");
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  MdnsLan lan;
  const int zc = lan.add_device(), half = lan.add_device();
  ASSERT_TRUE(lan.start_zeroconf(zc, "desk", {{"Desk", "_ipp._tcp", 631, {{"ty", "Desk 1"}}, {}}}));
  // A responder that gives only the PTR: the search must ask for SRV, TXT and then A.
  ASSERT_TRUE(lan.start_attacker(half, {d::cat({d::header(d::kResponse, 0, 1),
                                                d::rr(d::name("_ipp._tcp.local"), d::kPtr, d::name("Half._ipp._tcp.local"))})}));
  const std::string pcap = lan.dir().file("queries.pcap");
  test::Process capture({"tshark", "-i", "br0", "-w", pcap, "-f", "udp"}, lan.hub().name(),
                        lan.dir().file("tshark.log"));
  // tshark says it is capturing a moment before it is: wait until a marker datagram
  // of our own shows in the file.
  ASSERT_TRUE(test::wait_until(30, [&] {
    lan.hub().sh("bash -c 'echo mark > /dev/udp/" + lan.address(zc) + "/9' 2>/dev/null");
    return !lan.hub().sh_output("tshark -r " + pcap + " -Y 'udp.dstport==9' 2>/dev/null").empty();
  })) << MdnsLan::slurp(lan.dir().file("tshark.log"));
  auto devices = search_from_hub(lan);
  capture.stop();

  const std::string fields =
      lan.hub().sh_output("tshark -r " + pcap + " -Y 'ip.src==10.53.0.1 && udp.dstport==5353' -T fields -E separator='|' "
                          "-e ip.dst -e ip.ttl -e udp.srcport -e dns.id -e dns.flags -e dns.count.queries "
                          "-e dns.count.answers -e dns.count.auth_rr -e dns.count.add_rr -e dns.qry.name "
                          "-e dns.qry.type -e dns.qry.class -e dns.qry.qu 2>/dev/null");
  std::map<std::string, int> asked;  // "name type" -> times
  int lines = 0;
  std::istringstream in(fields);
  for (std::string line; std::getline(in, line);) {
    SCOPED_TRACE(line);
    ++lines;
    std::vector<std::string> f;
    std::stringstream ls(line);
    for (std::string item; std::getline(ls, item, '|');) f.push_back(item);
    ASSERT_EQ(f.size(), 13u);
    EXPECT_EQ(f[0], "224.0.0.251");
    EXPECT_EQ(f[1], "255") << "link-local multicast leaves with TTL 255";
    EXPECT_NE(f[2], "5353") << "one-shot queries come from an ephemeral port";
    EXPECT_EQ(f[3], "0x0000") << "query id zero in multicast queries";
    EXPECT_EQ(f[4], "0x0000") << "a standard query with no flag set";
    EXPECT_EQ(f[6], "0");
    EXPECT_EQ(f[7], "0");
    EXPECT_EQ(f[8], "0") << "no known answers";
    std::vector<std::string> names, types, classes, qu;
    for (auto [field, out] : {std::pair{9, &names}, {10, &types}, {11, &classes}, {12, &qu}}) {
      std::stringstream s(f[static_cast<std::size_t>(field)]);
      for (std::string item; std::getline(s, item, ',');) out->push_back(item);
    }
    EXPECT_EQ(std::to_string(names.size()), f[5]);
    for (std::size_t k = 0; k < names.size(); ++k) {
      EXPECT_EQ(classes.at(k), "0x0001");
      EXPECT_EQ(qu.at(k), "0") << "the unicast-response bit is not needed from an ephemeral port";
      ++asked[names[k] + " " + types.at(k)];
    }
  }
  EXPECT_GT(lines, 0) << fields;
  for (const char *type : {"_ipp._tcp.local", "_ipps._tcp.local", "_printer._tcp.local", "_pdl-datastream._tcp.local",
                           "_universal._sub._ipp._tcp.local", "_universal._sub._ipps._tcp.local"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(asked[std::string(type) + " 12"], 2) << "each browse name asked alone, then once more\n" << fields;
  }
  EXPECT_GE(asked["Half._ipp._tcp.local 33"], 1) << "SRV asked for the instance that came without it";
  EXPECT_GE(asked["Half._ipp._tcp.local 16"], 1) << "TXT asked for the instance that came without it";
  EXPECT_EQ(asked["Desk._ipp._tcp.local 33"], 0) << "nothing asked again for a whole answer";

  ASSERT_EQ(devices.size(), 2u);
  const Device *desk = device_at(devices, lan.address(zc));
  ASSERT_NE(desk, nullptr);
  EXPECT_EQ(desk->services.at(0).instance, "Desk");
}

// The attack datagrams of the decoder's table, a datagram of 3,000 answers and one that
// claims 10,000, sent through the network by a responder of our own after a valid answer:
// the valid printer is found, every damaged datagram is dropped whole and counted, and
// the flood stays within the caps.
TEST(MdnsSearch, AttackDatagramsThroughTheNetwork) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  MdnsLan lan;
  const int evil = lan.add_device();
  std::vector<d::Bytes> datagrams = {d::printer_reply("Valid Printer", "_ipp._tcp.local", "valid.local", 631,
                                                      {"ty=Valid Model 1", "usb_MFG=Valid"}, d::a(10, 53, 0, 2))};
  const auto cases = d::attack_cases();
  for (const auto &c : cases) datagrams.push_back(c.message);
  d::Bytes flood = d::cat({d::header(d::kResponse, 1, 3000), d::question(d::name("_ipp._tcp.local"), d::kPtr)});
  for (int i = 0; i < 3000; ++i) {
    char label[8];
    std::snprintf(label, sizeof label, "f%04d", i);
    d::append(flood, d::rr(d::name_then_pointer("", 12), d::kPtr, d::name_then_pointer(label, 12)));
  }
  ASSERT_LT(flood.size(), 65507u);
  datagrams.push_back(flood);
  d::Bytes lie = flood;
  lie[6] = 10000 >> 8;
  lie[7] = 10000 & 0xFF;
  datagrams.push_back(lie);
  ASSERT_TRUE(lan.start_attacker(evil, datagrams));

  Counters counters;
  SearchStats stats;
  auto devices = search_from_hub(lan, &counters, &stats, 2000);
  EXPECT_EQ(stats.replies, datagrams.size()) << "every datagram arrived whole";
  EXPECT_EQ(counters.damaged, cases.size() + 1);
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(dotted(devices[0].ipv4), lan.address(evil));
  EXPECT_EQ(devices[0].services.size(), Limits{}.max_services_per_device);
  EXPECT_EQ(devices[0].services[0].instance, "Valid Printer");
  EXPECT_EQ(*devices[0].services[0].txt_value("ty"), "Valid Model 1");
}

}  // namespace
}  // namespace kivo8::mdns
