#include "discover_options.h"

#include "common.h"

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
    "  --timeout SECONDS   time-out of every target, 0.01 to 3600, fractions allowed\n"
    "                      (default: the target's)\n"
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
constexpr std::uint64_t kLargestRange = std::uint64_t{1} << 24;

}  // namespace

const std::vector<Option> &discover_option_list() {
  static const std::vector<Option> options = [] {
    std::vector<Option> o = {
        {"json", 0, false},        {"wide", 0, false},        {"no-broadcast", 0, false},
        {"no-slp", 0, false},      {"no-mdns", 0, false},     {"no-snmpv3", 0, false},
        {"no-web", 0, false},      {"v2c", 0, false},         {"v3-user", 0, true},
        {"timeout", 0, true},      {"retries", 0, true},      {"rate", 0, true},
        {"max-devices", 0, true},  {"threads", 0, true},      {"slp-type", 0, true},
        {"community", 0, true},    {"range", 0, true},        {"hosts-file", 0, true},
    };
    for (const Option &v3 : v3_option_list(false)) o.push_back(v3);
    return o;
  }();
  return options;
}

std::string discover_help() { return subst(tr(kDiscoverHelp), {data_directory()}); }

DiscoverOptions read_discover_options(const Parsed &p) {
  DiscoverOptions o;
  if (!p.operands.empty()) p.fail(subst(tr("unexpected argument '{1}'"), {p.operands[0]}));
  if (p.has("threads"))
    p.fail(tr("--threads is gone: the search runs in one thread and is paced by --rate N "
              "(requests per second, default 10000)"));
  o.json = p.has("json");
  o.wide = p.has("wide");
  o.broadcast = !p.has("no-broadcast");
  o.slp = !p.has("no-slp");
  o.mdns = !p.has("no-mdns");
  o.snmpv3 = !p.has("no-snmpv3");
  o.web = !p.has("no-web");
  o.v2c = p.has("v2c");
  o.v3 = v3_args(p);
  if (auto u = p.last("v3-user")) o.v3.user = *u;
  if (auto t = p.last("timeout")) o.timeout_ms = parse_seconds(p, "the time-out", *t, 10, 3600000);
  if (auto r = p.last("retries"))
    o.retries = static_cast<int>(parse_number(p, "the retry count", *r, 0, 10));
  if (auto r = p.last("rate"))
    o.rate = static_cast<unsigned>(parse_number(p, "the rate", *r, 1, 1000000));
  if (auto m = p.last("max-devices"))
    o.max_devices = static_cast<unsigned>(parse_number(p, "the device limit", *m, 1, 1000000));
  if (auto t = p.last("slp-type")) {
    if (t->empty()) p.fail(tr("the SLP service type must not be empty"));
    o.slp_type = *t;
  }
  for (const std::string &c : p.all("community")) {
    check_community(p, c);
    o.communities.push_back(c);
  }
  for (const std::string &r : p.all("range")) o.ranges.push_back(checked_range(p, r, true, kLargestRange));
  for (const std::string &f : p.all("hosts-file"))
    for (const Range &r : read_hosts_file(p, f, kLargestRange)) o.ranges.push_back(r);
  if (!o.v3.user.empty()) {
    if (!o.snmpv3) p.fail(tr("--v3-user needs the SNMPv3 search (drop --no-snmpv3)"));
  } else if (!o.v3.level.empty() || !o.v3.auth.empty() || !o.v3.auth_pass.empty() ||
             !o.v3.priv.empty() || !o.v3.priv_pass.empty()) {
    p.fail(tr("-l, -a, -A, -x and -X need --v3-user USER"));
  }
  return o;
}

}  // namespace kivo
