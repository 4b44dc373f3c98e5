// Where searches from other modules join the discovery engine.
#include <arpa/inet.h>

#include <algorithm>

#include "discover/engine.h"
#include "discover/snmpv3_search.h"
#include "mdns/discover_search.h"

namespace kivo::discover {

void add_plugin_searches(const Options &options, ifinfo *targets,
                         std::vector<std::unique_ptr<Search>> &searches) {
  if ((options.searches & KIVO_DISCOVER_MDNS) != 0)
    searches.push_back(kivo8::mdns::make_discover_search(
        kivo8::mdns::options_for_targets(targets, options.timeout_ms, options.max_devices)));
  if ((options.searches & KIVO_DISCOVER_SNMPV3) != 0) {
    // The engine-id discovery request goes to the same broadcast targets and range
    // addresses as the v1/v2c requests. Ranges are taken up to a bound, so that one huge
    // range cannot make the search's table of probes grow without limit.
    constexpr std::uint64_t kMaxAddresses = 1u << 20;
    Snmpv3SearchOptions v3;
    std::int32_t longest = 0;
    for (const ifinfo *e = targets; e != nullptr; e = e->next) {
      const std::int32_t kind = ifinfo_get_type(e);
      longest = std::max(longest, std::max(e->count, 1) * 1000);
      if ((kind == IFINFO_LOCAL || kind == IFINFO_BCAST) && e->addr1.s_addr != 0) {
        v3.targets.push_back({e->addr1, true});
      } else if (kind == IFINFO_RANGE) {
        const std::uint32_t a1 = ntohl(e->addr1.s_addr), a2 = ntohl(e->addr2.s_addr);
        for (std::uint64_t a = std::min(a1, a2); a <= std::max(a1, a2) && v3.targets.size() < kMaxAddresses; ++a)
          v3.targets.push_back({in_addr{htonl(static_cast<std::uint32_t>(a))}, false});
      }
    }
    v3.timeout = std::chrono::milliseconds(options.timeout_ms > 0 ? options.timeout_ms : longest > 0 ? longest : 2000);
    v3.retries = std::max(options.retries, 0);
    v3.user = options.snmpv3_user;
    if (!v3.targets.empty()) searches.push_back(std::make_unique<Snmpv3Search>(v3));
  }
}

}  // namespace kivo::discover
