#include "discover_options.h"

#include <algorithm>
#include <utility>

#include "common.h"

namespace kivo {

namespace {

const char kDiscoverHelp[] =
    "Usage: kivo [discover] [OPTIONS]\n"
    "Searches every target of `kivo targets` for printers and prints what answered, one\n"
    "device per line sorted by address: address, name, kind, whether a web server\n"
    "answers, how the device was found, the community that answered, its system name\n"
    "and, on this host's own networks, its MAC address. All searches run at once:\n"
    "  - interfaces and broadcast targets: an SNMP GET sent to the broadcast address,\n"
    "    once per community name;\n"
    "  - address ranges: a GET to every address, paced at the send rate;\n"
    "  - SLP: a Service Request by multicast through every interface (with the scope\n"
    "    DEFAULT when no SLP target is saved);\n"
    "  - SNMPv3: an engine-id discovery request to the same targets, which every\n"
    "    SNMPv3 agent answers whatever its users are;\n"
    "  - DNS-SD: multicast DNS queries for printer services through every interface.\n"
    "Each device that answers is asked for its names at once, and its web server probed;\n"
    "its print ports (IPP 631, raw socket 9100, LPD 515) are tried and, where it speaks\n"
    "IPP, it is asked for its attributes: the table shows the best way to print to it.\n"
    "A target whose communities were set with `kivo targets --community` is asked with\n"
    "those; every other target (this host's interfaces, the ranges given here) with\n"
    "vellum and public, or with the names given by --community.\n"
    "\n"
    "Options (none of them is saved):\n"
    "  --range RANGE       also scan FIRST-LAST or ADDRESS/BITS (repeatable)\n"
    "  --hosts-file FILE   also scan the addresses, ranges and host names in FILE, one a\n"
    "                      line (# starts a comment; - reads standard input)\n"
    "  --only              scan the --range and --hosts-file addresses alone: no saved\n"
    "                      target, no broadcast, SLP or DNS-SD through the interfaces\n"
    "  --community NAME    ask with NAME instead of vellum and public (repeatable)\n"
    "  --timeout SECONDS   time-out of every target, 0.01 to 3600, fractions allowed\n"
    "                      (default: the target's)\n"
    "  --retries N         resends to a silent address, 0 to 10 (default 0)\n"
    "  --rate N            addresses asked per second, 1 to 1000000; each address gets a\n"
    "                      request per community and an SNMPv3 probe (default: 10000\n"
    "                      requests a second in all)\n"
    "  --max-devices N     devices kept at most: the first N to answer (default 4096)\n"
    "  --v2c               ask with SNMPv2c instead of SNMPv1\n"
    "  --v3-user USER      describe the SNMPv3 agents found as USER, with -l -a -A -x -X\n"
    "                      as for kivo get -v 3 or as saved by kivo credentials; an agent\n"
    "                      that refuses the user is named on standard error\n"
    "  --no-broadcast      no broadcast searches\n"
    "  --no-slp            no SLP searches\n"
    "  --no-mdns           no DNS-SD (multicast DNS) searches\n"
    "  --no-snmpv3         no SNMPv3 engine-id search\n"
    "  --no-web            do not probe web servers\n"
    "  --no-endpoints      do not try print ports or ask IPP (no URIs, no driverless)\n"
    "  --slp-type TYPE     SLP service type (default service:printer)\n"
    "  --status            also read the state and supplies of every printer that\n"
    "                      answers SNMP, as kivo status does: a Status column in the\n"
    "                      table, a \"status\" object (null for others) in JSON\n"
    "  --format FORMAT     table (default), json (an array), ndjson (one object a line,\n"
    "                      each as soon as the device is described) or csv; JSON and CSV\n"
    "                      texts are UTF-8 and untranslated, web_server null with --no-web\n"
    "  --json              the same as --format json\n"
    "  --wide              show long names and every column whole instead of fitting the\n"
    "                      table to the terminal's width, and every print URI\n"
    "  --quiet             no progress and no notes on standard error, errors only\n"
    "  --lang LANG         language of names and headings (default: from the locale)\n"
    "  --datadir DIR       catalogue directory (default {1})\n"
    "  -h, --help          this text\n"
    "\n"
    "During a range scan a progress bar shows on standard error when it is a terminal,\n"
    "else a line now and then; a scan of more than 65536 addresses says its size and\n"
    "time first. Ctrl-C ends the search: what was found so far is printed.\n"
    "Exit status: 0 the search ran (whether or not devices were found), 1 it could not\n"
    "run (also when this host has no network interface but the loopback and no address\n"
    "range is given), 2 bad arguments, 130 interrupted.\n";

// The most addresses one --range or file line may hold: a /8.
constexpr std::uint64_t kLargestRange = std::uint64_t{1} << 24;

}  // namespace

const std::vector<Option> &discover_option_list() {
  static const std::vector<Option> options = [] {
    std::vector<Option> o = {
        {"json", 0, false},       {"format", 0, true},      {"wide", 0, false},
        {"quiet", 0, false},      {"only", 0, false},       {"no-broadcast", 0, false},
        {"no-slp", 0, false},     {"no-mdns", 0, false},    {"no-snmpv3", 0, false},
        {"no-web", 0, false},     {"v2c", 0, false},        {"v3-user", 0, true},
        {"no-endpoints", 0, false},
        {"timeout", 0, true},     {"retries", 0, true},     {"rate", 0, true},
        {"max-devices", 0, true}, {"threads", 0, true},     {"slp-type", 0, true},
        {"community", 0, true},   {"range", 0, true},       {"hosts-file", 0, true},
        {"status", 0, false},
    };
    for (const Option &v3 : v3_option_list(false)) o.push_back(v3);
    return o;
  }();
  return options;
}

const std::vector<std::string> &default_communities() {
  static const std::vector<std::string> names = {"vellum", "public"};
  return names;
}

std::string discover_help() { return subst(tr(kDiscoverHelp), {data_directory()}); }

DiscoverOptions read_discover_options(const Parsed &p) {
  DiscoverOptions o;
  if (!p.operands.empty()) p.fail(subst(tr("unexpected argument '{1}'"), {p.operands[0]}));
  if (p.has("threads"))
    p.fail(tr("--threads is gone: the search runs in one thread and is paced by --rate N "
              "(addresses per second)"));
  if (p.has("json")) o.format = OutputFormat::json;
  if (auto f = p.last("format")) {
    const std::pair<const char *, OutputFormat> formats[] = {{"table", OutputFormat::table},
                                                             {"json", OutputFormat::json},
                                                             {"ndjson", OutputFormat::ndjson},
                                                             {"csv", OutputFormat::csv}};
    bool known = false;
    for (const auto &[name, format] : formats)
      if (*f == name) {
        known = true;
        if (p.has("json") && format != OutputFormat::json)
          p.fail(subst(tr("--json and --format {1} ask for two formats"), {*f}));
        o.format = format;
      }
    if (!known)
      p.fail(subst(tr("the format must be table, json, ndjson or csv, not '{1}'"), {*f}) +
             did_you_mean(*f, {"table", "json", "ndjson", "csv"}));
  }
  o.wide = p.has("wide");
  o.quiet = p.has("quiet");
  o.only = p.has("only");
  o.broadcast = !p.has("no-broadcast");
  o.slp = !p.has("no-slp");
  o.mdns = !p.has("no-mdns");
  o.snmpv3 = !p.has("no-snmpv3");
  o.web = !p.has("no-web");
  o.status = p.has("status");
  o.endpoints = !p.has("no-endpoints");
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
    if (std::find(o.communities.begin(), o.communities.end(), c) == o.communities.end())
      o.communities.push_back(c);
  }
  if (o.communities.empty()) o.communities = default_communities();
  for (const std::string &r : p.all("range")) o.ranges.push_back(checked_range(p, r, true, kLargestRange));
  for (const std::string &f : p.all("hosts-file"))
    for (const Range &r : read_hosts_file(p, f, kLargestRange)) o.ranges.push_back(r);
  if (o.only && o.ranges.empty()) p.fail(tr("--only needs --range or --hosts-file"));
  if (!o.v3.user.empty()) {
    if (!o.snmpv3) p.fail(tr("--v3-user needs the SNMPv3 search (drop --no-snmpv3)"));
  } else if (!o.v3.level.empty() || !o.v3.auth.empty() || !o.v3.auth_pass.empty() ||
             !o.v3.priv.empty() || !o.v3.priv_pass.empty()) {
    p.fail(tr("-l, -a, -A, -x and -X need --v3-user USER"));
  }
  return o;
}

}  // namespace kivo
