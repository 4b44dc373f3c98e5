// kivo discover: searches every target of the list at once (SNMP broadcasts, address
// ranges drawn by worker threads, SLP multicast), merges the answers by address into
// device records, asks each SNMP device for its names, probes every web server, and
// prints the devices of the group of all devices sorted by address.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common.h"
#include "discover_view.h"
#include "snmp_text.h"

namespace kivo {

namespace {

const char kDiscoverHelp[] =
    "Usage: kivo [discover] [OPTIONS]\n"
    "Searches every target of `kivo targets` for printers and prints what answered, one\n"
    "device per line sorted by address: address, name, kind, whether a web server\n"
    "answers, and how the device was found.\n"
    "  - interfaces and broadcast targets: an SNMP GET sent to the broadcast address,\n"
    "    once per community name;\n"
    "  - address ranges: a GET to every address, by worker threads;\n"
    "  - SLP: a Service Request by multicast through every interface (with the scope\n"
    "    DEFAULT when no SLP target is saved).\n"
    "\n"
    "Options (none of them is saved):\n"
    "  --range FIRST-LAST  also scan this address range (repeatable)\n"
    "  --community NAME    also try this community name everywhere (repeatable)\n"
    "  --timeout SECONDS   time-out of every target, 1 to 3600 (default: the target's)\n"
    "  --threads N         scanning threads, 1 to 256 (default 16)\n"
    "  --v2c               ask with SNMPv2c instead of SNMPv1\n"
    "  --no-broadcast      no broadcast searches\n"
    "  --no-slp            no SLP searches\n"
    "  --no-web            do not probe web servers\n"
    "  --slp-type TYPE     SLP service type (default service:printer)\n"
    "  --json              print a JSON array instead of the table\n"
    "  --lang LANG         language of names and headings (default: from the locale)\n"
    "  --datadir DIR       catalogue directory (default " KIVO8_DATADIR ")\n"
    "  -h, --help          this text\n"
    "\n"
    "A progress bar shows on standard error during a range scan when it is a terminal.\n"
    "Exit status: 0 the search ran (whether or not devices were found), 1 it could not\n"
    "run, 2 bad arguments.\n";

const std::vector<std::uint32_t> kSysDescr = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const std::vector<std::uint32_t> kSysObjectId = {1, 3, 6, 1, 2, 1, 1, 2, 0};
const std::vector<std::uint32_t> kHrDeviceType = {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 2, 1};
const std::vector<std::uint32_t> kHrDeviceDescr = {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 3, 1};
const std::vector<std::uint32_t> kPrinterName = {1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 16, 1};
const std::vector<std::uint32_t> kDeviceId = {1, 3, 6, 1, 4, 1, 2699, 1, 2, 1, 2, 1, 1, 3, 1};
const std::vector<std::uint32_t> kPrinterMib = {1, 3, 6, 1, 2, 1, 43};
const std::vector<std::uint32_t> kHrDevicePrinter = {1, 3, 6, 1, 2, 1, 25, 3, 1, 5};

struct SessionDeleter {
  void operator()(snmp_session *s) const { snmp_free_session(s); }
};
struct PduDeleter {
  void operator()(snmp_pdu *p) const { snmp_free_pdu(p); }
};
using SessionPtr = std::unique_ptr<snmp_session, SessionDeleter>;
using PduPtr = std::unique_ptr<snmp_pdu, PduDeleter>;

struct Options {
  Session::Options setup;
  bool json = false;
  bool broadcast = true;
  bool slp = true;
  bool web = true;
  int version = SNMP_VERSION_1;
  int timeout = 0;  // 0: each target's own
  int threads = 16;
  std::string slp_type = "service:printer";
  std::vector<std::pair<in_addr, in_addr>> ranges;
  std::vector<std::string> communities;
};

struct Device {
  device_record record{};
  device_info info{};
  std::set<std::string> ways;
  bool snmp = false;
  snmp_comm *community = nullptr;  // the name that got an answer
  std::vector<std::string> urls;
  std::string sys_descr, sys_object_id, device_descr, printer_name, device_id;
  bool web = false;
};

class Devices {
 public:
  // Notes one answer; the first target and community that reached a device stay its own.
  void found(in_addr address, const char *way, ifinfo *target, snmp_comm *community,
             const std::string &url = "") {
    std::lock_guard<std::mutex> lock(mutex_);
    auto &d = map_[ntohl(address.s_addr)];
    if (!d) {
      d = std::make_unique<Device>();
      d->record.address = address;
      d->record.target = target;
    }
    d->ways.insert(way);
    if (community != nullptr && !d->snmp) {
      d->snmp = true;
      d->community = community;
      d->record.target = target;
    }
    if (!url.empty() && std::find(d->urls.begin(), d->urls.end(), url) == d->urls.end())
      d->urls.push_back(url);
  }
  std::vector<Device *> all() {
    std::vector<Device *> out;
    for (auto &[key, d] : map_) out.push_back(d.get());
    return out;
  }

