// What `kivo discover` was asked to do: its options, read and checked before anything
// is searched.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "args.h"
#include "ranges.h"
#include "snmpv3_args.h"

namespace kivo {

struct DiscoverOptions {
  bool json = false;
  bool wide = false;
  bool broadcast = true;
  bool slp = true;
  bool mdns = true;
  bool snmpv3 = true;
  bool web = true;
  bool v2c = false;
  V3Args v3;
  std::int64_t timeout_ms = 0;  // 0: each target's own
  int retries = 0;
  unsigned rate = 0;            // 0: the library's default
  unsigned max_devices = 0;     // 0: the library's default
  std::string slp_type = "service:printer";
  std::vector<Range> ranges;    // --range and --hosts-file, in the order given
  std::vector<std::string> communities;
};

// The options of the command line `parsed` (made from discover_option_list()).
DiscoverOptions read_discover_options(const Parsed &parsed);
const std::vector<Option> &discover_option_list();
// The help text, in the user's language.
std::string discover_help();

}  // namespace kivo
