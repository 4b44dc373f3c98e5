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
#include "discover_view.h"
#include "snmpv3_args.h"
#include "text_out.h"

namespace kivo {

namespace {

const char kDiscoverHelp[] =
    "Usage: kivo [discover] [OPTIONS]\n"
    "Searches every target of `kivo targets` for printers and prints what answered, one\n"
    "device per line sorted by address: address, name, kind, whether a web server\n"
    "answers, and how the device was found. All searches run at once:\n"
    "  - interfaces and broadcast targets: an SNMP GET sent to the broadcast address,\n"
    "    once per community name;\n"
    "  - address ranges: a GET to every address, paced at the send rate;\n"
    "  - SLP: a Service Request by multicast through every interface (with the scope\n"
    "    DEFAULT when no SLP target is saved);\n"
    "  - SNMPv3: an engine-id discovery request to the same targets, which every\n"
    "    SNMPv3 agent answers whatever its users are;\n"
    "  - DNS-SD: multicast DNS queries for printer services through every interface.\n"
    "Each device that answers is asked for its names at once, and its web server probed.\n"
    "\n"
    "Options (none of them is saved):\n"
    "  --range RANGE       also scan FIRST-LAST or ADDRESS/BITS (repeatable)\n"
    "  --hosts-file FILE   also scan the addresses and ranges in FILE, one a line\n"
    "                      (# starts a comment; - reads standard input)\n"
    "  --community NAME    also try this community name everywhere (repeatable)\n"
    "  --timeout SECONDS   time-out of every target, 1 to 3600 (default: the target's)\n"
    "  --retries N         resends to a silent address, 0 to 10 (default 0)\n"
    "  --rate N            requests per second, 1 to 1000000 (default 10000)\n"
    "  --max-devices N     devices kept at most (default 4096)\n"
    "  --v2c               ask with SNMPv2c instead of SNMPv1\n"
    "  --v3-user USER      describe the SNMPv3 agents found as USER, with -l -a -A -x -X\n"
    "                      as for kivo get -v 3 or as saved by kivo credentials\n"
    "  --no-broadcast      no broadcast searches\n"
    "  --no-slp            no SLP searches\n"
    "  --no-mdns           no DNS-SD (multicast DNS) searches\n"
    "  --no-snmpv3         no SNMPv3 engine-id search\n"
    "  --no-web            do not probe web servers\n"
    "  --slp-type TYPE     SLP service type (default service:printer)\n"
    "  --json              print a JSON array instead of the table (texts in UTF-8,\n"
    "                      untranslated; web_server null with --no-web)\n"
    "  --wide              show long names whole instead of cutting them to the\n"
    "                      terminal's width\n"
    "  --lang LANG         language of names and headings (default: from the locale)\n"
    "  --datadir DIR       catalogue directory (default {1})\n"
    "  -h, --help          this text\n"
    "\n"
    "A progress bar shows on standard error during a range scan when it is a terminal.\n"
    "Exit status: 0 the search ran (whether or not devices were found), 1 it could not\n"
    "run (also when this host has no network interface but the loopback and no address\n"
    "range is given), 2 bad arguments.\n";

// The most addresses one --range or file line may hold: a /8.
constexpr std::uint64_t kLargestRange = 1u << 24;

struct Range {
  std::uint32_t first, last;  // host order
};

struct Options {
  Session::Options setup;
  bool json = false;
  bool wide = false;
  bool broadcast = true;
  bool slp = true;
  bool mdns = true;
  bool snmpv3 = true;
  V3Args v3;
  bool web = true;
  bool v2c = false;
  int timeout = 0;  // 0: each target's own
  int retries = 0;
  unsigned rate = 0;
  unsigned max_devices = 0;
  std::string slp_type = "service:printer";
  std::vector<Range> ranges;
  std::vector<std::string> communities;
};

// FIRST-LAST, ADDRESS/BITS or one ADDRESS; the reason in `error` when it is none of them.
std::optional<Range> parse_range(const std::string &text, bool single_allowed, std::string &error) {
  auto dash = text.find('-');
  auto slash = text.find('/');
  if (dash != std::string::npos) {
    auto a = parse_ipv4(text.substr(0, dash));
    auto b = parse_ipv4(text.substr(dash + 1));
    if (!a || !b) {
      error = "'" + text + "' is not of the form FIRST-LAST or ADDRESS/BITS";
      return std::nullopt;
    }
    Range r{ntohl(a->s_addr), ntohl(b->s_addr)};
    if (r.first > r.last) {
      error = "'" + text + "' ends before it starts";
      return std::nullopt;
    }
    return r;
  }
  if (slash != std::string::npos) {
    auto a = parse_ipv4(text.substr(0, slash));
    std::string bits = text.substr(slash + 1);
    bool digits = !bits.empty() && bits.size() <= 2 &&
                  std::all_of(bits.begin(), bits.end(), [](char c) { return c >= '0' && c <= '9'; });
    int n = digits ? std::stoi(bits) : -1;
    if (!a || n < 0 || n > 32) {
      error = "'" + text + "' is not of the form FIRST-LAST or ADDRESS/BITS";
      return std::nullopt;
    }
    std::uint32_t mask = n == 0 ? 0 : ~std::uint32_t{0} << (32 - n);
    std::uint32_t base = ntohl(a->s_addr) & mask;
    return Range{base, base | ~mask};
  }
  if (single_allowed) {
    if (auto a = parse_ipv4(text)) return Range{ntohl(a->s_addr), ntohl(a->s_addr)};
    error = "'" + text + "' is not an IPv4 address, FIRST-LAST or ADDRESS/BITS";
    return std::nullopt;
  }
  error = "'" + text + "' is not of the form FIRST-LAST or ADDRESS/BITS";
  return std::nullopt;
}

std::optional<Range> checked_range(const Args &args, const std::string &text, bool single) {
  std::string error;
  auto r = parse_range(text, single, error);
  if (!r) args.fail("the range " + error);
  if (std::uint64_t{r->last} - r->first + 1 > kLargestRange)
    args.fail("the range '" + text + "' holds more than 16777216 addresses");
  return r;
}

// Addresses and ranges one a line; neighbouring and overlapping ones become one range.
void read_hosts_file(const Args &args, const std::string &path, std::vector<Range> &out) {
  std::ifstream file;
  std::istream *in = &std::cin;
  if (path != "-") {
    file.open(path);
    if (!file) args.fail("cannot read the hosts file '" + path + "'");
    in = &file;
  }
  std::vector<Range> found;
  std::string line;
  for (int number = 1; std::getline(*in, line); ++number) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    auto begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos) continue;
    auto end = line.find_last_not_of(" \t\r");
    std::string item = line.substr(begin, end - begin + 1);
    std::string error;
    auto r = parse_range(item, true, error);
    if (!r) args.fail(path + ":" + std::to_string(number) + ": " + error);
    if (std::uint64_t{r->last} - r->first + 1 > kLargestRange)
      args.fail(path + ":" + std::to_string(number) + ": '" + item +
                "' holds more than 16777216 addresses");
    found.push_back(*r);
  }
  std::sort(found.begin(), found.end(), [](const Range &a, const Range &b) { return a.first < b.first; });
  std::vector<Range> merged;
  for (const Range &r : found) {
    if (!merged.empty() && (merged.back().last == 0xFFFFFFFFu || r.first <= merged.back().last + 1)) {
      merged.back().last = std::max(merged.back().last, r.last);
      continue;
    }
    merged.push_back(r);
  }
  out.insert(out.end(), merged.begin(), merged.end());
}

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
  // An SNMPv3 agent that only answered the engine-id probe told nothing of what it is.
  if (d.kind == KIVO_DISCOVER_KIND_UNKNOWN) {
    v.kind = "unknown";
    if (d.product_name[0] == '\0' && (d.found_by & KIVO_DISCOVER_FOUND_SNMPV3) != 0) {
      v.name = d.make[0] != '\0' ? std::string(d.make) + " SNMPv3 agent" : "SNMPv3 agent";
      v.shown_name = d.make[0] != '\0' ? std::string(d.make) + " " + tr("SNMPv3 agent") : tr("SNMPv3 agent");
    }
  }
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
  if (d.sys_object_id[0] != '\0')
    v.sys_object_id = (d.sys_object_id[0] == '.' ? "" : ".") + std::string(d.sys_object_id);
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

