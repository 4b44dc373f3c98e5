// kivo discover: the command line over the library's discovery engine. Sets up the
// search-target list, runs the engine with Ctrl-C and progress watched, and prints its
// records in the format asked for, with notes on what the search could not do.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common.h"
#include "discover_options.h"
#include "discover_view.h"
#include "discover_watch.h"
#include "neighbours.h"
#include "snmpv3_args.h"
#include "text_out.h"

namespace kivo {

namespace {

// The library's send rate when none is given (requests a second; see discover.h).
constexpr std::uint64_t kDefaultRequestRate = 10000;
// A sweep larger than this says its size and time before it starts.
constexpr std::uint64_t kLargeSweep = 65536;

struct Groups {
  Groups(const std::string &all, const std::string &unused) {
    ok = device_groups_init(all.c_str(), unused.c_str()) >= 0;
  }
  ~Groups() { device_groups_free(); }
  Groups(const Groups &) = delete;
  Groups &operator=(const Groups &) = delete;
  bool ok = false;
};

struct HandleFree {
  void operator()(kivo_discover *h) const { kivo_discover_free(h); }
};

void note(const std::string &text) { put(stderr, "kivo discover: " + text + "\n"); }

void set_communities(ifinfo *e, const std::vector<std::string> &names) {
  snmp_comm_free(&e->comms);
  // Each name added goes first: add them last to first to keep the order given.
  for (auto it = names.rbegin(); it != names.rend(); ++it) snmp_comm_add(&e->comms, it->c_str());
}

// Ranges given here join the list for this run only; the list is not saved.
bool add_ranges(Session &lib, const DiscoverOptions &opt) {
  for (const Range &r : opt.ranges) {
    ifinfo *e = ifinfo_new();
    if (e == nullptr) return false;
    e->id = 10000;
    e->addr1.s_addr = htonl(r.first);
    e->addr2.s_addr = htonl(r.last);
    if (opt.timeout_ms > 0) e->count = static_cast<int32_t>((opt.timeout_ms + 999) / 1000);
    set_communities(e, opt.communities);
    ifinfo_add(lib.targets_ref(), e);
  }
  return true;
}

// A target whose communities were set (kivo targets --community) keeps them; every other
// one, left at the library's default, is asked with the run's set (vellum and public,
// or --community), as the ranges given here are. An interface is saved with the
// default as soon as any target is saved, so "saved" alone cannot tell them apart.
void give_communities(Session &lib, const DiscoverOptions &opt) {
  for (ifinfo *e = lib.targets(); e != nullptr; e = e->next)
    if (ifinfo_get_type(e) != IFINFO_SLP && communities(e) == std::vector<std::string>{"vellum"})
      set_communities(e, opt.communities);
}

// Without an interface (the library lists none for the loopback) no broadcast and no
// multicast can leave: "No devices found." would pass for a search that never ran.
bool something_to_search(Session &lib) {
  for (ifinfo *e = lib.targets(); e != nullptr; e = e->next)
    if ((ifinfo_get_type(e) == IFINFO_LOCAL && e->addr.s_addr != 0) ||
        ifinfo_get_type(e) == IFINFO_RANGE)
      return true;
  return false;
}

// What the run will ask: the communities of every SNMP target, the addresses of the
// range sweeps and the requests each address gets.
struct Plan {
  std::vector<std::string> communities;
  std::uint64_t addresses = 0;
  std::uint64_t requests_per_address = 1;
  std::uint64_t longest_timeout_ms = 0;
  std::vector<Range> subnets;  // of this host's interfaces
};

Plan plan_of(Session &lib, const DiscoverOptions &opt) {
  Plan plan;
  std::uint64_t most_communities = 1;
  for (const ifinfo *e = lib.targets(); e != nullptr; e = e->next) {
    const std::int32_t kind = ifinfo_get_type(e);
    if (kind == IFINFO_SLP) continue;
    if (kind == IFINFO_LOCAL && !opt.broadcast) continue;
    if (kind == IFINFO_BCAST && !opt.broadcast) continue;
    for (const auto &c : communities(e))
      if (std::find(plan.communities.begin(), plan.communities.end(), c) == plan.communities.end())
        plan.communities.push_back(c);
    plan.longest_timeout_ms = std::max<std::uint64_t>(plan.longest_timeout_ms,
                                                      static_cast<std::uint64_t>(e->count) * 1000);
    if (kind == IFINFO_RANGE) {
      plan.addresses += std::uint64_t{ntohl(e->addr2.s_addr)} - ntohl(e->addr1.s_addr) + 1;
      most_communities = std::max<std::uint64_t>(most_communities, communities(e).size());
    }
    if (kind == IFINFO_LOCAL && e->addr.s_addr != 0 && e->addr2.s_addr != 0) {
      const std::uint32_t mask = ntohl(e->addr2.s_addr);
      const std::uint32_t base = ntohl(e->addr.s_addr) & mask;
      plan.subnets.push_back({base, base | ~mask});
    }
  }
  plan.requests_per_address = most_communities + (opt.snmpv3 ? 1 : 0);
  if (opt.timeout_ms > 0) plan.longest_timeout_ms = static_cast<std::uint64_t>(opt.timeout_ms);
  return plan;
}

// --rate counts addresses; the engine paces requests.
std::uint32_t request_rate(const DiscoverOptions &opt, const Plan &plan) {
  if (opt.rate == 0) return 0;
  return static_cast<std::uint32_t>(
      std::min<std::uint64_t>(std::uint64_t{opt.rate} * plan.requests_per_address, 0xFFFFFFFFu));
}

void state_large_sweep(const DiscoverOptions &opt, const Plan &plan) {
  if (opt.quiet || plan.addresses <= kLargeSweep) return;
  const std::uint64_t per_second =
      opt.rate != 0 ? opt.rate : std::max<std::uint64_t>(1, kDefaultRequestRate / plan.requests_per_address);
  const std::uint64_t seconds = plan.addresses / per_second + (plan.longest_timeout_ms + 999) / 1000;
  note(subst(tr("scanning {1} addresses at {2} a second: about {3} seconds (Ctrl-C ends it "
                "early and shows what was found)"),
             {std::to_string(plan.addresses), std::to_string(per_second), std::to_string(seconds)}));
}

// The engine's options; they point into `opt`, `v3` and `run`, which must outlive
// kivo_discover_new.
kivo_discover_options engine_options(const DiscoverOptions &opt, const Plan &plan,
                                     const std::optional<kivo_snmpv3_options> &v3) {
  kivo_discover_options options;
  kivo_discover_options_init(&options);
  const bool interfaces = !opt.only;
  options.searches = KIVO_DISCOVER_RANGES |
                     (interfaces && opt.broadcast ? KIVO_DISCOVER_BROADCAST : 0u) |
                     (interfaces && opt.slp ? KIVO_DISCOVER_SLP : 0u) |
                     (interfaces && opt.mdns ? KIVO_DISCOVER_MDNS : 0u) |
                     (opt.web ? KIVO_DISCOVER_WEB : 0u) | (opt.snmpv3 ? KIVO_DISCOVER_SNMPV3 : 0u) |
                     (opt.endpoints ? KIVO_DISCOVER_ENDPOINTS : 0u) | (opt.status ? KIVO_DISCOVER_STATUS : 0u);
  if (v3) options.snmpv3 = &*v3;
  options.versions = opt.v2c ? KIVO_DISCOVER_V2C : KIVO_DISCOVER_V1;
  options.timeout_ms = static_cast<std::int32_t>(opt.timeout_ms);
  options.retries = opt.retries;
  options.rate = request_rate(opt, plan);
  options.max_devices = opt.max_devices;
  options.slp_service_type = opt.slp_type.c_str();
  return options;
}

// What the callbacks share with the run: the progress shown and, for NDJSON, the
// devices already written.
struct Run {
  Progress progress;
  const DiscoverOptions *opt = nullptr;
  std::FILE *out = stdout;
  std::set<std::uint32_t> streamed;

