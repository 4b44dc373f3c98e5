// kivo targets: the list of places to search, as the library keeps it (the host's
// interfaces merged with the saved targets), and changes to the saved list.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common.h"
#include "ranges.h"

namespace kivo {

namespace {

const char kTargetsHelp[] =
    "Usage: kivo targets [--json] [--wide] [list]\n"
    "       kivo targets add-range FIRST LAST|FIRST-LAST|ADDRESS/BITS [SETTINGS]\n"
    "       kivo targets add-broadcast ADDRESS NETMASK [SETTINGS]\n"
    "       kivo targets add-slp SCOPE[,SCOPE...] [SETTINGS]\n"
    "       kivo targets remove ID\n"
    "       kivo targets set ID SETTINGS\n"
    "Lists the search targets (this host's interfaces and the saved targets) or changes\n"
    "the saved list in ~/.kivo/kivo2.pref. A target keeps its id: a new one takes the next\n"
    "free id of its kind (interfaces and broadcast addresses from 1, ranges from 10001, SLP\n"
    "searches from 20001), and removing a target changes no other id.\n"
    "\n"
    "Settings:\n"
    "  --timeout SECONDS   how long each request waits for answers, 1 to 3600 (default 3)\n"
    "  --hops N            SLP multicast hops: requests leave with time-to-live N+1,\n"
    "                      0 to 254 (default 0)\n"
    "  --community NAME    community name to try (repeat for several; default vellum;\n"
    "                      with set, the names replace the target's names)\n"
    "Other options:\n"
    "  --json              list as a JSON array (texts in UTF-8, untranslated)\n"
    "  --wide              show long addresses and scope lists whole in the table\n"
    "  --lang LANG, --datadir DIR   language and catalogue directory of the headings\n"
    "  -h, --help          this text\n"
    "\n"
    "An address given to add-broadcast may be any address of the subnet: the broadcast\n"
    "address of the subnet is saved. Adding a subnet or a range that a target already\n"
    "searches changes that target instead (its id stays; only the settings given change).\n"
    "The interfaces of this host cannot be removed (they are found again at every run),\n"
    "only changed with set. Several kivo processes may change the list at once: each\n"
    "change is made on the list as the one before left it.\n"
    "Exit status: 0 done, 1 the saved list could not be read or written, 2 bad arguments\n"
    "(the saved list is left as it was).\n";

constexpr std::uint32_t kMaxRange = 0x40000;

std::uint32_t host_order(in_addr a) { return ntohl(a.s_addr); }

std::string addresses_text(const ifinfo *e) {
  switch (ifinfo_get_type(e)) {
    case IFINFO_LOCAL:
      return std::string(e->name) + " " + ipv4_text(e->addr) +
             (e->addr1.s_addr != 0 ? " (" + ipv4_text(e->addr1) + "/" + ipv4_text(e->addr2) + ")"
                                   : "");
    case IFINFO_BCAST: return ipv4_text(e->addr1) + "/" + ipv4_text(e->addr2);
    case IFINFO_RANGE: return ipv4_text(e->addr1) + "-" + ipv4_text(e->addr2);
    default: return e->scopes != nullptr ? e->scopes : "";
  }
}

std::string join(const std::vector<std::string> &items, const char *sep) {
  std::string out;
  for (const auto &s : items) out += (out.empty() ? "" : sep) + s;
  return out;
}

std::vector<std::string> split_scopes(const std::string &scopes) {
  std::vector<std::string> parts;
  std::size_t i = 0;
  while (i <= scopes.size() && !scopes.empty()) {
    std::size_t c = scopes.find(',', i);
    if (c == std::string::npos) c = scopes.size();
    parts.push_back(scopes.substr(i, c - i));
    i = c + 1;
  }
  return parts;
}

Json target_json(const ifinfo *e) {
  Json item = {{"id", e->id}, {"kind", kind_word(e)}};
  switch (ifinfo_get_type(e)) {
    case IFINFO_LOCAL:
      item["interface"] = json_text(e->name);
      item["address"] = ipv4_text(e->addr);
      [[fallthrough]];
    case IFINFO_BCAST:
      item["broadcast"] = ipv4_text(e->addr1);
      item["netmask"] = ipv4_text(e->addr2);
      break;
    case IFINFO_RANGE:
      item["first"] = ipv4_text(e->addr1);
      item["last"] = ipv4_text(e->addr2);
      break;
    default: {
      Json scopes = Json::array();
      for (const auto &s : split_scopes(e->scopes != nullptr ? e->scopes : "")) scopes.push_back(json_text(s));
      item["scopes"] = std::move(scopes);
    }
  }
  item["timeout"] = e->count;
  item["hops"] = e->flag;
  Json comms = Json::array();
  for (const auto &c : communities(e)) comms.push_back(json_text(c));
  item["communities"] = std::move(comms);
  return item;
}

void list_targets(std::FILE *out, ifinfo *head, bool json, bool wide) {
  if (json) {
    std::vector<Json> items;
    for (const ifinfo *e = head; e != nullptr; e = e->next) items.push_back(target_json(e));
    write_json_lines_array(out, items);
    return;
  }
  std::vector<std::vector<std::string>> rows;
  rows.push_back({tr("ID"), tr("Kind"), tr("Addresses"), tr("Time-out"), tr("Hops"),
                  tr("Communities")});
  for (const ifinfo *e = head; e != nullptr; e = e->next)
    rows.push_back({std::to_string(e->id), tr(kind_word(e)), safe_text(addresses_text(e)),
                    std::to_string(e->count), std::to_string(e->flag),
                    safe_text(join(communities(e), ","))});
  TableLayout layout;
  layout.shrink = 2;
  layout.wide = wide;
  print_table(out, rows, layout);
}

struct Settings {
  std::optional<int> timeout;
  std::optional<int> hops;
  std::vector<std::string> communities;
};

void apply(ifinfo *e, const Settings &s) {
  if (s.timeout) e->count = *s.timeout;
  if (s.hops) e->flag = *s.hops;
  if (!s.communities.empty()) {
    snmp_comm_free(&e->comms);
    // Each name added goes first: add them last to first to keep the order given.
    for (auto it = s.communities.rbegin(); it != s.communities.rend(); ++it)
      snmp_comm_add(&e->comms, it->c_str());
  }
}

// An SLP scope may not hold the characters that RFC 2608 reserves (and the saved line
// uses '!' and '\' itself).
void check_scopes(const CommandErrors &args, const std::string &scopes) {
  if (scopes.empty()) args.fail(tr("no scope given"));
  std::size_t i = 0;
  while (i <= scopes.size()) {
    std::size_t c = scopes.find(',', i);
    if (c == std::string::npos) c = scopes.size();
    std::string scope = scopes.substr(i, c - i);
    if (scope.empty()) args.fail(subst(tr("empty scope name in '{1}'"), {scopes}));
    for (unsigned char ch : scope)
      if (ch < 0x20 || ch == 0x7F || std::strchr("()\\!<=>~;*+ ", ch) != nullptr)
        args.fail(subst(tr("the scope name '{1}' holds the reserved character '{2}'"),
                        {scope, std::string(1, static_cast<char>(ch))}));
    i = c + 1;
  }
  if (scopes.size() > 400) args.fail(tr("the scope list is too long"));
}

ifinfo *find_id(const CommandErrors &args, ifinfo *head, const std::string &text) {
  long id = parse_number(args, "the target id", text, 0, 0x7FFFFFFF);
  for (ifinfo *e = head; e != nullptr; e = e->next)
    if (e->id == id) return e;
  args.fail(subst(tr("there is no target with the id {1} (see 'kivo targets')"), {text}));
}

// The ids of a kind: interfaces and broadcast targets share 1 to 9999, ranges take 10001 to
// 19999, SLP searches 20001 on (0, 10000 and 20000 are ids of their kinds too, and kept
// where a saved line has them, but never given).
struct IdSpan {
  std::int32_t first, last;
};
IdSpan id_span(std::int32_t kind) {
  switch (kind) {
    case IFINFO_RANGE: return {10001, 19999};
    case IFINFO_SLP: return {20001, 0x7FFFFFFF};
    default: return {1, 9999};
  }
}
bool same_ids(std::int32_t a, std::int32_t b) {
  auto family = [](std::int32_t k) { return k == IFINFO_LOCAL ? IFINFO_BCAST : k; };
  return family(a) == family(b);
}

// Whether the entry's id can stand: a saved line's id always can, but an interface found
// on this run and never saved has none (0), and an interface's id must read back as a
// broadcast target's once saved.
bool has_own_id(const ifinfo *e) {
  if (ifinfo_get_type(e) != IFINFO_LOCAL) return true;
  return e->id >= 1 && e->id <= 9999;
}

// The next free id of the kind: one past the highest in use, so that an id that a script
// saw removed is not handed to another target while higher ones exist; when the kind's ids
// run out at the top, the lowest free one. 0 when every id of the kind is taken.
std::int32_t next_free_id(ifinfo *head, std::int32_t kind, const ifinfo *skip) {
  const IdSpan span = id_span(kind);
  std::vector<std::int32_t> used;
  for (const ifinfo *e = head; e != nullptr; e = e->next)
    if (e != skip && same_ids(ifinfo_get_type(e), kind) && e->id >= span.first &&
        e->id <= span.last)
      used.push_back(e->id);
  if (used.empty()) return span.first;
  std::sort(used.begin(), used.end());
  if (used.back() < span.last) return used.back() + 1;
  std::int32_t want = span.first;
  for (std::int32_t id : used) {
    if (id > want) return want;
    if (id == want) ++want;
  }
  return 0;
}

// Orders the list as it is shown and saved (by kind, then id) and gives an id to each
// entry that has none or shares one with an entry before it, leaving every other id as it
// is: ids are how scripts name targets from one run to the next. A list saved before ids
// were kept (they then followed the list order) reads back with the same ids.
// False when a kind has no id left.
bool settle_ids(Session &lib) {
  std::vector<ifinfo *> entries;
  for (ifinfo *e = lib.targets(); e != nullptr; e = e->next) entries.push_back(e);
  for (std::size_t i = 0; i < entries.size(); ++i) {
    ifinfo *e = entries[i];
    bool taken = false;
    for (std::size_t j = 0; j < i && !taken; ++j)
      taken = entries[j]->id == e->id && same_ids(ifinfo_get_type(entries[j]), ifinfo_get_type(e));
    if (has_own_id(e) && !taken) continue;
    // Past the highest id of the whole list, so that no entry after this one loses the
    // id it was saved with.
    const std::int32_t id = next_free_id(lib.targets(), ifinfo_get_type(e), e);
    if (id == 0) return false;
    e->id = id;
  }
  auto rank = [](const ifinfo *e) {
    const std::int32_t k = ifinfo_get_type(e);
    return k == IFINFO_LOCAL ? IFINFO_BCAST : k;
  };
  std::stable_sort(entries.begin(), entries.end(), [&](const ifinfo *a, const ifinfo *b) {
    return rank(a) != rank(b) ? rank(a) < rank(b) : a->id < b->id;
  });
  ifinfo **link = lib.targets_ref();
  for (ifinfo *e : entries) {
    *link = e;
    link = &e->next;
  }
  *link = nullptr;
  return true;
}

// The target that already searches what an add would add: ifinfo_add would put the new
// entry in its place.
ifinfo *covering(ifinfo *head, in_addr a1, in_addr a2) {
  for (ifinfo *e = head; e != nullptr; e = e->next)
    if (ifinfo_get_type(e) != IFINFO_SLP && e->addr1.s_addr == a1.s_addr &&
        e->addr2.s_addr == a2.s_addr)
      return e;
  return nullptr;
}

// The list as the preference file holds it now: read again once the lock is held, since
// another writer may have changed the file since this run's first read.
void reload(Session &lib) {
  if (lib.targets() != nullptr) ifinfo_free_list(lib.targets());
  ifinfo_initwithlocal(lib.targets_ref());
  ifinfo_read_preference(lib.targets_ref());
}

// Holds the preference store's write lock while the list is read, changed and saved, so
// that a kivo started at the same time works on the list as this one leaves it.
class PreferenceLock {
 public:
  PreferenceLock() : held_(kivo_preference_lock() == 0) {}
  ~PreferenceLock() {
    if (held_) kivo_preference_unlock();
  }
  PreferenceLock(const PreferenceLock &) = delete;
  PreferenceLock &operator=(const PreferenceLock &) = delete;
  bool held() const { return held_; }

