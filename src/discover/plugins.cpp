// Where searches from other modules join the discovery engine.
#include "discover/engine.h"

namespace kivo::discover {

void add_plugin_searches(const Options &, ifinfo *, std::vector<std::unique_ptr<Search>> &) {}

}  // namespace kivo::discover