 private:
  std::mutex mutex_;
  std::map<std::uint32_t, std::unique_ptr<Device>> map_;
};

// Failures of single searches: reported on standard error, and the search as a whole
// could not run when every one of them failed to go out.
struct Outcome {
  std::atomic<int> tried{0};
  std::atomic<int> sent{0};
  std::mutex mutex;
  void warn(const std::string &text) {
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "kivo discover: %s\n", text.c_str());
  }
};

std::vector<snmp_oid> oid_list(std::vector<std::vector<std::uint32_t>> &names) {
  std::vector<snmp_oid> out;
  for (auto &n : names) out.push_back({n.data(), static_cast<std::uint32_t>(n.size())});
  out.push_back({nullptr, 0});
  return out;
}

PduPtr discovery_pdu() {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  if (!pdu) return pdu;
  for (const auto *n : {&kSysDescr, &kSysObjectId, &kHrDeviceType})
    snmp_add_null_var(pdu.get(), n->data(), static_cast<std::uint32_t>(n->size()));
  return pdu;
}

std::string target_text(const ifinfo *e) {
  std::string where = ipv4_text(e->addr1);
  if (e->name[0] != '\0') where += " (" + std::string(e->name) + ")";
  return where;
}

void broadcast_search(ifinfo *target, snmp_comm *community, const Options &opt, Devices &devices,
                      Outcome &outcome) {
  ++outcome.tried;
  SessionPtr session(snmp_create_session(AF_INET, &target->addr1, target));
  PduPtr pdu = discovery_pdu();
  if (!session || !pdu) {
    outcome.warn("cannot set up the broadcast to " + target_text(target));
    return;
  }
  session->version = opt.version;
  session->community = community;
  session->udp->flags |= UDP_FLAG_BROADCAST;
  if (opt.timeout > 0) session->udp->timeout = opt.timeout;
  snmp_pdu_list *list = nullptr;
  int rc = snmp_asynch_response(session.get(), pdu.get(), &list);
  if (rc == SNMP_ERR_SEND || rc == SNMP_ERR_NOCOMM || rc == SNMP_ERR_VERSION) {
    outcome.warn("the broadcast to " + target_text(target) + " could not be sent");
  } else {
    ++outcome.sent;
    if (rc != 0) outcome.warn("the broadcast to " + target_text(target) + ": " +
                              session_error_text(rc, ipv4_text(target->addr1)));
  }
  for (const snmp_pdu_list *n = list; n != nullptr && n->pdu != nullptr; n = n->next)
    devices.found(n->address, "broadcast", target, community);
  snmp_free_pdu_list(list);
}

// One draw after another until the table is empty: a GET per address and community,
// sent once (a silent address would otherwise cost two time-outs).
void scan_worker(ifinfo_iplist *table, const Options &opt, const std::vector<snmp_comm *> &extra,
                 Devices &devices, Outcome &outcome) {
  while (ifinfo_ipentry *entry = ifinfo_iplist_getnext(table)) {
    std::vector<snmp_comm *> names;
    for (snmp_comm *c = entry->owner->comms; c != nullptr; c = c->next) names.push_back(c);
    for (snmp_comm *c : extra)
      if (snmp_comm_find(entry->owner->comms, c->name) == nullptr) names.push_back(c);
    for (snmp_comm *community : names) {
      ++outcome.tried;
      SessionPtr session(snmp_create_session(AF_INET, &entry->addr, entry->owner));
      PduPtr pdu = discovery_pdu();
      if (!session || !pdu) continue;
      session->version = opt.version;
      session->community = community;
      session->udp->retries = 1;
      if (opt.timeout > 0) session->udp->timeout = opt.timeout;
      snmp_pdu *raw = nullptr;
      int rc = snmp_synch_response(session.get(), pdu.get(), &raw);
      PduPtr response(raw);
      if (rc != SNMP_ERR_SEND) ++outcome.sent;
      if (rc == 0 && response) {
        devices.found(entry->addr, "scan", entry->owner, community);
        break;
      }
    }
  }
}

void slp_search(ifinfo *local, const char *scopes, int count, int hops,
                const Options &opt, Devices &devices, Outcome &outcome) {
  ++outcome.tried;
  // The request leaves through `local` with the SLP target's time-out and hops.
  ifinfo target{};
  target.addr = local->addr;
  target.count = count;
  target.flag = hops;
  in_addr group{};
  inet_pton(AF_INET, "239.255.255.253", &group);
  slp_session *session = slp_create_session(AF_INET, &group, &target);
  if (session == nullptr) {
    outcome.warn("cannot set up the SLP search through " + std::string(local->name));
    return;
  }
  slp_srvreplies *replies = nullptr;
  int rc = slp_service_request(session, opt.slp_type.c_str(), scopes, &target, &replies);
  if (rc == -2) {
    outcome.warn("the SLP request through " + std::string(local->name) + " could not be sent");
  } else {
    ++outcome.sent;
    if (rc != 0)
      outcome.warn("the SLP search through " + std::string(local->name) + " failed (" +
                   std::to_string(rc) + ")");
  }
  for (const slp_srvreplies *n = replies; n != nullptr; n = n->next) {
    if (n->reply == nullptr || n->reply->error != 0) continue;
    for (const slp_url_node *u = n->reply->urls; u != nullptr; u = u->next) {
      if (u->entry == nullptr) continue;
      in_addr a = slp_get_in_addr_from_url(u->entry);
      if (a.s_addr == 0) a = n->address;
      devices.found(a, "slp", local, nullptr, u->entry->url != nullptr ? u->entry->url : "");
    }
  }
  slp_free_srvreplies(replies);
  slp_free_session(session);
}

// What a GET brought back, by name; an SNMPv1 agent that lacks one of the names fails
// the whole request with noSuchName, so that name is dropped and the rest asked again.
std::map<std::vector<std::uint32_t>, const snmp_var *> tolerant_get(
    snmp_session *session, std::vector<std::vector<std::uint32_t>> names, PduPtr &keep) {
  std::map<std::vector<std::uint32_t>, const snmp_var *> out;
  while (!names.empty()) {
    auto oids = oid_list(names);
    snmp_pdu *raw = nullptr;
    int rc = snmp_get(session, oids.data(), &raw);
    keep.reset(raw);
    if (rc != 0 || !keep) break;
    if (keep->errstat != 0) {
      int index = keep->errindex;
      if (index < 1 || index > static_cast<int>(names.size())) break;
      names.erase(names.begin() + (index - 1));
      continue;
    }
    for (const snmp_var *v = keep->variables; v != nullptr; v = v->next) {
      if (v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE ||
          v->type == SNMP_ENDOFMIBVIEW || v->type == SNMP_TYPE_NULL || v->name == nullptr)
        continue;
      out[std::vector<std::uint32_t>(v->name, v->name + v->name_length)] = v;
    }
    break;
  }
  return out;
}

std::string text_of(const snmp_var *v) {
  if (v == nullptr || v->type != SNMP_TYPE_OCTET_STR || v->value == nullptr) return "";
  std::string s(reinterpret_cast<const char *>(v->value), v->value_length);
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ' || s.back() == '\n' || s.back() == '\r'))
    s.pop_back();
  return s;
}

std::vector<std::uint32_t> oid_of(const snmp_var *v) {
  if (v == nullptr || v->type != SNMP_TYPE_OBJECT_ID || v->value == nullptr) return {};
  std::vector<std::uint32_t> out(v->value_length / 4);
  if (!out.empty()) std::memcpy(out.data(), v->value, out.size() * 4);
  return out;
}

// The model from an IEEE 1284 device id ("MFG:Acme;MDL:Jet 9;CMD:PCL;"); some devices
// put two length bytes in front, and some spell the key MODEL.
std::string model_from_device_id(const std::string &id) {
  std::size_t i = 0;
  while (i < id.size()) {
    std::size_t end = id.find(';', i);
    if (end == std::string::npos) end = id.size();
    std::string field = id.substr(i, end - i);
    std::size_t colon = field.find(':');
    if (colon != std::string::npos) {
      std::string key = field.substr(0, colon);
      key.erase(std::remove_if(key.begin(), key.end(),
                               [](char c) { return !(std::isalpha(static_cast<unsigned char>(c))); }),
                key.end());
      for (char &c : key) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (key == "MDL" || key == "MODEL" || key.ends_with("MDL")) {
        std::string v = field.substr(colon + 1);
        while (!v.empty() && v.front() == ' ') v.erase(v.begin());
        while (!v.empty() && v.back() == ' ') v.pop_back();
        if (!v.empty()) return v;
      }
    }
    i = end + 1;
  }
  return "";
}

void describe(Device &d, const Options &opt) {
  if (d.snmp) {
    SessionPtr session(snmp_create_session_wrapper(&d.record));
    if (session) {
      session->version = opt.version;
      session->community = d.community;
      if (opt.timeout > 0) session->udp->timeout = opt.timeout;
      PduPtr keep;
      auto got = tolerant_get(session.get(),
                              {kSysDescr, kSysObjectId, kHrDeviceType, kHrDeviceDescr,
                               kPrinterName, kDeviceId},
                              keep);
      auto get = [&](const std::vector<std::uint32_t> &n) {
        auto it = got.find(n);
        return it == got.end() ? nullptr : it->second;
      };
      d.sys_descr = text_of(get(kSysDescr));
      auto object_id = oid_of(get(kSysObjectId));
      if (!object_id.empty()) d.sys_object_id = oid_text(object_id.data(), object_id.size());
      d.device_descr = text_of(get(kHrDeviceDescr));
      d.printer_name = text_of(get(kPrinterName));
      d.device_id = text_of(get(kDeviceId));
      bool printer = oid_of(get(kHrDeviceType)) == kHrDevicePrinter || get(kPrinterName) != nullptr;
      if (!printer) {
        // The Printer-MIB without a printer name (older agents): any variable below it.
        std::vector<std::vector<std::uint32_t>> names{kPrinterMib};
        auto oids = oid_list(names);
        snmp_pdu *raw = nullptr;
        if (snmp_getnext(session.get(), oids.data(), &raw) == 0 && raw != nullptr) {
          PduPtr next(raw);
          const snmp_var *v = next->variables;
          printer = next->errstat == 0 && v != nullptr && v->name != nullptr &&
                    v->name_length > kPrinterMib.size() &&
                    std::equal(kPrinterMib.begin(), kPrinterMib.end(), v->name) &&
                    v->type != SNMP_ENDOFMIBVIEW;
        }
      }
      std::string product = model_from_device_id(d.device_id);
      if (product.empty()) product = d.device_descr;
      if (product.empty()) product = d.printer_name;
      if (product.empty()) product = d.sys_descr;
      std::snprintf(d.record.product, sizeof d.record.product, "%s", product.c_str());
      if (printer) {
        d.info.type = DEVICE_TYPE_STDMIB;
        d.record.info = &d.info;
      }
    }
  } else {
    // Seen only through SLP: a printer whose SNMP is switched off.
    d.info.type = DEVICE_TYPE_NOSNMP;
    d.record.info = &d.info;
  }
  if (opt.web) d.web = tcp_check_http(&d.record.address, 80) == 0;
}

// Runs `work(i)` for i in [0, n) on up to `width` threads.
template <typename F>
void parallel(std::size_t n, std::size_t width, F work) {
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < std::min(n, width); ++t)
    threads.emplace_back([&] {
      for (std::size_t i; (i = next++) < n;) work(i);
    });
  for (auto &t : threads) t.join();
}

