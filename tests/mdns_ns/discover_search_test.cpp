// The DNS-SD search through the discovery engine's search contract: driven by a loop
// like the engine's, under a tight shared send rate, reporting into a device book that
// already holds an SNMP answer for one of the printers.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>

#include <map>

#include "discover/mdns_search.h"
#include "support/device_book.h"
#include "support/mdns_lan.h"

namespace kivo8::mdns {
namespace {

using kivo::discover::Clock;
using kivo::discover::Device;
using kivo::discover::Kind;
using kivo8::test::MdnsLan;

using Book = kivo8::test::RecordingBook;

std::uint32_t ip(const std::string &dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted.c_str(), &a);
  return a.s_addr;
}

void drive(kivo::discover::Search &search, kivo::discover::SearchContext context) {
  ASSERT_TRUE(search.start(context, Clock::now()));
  const auto give_up = Clock::now() + std::chrono::seconds(20);
  while (!search.done() && Clock::now() < give_up) {
    std::vector<pollfd> fds;
    search.watched(fds);
    auto now = Clock::now();
    auto wake = search.next_wakeup().value_or(now + std::chrono::seconds(1));
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(wait, 1)));
    now = Clock::now();
    if (n > 0)
      for (auto &p : fds)
        if (p.revents != 0) search.on_ready(p.fd, p.revents, now);
    if (now >= wake) search.on_timer(now);
  }
  EXPECT_TRUE(search.done());
}

TEST(MdnsDiscoverSearch, ReportsIntoTheBookByAddressWithServicesKeysAndNames) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("avahi-daemon");
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  KIVO8_REQUIRE_PROGRAM("unshare");
  MdnsLan lan;
  const int mfp = lan.add_device(), only = lan.add_device();
  ASSERT_TRUE(lan.start_zeroconf(mfp, "mfp-hall",
                                 {{"Hall MFP", "_ipp._tcp", 631,
                                   {{"ty", "Kestrel MX-20"}, {"usb_MFG", "Kestrel"}, {"usb_MDL", "MX-20"}}, {}}}));
  ASSERT_TRUE(lan.start_avahi(only, "annex",
                              {{"Annex Printer", "_ipps._tcp", 443, {{"ty", "Brightline P7"}, {"TLS", "1.2"}}, {}}}));

  Book book;
  // What an SNMP search would have left: the device answered, with a generic engine name.
  in_addr snmp_address{};
  snmp_address.s_addr = ip(lan.address(mfp));
  Device *seen = book.find_or_add(snmp_address, kivo::discover::kFoundBroadcast);
  seen->snmp_version = 0;
  seen->hr_device_descr = "Generic 28C-1";
  seen->kind = Kind::kOther;

  kivo::discover::Pacer pacer(10, 2);  // ten sends a second: the twelve queries must wait their turn
  SearchOptions options;
  options.window_ms = 2500;
  auto search = make_discover_search(options);
  EXPECT_STREQ(search->name(), "mdns");
  lan.hub().enter();
  drive(*search, {&book, &pacer});
  lan.hub().leave();

  EXPECT_TRUE(search->sent_any());
  EXPECT_EQ(book.sent, 12u) << "six browse names, asked twice, through one interface";
  EXPECT_GE(book.answers, 2u);
  ASSERT_EQ(book.devices.size(), 2u);

  const Device &both = book.devices.at(ip(lan.address(mfp)));
  EXPECT_EQ(both.found_by, kivo::discover::kFoundBroadcast | kivo::discover::kFoundMdns) << "one record, two ways found";
  EXPECT_EQ(both.kind, Kind::kPrinter);
  EXPECT_EQ(both.product_name, "Kestrel MX-20") << "TXT ty beats a generic SNMP description";
  ASSERT_EQ(both.services.size(), 1u);
  EXPECT_EQ(both.services[0].instance, "Hall MFP._ipp._tcp.local");
  EXPECT_EQ(both.services[0].type, "_ipp._tcp");
  EXPECT_EQ(both.services[0].port, 631);
  EXPECT_EQ(both.services[0].host, "mfp-hall.local");
  EXPECT_EQ(both.services[0].addresses, (std::vector<std::string>{lan.address(mfp)}));
  EXPECT_EQ(both.services[0].txt,
            (std::vector<std::pair<std::string, std::string>>{{"ty", "Kestrel MX-20"}, {"usb_MFG", "Kestrel"}, {"usb_MDL", "MX-20"}}));

  const Device &dnssd = book.devices.at(ip(lan.address(only)));
  EXPECT_EQ(dnssd.found_by, kivo::discover::kFoundMdns);
  EXPECT_EQ(dnssd.kind, Kind::kPrinterNoSnmp);
  EXPECT_EQ(dnssd.product_name, "Brightline P7");
  ASSERT_EQ(dnssd.services.size(), 1u);
  EXPECT_EQ(dnssd.services[0].type, "_ipps._tcp");
}

}  // namespace
}  // namespace kivo8::mdns
