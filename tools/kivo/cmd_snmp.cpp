// kivo get / kivo walk: one SNMP request (or walk) to one agent, printed as snmpget -On
// and snmpwalk -On (or snmpbulkwalk -On) print it.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "snmp_text.h"
#include "snmpv3_args.h"

namespace kivo {

namespace {

const char kGetHelp[] =
    "Usage: kivo get [OPTIONS] HOST[:PORT] OID...\n"
    "Asks an SNMP agent for the variables named by numeric object identifiers and prints\n"
    "one line per variable, as snmpget -On does:\n"
    "  .1.3.6.1.2.1.1.1.0 = STRING: \"Office printer\"\n"
    "\n"
    "Options:\n"
    "  -v 1|2c|3      SNMP version (default 1; 3: see the SNMPv3 options below)\n"
    "  -c COMMUNITY   community name (default vellum)\n"
    "  -t SECONDS     time-out of each transmission, 0.01 to 60, fractions allowed\n"
    "                 (default 2; SNMPv1 and v2c wait whole seconds, a fraction rounded up)\n"
    "  -r RETRIES     retransmissions after a time-out, 0 to 10 (default 1)\n"
    "  -h, --help     this text\n"
    "\n"
    "An SNMPv1 agent that does not know one of several names answers with noSuchName for\n"
    "the whole request: the error is reported and the request is repeated without that\n"
    "name. Values are written as snmpget writes them; on a terminal, line ends and other\n"
    "control characters inside a value are shown as escapes (\\r, \\n).\n"
    "Exit status: 0 all variables printed, 1 the agent did not answer or reported an\n"
    "error, 2 bad arguments.\n";

const char kWalkHelp[] =
    "Usage: kivo walk [OPTIONS] HOST[:PORT] [OID]\n"
    "Walks the subtree of an SNMP agent below OID (default .1.3.6.1.2.1) and prints one\n"
    "line per variable, as snmpwalk -On and snmpbulkwalk -On do. With -v 2c and -v 3 it\n"
    "asks with GETBULK requests, several variables a request (as snmpbulkwalk does), with\n"
    "-v 1 or --no-bulk with GETNEXT requests, one variable a request (as snmpwalk does).\n"
    "When nothing lies below OID, the variable OID itself is asked for.\n"
    "\n"
    "Options:\n"
    "  -v 1|2c|3      SNMP version (default 1; 3: see the SNMPv3 options below)\n"
    "  -c COMMUNITY   community name (default vellum)\n"
    "  -t SECONDS     time-out of each transmission, 0.01 to 60, fractions allowed\n"
    "                 (default 2; SNMPv1 and v2c wait whole seconds, a fraction rounded up)\n"
    "  -r RETRIES     retransmissions after a time-out, 0 to 10 (default 1)\n"
    "  --max N        stop after N variables (default: no limit; the walk goes on as long\n"
    "                 as the agent's names increase)\n"
    "  --max-repetitions N, -Cr N\n"
    "                 variables asked for in each GETBULK request, 1 to 10000 (default\n"
    "                 10); an agent that answers tooBig is asked for half as many\n"
    "  --no-bulk      walk with GETNEXT requests also with -v 2c and -v 3\n"
    "  -h, --help     this text\n"
    "\n"
    "Each variable is printed as soon as it arrives, as snmpwalk writes it; on a\n"
    "terminal, line ends and other control characters inside a value are shown as\n"
    "escapes (\\r, \\n).\n"
    "Exit status: 0 the walk ended normally or reached --max, 1 the agent did not answer\n"
    "or reported an error, 2 bad arguments.\n";

// The agent through a v1/v2c session or an SNMPv3 one.
struct Agent {
  snmp_session *v1 = nullptr;
  kivo_snmpv3_session *v3 = nullptr;
  int bulkwalk(const snmp_oid *oids, const kivo_walk_options &o) const {
    return v3 != nullptr ? kivo_snmpv3_bulkwalk(v3, oids, &o, nullptr)
                         : kivo_snmp_bulkwalk(v1, oids, &o, nullptr);
  }
  int get(const snmp_oid *oids, snmp_pdu **out) const {
    return v3 != nullptr ? kivo_snmpv3_get(v3, oids, out) : snmp_get(v1, oids, out);
  }
  int getnext(const snmp_oid *oids, snmp_pdu **out) const {
    return v3 != nullptr ? kivo_snmpv3_getnext(v3, oids, out) : snmp_getnext(v1, oids, out);
  }
};

// Where and how the answers go: the command's name and the agent for messages, how it
// was asked (version and community or user, named when it does not answer), and whether
// standard output is a terminal (see value_text).
struct Output {
  std::string command;
  std::string host;
  std::string how;
  bool terminal = false;
  void binding(const snmp_var *v) const {
    const std::string line = binding_line(v, terminal) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  void session_failed(int code) const {
    put(stderr, "kivo " + command + ": " + safe_text(session_error_text(code, host, how)) + "\n");
  }
};

struct SessionDeleter {
  void operator()(snmp_session *s) const { snmp_free_session(s); }
};
struct PduDeleter {
  void operator()(snmp_pdu *p) const { snmp_free_pdu(p); }
};

struct CommunityList {
  snmp_comm *head = nullptr;
  ~CommunityList() { snmp_comm_free(&head); }
};

std::vector<snmp_oid> oid_list(std::vector<std::vector<std::uint32_t>> &names) {
  std::vector<snmp_oid> out;
  for (auto &n : names) out.push_back({n.data(), static_cast<std::uint32_t>(n.size())});
  out.push_back({nullptr, 0});
  return out;
}

void print_error_status(const snmp_pdu *response, const std::vector<std::uint32_t> *failed) {
  std::fprintf(stderr, "Error in packet.\nReason: %s\n",
               error_status_text(response->errstat).c_str());
  if (failed != nullptr)
    std::fprintf(stderr, "Failed object: %s\n\n",
                 oid_text(failed->data(), failed->size()).c_str());
}

// Prints one GET's bindings; the fallback of a walk that found nothing below its root.
void get_and_print(const Agent &session, const Output &out, std::vector<std::uint32_t> name) {
  std::vector<std::vector<std::uint32_t>> names{std::move(name)};
  auto oids = oid_list(names);
  snmp_pdu *raw = nullptr;
  int rc = session.get(oids.data(), &raw);
  std::unique_ptr<snmp_pdu, PduDeleter> response(raw);
  if (rc != 0 || !response || response->errstat != 0) return;
  for (const snmp_var *v = response->variables; v != nullptr; v = v->next) out.binding(v);
}

bool in_subtree(const snmp_var *v, const std::vector<std::uint32_t> &root) {
  if (v->name == nullptr || v->name_length < root.size()) return false;
  return std::equal(root.begin(), root.end(), v->name);
}

// GETNEXT after GETNEXT, printing as it goes, with snmpwalk's rules: the walk ends when a
// name leaves the subtree, at an exception value (printed when it lies inside), at an
// SNMPv1 noSuchName ("End of MIB"), or at an error; an agent whose names do not increase
// is stopped. When nothing was printed, the root itself is asked for.
int walk_subtree(const Agent &session, const Output &out, const std::vector<std::uint32_t> &root,
                 unsigned long max) {
  std::vector<std::uint32_t> current = root;
  unsigned long printed = 0;
  for (;;) {
    if (max != 0 && printed == max) {
      std::fflush(stdout);
      std::fprintf(stderr, "kivo walk: stopped after %lu variables (--max)\n", max);
      return kExitOk;
    }
    std::vector<std::vector<std::uint32_t>> names{current};
    auto oids = oid_list(names);
    snmp_pdu *raw = nullptr;
    int rc = session.getnext(oids.data(), &raw);
    std::unique_ptr<snmp_pdu, PduDeleter> response(raw);
    if (rc == 0 && !response) rc = SNMP_ERR_OTHER;
    if (rc != 0) {
      std::fflush(stdout);
      out.session_failed(rc);
      return kExitFailed;
    }
    if (response->errstat != 0) {
      if (response->errstat == 2) {
        std::printf("End of MIB\n");
        break;
      }
      int index = response->errindex;
      std::fflush(stdout);
      print_error_status(response.get(), index == 1 ? &current : nullptr);
      return kExitFailed;
    }
    const snmp_var *v = response->variables;
    if (v == nullptr || !in_subtree(v, root)) break;
    // No flush per binding: a terminal's output is line buffered already, and a pipe or
    // file gets stdio's blocks, as net-snmp's tools give them (a write per reply cost a
    // tenth of a GETBULK walk's time).
    out.binding(v);
    ++printed;
    if (v->type == SNMP_ENDOFMIBVIEW || v->type == SNMP_NOSUCHOBJECT ||
        v->type == SNMP_NOSUCHINSTANCE)
      break;
    std::vector<std::uint32_t> next(v->name, v->name + v->name_length);
    if (!std::lexicographical_compare(current.begin(), current.end(), next.begin(), next.end())) {
      std::fprintf(stderr, "kivo walk: the agent's names do not increase (%s after %s)\n",
                   oid_text(next.data(), next.size()).c_str(),
                   oid_text(current.data(), current.size()).c_str());
      return kExitFailed;
    }
    current = std::move(next);
  }
  if (printed == 0) get_and_print(session, out, root);
  return kExitOk;
}

// The library's walk by GETBULK, printing each reply as it comes, with snmpbulkwalk's
// rules: the walk ends when a name leaves the subtree or at an exception value (printed
// when it lies inside); when nothing was printed, the root itself is asked for.
int bulk_walk_subtree(const Agent &session, const Output &out,
                      std::vector<std::uint32_t> root, unsigned long max,
                      std::uint32_t repetitions) {
  struct Printer {
    const Output &out;
    unsigned long max;
    unsigned long printed = 0;
    bool stopped = false;
  } printer{out, max};
  kivo_walk_options o{};
  o.size = sizeof o;
  o.max_repetitions = repetitions;
  o.flags = KIVO_WALK_KEEP_END;
  o.context = &printer;
  o.callback = [](void *context, const snmp_pdu *response) -> int32_t {
    auto &p = *static_cast<Printer *>(context);
    for (const snmp_var *v = response->variables; v != nullptr; v = v->next) {
      p.out.binding(v);
      ++p.printed;
      if (p.max != 0 && p.printed == p.max) {
        p.stopped = true;
        break;
      }
    }
    return p.stopped ? 1 : 0;
  };
  std::vector<std::vector<std::uint32_t>> names{root};
  auto oids = oid_list(names);
  const int rc = session.bulkwalk(oids.data(), o);
  std::fflush(stdout);
  if (rc == SNMP_ERR_OTHER) {
    put(stderr, "kivo walk: " +
                    tr("the agent's reply ended the walk: an error status, names that do not "
                       "increase, or a reply too big even for one variable") +
                    "\n");
    return kExitFailed;
  }
  if (rc != 0) {
    out.session_failed(rc);
    return kExitFailed;
  }
  if (printer.stopped) {
    std::fprintf(stderr, "kivo walk: stopped after %lu variables (--max)\n", max);
    return kExitOk;
  }
  if (printer.printed == 0) get_and_print(session, out, std::move(root));
  return kExitOk;
}

// One GET of every name; an SNMPv1 agent that does not know one of several names
// answers noSuchName for the whole request: reported, and asked again without it.
int get_names(const Agent &agent, const Output &out,
              std::vector<std::vector<std::uint32_t>> names) {
  int status = kExitOk;
  while (!names.empty()) {
    auto oids = oid_list(names);
    snmp_pdu *raw = nullptr;
    int rc = agent.get(oids.data(), &raw);
    std::unique_ptr<snmp_pdu, PduDeleter> response(raw);
    if (rc == 0 && !response) rc = SNMP_ERR_OTHER;
    if (rc != 0) {
      out.session_failed(rc);
      return kExitFailed;
    }
    if (response->errstat != 0) {
      int index = response->errindex;
      bool known = index >= 1 && index <= static_cast<int>(names.size());
      print_error_status(response.get(), known ? &names[static_cast<std::size_t>(index - 1)] : nullptr);
      status = kExitFailed;
      if (response->errstat != 2 || !known || names.size() == 1) return status;
      names.erase(names.begin() + (index - 1));
      continue;
    }
    for (const snmp_var *v = response->variables; v != nullptr; v = v->next) out.binding(v);
    break;
  }
  return status;
}

// How a walk asks: GETBULK with this many repetitions, or 0 for GETNEXT.
int run(const Output &out, const Agent &agent, std::vector<std::vector<std::uint32_t>> names,
        bool walk, unsigned long max, std::uint32_t repetitions) {
  if (!walk) return get_names(agent, out, std::move(names));
  if (repetitions != 0) return bulk_walk_subtree(agent, out, names[0], max, repetitions);
  return walk_subtree(agent, out, names[0], max);
}

}  // namespace

namespace {

// What get and walk were asked to do.
struct SnmpRequest {
  int version = SNMP_VERSION_1;
  std::string community = "vellum";
  std::int64_t timeout_ms = 2000;
  int retries = 1;
  unsigned long max = 0;
  std::uint32_t repetitions = KIVO_WALK_DEFAULT_REPETITIONS;  // 0: GETNEXT
  V3Args v3;
  std::vector<std::vector<std::uint32_t>> names;
};

SnmpRequest read_request(const Parsed &p, bool walk) {
  SnmpRequest r;
  if (auto v = p.last("version")) {
    if (*v == "1")
      r.version = SNMP_VERSION_1;
    else if (*v == "2c")
      r.version = SNMP_VERSION_2c;
    else if (*v == "3")
      r.version = SNMP_VERSION_3;
    else
      p.fail(subst(tr("the SNMP version must be 1, 2c or 3, not '{1}'"), {*v}));
  }
  if (auto c = p.last("community")) {
    check_community(p, *c);
    r.community = *c;
  }
  if (auto t = p.last("timeout")) r.timeout_ms = parse_seconds(p, "the time-out", *t, 10, 60000);
  if (auto t = p.last("retries"))
    r.retries = static_cast<int>(parse_number(p, "the retries", *t, 0, 10));
  if (auto m = p.last("max"))
    r.max = static_cast<unsigned long>(parse_number(p, "--max", *m, 1, 4000000000L));
  if (auto n = p.last("max-repetitions"))
    r.repetitions = static_cast<std::uint32_t>(parse_number(p, "--max-repetitions", *n, 1, 10000));
  // net-snmp's -Cr10: the only one of its -C letters that means something here.
  if (auto c = p.last("bulk-option")) {
    if (c->size() < 2 || (*c)[0] != 'r')
      p.fail(subst(tr("-C takes r and a number of repetitions (-Cr10), not '{1}'"), {*c}));
    r.repetitions =
        static_cast<std::uint32_t>(parse_number(p, "-Cr", c->substr(1), 1, 10000));
  }
  if (p.has("no-bulk") || r.version == SNMP_VERSION_1) r.repetitions = 0;
  r.v3 = v3_args(p);
  const auto &operands = p.operands;
  if (operands.empty()) p.fail(tr("no host given"));
  if (!walk && operands.size() < 2) p.fail(tr("no object identifier given"));
  if (walk && operands.size() > 2) p.fail(tr("walk takes one object identifier, not several"));
  for (std::size_t i = 1; i < operands.size(); ++i) {
    auto oid = parse_oid(operands[i]);
    if (!oid) p.fail(subst(tr("'{1}' is not a numeric object identifier"), {operands[i]}));
    r.names.push_back(*oid);
  }
  if (walk && r.names.empty()) r.names.push_back({1, 3, 6, 1, 2, 1});
  return r;
}

int snmp_command(int argc, char **argv, int first, bool walk) {
  const std::string name = walk ? "walk" : "get";
  std::vector<Option> options = {{"version", 'v', true},
                                 {"community", 'c', true},
                                 {"timeout", 't', true},
                                 {"retries", 'r', true}};
  if (walk) {
    options.push_back({"max", 0, true});
    options.push_back({"max-repetitions", 0, true});
    options.push_back({"bulk-option", 'C', true});
    options.push_back({"no-bulk", 0, false});
  }
  for (const Option &o : v3_option_list(true)) options.push_back(o);
  const Parsed p = parse_command_line(name, options, argc, argv, first);
  if (p.help) {
    put(stdout, tr(walk ? kWalkHelp : kGetHelp) + tr(kV3Help));
    return kExitOk;
  }
  SnmpRequest request = read_request(p, walk);
  const bool terminal = isatty(STDOUT_FILENO) == 1;
  const auto &operands = p.operands;
  HostPort target = parse_host_port(p, operands[0], 161);
  const std::string host = target.text;
  if (request.version == SNMP_VERSION_3) {
    kivo_snmpv3_options o = v3_options(p, request.v3);
    o.port = static_cast<std::uint16_t>(target.port);
    o.timeout_ms = static_cast<std::uint32_t>(request.timeout_ms);
    o.retries = request.retries;
    if (mt_res_init() != 0) {
      put(stderr, "kivo " + name + ": " + tr("cannot set up the library") + "\n");
      return kExitFailed;
    }
    int32_t code = 0;
    V3Session v3_session(kivo_snmpv3_create(&target.address, &o, &code));
    v3_forget_pass_phrases(request.v3);
    if (!v3_session) {
      put(stderr, "kivo " + name + ": " + kivo_snmpv3_strerror(code) + "\n");
      return kExitFailed;
    }
    const Output out{name, host, "SNMPv3, " + subst(tr("user '{1}'"), {request.v3.user}), terminal};
    return run(out, Agent{nullptr, v3_session.get()}, request.names, walk, request.max,
               request.repetitions);
  }

  Session::Options setup;
  setup.load_targets = false;
  Session lib(setup);
  CommunityList comms;
  if (snmp_comm_add(&comms.head, request.community.c_str()) == nullptr) {
    put(stderr, "kivo " + name + ": " + tr("out of memory") + "\n");
    return kExitFailed;
  }
  std::unique_ptr<snmp_session, SessionDeleter> session(
      snmp_create_session(AF_INET, &target.address, nullptr));
  if (!session) {
    put(stderr, "kivo " + name + ": " + tr("cannot open an SNMP session") + "\n");
    return kExitFailed;
  }
  session->version = request.version;
  session->community = comms.head;
  // The v1/v2c session waits whole seconds: a fraction is rounded up, never down.
  session->udp->timeout = static_cast<int32_t>((request.timeout_ms + 999) / 1000);
  session->udp->retries = request.retries + 1;
  session->udp->port = static_cast<std::uint16_t>(target.port);
  const Output out{name, host,
                   std::string(request.version == SNMP_VERSION_1 ? "SNMPv1" : "SNMPv2c") + ", " +
                       subst(tr("community '{1}'"), {request.community}),
                   terminal};
  return run(out, Agent{session.get(), nullptr}, request.names, walk, request.max,
               request.repetitions);
}

}  // namespace

int cmd_get(int argc, char **argv, int first) { return snmp_command(argc, argv, first, false); }
int cmd_walk(int argc, char **argv, int first) { return snmp_command(argc, argv, first, true); }

}  // namespace kivo
