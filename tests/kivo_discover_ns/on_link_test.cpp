// kivo discover over a /22 on its own link, with the defaults: every request waits in the
// kernel for ARP, and a silent address holds its neighbour entry (and its queued
// datagrams) for seconds. The agents sit at the far end of the range, so they are asked
// only after a thousand silent neighbours; the sweep must still reach them by the run's
// own deadline. (They are bound to their own addresses, so the broadcast the defaults
// also send does not find them for the sweep.)
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/kivo_run.h"
#include "support/peers.h"
#include "support/snmpsim.h"

namespace kivo8::test {
namespace {

TEST(KivoOnLink, AgentsAtTheFarEndOfASlash22AreAllFoundWithTheDefaults) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_SNMPSIM();
  Netns scanner, lan;
  scanner.must("ip link add eth0 type veth peer name eth0 netns " + lan.name());
  scanner.must("ip addr add 10.62.0.1/22 brd + dev eth0 && ip link set eth0 up");
  lan.must("ip link set eth0 up");
  const std::vector<std::string> agents{"10.62.0.9", "10.62.2.128", "10.62.3.200", "10.62.3.250"};
  std::vector<std::unique_ptr<Snmpsim>> sims;
  for (const auto &ip : agents) {
    lan.must("ip addr add " + ip + "/22 brd + dev eth0");
    sims.push_back(std::make_unique<Snmpsim>(
        lan.name(),
        std::vector<SnmprecLine>{{"1.3.6.1.2.1.1.1.0", "4", "Acme Jet network printer at " + ip},
                                 {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.1.7"},
                                 {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"}},
        ip + ":161", "public"));
  }
  for (auto &s : sims) ASSERT_TRUE(s->wait_ready(30));

  TempDir home;
  const KivoResult r = run_kivo(&scanner, home, {"discover", "--json", "--range", "10.62.0.2-10.62.3.254"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto found = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_TRUE(found.is_array()) << r.out;
  std::set<std::string> addresses;
  for (const auto &d : found)
    if (d.is_object() && d.contains("address")) addresses.insert(d["address"].get<std::string>());
  for (const auto &ip : agents) EXPECT_EQ(addresses.count(ip), 1u) << ip << " missing; kivo said:\n" << r.err;
}

}  // namespace
}  // namespace kivo8::test
