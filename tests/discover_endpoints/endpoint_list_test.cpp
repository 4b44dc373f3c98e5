// A device's endpoint list from what DNS-SD announced and what the probes found: order,
// duplicates, the resource in IPP URIs, and TXT `rp` values that must not reach a URI.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "discover/endpoint_search.h"

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

}  // namespace
}  // namespace kivo::discover
