// The collector: printers from replies, nothing from other services, follow-ups for what
// is missing, and the caps under floods.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include "mdns/collector.h"
#include "support/dns_craft.h"

namespace kivo8::mdns {
namespace {

namespace d = kivo8::test::dns;
using d::Bytes;

std::uint32_t ip(const char *dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

const std::vector<std::string> kFullTxt = {
    "txtvers=1", "ty=Kestrel LX-410 Series", "product=(Kestrel LX-410)", "usb_MFG=Kestrel", "usb_MDL=LX-410",
    "note=Room 12", "adminurl=http://lx410.local/", "rp=ipp/print", "pdl=application/pdf,image/urf",
    "UUID=5b7e9a2c-1f00-4c1e-8a77-0000c0ffee01", "Color=T", "Duplex=T", "TLS=1.2", "qtotal=1", "priority=0"};

TEST(Collector, FullReplyGivesOneDeviceWithEveryKeptKey) {
  Collector c;
  c.feed(d::printer_reply("Kestrel LX-410 (Room 12)", "_ipp._tcp.local", "lx410.local", 631, kFullTxt,
                          d::a(10, 5, 0, 2)),
         ip("10.5.0.2"), 0);
  auto devices = c.devices();
  ASSERT_EQ(devices.size(), 1u);
  const Device &dev = devices[0];
  EXPECT_EQ(dev.ipv4, ip("10.5.0.2"));
  EXPECT_EQ(dev.host, "lx410.local");
  ASSERT_EQ(dev.services.size(), 1u);
  const Service &s = dev.services[0];
  EXPECT_EQ(s.type, "_ipp._tcp.local");
  EXPECT_EQ(s.instance, "Kestrel LX-410 (Room 12)");
  EXPECT_EQ(s.port, 631);
  ASSERT_EQ(s.txt.size(), kept_txt_keys().size()) << "every published key kept, qtotal and priority left out";
  EXPECT_EQ(*s.txt_value("ty"), "Kestrel LX-410 Series");
  EXPECT_EQ(*s.txt_value("usb_MDL"), "LX-410");
  EXPECT_EQ(*s.txt_value("UUID"), "5b7e9a2c-1f00-4c1e-8a77-0000c0ffee01");
  EXPECT_EQ(s.txt_value("qtotal"), nullptr);
  EXPECT_FALSE(c.incomplete());
  EXPECT_TRUE(c.followups(10000).empty());
}

TEST(Collector, DeviceWithoutPrinterServicesIsNotListed) {
  Collector c;
  const Bytes reply = d::cat({d::header(d::kResponse, 0, 4), d::rr(d::name("_http._tcp.local"), d::kPtr, d::name("Nas._http._tcp.local")),
                              d::rr(d::name("Nas._http._tcp.local"), d::kSrv, d::srv(80, d::name("nas.local"))),
                              d::rr(d::name("Nas._http._tcp.local"), d::kTxt, d::txt({"ty=Not a printer"})),
                              d::rr(d::name("nas.local"), d::kA, d::a(10, 5, 0, 9))});
  c.feed(reply, ip("10.5.0.9"), 0);
  // Even a PTR from a printer type's name is ignored when its target is no printer instance.
  c.feed(d::cat({d::header(d::kResponse, 0, 1), d::rr(d::name("_ipp._tcp.local"), d::kPtr, d::name("Nas._http._tcp.local"))}),
         ip("10.5.0.9"), 0);
  EXPECT_TRUE(c.devices().empty());
}

TEST(Collector, PiecesFromSeveralDatagramsMakeOneDeviceAndFollowUpsAskForTheRest) {
  Collector c;
  const std::string inst = "Annex._ipps._tcp.local";
  // The subtype's PTR alone: the instance is known, SRV and TXT are missing.
  c.feed(d::cat({d::header(d::kResponse, 0, 1), d::rr(d::name("_universal._sub._ipps._tcp.local"), d::kPtr, d::name(inst))}),
         ip("10.5.0.3"), 0);
  EXPECT_TRUE(c.followups(100).empty()) << "too early: the rest may still be on its way";
  auto asks = c.followups(300);
  ASSERT_EQ(asks.size(), 1u);
  ASSERT_EQ(asks[0].size(), 2u);
  EXPECT_EQ(asks[0][0].type, 33);
  EXPECT_EQ(asks[0][1].type, 16);
  EXPECT_EQ(asks[0][0].name.text(), inst);
  // SRV and TXT arrive; the host's address does not.
  c.feed(d::cat({d::header(d::kResponse, 0, 2), d::rr(d::name(inst), d::kSrv, d::srv(443, d::name("annex.local"))),
                 d::rr(d::name(inst), d::kTxt, d::txt({"ty=Annex", "TY=shadowed", "tls=1.3"}))}),
         ip("10.5.0.3"), 300);
  asks = c.followups(700);
  ASSERT_EQ(asks.size(), 1u);
  EXPECT_EQ(asks[0][0].type, 1);
  EXPECT_EQ(asks[0][1].type, 28);
  EXPECT_EQ(asks[0][0].name.text(), "annex.local");
  c.feed(d::cat({d::header(d::kResponse, 0, 2), d::rr(d::name("Annex.Local"), d::kA, d::a(10, 5, 0, 30)),
                 d::rr(d::name("annex.local"), d::kAaaa, {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x11, 0, 0, 0, 0, 0, 0x07})}),
         ip("10.5.0.3"), 800);
  EXPECT_FALSE(c.incomplete());
  auto devices = c.devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].ipv4, ip("10.5.0.30")) << "the host's A record names the device, not the sender";
  EXPECT_EQ(devices[0].ipv6, (std::vector<std::string>{"fe80::211:0:0:7"}));
  const Service &s = devices[0].services.at(0);
  EXPECT_EQ(s.type, "_ipps._tcp.local");
  EXPECT_EQ(s.port, 443);
  EXPECT_EQ(*s.txt_value("ty"), "Annex") << "the first of two spellings of a key wins";
  EXPECT_EQ(*s.txt_value("TLS"), "1.3");
}

TEST(Collector, FollowUpsStopAfterTheirLimit) {
  Collector c;
  c.feed(d::cat({d::header(d::kResponse, 0, 1), d::rr(d::name("_printer._tcp.local"), d::kPtr, d::name("Mute._printer._tcp.local"))}),
         ip("10.5.0.4"), 0);
  int asked = 0;
  for (std::int64_t t = 0; t < 10000; t += 50) asked += static_cast<int>(c.followups(t).size());
  EXPECT_EQ(asked, Limits{}.max_followups);
  EXPECT_FALSE(c.incomplete());
  auto devices = c.devices();
  ASSERT_EQ(devices.size(), 1u) << "a printer announced without SRV is still a printer";
  EXPECT_EQ(devices[0].ipv4, ip("10.5.0.4"));
  EXPECT_EQ(devices[0].services[0].port, 0);
}

TEST(Collector, ServicesOfOneHostAndOfOneAddressShareADevice) {
  Collector c;
  c.feed(d::printer_reply("Hall", "_ipp._tcp.local", "hall.local", 631, {"ty=Hall"}, d::a(10, 5, 0, 6)), ip("10.5.0.6"), 0);
  c.feed(d::printer_reply("Hall", "_printer._tcp.local", "hall.local", 515, {"ty=Hall"}, d::a(10, 5, 0, 6)), ip("10.5.0.6"), 0);
  c.feed(d::printer_reply("Hall raw", "_pdl-datastream._tcp.local", "hall-raw.local", 9100, {}, d::a(10, 5, 0, 6)),
         ip("10.5.0.6"), 0);
  auto devices = c.devices();
  ASSERT_EQ(devices.size(), 1u);
  EXPECT_EQ(devices[0].services.size(), 3u);
}

TEST(Collector, QueriesAndErrorRepliesAreIgnored) {
  Collector c;
  Bytes query = d::printer_reply("Q", "_ipp._tcp.local", "q.local", 631, {}, d::a(10, 5, 0, 7));
  query[2] = 0;  // QR clear: someone else's query with known answers
  c.feed(query, ip("10.5.0.7"), 0);
  Bytes refused = d::printer_reply("R", "_ipp._tcp.local", "r.local", 631, {}, d::a(10, 5, 0, 8));
  refused[3] = 0x05;
  c.feed(refused, ip("10.5.0.8"), 0);
  c.feed(Bytes{1, 2, 3}, ip("10.5.0.8"), 0);
  EXPECT_TRUE(c.devices().empty());
  EXPECT_EQ(c.counters().ignored, 2u);
  EXPECT_EQ(c.counters().damaged, 1u);
}

TEST(Collector, CapsHoldUnderAFloodOfInstancesAndAddresses) {
  Limits limits;
  limits.max_instances = 100;
  limits.max_devices = 10;
  limits.max_services_per_device = 4;
  limits.max_addresses_per_host = 3;
  Collector c(limits);
  // 10,000 instances from 1,000 senders, in datagrams of 10 PTRs each.
  for (int block = 0; block < 1000; ++block) {
    Bytes msg = d::cat({d::header(d::kResponse, 1, 10), d::question(d::name("_ipp._tcp.local"), d::kPtr)});
    for (int i = 0; i < 10; ++i)
      d::append(msg, d::rr(d::name_then_pointer("", 12), d::kPtr,
                           d::name_then_pointer("p" + std::to_string(block * 10 + i), 12)));
    c.feed(msg, htonl(0x0A050000u + static_cast<std::uint32_t>(block)), 0);
  }
  // A host claiming 50 addresses.
  Bytes many = d::cat({d::header(d::kResponse, 0, 51), d::rr(d::name("p0._ipp._tcp.local"), d::kSrv, d::srv(631, d::name("h.local")))});
  for (int i = 0; i < 50; ++i) d::append(many, d::rr(d::name("h.local"), d::kA, d::a(10, 6, 0, static_cast<std::uint8_t>(i))));
  c.feed(many, ip("10.5.0.0"), 0);
  auto devices = c.devices();
  EXPECT_EQ(devices.size(), 10u);
  EXPECT_EQ(c.counters().devices_dropped, 1u) << "ten senders and the flooding host, one too many";
  EXPECT_EQ(c.counters().records_dropped, 9900u + 47u);
  for (const auto &dev : devices) EXPECT_LE(dev.services.size(), 4u);
  EXPECT_EQ(devices[0].ipv4, ip("10.6.0.0"));
  EXPECT_EQ(devices[0].more_ipv4.size(), 2u);
}

TEST(CleanText, KeepsUtf8AndReplacesWhatCannotBeShown) {
  struct {
    const char *name;
    std::string in;
    std::string out;
  } cases[] = {
      {"plain", "Office Printer", "Office Printer"},
      {"utf-8 kept", "Drucker B\xc3\xbc" "ro \xe2\x80\x93 2.OG", "Drucker B\xc3\xbc" "ro \xe2\x80\x93 2.OG"},
      {"four-octet form", "\xf0\x9f\x96\xa8", "\xf0\x9f\x96\xa8"},
      {"escape sequence", "a\x1b[2Jb", "a?[2Jb"},
      {"lone continuation", "a\x80z", "a?z"},
      {"overlong slash", "\xc0\xaf", "??"},
      {"surrogate", "\xed\xa0\x80", "???"},
      {"cut at the end", "ok\xe2\x80", "ok??"},
      {"C1 control", "\xc2\x9b", "??"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(clean_text(c.in), c.out);
  }
}

}  // namespace
}  // namespace kivo8::mdns