int cmd_discover(int argc, char **argv, int first) {
  Args args("discover", argc, argv, first);
  Options opt;
  std::string o, operand;
  while (args.next(o, operand)) {
    if (o.empty()) {
      args.fail("unexpected argument '" + operand + "'");
    } else if (o == "h" || o == "help") {
      args.no_value();
      put(stdout, subst(tr(kDiscoverHelp), {KIVO8_DATADIR}));
      return kExitOk;
    } else if (o == "json") {
      args.no_value();
      opt.json = true;
    } else if (o == "wide") {
      args.no_value();
      opt.wide = true;
    } else if (o == "no-broadcast") {
      args.no_value();
      opt.broadcast = false;
    } else if (o == "no-slp") {
      args.no_value();
      opt.slp = false;
    } else if (o == "no-mdns") {
      args.no_value();
      opt.mdns = false;
    } else if (o == "no-snmpv3") {
      args.no_value();
      opt.snmpv3 = false;
    } else if (o == "v3-user") {
      opt.v3.user = args.value();
    } else if (o == "l" || o == "a" || o == "A" || o == "x" || o == "X") {
      (void)take_v3_option(args, o, opt.v3);
    } else if (o == "no-web") {
      args.no_value();
      opt.web = false;
    } else if (o == "v2c") {
      args.no_value();
      opt.v2c = true;
    } else if (o == "timeout") {
      opt.timeout = static_cast<int>(parse_number(args, "the time-out", args.value(), 1, 3600));
    } else if (o == "retries") {
      opt.retries = static_cast<int>(parse_number(args, "the retry count", args.value(), 0, 10));
    } else if (o == "rate") {
      opt.rate = static_cast<unsigned>(parse_number(args, "the rate", args.value(), 1, 1000000));
    } else if (o == "max-devices") {
      opt.max_devices =
          static_cast<unsigned>(parse_number(args, "the device limit", args.value(), 1, 1000000));
    } else if (o == "threads") {
      args.fail("--threads is gone: the search runs in one thread and is paced by "
                "--rate N (requests per second, default 10000)");
    } else if (o == "slp-type") {
      opt.slp_type = args.value();
      if (opt.slp_type.empty()) args.fail("the SLP service type must not be empty");
    } else if (o == "community") {
      std::string c = args.value();
      check_community(args, c);
      opt.communities.push_back(c);
    } else if (o == "range") {
      opt.ranges.push_back(*checked_range(args, args.value(), true));
    } else if (o == "hosts-file") {
      read_hosts_file(args, args.value(), opt.ranges);
    } else if (o == "lang") {
      opt.setup.lang = args.value();
    } else if (o == "datadir") {
      opt.setup.datadir = args.value();
    } else {
      args.unknown();
    }
  }

  // The v3 user's options as kivo get takes them; a saved user fills in what is not given.
  std::optional<kivo_snmpv3_options> v3;
  if (!opt.v3.user.empty()) {
    if (!opt.snmpv3) args.fail("--v3-user needs the SNMPv3 search (drop --no-snmpv3)");
    v3 = v3_options(args, opt.v3);
  } else if (!opt.v3.level.empty() || !opt.v3.auth.empty() || !opt.v3.auth_pass.empty() ||
             !opt.v3.priv.empty() || !opt.v3.priv_pass.empty()) {
    args.fail("-l, -a, -A, -x and -X need --v3-user USER");
  }

  Session lib(opt.setup);
  if (!lib.have_preferences())
    std::fprintf(stderr, "kivo discover: the preference directory ~/.kivo cannot be used; "
                         "saved targets are not searched\n");
  QuietLibrary quiet;

  // Ranges given here join the list for this run only; the list is not saved.
  for (const Range &r : opt.ranges) {
    ifinfo *e = ifinfo_new();
    if (e == nullptr) {
      put(stderr, "kivo discover: out of memory\n");
      return kExitFailed;
    }
    e->id = 10000;
    e->addr1.s_addr = htonl(r.first);
    e->addr2.s_addr = htonl(r.last);
    if (opt.timeout > 0) e->count = opt.timeout;
    if (opt.communities.empty()) snmp_comm_add(&e->comms, "vellum");
    ifinfo_add(lib.targets_ref(), e);
  }

  // Without an interface (the library lists none for the loopback) no broadcast and no
  // multicast can leave: "No devices found." would pass for a search that never ran.
  bool interface = false, range = false;
  for (ifinfo *e = lib.targets(); e != nullptr; e = e->next) {
    interface = interface || (ifinfo_get_type(e) == IFINFO_LOCAL && e->addr.s_addr != 0);
    range = range || ifinfo_get_type(e) == IFINFO_RANGE;
  }
  if (!interface && !range) {
    put(stderr, "kivo discover: " +
                    tr("this host has no network interface but the loopback: there is "
                       "nothing to search (give an address range with --range to scan one)") +
                    "\n");
    return kExitFailed;
  }

  std::vector<const char *> communities;
  for (const auto &c : opt.communities) communities.push_back(c.c_str());
  ProgressBar bar;
  kivo_discover_options options;
  kivo_discover_options_init(&options);
  options.searches = KIVO_DISCOVER_RANGES | (opt.broadcast ? KIVO_DISCOVER_BROADCAST : 0u) |
                     (opt.slp ? KIVO_DISCOVER_SLP : 0u) |
                     (opt.mdns ? KIVO_DISCOVER_MDNS : 0u) | (opt.web ? KIVO_DISCOVER_WEB : 0u) |
                     (opt.snmpv3 ? KIVO_DISCOVER_SNMPV3 : 0u);
  if (v3) options.snmpv3 = &*v3;
  options.versions = opt.v2c ? KIVO_DISCOVER_V2C : KIVO_DISCOVER_V1;
  options.communities = communities.empty() ? nullptr : communities.data();
  options.community_count = static_cast<std::uint32_t>(communities.size());
  options.timeout_ms = opt.timeout * 1000;
  options.retries = opt.retries;
  options.rate = opt.rate;
  options.max_devices = opt.max_devices;
  options.slp_service_type = opt.slp_type.c_str();
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
    std::fprintf(stderr, "kivo discover: cannot set up the search\n");
    return kExitFailed;
  }
  int32_t rc = kivo_discover_run(search.get());
  bar.finish();
  if (rc == KIVO_DISCOVER_ENOSEND) {
    std::fprintf(stderr, "kivo discover: no search request could be sent\n");
    return kExitFailed;
  }
  if (rc != KIVO_DISCOVER_OK) {
    std::fprintf(stderr, "kivo discover: the search failed (%d)\n", rc);
    return kExitFailed;
  }
  kivo_discover_stats stats{};
  if (kivo_discover_get_stats(search.get(), &stats) == KIVO_DISCOVER_OK && stats.devices_dropped > 0)
    std::fprintf(stderr, "kivo discover: %llu more devices answered than the %u kept\n",
                 static_cast<unsigned long long>(stats.devices_dropped), stats.devices);

  Groups groups(tr("All devices"), tr("Unused devices"));
  std::vector<DiscoveredDevice> view;
  if (groups.ok && kivo_discover_fill_group(search.get()) == 0) {
    // The group of all devices, as every front end built on it sees the search.
    device_group *all = device_groups_all_devices();
    std::vector<const kivo_discover_device *> shown;
    for (std::uint32_t i = 0; i < kivo_discover_count(search.get()); ++i) {
      const kivo_discover_device *d = kivo_discover_get(search.get(), i);
      if (device_group_include_dev(all, d->record) == 1) shown.push_back(d);
    }
    for (const auto *d : shown) view.push_back(view_of(*d, opt.v3.user));
  } else {
    for (std::uint32_t i = 0; i < kivo_discover_count(search.get()); ++i)
      view.push_back(view_of(*kivo_discover_get(search.get(), i), opt.v3.user));
  }
  print_devices(quiet.out(), view, opt.json, opt.wide);
  search.reset();
  return kExitOk;
}

}  // namespace kivo