const char *kind_of(const device_record *r) {
  if (device_isStdMibPrinter(r)) return "printer";
  if (device_isNoSNMP(r)) return "no-snmp";
  if (device_isNAB(r)) return "adapter";
  if (device_isPrinter(r)) return "printer";
  return "other";
}

// "\r[#####.....]  123/254" on standard error while the scan runs.
class Progress {
 public:
  explicit Progress(ifinfo_iplist *table) : table_(table) {
    if (table_ == nullptr || ifinfo_iplist_getcount(table_) == 0 || !isatty(STDERR_FILENO))
      return;
    thread_ = std::thread([this] {
      while (!stop_) {
        draw();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
      draw();
      std::fputs("\n", stderr);
    });
  }
  ~Progress() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }

 private:
  void draw() {
    int count = ifinfo_iplist_getcount(table_);
    int current = std::min(ifinfo_iplist_getcurrent(table_), count);
    int filled = count > 0 ? current * 30 / count : 30;
    std::fprintf(stderr, "\r[%s%s] %d/%d", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(30 - filled), '.').c_str(), current, count);
    std::fflush(stderr);
  }
  ifinfo_iplist *table_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct IplistDeleter {
  void operator()(ifinfo_iplist *t) const { ifinfo_free_iplist(t); }
};