 private:
  bool held_;
};

}  // namespace

namespace {

std::vector<std::string_view> actions() {
  return {"list", "add-range", "add-broadcast", "add-slp", "remove", "set"};
}

// A change asked for, every argument checked before the saved list is touched.
struct TargetsRequest {
  std::string action;
  std::vector<std::string> operands;
  Settings settings;
  bool json = false;
  bool wide = false;
  in_addr a1{}, a2{};  // add-range: first and last; add-broadcast: broadcast and netmask
  std::string what;    // what an add searches, in words

  bool has_settings() const {
    return settings.timeout || settings.hops || !settings.communities.empty();
  }
};

Settings read_settings(const Parsed &p) {
  Settings s;
  // A saved time-out is a whole number of seconds (the saved line holds no fraction).
  if (auto t = p.last("timeout"))
    s.timeout = static_cast<int>(parse_number(p, "the time-out", *t, 1, 3600));
  if (auto h = p.last("hops")) s.hops = static_cast<int>(parse_number(p, "the hop count", *h, 0, 254));
  for (const std::string &c : p.all("community")) {
    check_community(p, c);
    if (std::find(s.communities.begin(), s.communities.end(), c) == s.communities.end())
      s.communities.push_back(c);
  }
  return s;
}

void want_operands(const Parsed &p, const TargetsRequest &r, std::size_t min, std::size_t max,
                   const char *what) {
  const std::size_t n = r.operands.size() - 1;
  if (n < min) p.fail(r.action + " " + subst(tr("needs {1}"), {tr(what)}));
  if (n > max) p.fail(subst(tr("too many arguments: '{1}'"), {r.operands[max + 1]}));
}

// add-range FIRST LAST, or FIRST-LAST or ADDRESS/BITS as discover --range takes them.
void read_range(const Parsed &p, TargetsRequest &r) {
  want_operands(p, r, 1, 2, "a range: FIRST LAST, FIRST-LAST or ADDRESS/BITS");
  Range range;
  if (r.operands.size() == 3) {
    auto f = parse_ipv4(r.operands[1]);
    auto l = parse_ipv4(r.operands[2]);
    if (!f) p.fail(subst(tr("'{1}' is not an IPv4 address"), {r.operands[1]}));
    if (!l) p.fail(subst(tr("'{1}' is not an IPv4 address"), {r.operands[2]}));
    if (host_order(*f) > host_order(*l))
      p.fail(subst(tr("the first address {1} comes after the last {2}"), {r.operands[1], r.operands[2]}));
    range = {host_order(*f), host_order(*l)};
  } else {
    range = checked_range(p, r.operands[1], false, kMaxRange);
  }
  if (range.size() > kMaxRange) p.fail(tr("the range holds more than 262144 addresses"));
  r.a1.s_addr = htonl(range.first);
  r.a2.s_addr = htonl(range.last);
  r.what = subst(tr("the range {1}"), {ipv4_text(r.a1) + "-" + ipv4_text(r.a2)});
}

void read_broadcast(const Parsed &p, TargetsRequest &r) {
  want_operands(p, r, 2, 2, "an address and a netmask");
  auto a = parse_ipv4(r.operands[1]);
  auto m = parse_ipv4(r.operands[2]);
  if (!a) p.fail(subst(tr("'{1}' is not an IPv4 address"), {r.operands[1]}));
  if (!m) p.fail(subst(tr("'{1}' is not a netmask"), {r.operands[2]}));
  const std::uint32_t mask = host_order(*m);
  if (mask == 0 || (~mask & (~mask + 1)) != 0)
    p.fail(subst(tr("'{1}' is not a netmask (its ones must come first)"), {r.operands[2]}));
  r.a1.s_addr = htonl(host_order(*a) | ~mask);
  r.a2 = *m;
  r.what = subst(tr("the subnet {1}"), {ipv4_text(r.a1) + "/" + r.operands[2]});
}

TargetsRequest read_request(const Parsed &p) {
  TargetsRequest r;
  r.json = p.has("json");
  r.wide = p.has("wide");
  r.settings = read_settings(p);
  r.operands = p.operands;
  if (r.operands.empty()) r.operands.push_back("list");
  r.action = r.operands[0];
  if (r.action == "list") {
    want_operands(p, r, 0, 0, "");
    if (r.has_settings()) p.fail(tr("list takes no settings"));
  } else if (r.action == "add-range") {
    read_range(p, r);
  } else if (r.action == "add-broadcast") {
    read_broadcast(p, r);
  } else if (r.action == "add-slp") {
    want_operands(p, r, 1, 1, "a scope list");
    check_scopes(p, r.operands[1]);
  } else if (r.action == "remove") {
    want_operands(p, r, 1, 1, "a target id");
    if (r.has_settings()) p.fail(tr("remove takes no settings"));
  } else if (r.action == "set") {
    want_operands(p, r, 1, 1, "a target id");
    if (!r.has_settings()) p.fail(tr("set needs --timeout, --hops or --community"));
  } else {
    p.fail(subst(tr("unknown action '{1}'"), {r.action}) + did_you_mean(r.action, actions()));
  }
  return r;
}

// What a change did, or why it could not be made (a usage error is thrown instead).
struct Outcome {
  bool ok = true;
  bool changed = true;  // false: nothing to save
  std::string message;
};

Outcome remove_or_set(const Parsed &p, Session &lib, const TargetsRequest &r) {
  ifinfo *e = find_id(p, lib.targets(), r.operands[1]);
  if (r.action == "set") {
    apply(e, r.settings);
    return {true, true, subst(tr("changed target {1}"), {std::to_string(e->id)})};
  }
  if (ifinfo_get_type(e) == IFINFO_LOCAL)
    p.fail(subst(tr("target {1} is the interface {2} of this host: it is found again at every "
                    "run; change it with set"),
                 {r.operands[1], e->name}));
  const std::string done = subst(tr("removed target {1}"), {std::to_string(e->id)});
  ifinfo_remove(lib.targets_ref(), e);
  return {true, true, done};
}

// Adding what a target already searches would replace that target with a new one of
// default settings: change the target instead, keeping its id and every setting that was
// not given. A target of another kind with the same two addresses cannot change its kind
// without changing its id.
Outcome change_covering(const Parsed &p, ifinfo *old, const TargetsRequest &r) {
  const std::int32_t kind = r.action == "add-range" ? IFINFO_RANGE : IFINFO_BCAST;
  if (!same_ids(ifinfo_get_type(old), kind))
    p.fail(subst(tr("target {1} ({2}) has the same addresses as {3}; remove it first"),
                 {std::to_string(old->id), kind_word(old), r.what}));
  if (!r.has_settings())
    return {true, false,
            subst(tr("target {1} already searches {2}: nothing changed"), {std::to_string(old->id), r.what})};
  apply(old, r.settings);
  return {true, true,
          subst(tr("changed target {1} (it already searched {2})"), {std::to_string(old->id), r.what})};
}

Outcome add_new(Session &lib, const TargetsRequest &r) {
  const std::int32_t kind = r.action == "add-slp"     ? IFINFO_SLP
                            : r.action == "add-range" ? IFINFO_RANGE
                                                      : IFINFO_BCAST;
  const std::int32_t id = next_free_id(lib.targets(), kind, nullptr);
  if (id == 0) return {false, false, tr("every id of that kind is taken")};
  ifinfo *e = nullptr;
  if (r.action == "add-slp") {
    // The library builds SLP entries (with their own scope text) from a saved line.
    std::string scopes = r.operands[1];
    std::replace(scopes.begin(), scopes.end(), ',', '!');
    e = ifinfo_new_with((std::to_string(id) + "," + scopes + ",3,0,vellum").c_str());
  } else {
    e = ifinfo_new();
    if (e != nullptr) {
      e->id = id;
      e->addr1 = r.a1;
      e->addr2 = r.a2;
      snmp_comm_add(&e->comms, "vellum");
    }
  }
  if (e == nullptr) return {false, false, tr("cannot make the new target")};
  apply(e, r.settings);
  ifinfo_add(lib.targets_ref(), e);
  return {true, true, subst(tr("added target {1}"), {std::to_string(id)})};
}

bool save(Session &lib) {
  settle_ids(lib);
  char total[32] = {};
  return ifinfo_write_preference(lib.targets()) == 0 &&
         lanset_get_preference_string("network", "total", total, sizeof total) == 0 &&
         std::atoi(total) == ifinfo_get_num(lib.targets());
}

int change(const Parsed &p, Session &lib, const TargetsRequest &r, std::FILE *out) {
  auto failed = [](const std::string &why) {
    put(stderr, "kivo targets: " + why + "\n");
    return kExitFailed;
  };
  if (!lib.have_preferences()) return failed(tr("the preference directory ~/.kivo cannot be used"));
  PreferenceLock lock;
  if (!lock.held()) return failed(tr("the preference file ~/.kivo/kivo2.pref cannot be locked"));
  reload(lib);
  if (!settle_ids(lib)) return failed(tr("the saved list holds no free id of that kind"));
  Outcome outcome;
  if (r.action == "remove" || r.action == "set")
    outcome = remove_or_set(p, lib, r);
  else if (ifinfo *old = r.action == "add-slp" ? nullptr : covering(lib.targets(), r.a1, r.a2))
    outcome = change_covering(p, old, r);
  else
    outcome = add_new(lib, r);
  if (!outcome.ok) return failed(outcome.message);
  if (outcome.changed && !save(lib)) return failed(tr("the preference file could not be written"));
  put(out, outcome.message + "\n");
  return kExitOk;
}

}  // namespace

int cmd_targets(int argc, char **argv, int first) {
  const Parsed p = parse_command_line("targets",
                                      {{"json", 0, false},
                                       {"wide", 0, false},
                                       {"timeout", 0, true},
                                       {"hops", 0, true},
                                       {"community", 0, true}},
                                      argc, argv, first);
  if (p.help) {
    put(stdout, tr(kTargetsHelp));
    return kExitOk;
  }
  const TargetsRequest r = read_request(p);
  Session::Options setup;
  Session lib(setup);
  QuietLibrary quiet;
  if (r.action == "list") {
    settle_ids(lib);
    list_targets(quiet.out(), lib.targets(), r.json, r.wide);
    return kExitOk;
  }
  return change(p, lib, r, quiet.out());
}

}  // namespace kivo