  static void on_progress(const kivo_discover_progress *p, void *user) {
    static_cast<Run *>(user)->progress.update(*p);
  }
  // NDJSON: each device as soon as its description is complete (again if it grows).
  static void on_device(std::int32_t event, const kivo_discover_device *d, void *user) {
    auto *run = static_cast<Run *>(user);
    if (event != KIVO_DISCOVER_EVENT_COMPLETE || run->opt->format != OutputFormat::ndjson) return;
    DiscoveredDevice v = view_of(*d, run->opt->v3.user, run->opt->status, run->opt->endpoints);
    const auto macs = read_neighbours();
    if (auto m = macs.find(v.ip); m != macs.end()) v.mac = m->second;
    run->progress.finish();
    print_ndjson_line(run->out, v);
    run->streamed.insert(v.ip);
  }
};

// The devices as the group of all devices holds them (as every front end built on the
// library sees a search), or every record when there is no such group; with the MAC
// addresses the kernel learnt while talking to them.
std::vector<DiscoveredDevice> collect(kivo_discover *search, const std::string &v3_user,
                                      bool status, bool endpoints) {
  Groups groups(tr("All devices"), tr("Unused devices"));
  const bool grouped = groups.ok && kivo_discover_fill_group(search) == 0;
  device_group *all = grouped ? device_groups_all_devices() : nullptr;
  const auto macs = read_neighbours();
  std::vector<DiscoveredDevice> view;
  for (std::uint32_t i = 0; i < kivo_discover_count(search); ++i) {
    const kivo_discover_device *d = kivo_discover_get(search, i);
    if (all != nullptr && device_group_include_dev(all, d->record) != 1) continue;
    view.push_back(view_of(*d, v3_user, status, endpoints));
    if (auto m = macs.find(view.back().ip); m != macs.end()) view.back().mac = m->second;
  }
  return view;
}

std::string joined(const std::vector<std::string> &items) {
  std::string out;
  for (const auto &s : items) out += (out.empty() ? "" : ", ") + s;
  return out;
}

// What the search could not do, said after the results: refused SNMPv3 users, the
// device cap, silence to every community, a broadcast nobody answered.
void notes(const DiscoverOptions &opt, const Plan &plan, const std::vector<DiscoveredDevice> &devices,
           const kivo_discover_stats &stats, bool interrupted) {
  for (const DiscoveredDevice &d : devices)
    if (d.snmpv3_error != 0)
      put(stderr, safe_text(d.address) + ": " +
                      subst(tr("SNMPv3 user {1}: {2}"), {safe_text(opt.v3.user), snmpv3_error_text(d.snmpv3_error)}) +
                      "\n");
  if (stats.devices_dropped > 0)
    note(subst(tr("--max-devices {1} reached: the first {1} devices to answer are shown; {2} "
                  "more answers came from devices past the cap"),
               {std::to_string(stats.devices), std::to_string(stats.devices_dropped)}));
  if (interrupted || opt.quiet) return;
  // A run its deadline ended has devices whose questions were still out: say so, rather
  // than let a part pass for the whole.
  if (stats.deadline_reached != 0)
    note(subst(tr("the search ended at its deadline after {1} ms: devices still being asked "
                  "are shown as far as they were described"),
               {std::to_string(stats.elapsed_ms)}));
  const bool snmp_answer = std::any_of(devices.begin(), devices.end(), [](const DiscoveredDevice &d) {
    return d.snmp_version >= 0 ||
           std::find(d.found_by.begin(), d.found_by.end(), "snmpv3") != d.found_by.end();
  });
  if (!snmp_answer && !plan.communities.empty())
    note(subst(tr("no device answered SNMP with the communities tried: {1} (--community asks "
                  "with others)"),
               {safe_text(joined(plan.communities))}));
  const bool broadcast_answer = std::any_of(devices.begin(), devices.end(), [](const DiscoveredDevice &d) {
    return std::find(d.found_by.begin(), d.found_by.end(), "broadcast") != d.found_by.end();
  });
  if (opt.broadcast && !opt.only && plan.addresses == 0 && !broadcast_answer && !plan.subnets.empty()) {
    std::vector<std::string> cidrs;
    for (const Range &r : plan.subnets) cidrs.push_back("--range " + range_text(r));
    note(subst(tr("no device answered the SNMP broadcast; some agents do not answer "
                  "broadcasts: {1} asks every address"),
               {joined(cidrs)}));
  }
}

// The targets of this run: communities given, ranges added; false (said why) when there
// is nothing to search.
bool prepare_targets(Session &lib, const DiscoverOptions &opt) {
  give_communities(lib, opt);
  if (!add_ranges(lib, opt)) {
    note(tr("out of memory"));
    return false;
  }
  if (!something_to_search(lib)) {
    note(tr("this host has no network interface but the loopback: there is nothing to search "
            "(give an address range with --range to scan one)"));
    return false;
  }
  return true;
}

// Prints what was found (NDJSON: what was not written yet) and what could not be done.
int report(kivo_discover *search, const DiscoverOptions &opt, const Plan &plan, const Run &run,
           std::FILE *out, bool interrupted) {
  kivo_discover_stats stats{};
  (void)kivo_discover_get_stats(search, &stats);
  const std::vector<DiscoveredDevice> devices = collect(search, opt.v3.user, opt.status, opt.endpoints);
  // NDJSON has written each device already as it completed; what is left are those an
  // interrupt or the deadline caught before their description was complete.
  std::vector<DiscoveredDevice> rest = devices;
  if (opt.format == OutputFormat::ndjson)
    std::erase_if(rest, [&](const DiscoveredDevice &d) { return run.streamed.count(d.ip) != 0; });
  print_devices(out, rest, opt.format, opt.wide);
  (void)std::fflush(out);
  save_last_run(devices);
  notes(opt, plan, devices, stats, interrupted);
  if (!interrupted) return kExitOk;
  note(subst(tr("interrupted: the {1} devices found so far are shown"), {std::to_string(devices.size())}));
  return kExitInterrupted;
}

// The search itself, Ctrl-C and progress watched.
int search(Session &lib, DiscoverOptions &opt, const std::optional<kivo_snmpv3_options> &v3,
           std::FILE *out) {
  const Plan plan = plan_of(lib, opt);
  state_large_sweep(opt, plan);
  Run run{Progress(isatty(STDERR_FILENO) == 1, opt.quiet), &opt, out, {}};
  kivo_discover_options options = engine_options(opt, plan, v3);
  options.progress = &Run::on_progress;
  options.on_device = &Run::on_device;
  options.user = &run;
  std::unique_ptr<kivo_discover, HandleFree> handle(kivo_discover_new(lib.targets(), &options));
  v3_forget_pass_phrases(opt.v3);
  if (!handle) {
    note(tr("cannot set up the search"));
    return kExitFailed;
  }
  // Watched until the results are printed: a second Ctrl-C then ends kivo at once.
  InterruptWatch watch(handle.get());
  const int32_t rc = kivo_discover_run(handle.get());
  const bool interrupted = watch.finish() || rc == KIVO_DISCOVER_CANCELLED;
  run.progress.finish();
  if (rc == KIVO_DISCOVER_ENOSEND) {
    note(tr("no search request could be sent"));
    return kExitFailed;
  }
  if (rc != KIVO_DISCOVER_OK && !interrupted) {
    note(subst(tr("the search failed ({1})"), {std::to_string(rc)}));
    return kExitFailed;
  }
  return report(handle.get(), opt, plan, run, out, interrupted);
}

}  // namespace

int discover_records(DiscoverOptions &opt, std::int32_t deadline_ms,
                     const std::function<void(const kivo_discover_device &, std::FILE *)> &each) {
  Session::Options setup;
  setup.load_targets = !opt.only;
  Session lib(setup);
  QuietLibrary quiet;
  if (!prepare_targets(lib, opt)) return kExitFailed;
  const Plan plan = plan_of(lib, opt);
  kivo_discover_options options = engine_options(opt, plan, std::nullopt);
  options.deadline_ms = deadline_ms;
  std::unique_ptr<kivo_discover, HandleFree> handle(kivo_discover_new(lib.targets(), &options));
  if (!handle) {
    note(tr("cannot set up the search"));
    return kExitFailed;
  }
  const int32_t rc = kivo_discover_run(handle.get());
  if (rc == KIVO_DISCOVER_ENOSEND) {
    note(tr("no search request could be sent"));
    return kExitFailed;
  }
  if (rc != KIVO_DISCOVER_OK) {
    note(subst(tr("the search failed ({1})"), {std::to_string(rc)}));
    return kExitFailed;
  }
  for (std::uint32_t i = 0; i < kivo_discover_count(handle.get()); ++i)
    each(*kivo_discover_get(handle.get(), i), quiet.out());
  (void)std::fflush(quiet.out());
  return kExitOk;
}

int cmd_discover(int argc, char **argv, int first) {
  const Parsed p = parse_command_line("discover", discover_option_list(), argc, argv, first);
  if (p.help) {
    put(stdout, discover_help());
    return kExitOk;
  }
  DiscoverOptions opt = read_discover_options(p);
  // The v3 user's options as kivo get takes them; a saved user fills in what is not given.
  std::optional<kivo_snmpv3_options> v3;
  if (!opt.v3.user.empty()) v3 = v3_options(p, opt.v3);

  Session::Options setup;
  setup.load_targets = !opt.only;
  Session lib(setup);
  if (!opt.only && !lib.have_preferences())
    note(tr("the preference directory ~/.kivo cannot be used; saved targets are not searched"));
  QuietLibrary quiet;
  if (!prepare_targets(lib, opt)) return kExitFailed;
  return search(lib, opt, v3, quiet.out());
}

}  // namespace kivo
