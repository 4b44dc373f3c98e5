// What `kivo discover` was asked to do: its options, read and checked before anything
// is searched.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "args.h"
#include "kivo8/discover.h"
#include "ranges.h"
#include "snmpv3_args.h"

namespace kivo {

enum class OutputFormat { table, json, ndjson, csv };

struct DiscoverOptions {
  OutputFormat format = OutputFormat::table;
  bool wide = false;
  bool quiet = false;            // no progress, no notes: results and errors only
  bool only = false;             // the ranges given here alone: no saved target, no interface
  bool broadcast = true;
  bool slp = true;
  bool mdns = true;
  bool snmpv3 = true;
  bool web = true;
  bool status = false;          // --status: the state and supplies of every printer
  bool endpoints = true;         // print ports probed and IPP asked
  bool v2c = false;
  V3Args v3;
  std::int64_t timeout_ms = 0;  // 0: each target's own
  int retries = 0;
  unsigned rate = 0;            // addresses a second; 0: the library's default request rate
  unsigned max_devices = 0;     // 0: the library's default
  std::string slp_type = "service:printer";
  std::vector<Range> ranges;    // --range and --hosts-file
  // The communities of every target that has no list of its own (the interfaces not
  // saved, the ranges given here): --community, or the default set.
  std::vector<std::string> communities;
};

// Tried where no list of its own says otherwise: the library's default and the name
// most agents ship with.
const std::vector<std::string> &default_communities();

// The options of the command line `parsed` (made from discover_option_list()).
DiscoverOptions read_discover_options(const Parsed &parsed);
const std::vector<Option> &discover_option_list();
// The help text, in the user's language.
std::string discover_help();

// One search with `opt` (SNMPv3 users aside) that ends by `deadline_ms`, shows no
// progress and prints nothing of its own but notes on standard error; `each` gets every
// record in address order, with the real standard output (the library's own lines are
// kept off it while the search runs). kExitOk, or kExitFailed when the search could not
// run (said why).
int discover_records(DiscoverOptions &opt, std::int32_t deadline_ms,
                     const std::function<void(const kivo_discover_device &, std::FILE *)> &each);

}  // namespace kivo