struct Groups {
  Groups(const std::string &all, const std::string &unused) {
    ok = device_groups_init(all.c_str(), unused.c_str()) >= 0;
  }
  ~Groups() { device_groups_free(); }
  bool ok = false;
};

struct CommunityList {
  snmp_comm *head = nullptr;
  ~CommunityList() { snmp_comm_free(&head); }
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
      std::fputs(kDiscoverHelp, stdout);
      return kExitOk;
    } else if (o == "json") {
      args.no_value();
      opt.json = true;
    } else if (o == "no-broadcast") {
      args.no_value();
      opt.broadcast = false;
    } else if (o == "no-slp") {
      args.no_value();
      opt.slp = false;
    } else if (o == "no-web") {
      args.no_value();
      opt.web = false;
    } else if (o == "v2c") {
      args.no_value();
      opt.version = SNMP_VERSION_2c;
    } else if (o == "timeout") {
      opt.timeout = static_cast<int>(parse_number(args, "the time-out", args.value(), 1, 3600));
    } else if (o == "threads") {
      opt.threads = static_cast<int>(parse_number(args, "the thread count", args.value(), 1, 256));
    } else if (o == "slp-type") {
      opt.slp_type = args.value();
      if (opt.slp_type.empty()) args.fail("the SLP service type must not be empty");
    } else if (o == "community") {
      std::string c = args.value();
      if (c.empty()) args.fail("a community name must not be empty");
      opt.communities.push_back(c);
    } else if (o == "range") {
      std::string r = args.value();
      auto dash = r.find('-');
      std::optional<in_addr> a, b;
      if (dash != std::string::npos) {
        a = parse_ipv4(r.substr(0, dash));
        b = parse_ipv4(r.substr(dash + 1));
      }
      if (!a || !b) args.fail("the range '" + r + "' is not of the form FIRST-LAST (two IPv4 addresses)");
      if (ntohl(a->s_addr) > ntohl(b->s_addr))
        args.fail("the range '" + r + "' ends before it starts");
      if (ntohl(b->s_addr) - ntohl(a->s_addr) >= 0x40000)
        args.fail("the range '" + r + "' holds more than 262144 addresses");
      opt.ranges.emplace_back(*a, *b);
    } else if (o == "lang") {
      opt.setup.lang = args.value();
    } else if (o == "datadir") {
      opt.setup.datadir = args.value();
    } else {
      args.unknown();
    }
  }

  Session lib(opt.setup);
  if (!lib.have_preferences())
    std::fprintf(stderr, "kivo discover: the preference directory ~/.kivo cannot be used; "
                         "saved targets are not searched\n");
  QuietLibrary quiet;
  CommunityList extra_list;
  std::vector<snmp_comm *> extra;
  for (const auto &c : opt.communities)
    if (snmp_comm_find(extra_list.head, c.c_str()) == nullptr)
      if (snmp_comm *added = snmp_comm_add(&extra_list.head, c.c_str())) extra.push_back(added);

  // Ranges given here join the list for this run only; the list is not saved.
  for (const auto &[a, b] : opt.ranges) {
    ifinfo *e = ifinfo_new();
    if (e == nullptr) {
      std::fprintf(stderr, "kivo discover: out of memory\n");
      return kExitFailed;
    }
    e->id = 10000;
    e->addr1 = a;
    e->addr2 = b;
    if (opt.timeout > 0) e->count = opt.timeout;
    if (extra.empty()) snmp_comm_add(&e->comms, "vellum");
    ifinfo_add(lib.targets_ref(), e);
  }

  std::unique_ptr<ifinfo_iplist, IplistDeleter> table;
  if (lib.targets() != nullptr && count_ip_in_range(lib.targets()) > 0) {
    table.reset(ifinfo_init_iplist(lib.targets()));
    if (!table) {
      std::fprintf(stderr, "kivo discover: the address ranges hold %u addresses, more than "
                           "262144 can be scanned at once\n", count_ip_in_range(lib.targets()));
      return kExitFailed;
    }
  }

  Devices devices;
  Outcome outcome;
  std::vector<std::thread> searches;
  std::vector<ifinfo *> locals;
  for (ifinfo *e = lib.targets(); e != nullptr; e = e->next)
    if (ifinfo_get_type(e) == IFINFO_LOCAL && e->addr.s_addr != 0) locals.push_back(e);

  if (opt.broadcast) {
    for (ifinfo *e = lib.targets(); e != nullptr; e = e->next) {
      int kind = ifinfo_get_type(e);
      if ((kind != IFINFO_LOCAL && kind != IFINFO_BCAST) || e->addr1.s_addr == 0) continue;
      std::vector<snmp_comm *> names;
      for (snmp_comm *c = e->comms; c != nullptr; c = c->next) names.push_back(c);
      for (snmp_comm *c : extra)
        if (snmp_comm_find(e->comms, c->name) == nullptr) names.push_back(c);
      for (snmp_comm *c : names)
        searches.emplace_back([&, e, c] { broadcast_search(e, c, opt, devices, outcome); });
    }
  }
  if (opt.slp) {
    bool saved = false;
    for (ifinfo *e = lib.targets(); e != nullptr; e = e->next) {
      if (ifinfo_get_type(e) != IFINFO_SLP) continue;
      saved = true;
      for (ifinfo *l : locals)
        searches.emplace_back([&, e, l] {
          slp_search(l, e->scopes != nullptr ? e->scopes : "",
                     opt.timeout > 0 ? opt.timeout : e->count, e->flag, opt, devices, outcome);
        });
    }
    // Service agents without configured scopes serve DEFAULT, and answer no request
    // whose scope list is empty.
    if (!saved)
      for (ifinfo *l : locals)
        searches.emplace_back([&, l] {
          slp_search(l, "DEFAULT", opt.timeout > 0 ? opt.timeout : l->count, l->flag,
                     opt, devices, outcome);
        });
  }
  if (table) {
    Progress progress(table.get());
    std::vector<std::thread> workers;
    int n = std::min(opt.threads, ifinfo_iplist_getcount(table.get()));
    for (int i = 0; i < n; ++i)
      workers.emplace_back([&] { scan_worker(table.get(), opt, extra, devices, outcome); });
    for (auto &t : workers) t.join();
  }
  for (auto &t : searches) t.join();

  if (outcome.tried > 0 && outcome.sent == 0) {
    std::fprintf(stderr, "kivo discover: no search request could be sent\n");
    return kExitFailed;
  }

  std::vector<Device *> found = devices.all();
  parallel(found.size(), 32, [&](std::size_t i) { describe(*found[i], opt); });

  Groups groups(tr("All devices"), tr("Unused devices"));
  device_group *all = device_groups_all_devices();
  for (Device *d : found) {
    device_update_status(&d->record, 0);
    d->record.user_data = d;
    if (all != nullptr) device_group_add(all, &d->record);
  }
  std::vector<Device *> shown;
  if (all != nullptr) {
    for (std::uint32_t i = 0; i < static_cast<std::uint32_t>(device_group_count(all)); ++i)
      shown.push_back(static_cast<Device *>(device_group_getat(all, i)->user_data));
  } else {
    shown = found;
  }
  std::sort(shown.begin(), shown.end(), [](const Device *a, const Device *b) {
    return ntohl(a->record.address.s_addr) < ntohl(b->record.address.s_addr);
  });
  std::vector<DiscoveredDevice> view;
  for (const Device *d : shown) {
    DiscoveredDevice v;
    const device_record *r = &d->record;
    v.address = ipv4_text(r->address);
    const char *name = device_get_productname(r);
    v.name = name != nullptr ? name : "";
    v.kind = kind_of(r);
    v.type = r->info != nullptr ? r->info->type : -1;
    v.web = d->web;
    for (const char *w : {"broadcast", "scan", "slp"})
      if (d->ways.count(w) != 0) v.found_by.push_back(w);
    v.product = r->product;
    v.sys_descr = d->sys_descr;
    v.sys_object_id = d->sys_object_id;
    v.printer_name = d->printer_name;
    v.device_id = d->device_id;
    v.slp_urls = d->urls;
    view.push_back(std::move(v));
  }
  print_devices(quiet.out(), view, opt.json);
  return kExitOk;
}

}  // namespace kivo
