// kivo discover: the command line over the library's discovery engine. Reads the options
// and the address lists, hands the search-target list to the engine, draws the progress
// bar from its progress callback and prints its records as a table or JSON.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common.h"
#include "discover_options.h"
#include "discover_view.h"
#include "snmpv3_args.h"
#include "text_out.h"

namespace kivo {

namespace {

// "\r[#####.....]  123/254" on standard error while the ranges are scanned.
struct ProgressBar {
  bool shown = false;
  static void draw(const kivo_discover_progress *p, void *user) {
    auto *self = static_cast<ProgressBar *>(user);
    if (p->addresses_total == 0) return;
    std::uint64_t done = std::min(p->addresses_done, p->addresses_total);
    int filled = static_cast<int>(done * 30 / p->addresses_total);
    std::fprintf(stderr, "\r[%s%s] %llu/%llu", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(30 - filled), '.').c_str(),
                 static_cast<unsigned long long>(done),
                 static_cast<unsigned long long>(p->addresses_total));
    std::fflush(stderr);
    self->shown = true;
  }
  void finish() {
    if (shown) std::fputs("\n", stderr);
    shown = false;
  }
};

const char *kind_of(const device_record *r) {
  if (device_isStdMibPrinter(r)) return "printer";
  if (device_isNoSNMP(r)) return "no-snmp";
  if (device_isNAB(r)) return "adapter";
  if (device_isPrinter(r)) return "printer";
  return "other";
}

std::string hex(const std::uint8_t *bytes, std::uint32_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::uint32_t i = 0; i < n; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

DiscoveredDevice view_of(const kivo_discover_device &d, const std::string &v3_user) {
  DiscoveredDevice v;
  const device_record *r = d.record;
  v.address = ipv4_text(d.address);
  const char *name = device_get_productname(r);
  v.shown_name = name != nullptr ? name : "";
  v.name = untranslated_name(name);
  // A printer that announced itself by DNS-SD is named by its TXT keys even when it does
  // not answer SNMP; one found only by SLP keeps the word for a printer without SNMP.
  if (device_isNoSNMP(r) && d.product_name[0] != '\0') v.shown_name = v.name = d.product_name;
  v.kind = kind_of(r);
  v.type = r->info != nullptr ? r->info->type : -1;
  v.web = d.web_server == KIVO_DISCOVER_WEB_YES;
  v.web_probed = d.web_server != KIVO_DISCOVER_WEB_NOT_PROBED;
  const std::pair<std::uint32_t, const char *> ways[] = {
      {KIVO_DISCOVER_FOUND_BROADCAST, "broadcast"}, {KIVO_DISCOVER_FOUND_SCAN, "scan"},
      {KIVO_DISCOVER_FOUND_SLP, "slp"},             {KIVO_DISCOVER_FOUND_MDNS, "mdns"},
      {KIVO_DISCOVER_FOUND_SNMPV3, "snmpv3"}};
  for (const auto &[bit, word] : ways)
    if ((d.found_by & bit) != 0) v.found_by.push_back(word);
  v.product = r->product;
  v.make = d.make;
  v.model = d.model;
  v.sys_descr = d.sys_descr;
  // Dotted with a leading dot, as the other commands print object identifiers.
  if (d.sys_object_id[0] != '\0') v.sys_object_id = std::string(".") + d.sys_object_id;
  v.sys_name = d.sys_name;
  v.hr_device_descr = d.hr_device_descr;
  v.printer_name = d.printer_name;
  v.device_id = d.device_id;
  v.snmp_version = d.snmp_version;
  v.community = d.community;
  for (std::uint32_t i = 0; i < d.slp_url_count; ++i) v.slp_urls.emplace_back(d.slp_urls[i]);
  v.engine_id = hex(d.engine_id, d.engine_id_length);
  if (d.snmp_version == 3) v.snmpv3_user = v3_user;
  for (std::uint32_t i = 0; i < d.service_count; ++i) {
    const kivo_discover_service &s = d.services[i];
    DiscoveredService out;
    out.instance = s.instance;
    out.type = s.type;
    out.host = s.host;
    out.port = s.port;
    for (std::uint32_t k = 0; k < s.address_count; ++k) out.addresses.emplace_back(s.addresses[k]);
    for (std::uint32_t k = 0; k < s.txt_count; ++k) out.txt.emplace_back(s.txt[k].key, s.txt[k].value);
    v.services.push_back(std::move(out));
  }
  return v;
}

struct Groups {
  Groups(const std::string &all, const std::string &unused) {
    ok = device_groups_init(all.c_str(), unused.c_str()) >= 0;
  }
  ~Groups() { device_groups_free(); }
  bool ok = false;
};

struct HandleFree {
  void operator()(kivo_discover *h) const { kivo_discover_free(h); }
};

}  // namespace

namespace {

// Ranges given here join the list for this run only; the list is not saved.
bool add_ranges(Session &lib, const DiscoverOptions &opt) {
  for (const Range &r : opt.ranges) {
    ifinfo *e = ifinfo_new();
    if (e == nullptr) return false;
    e->id = 10000;
    e->addr1.s_addr = htonl(r.first);
    e->addr2.s_addr = htonl(r.last);
    if (opt.timeout_ms > 0) e->count = static_cast<int32_t>((opt.timeout_ms + 999) / 1000);
    if (opt.communities.empty()) snmp_comm_add(&e->comms, "vellum");
    ifinfo_add(lib.targets_ref(), e);
  }
  return true;
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

// The engine's options; they point into `opt`, `communities` and `v3`, which must
// outlive kivo_discover_new.
kivo_discover_options engine_options(const DiscoverOptions &opt,
                                     const std::vector<const char *> &communities,
                                     const std::optional<kivo_snmpv3_options> &v3) {
  kivo_discover_options options;
  kivo_discover_options_init(&options);
  options.searches = KIVO_DISCOVER_RANGES | (opt.broadcast ? KIVO_DISCOVER_BROADCAST : 0u) |
                     (opt.slp ? KIVO_DISCOVER_SLP : 0u) | (opt.mdns ? KIVO_DISCOVER_MDNS : 0u) |
                     (opt.web ? KIVO_DISCOVER_WEB : 0u) | (opt.snmpv3 ? KIVO_DISCOVER_SNMPV3 : 0u);
  if (v3) options.snmpv3 = &*v3;
  options.versions = opt.v2c ? KIVO_DISCOVER_V2C : KIVO_DISCOVER_V1;
  options.communities = communities.empty() ? nullptr : communities.data();
  options.community_count = static_cast<std::uint32_t>(communities.size());
  options.timeout_ms = static_cast<std::int32_t>(opt.timeout_ms);
  options.retries = opt.retries;
  options.rate = opt.rate;
  options.max_devices = opt.max_devices;
  options.slp_service_type = opt.slp_type.c_str();
  return options;
}

// The devices as the group of all devices holds them (as every front end built on the
// library sees a search), or every record when there is no such group.
std::vector<DiscoveredDevice> collect(kivo_discover *search, const std::string &v3_user) {
  Groups groups(tr("All devices"), tr("Unused devices"));
  std::vector<DiscoveredDevice> view;
  const bool grouped = groups.ok && kivo_discover_fill_group(search) == 0;
  device_group *all = grouped ? device_groups_all_devices() : nullptr;
  for (std::uint32_t i = 0; i < kivo_discover_count(search); ++i) {
    const kivo_discover_device *d = kivo_discover_get(search, i);
    if (all == nullptr || device_group_include_dev(all, d->record) == 1)
      view.push_back(view_of(*d, v3_user));
  }
  return view;
}

}  // namespace

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

