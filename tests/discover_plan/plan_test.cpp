// The discovery planner, without sockets: each switch of the options must change the
// work planned, and nothing else. Faults it catches: SNMPv3 engine-id probes sent to
// broadcast addresses or ranges that the caller switched off, ranges expanded into one
// entry per address, a search planned although its switch is off.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "discover/engine.h"
#include "discover/plan.h"
#include "kivo8/ifinfo.h"
#include "kivo8/snmp_comm.h"
#include "support/record_owners.h"

namespace kivo::discover {
namespace {

using kivo8::test::IfinfoList;

in_addr ip(const char *text) {
  in_addr a{};
  (void)inet_pton(AF_INET, text, &a);
  return a;
}

// One local interface 10.1.0.5/16 (broadcast 10.1.255.255), one range 10.2.0.0 to
// 10.2.255.255 (a /16), both with the community "vellum", and one SLP scope entry.
IfinfoList targets() {
  ifinfo *head = nullptr;
  ifinfo *local = ifinfo_new();
  std::snprintf(local->name, sizeof local->name, "%s", "eth0");
  local->id = 0;
  local->addr = ip("10.1.0.5");
  local->addr1 = ip("10.1.255.255");
  local->addr2 = ip("255.255.0.0");
  local->count = 2;
  snmp_comm_add(&local->comms, "vellum");
  ifinfo_add(&head, local);
  ifinfo *range = ifinfo_new();
  range->id = 10000;
  range->addr1 = ip("10.2.255.255");  // given last first: the plan orders them
  range->addr2 = ip("10.2.0.0");
  range->count = 3;
  snmp_comm_add(&range->comms, "vellum");
  ifinfo_add(&head, range);
  return IfinfoList(head);
}

struct Expect {
  std::size_t broadcast_targets, range_targets;
  bool broadcast_v3, range_v3;  // the SNMPv3 engine-id probe among a target's requests
  std::size_t v1_requests_per_target;
  std::size_t slp_interfaces;
  bool mdns;
};

bool has_version(const SnmpTarget &t, std::int32_t version) {
  for (const auto &c : t.communities)
    if (c.version == version) return true;
  return false;
}

TEST(DiscoverPlan, EverySwitchChangesOnlyItsOwnWork) {
  constexpr std::uint32_t kAll = KIVO_DISCOVER_BROADCAST | KIVO_DISCOVER_RANGES | KIVO_DISCOVER_SLP |
                                 KIVO_DISCOVER_MDNS | KIVO_DISCOVER_SNMPV3;
  struct Case {
    const char *what;
    std::uint32_t searches;
    std::uint32_t versions;
    Expect expect;
  };
  const Case cases[] = {
      {"everything", kAll, KIVO_DISCOVER_V1, {1, 1, true, true, 1, 1, true}},
      {"no broadcast: no broadcast v3 probe either", kAll & ~KIVO_DISCOVER_BROADCAST, KIVO_DISCOVER_V1,
       {0, 1, false, true, 1, 1, true}},
      {"no ranges: no v3 probe of range addresses", kAll & ~KIVO_DISCOVER_RANGES, KIVO_DISCOVER_V1,
       {1, 0, true, false, 1, 1, true}},
      {"no SNMPv3", kAll & ~KIVO_DISCOVER_SNMPV3, KIVO_DISCOVER_V1, {1, 1, false, false, 1, 1, true}},
      {"v1 and v2c", kAll, KIVO_DISCOVER_V1 | KIVO_DISCOVER_V2C, {1, 1, true, true, 2, 1, true}},
      {"no v1/v2c: v3 probes alone", kAll, 0, {1, 1, true, true, 0, 1, true}},
      {"no SLP, no DNS-SD", kAll & ~(KIVO_DISCOVER_SLP | KIVO_DISCOVER_MDNS), KIVO_DISCOVER_V1,
       {1, 1, true, true, 1, 0, false}},
      {"SNMPv3 alone with neither broadcast nor ranges plans no SNMP at all",
       KIVO_DISCOVER_SNMPV3, KIVO_DISCOVER_V1, {0, 0, false, false, 0, 0, false}},
  };
  IfinfoList list = targets();
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Options o;
    o.searches = c.searches;
    o.versions = c.versions;
    const Plan plan = plan_work(list.get(), o);
    std::size_t broadcasts = 0, ranges = 0;
    for (const SnmpTarget &t : plan.snmp) {
      std::size_t v1 = 0, v2 = 0;
      for (const auto &r : t.communities) {
        v1 += r.version == SNMP_VERSION_1 ? 1 : 0;
        v2 += r.version == SNMP_VERSION_2c ? 1 : 0;
      }
      EXPECT_EQ(v1 + v2, c.expect.v1_requests_per_target);
      if (t.broadcast) {
        ++broadcasts;
        EXPECT_EQ(has_version(t, SNMP_VERSION_3), c.expect.broadcast_v3);
        EXPECT_EQ(t.first, ntohl(ip("10.1.255.255").s_addr));
      } else {
        ++ranges;
        EXPECT_EQ(has_version(t, SNMP_VERSION_3), c.expect.range_v3);
      }
    }
    EXPECT_EQ(broadcasts, c.expect.broadcast_targets);
    EXPECT_EQ(ranges, c.expect.range_targets);
    EXPECT_EQ(plan.slp.size(), c.expect.slp_interfaces);
    EXPECT_EQ(plan.mdns, c.expect.mdns);
  }
}

TEST(DiscoverPlan, RangeIsOneCursorNotOneEntryPerAddress) {
  IfinfoList list = targets();
  Options o;
  o.searches = KIVO_DISCOVER_RANGES | KIVO_DISCOVER_SNMPV3;
  const Plan plan = plan_work(list.get(), o);
  ASSERT_EQ(plan.snmp.size(), 1u);
  const SnmpTarget &t = plan.snmp.front();
  EXPECT_FALSE(t.broadcast);
  EXPECT_EQ(t.first, ntohl(ip("10.2.0.0").s_addr));
  EXPECT_EQ(t.last, ntohl(ip("10.2.255.255").s_addr));
  // v1 "vellum" and the engine-id probe: two requests per address, not 65,536 entries.
  EXPECT_EQ(t.communities.size(), 2u);
  EXPECT_EQ(plan.addresses_total, 65536u);
}

TEST(DiscoverPlan, DefaultRunLengthIsDecidedOnce) {
  IfinfoList list = targets();
  struct Case {
    const char *what;
    std::int32_t timeout_ms, retries;
    std::uint32_t searches, rate;
    std::int64_t expect_ms;
  };
  // Range time-out 3 s (the longest target), a /16 at the rate: 4 * 65536 / rate s.
  const Case cases[] = {
      // 3000 * 1 + 4 * 65536 * 1000 / 10000 = 29214; describe 3000 * 2.
      {"range only, default rate", 0, 0, KIVO_DISCOVER_RANGES, 10000, 29214 + 6000},
      // 1000 * 2 + 26214 = 28214; describe 1000 * 2; web 2000.
      {"time-out 1 s, one retry, web", 1000, 1, KIVO_DISCOVER_RANGES | KIVO_DISCOVER_WEB, 10000,
       28214 + 2000 + 2000},
      // Broadcast only, 2 s: 2000 + describe 2000 * 2.
      {"broadcast only", 0, 0, KIVO_DISCOVER_BROADCAST, 10000, 2000 + 4000},
      // DNS-SD alone listens for the local interface's 2 s.
      {"DNS-SD alone", 0, 0, KIVO_DISCOVER_MDNS, 10000, 2000},
      // Status reads: the describe part once more and 3 s of exchanges.
      {"broadcast with status", 0, 0, KIVO_DISCOVER_BROADCAST | KIVO_DISCOVER_STATUS, 10000,
       2000 + 4000 + 4000 + 3000},
      // Nothing is described without an SNMP search, so nothing is read.
      {"status without SNMP", 0, 0, KIVO_DISCOVER_MDNS | KIVO_DISCOVER_STATUS, 10000, 2000},
      // Endpoints after the broadcast: a connect and one IPP exchange of 2 s each, beside
      // the web probe (they run at once), so the longer of the two counts.
      {"broadcast, web and endpoints", 0, 0,
       KIVO_DISCOVER_BROADCAST | KIVO_DISCOVER_WEB | KIVO_DISCOVER_ENDPOINTS, 10000, 2000 + 4000 + 4000},
      // DNS-SD finds, the endpoint search follows: the window, then its 4 s.
      {"DNS-SD and endpoints", 0, 0, KIVO_DISCOVER_MDNS | KIVO_DISCOVER_ENDPOINTS, 10000, 2000 + 4000},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    Options o;
    o.searches = c.searches;
    o.timeout_ms = c.timeout_ms;
    o.retries = c.retries;
    o.rate = c.rate;
    const Plan plan = plan_work(list.get(), o);
    EXPECT_EQ(plan.run_length.count(), c.expect_ms);
    EXPECT_EQ(plan.status, (c.searches & KIVO_DISCOVER_STATUS) != 0 && !plan.snmp.empty());
  }
}

}  // namespace
}  // namespace kivo::discover
