// Where searches from other modules join the discovery engine.
#include "discover/engine.h"
#include "mdns/discover_search.h"

namespace kivo::discover {

void add_plugin_searches(const Options &options, ifinfo *targets,
                         std::vector<std::unique_ptr<Search>> &searches) {
  if ((options.searches & KIVO_DISCOVER_MDNS) != 0)
    searches.push_back(kivo8::mdns::make_discover_search(
        kivo8::mdns::options_for_targets(targets, options.timeout_ms, options.max_devices)));
}

}  // namespace kivo::discover