  Session lib(Session::Options{});
  if (!lib.have_preferences())
    put(stderr, "kivo discover: " + tr("the preference directory ~/.kivo cannot be used; saved "
                                       "targets are not searched") + "\n");
  QuietLibrary quiet;
  if (!add_ranges(lib, opt)) {
    put(stderr, "kivo discover: " + tr("out of memory") + "\n");
    return kExitFailed;
  }
  if (!something_to_search(lib)) {
    put(stderr, "kivo discover: " +
                    tr("this host has no network interface but the loopback: there is "
                       "nothing to search (give an address range with --range to scan one)") +
                    "\n");
    return kExitFailed;
  }

  std::vector<const char *> communities;
  for (const auto &c : opt.communities) communities.push_back(c.c_str());
  kivo_discover_options options = engine_options(opt, communities, v3);
  ProgressBar bar;
  if (isatty(STDERR_FILENO)) {
    options.progress = &ProgressBar::draw;
    options.user = &bar;
  }
  std::unique_ptr<kivo_discover, HandleFree> search(kivo_discover_new(lib.targets(), &options));
  // The pass phrases are not needed once the keys are derived.
  for (std::string *s : {&opt.v3.auth_pass, &opt.v3.priv_pass}) {
    std::fill(s->begin(), s->end(), '\0');
    s->clear();
  }
  if (!search) {
    put(stderr, "kivo discover: " + tr("cannot set up the search") + "\n");
    return kExitFailed;
  }
  const int32_t rc = kivo_discover_run(search.get());
  bar.finish();
  if (rc == KIVO_DISCOVER_ENOSEND) {
    put(stderr, "kivo discover: " + tr("no search request could be sent") + "\n");
    return kExitFailed;
  }
  if (rc != KIVO_DISCOVER_OK) {
    put(stderr, "kivo discover: " + subst(tr("the search failed ({1})"), {std::to_string(rc)}) + "\n");
    return kExitFailed;
  }
  kivo_discover_stats stats{};
  if (kivo_discover_get_stats(search.get(), &stats) == KIVO_DISCOVER_OK && stats.devices_dropped > 0)
    std::fprintf(stderr, "kivo discover: %llu more devices answered than the %u kept\n",
                 static_cast<unsigned long long>(stats.devices_dropped), stats.devices);
  print_devices(quiet.out(), collect(search.get(), opt.v3.user), opt.json, opt.wide);
  return kExitOk;
}

}  // namespace kivo
