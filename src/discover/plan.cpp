// The discovery planner: every switch of the options is looked at here and nowhere else.
#include "discover/plan.h"

#include <arpa/inet.h>

#include <algorithm>
#include <string>

#include "discover/engine.h"
#include "kivo8/ifinfo.h"

namespace kivo::discover {

namespace {

// A target's own time-out is counted in seconds (its repeat count), at least one.
std::int32_t ms_of(std::int32_t seconds) { return std::max(seconds, 1) * 1000; }

// The wait when neither the options nor any target name one.
constexpr std::int32_t kFallbackTimeoutMs = 2000;
// What the answered exchanges of the status reads may take together.
constexpr std::int64_t kStatusExchangesMs = 3000;

bool on(const Options &o, std::uint32_t bit) { return (o.searches & bit) != 0; }

std::vector<Community> requests_for(const ifinfo &e, const Options &options) {
  std::vector<std::int32_t> versions;
  if ((options.versions & KIVO_DISCOVER_V1) != 0) versions.push_back(SNMP_VERSION_1);
  if ((options.versions & KIVO_DISCOVER_V2C) != 0) versions.push_back(SNMP_VERSION_2c);
  std::vector<std::string> names;
  for (const snmp_comm *c = e.comms; c != nullptr; c = c->next)
    if (c->name != nullptr && c->length > 0) {
      std::string n(c->name, static_cast<std::size_t>(c->length));
      if (std::find(names.begin(), names.end(), n) == names.end()) names.push_back(std::move(n));
    }
  for (const auto &c : options.communities)
    if (std::find(names.begin(), names.end(), c) == names.end()) names.push_back(c);
  std::vector<Community> out;
  for (std::int32_t v : versions)
    for (const auto &n : names) out.push_back({v, n});
  // The engine-id probe needs no community: every SNMPv3 agent answers it.
  if (on(options, KIVO_DISCOVER_SNMPV3)) out.push_back({SNMP_VERSION_3, {}});
  return out;
}

}  // namespace

Plan plan_work(const ifinfo *targets, const Options &options) {
  Plan plan;
  std::vector<const ifinfo *> locals, slp_targets;
  for (const ifinfo *e = targets; e != nullptr; e = e->next) {
    const std::int32_t kind = ifinfo_get_type(e);
    const std::int32_t timeout = options.timeout_ms > 0 ? options.timeout_ms : ms_of(e->count);
    if (kind == IFINFO_LOCAL && e->addr.s_addr != 0) locals.push_back(e);
    if (kind == IFINFO_SLP) slp_targets.push_back(e);
    const bool broadcast = (kind == IFINFO_LOCAL || kind == IFINFO_BCAST) && e->addr1.s_addr != 0 &&
                           on(options, KIVO_DISCOVER_BROADCAST);
    const bool range = kind == IFINFO_RANGE && on(options, KIVO_DISCOVER_RANGES);
    if (!broadcast && !range) continue;
    SnmpTarget t{e, 0, 0, 0, broadcast, false, timeout, requests_for(*e, options)};
    if (t.communities.empty()) continue;
    const std::uint32_t a1 = ntohl(e->addr1.s_addr), a2 = ntohl(e->addr2.s_addr);
    if (broadcast) {
      t.first = t.last = a1;
      t.mask = a2;
    } else {
      t.first = std::min(a1, a2);
      t.last = std::max(a1, a2);
      t.mask = 0xFFFFFFFFu;
      for (const ifinfo *l = targets; l != nullptr; l = l->next) {
        if (ifinfo_get_type(l) != IFINFO_LOCAL || l->addr.s_addr == 0) continue;
        const std::uint32_t own = ntohl(l->addr.s_addr), mask = ntohl(l->addr2.s_addr);
        if ((t.first & mask) == (own & mask) || (t.last & mask) == (own & mask)) t.on_link = true;
      }
      plan.addresses_total += std::uint64_t{t.last} - t.first + 1;
    }
    plan.snmp.push_back(std::move(t));
  }
  if (on(options, KIVO_DISCOVER_SLP)) {
    for (const ifinfo *l : locals) {
      if (slp_targets.empty() || options.slp_scopes_given) {
        // Service agents without configured scopes serve DEFAULT, and answer no request
        // whose scope list is empty.
        plan.slp.push_back({l, l->addr, options.timeout_ms > 0 ? options.timeout_ms : ms_of(l->count),
                            l->flag, options.slp_scopes_given ? options.slp_scopes : "DEFAULT"});
        continue;
      }
      for (const ifinfo *s : slp_targets)
        plan.slp.push_back({l, l->addr, options.timeout_ms > 0 ? options.timeout_ms : ms_of(s->count),
                            s->flag, s->scopes != nullptr ? s->scopes : ""});
    }
  }

  std::int64_t longest = 0;
  for (const auto &t : plan.snmp) longest = std::max<std::int64_t>(longest, t.timeout_ms);
  plan.mdns = on(options, KIVO_DISCOVER_MDNS);
  if (plan.mdns) {
    // The DNS-SD search listens for the request time-out, else the longest time-out of
    // the targets, else the fallback.
    // The DNS-SD search queries through every local interface with an address (each
    // once) and listens for the request time-out, else the longest time-out of those
    // entries, else the fallback.
    std::int32_t window = 0;
    for (const ifinfo *l : locals) {
      if (std::find(plan.mdns_interfaces.begin(), plan.mdns_interfaces.end(), l->addr.s_addr) ==
          plan.mdns_interfaces.end())
        plan.mdns_interfaces.push_back(l->addr.s_addr);
      window = std::max(window, ms_of(l->count));
    }
    if (options.timeout_ms > 0) window = options.timeout_ms;
    if (window <= 0) window = kFallbackTimeoutMs;
    plan.mdns_window_ms = window;
  }
  plan.describe_timeout_ms = options.describe_timeout_ms > 0 ? options.describe_timeout_ms
                             : longest > 0                   ? static_cast<std::int32_t>(longest)
                                                             : 3000;

  const std::int32_t retries = std::max(options.retries, 0);
  std::int64_t snmp_ms = longest * (retries + 1);
  // Sending every address of the ranges comes on top of the waiting: four times the time
  // the rate asks for, since the path may not take the rate (a router resolving every
  // silent address managed about 6,000 a second on the test network).
  if (plan.addresses_total > 0)
    snmp_ms += static_cast<std::int64_t>(4 * plan.addresses_total * 1000 /
                                         std::max<std::uint32_t>(options.rate, 1));
  std::int64_t listen_ms = plan.mdns ? plan.mdns_window_ms : 0;
  for (const auto &s : plan.slp) listen_ms = std::max<std::int64_t>(listen_ms, s.timeout_ms);
  std::int64_t describe = 0;
  if (!plan.snmp.empty()) {
    const std::int64_t d = options.describe_timeout_ms > 0 ? options.describe_timeout_ms : longest;
    describe = d * (std::max(retries, 1) + 1);
  }
  const std::int64_t web = on(options, KIVO_DISCOVER_WEB) ? options.web_timeout_ms : 0;
  // A status read follows its printer's description: some tens of exchanges that take
  // little time with a device that answers, plus one request that may go unanswered to
  // the end of its transmissions.
  plan.status = on(options, KIVO_DISCOVER_STATUS) && !plan.snmp.empty();
  const std::int64_t status = plan.status ? describe + kStatusExchangesMs : 0;
  // Endpoints: a connect, then (where 631 took it) one IPP exchange; the resources tried
  // after a refusal answer at once. They run beside the web probes.
  const std::int64_t endpoints =
      on(options, KIVO_DISCOVER_ENDPOINTS) ? 2 * std::int64_t{options.endpoint_timeout_ms} : 0;
  plan.run_length =
      std::chrono::milliseconds(std::max(snmp_ms, listen_ms) + describe + status + std::max(web, endpoints));
  return plan;
}

}  // namespace kivo::discover
