// A device's endpoint list from what DNS-SD announced and what the probes found: order,
// duplicates, the resource in IPP URIs, and TXT `rp` values that must not reach a URI.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discover/endpoint_search.h"
#include "ipp/message.h"

namespace kivo::discover {
namespace {

Service service(std::string type, std::uint16_t port, std::vector<std::pair<std::string, std::string>> txt = {}) {
  Service s;
  s.instance = "P." + type + ".local";
  s.type = std::move(type);
  s.port = port;
  s.txt = std::move(txt);
  return s;
}

std::vector<std::string> texts(const std::vector<Endpoint> &list) {
  std::vector<std::string> out;
  for (const auto &e : list) out.push_back(e.uri + (e.from_dnssd ? " dnssd" : " probe"));
  return out;
}

TEST(EndpointList, OrderDuplicatesAndResources) {
  struct Case {
    const char *fault;
    std::vector<Service> services;
    std::vector<Endpoint> probed;
    IppFacts ipp;
    std::vector<std::string> want;
  };
  IppFacts answered_at_ipp;
  answered_at_ipp.answered = true;
  answered_at_ipp.port = 631;
  answered_at_ipp.resource = "/ipp";
  const Case cases[] = {
      {"probes listed worst first come out best first",
       {},
       {{Scheme::kLpd, 515, {}, false}, {Scheme::kSocket, 9100, {}, false}, {Scheme::kIpp, 631, {}, false}},
       {},
       {"ipp://10.0.0.5:631/ipp/print probe", "socket://10.0.0.5:9100 probe", "lpd://10.0.0.5:515 probe"}},
      {"an announced port is not listed again by its probe",
       {service("_pdl-datastream._tcp", 9100), service("_ipp._tcp", 631, {{"rp", "printers/a"}})},
       {{Scheme::kSocket, 9100, {}, false}, {Scheme::kIpp, 631, {}, false}},
       {},
       {"ipp://10.0.0.5:631/printers/a dnssd", "socket://10.0.0.5:9100 dnssd"}},
      {"ipps before ipp, each with its own port",
       {service("_ipp._tcp", 631), service("_ipps._tcp", 443, {{"rp", "ipp/print"}})},
       {},
       {},
       {"ipps://10.0.0.5:443/ipp/print dnssd", "ipp://10.0.0.5:631/ipp/print dnssd"}},
      {"the resource that answered replaces the guess",
       {},
       {{Scheme::kIpp, 631, {}, false}},
       answered_at_ipp,
       {"ipp://10.0.0.5:631/ipp probe"}},
      {"services that are not print services are no endpoints",
       {service("_http._tcp", 80), service("_scanner._tcp", 9290)},
       {},
       {},
       {}},
      {"an LPD queue comes from rp",
       {service("_printer._tcp", 515, {{"rp", "queue1"}})},
       {},
       {},
       {"lpd://10.0.0.5:515/queue1 dnssd"}},
      {"an rp that cannot go into a URI falls back to the usual resource",
       {service("_ipp._tcp", 631, {{"rp", "a b\r\nHost: x"}})},
       {},
       {},
       {"ipp://10.0.0.5:631/ipp/print dnssd"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    Device d;
    d.address.s_addr = inet_addr("10.0.0.5");
    d.services = c.services;
    d.probed = c.probed;
    d.ipp = c.ipp;
    EXPECT_EQ(texts(list_endpoints(d)), c.want);
  }
}

TEST(EndpointList, RpTextsThatWouldBreakARequestLineAreRefused) {
  struct Case {
    const char *rp;
    const char *want;
  } cases[] = {
      {"ipp/print", "/ipp/print"}, {"/ipp", "/ipp"},      {"", "/"},           {"a b", ""},
      {"a\r\nb", ""},              {"a\"b", ""},          {"q?x=1", ""},       {"ipp/print#f", ""},
      {"caf\xC3\xA9", ""},         {"printers/%20x", "/printers/%20x"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.rp);
    EXPECT_EQ(resource_of_rp(c.rp), c.want);
  }
  EXPECT_EQ(resource_of_rp(std::string(300, 'a')), "") << "longer than any printer's resource";
}

// Which IPPS port a plain answer's printer-uri-supported offers, for an answer from
// 10.0.0.5:631 at /ipp/print.
TEST(EndpointList, IppsOfferedByPrinterUriSupported) {
  struct Case {
    const char *fault;
    std::vector<std::string> uris;
    std::uint16_t want;
  } cases[] = {
      {"at the address", {"ipp://10.0.0.5:631/ipp/print", "ipps://10.0.0.5:631/ipp/print"}, 631},
      {"under the name of its own ipp URI", {"ipp://Lab9.local:631/ipp/print", "ipps://lab9.LOCAL:443/ipp/print"}, 443},
      {"default port (631 for both)", {"ipp://lab9.local/ipp/print", "ipps://lab9.local/ipp/print"}, 631},
      {"default port named where it answered", {"ipp://lab9.local:631/ipp/print", "ipps://lab9.local/ipp/print"}, 631},
      {"another host's name", {"ipp://lab9.local:631/ipp/print", "ipps://other.local:631/ipp/print"}, 0},
      {"a name the printer does not give itself at the answering port",
       {"ipp://lab9.local:8631/ipp/print", "ipps://lab9.local:631/ipp/print"}, 0},
      {"another resource", {"ipp://10.0.0.5:631/ipp/print", "ipps://10.0.0.5:631/ipp/other"}, 0},
      {"only plain IPP", {"ipp://10.0.0.5:631/ipp/print"}, 0},
      {"user information", {"ipps://x@10.0.0.5:631/ipp/print"}, 0},
      {"port zero", {"ipps://10.0.0.5:0/ipp/print"}, 0},
      {"port past 65535", {"ipps://10.0.0.5:65536/ipp/print"}, 0},
      {"port not a number", {"ipps://10.0.0.5:63a/ipp/print"}, 0},
      {"port too long to count", {"ipps://10.0.0.5:000000000631/ipp/print"}, 0},
      {"empty port", {"ipps://10.0.0.5:/ipp/print"}, 0},
      {"empty host", {"ipps://:631/ipp/print"}, 0},
      {"unclosed IPv6 literal", {"ipps://[fe80::1:631/ipp/print"}, 0},
      {"another scheme", {"https://10.0.0.5:631/ipp/print"}, 0},
      {"scheme in capitals", {"IPPS://10.0.0.5:631/ipp/print"}, 631},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    kivo8::ipp::Message m;
    kivo8::ipp::Attribute a{kivo8::ipp::kTagPrinterGroup, "printer-uri-supported", {}};
    for (const auto &u : c.uris) a.values.push_back(kivo8::ipp::text_value(kivo8::ipp::kTagUri, u));
    m.attributes.push_back(a);
    EXPECT_EQ(offered_ipps_port(m, "10.0.0.5", 631, "/ipp/print"), c.want);
  }
  // Only the first values are read, however many the printer lists.
  kivo8::ipp::Message m;
  kivo8::ipp::Attribute a{kivo8::ipp::kTagPrinterGroup, "printer-uri-supported", {}};
  for (std::size_t i = 0; i < kMaxUrisRead; ++i)
    a.values.push_back(kivo8::ipp::text_value(kivo8::ipp::kTagUri, "ipp://10.0.0.5:631/ipp/print"));
  a.values.push_back(kivo8::ipp::text_value(kivo8::ipp::kTagUri, "ipps://10.0.0.5:631/ipp/print"));
  m.attributes.push_back(a);
  EXPECT_EQ(offered_ipps_port(m, "10.0.0.5", 631, "/ipp/print"), 0);
  EXPECT_EQ(offered_ipps_port(kivo8::ipp::Message{}, "10.0.0.5", 631, "/ipp/print"), 0) << "no printer-uri-supported";
}

}  // namespace
}  // namespace kivo::discover
