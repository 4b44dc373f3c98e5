// kivo get / kivo walk: one SNMP request (or walk) to one agent, printed as snmpget -On
// and snmpwalk -On print it.
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

// Decided once: whether values are shown to a person (escaped) or handed to a program
// (exact).
bool stdout_is_terminal() {
  static const bool terminal = ::isatty(STDOUT_FILENO) == 1;
  return terminal;
}

const char kGetHelp[] =
    "Usage: kivo get [OPTIONS] HOST[:PORT] OID...\n"
    "Asks an SNMP agent for the variables named by numeric object identifiers and prints\n"
    "one line per variable, as snmpget -On does:\n"
    "  .1.3.6.1.2.1.1.1.0 = STRING: \"Office printer\"\n"
    "\n"
    "Options:\n"
    "  -v 1|2c|3      SNMP version (default 1; 3: see the SNMPv3 options below)\n"
    "  -c COMMUNITY   community name (default vellum)\n"
    "  -t SECONDS     time-out of each transmission, 1 to 60 (default 2)\n"
    "  -r RETRIES     retransmissions after a time-out, 0 to 10 (default 1)\n"
    "  -h, --help     this text\n"
    "\n"
    "An SNMPv1 agent that does not know one of several names answers with noSuchName for\n"
    "the whole request: the error is reported and the request is repeated without that\n"
    "name. Exit status: 0 all variables printed, 1 the agent did not answer or reported\n"
    "an error, 2 bad arguments.\n";

const char kWalkHelp[] =
    "Usage: kivo walk [OPTIONS] HOST[:PORT] [OID]\n"
    "Walks the subtree of an SNMP agent below OID (default .1.3.6.1.2.1) with GETNEXT\n"
    "requests and prints one line per variable, as snmpwalk -On does. When nothing lies\n"
    "below OID, the variable OID itself is asked for.\n"
    "\n"
    "Options:\n"
    "  -v 1|2c|3      SNMP version (default 1; 3: see the SNMPv3 options below)\n"
    "  -c COMMUNITY   community name (default vellum)\n"
    "  -t SECONDS     time-out of each transmission, 1 to 60 (default 2)\n"
    "  -r RETRIES     retransmissions after a time-out, 0 to 10 (default 1)\n"
    "  --max N        stop after N variables (default: no limit; the walk goes on as long\n"
    "                 as the agent's names increase)\n"
    "  -h, --help     this text\n"
    "\n"
    "Each variable is printed as soon as it arrives.\n"
    "Exit status: 0 the walk ended normally or reached --max, 1 the agent did not answer\n"
    "or reported an error, 2 bad arguments.\n";

// The agent through a v1/v2c session or an SNMPv3 one.
struct Agent {
  snmp_session *v1 = nullptr;
  kivo_snmpv3_session *v3 = nullptr;
  int get(const snmp_oid *oids, snmp_pdu **out) const {
    return v3 != nullptr ? kivo_snmpv3_get(v3, oids, out) : snmp_get(v1, oids, out);
  }
  int getnext(const snmp_oid *oids, snmp_pdu **out) const {
    return v3 != nullptr ? kivo_snmpv3_getnext(v3, oids, out) : snmp_getnext(v1, oids, out);
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
void get_and_print(const Agent &session, std::vector<std::uint32_t> name) {
  std::vector<std::vector<std::uint32_t>> names{std::move(name)};
  auto oids = oid_list(names);
  snmp_pdu *raw = nullptr;
  int rc = session.get(oids.data(), &raw);
  std::unique_ptr<snmp_pdu, PduDeleter> response(raw);
  if (rc != 0 || !response || response->errstat != 0) return;
  for (const snmp_var *v = response->variables; v != nullptr; v = v->next)
    std::printf("%s\n", binding_line(v, stdout_is_terminal()).c_str());
}

bool in_subtree(const snmp_var *v, const std::vector<std::uint32_t> &root) {
  if (v->name == nullptr || v->name_length < root.size()) return false;
  return std::equal(root.begin(), root.end(), v->name);
}

// GETNEXT after GETNEXT, printing as it goes, with snmpwalk's rules: the walk ends when a
// name leaves the subtree, at an exception value (printed when it lies inside), at an
// SNMPv1 noSuchName ("End of MIB"), or at an error; an agent whose names do not increase
// is stopped. When nothing was printed, the root itself is asked for.
int walk_subtree(const Agent &session, const std::vector<std::uint32_t> &root,
                 const std::string &host, unsigned long max) {
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
      put(stderr, "kivo walk: " + safe_text(session_error_text(rc, host)) + "\n");
      return kExitFailed;
    }
    if (response->errstat != 0) {
      if (response->errstat == 2) {
        std::printf("End of MIB\n");
        break;
      }
      int index = response->errindex;
      print_error_status(response.get(), index == 1 ? &current : nullptr);
      return kExitFailed;
    }
    const snmp_var *v = response->variables;
    if (v == nullptr || !in_subtree(v, root)) break;
    std::printf("%s\n", binding_line(v, stdout_is_terminal()).c_str());
    std::fflush(stdout);
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
  if (printed == 0) get_and_print(session, root);
  return kExitOk;
}

int run(const std::string &name, const Agent &agent,
        std::vector<std::vector<std::uint32_t>> names, bool walk, const std::string &host,
        unsigned long max);

}  // namespace

int cmd_get(int argc, char **argv, int first, bool walk) {
  const std::string name = walk ? "walk" : "get";
  Args args(name, argc, argv, first);
  int version = 0;
  std::string community = "vellum";
  int timeout = 2;
  int retries = 1;
  unsigned long max = 0;
  V3Args v3;
  std::vector<std::string> operands;
  std::string opt, operand;
  while (args.next(opt, operand)) {
    if (opt.empty()) {
      operands.push_back(operand);
    } else if (opt == "h" || opt == "help") {
      args.no_value();
      put(stdout, tr(walk ? kWalkHelp : kGetHelp) + tr(kV3Help));
      return kExitOk;
    } else if (opt == "v" || opt == "version") {
      std::string v = args.value();
      if (v == "1")
        version = SNMP_VERSION_1;
      else if (v == "2c")
        version = SNMP_VERSION_2c;
      else if (v == "3")
        version = SNMP_VERSION_3;
      else
        args.fail(subst(tr("the SNMP version must be 1, 2c or 3, not '{1}'"), {v}));
    } else if (opt == "c" || opt == "community") {
      community = args.value();
      check_community(args, community);
    } else if (opt == "t" || opt == "timeout") {
      timeout = static_cast<int>(parse_number(args, "the time-out", args.value(), 1, 60));
    } else if (opt == "r" || opt == "retries") {
      retries = static_cast<int>(parse_number(args, "the retries", args.value(), 0, 10));
    } else if (walk && opt == "max") {
      max = static_cast<unsigned long>(parse_number(args, "--max", args.value(), 1, 4000000000L));
    } else if (!take_v3_option(args, opt, v3)) {
      args.unknown();
    }
  }
  if (operands.empty()) args.fail(tr("no host given"));
  if (!walk && operands.size() < 2) args.fail(tr("no object identifier given"));
  if (walk && operands.size() > 2) args.fail(tr("walk takes one object identifier, not several"));
  std::vector<std::vector<std::uint32_t>> names;
  for (std::size_t i = 1; i < operands.size(); ++i) {
    auto oid = parse_oid(operands[i]);
    if (!oid) args.fail(subst(tr("'{1}' is not a numeric object identifier"), {operands[i]}));
    names.push_back(*oid);
  }
  if (walk && names.empty()) names.push_back({1, 3, 6, 1, 2, 1});
  HostPort target = parse_host_port(args, operands[0], 161);
  const std::string host = target.text;
  if (version == SNMP_VERSION_3) {
    kivo_snmpv3_options o = v3_options(args, v3);
    o.port = static_cast<std::uint16_t>(target.port);
    o.timeout_ms = static_cast<std::uint32_t>(timeout) * 1000;
    o.retries = retries;
    if (mt_res_init() != 0) {
      put(stderr, "kivo " + name + ": " + tr("cannot set up the library") + "\n");
      return kExitFailed;
    }
    int32_t code = 0;
    V3Session v3_session(kivo_snmpv3_create(&target.address, &o, &code));
    if (!v3_session) {
      put(stderr, "kivo " + name + ": " + kivo_snmpv3_strerror(code) + "\n");
      return kExitFailed;
    }
    return run(name, Agent{nullptr, v3_session.get()}, names, walk, host, max);
  }

  Session::Options setup;
  setup.load_targets = false;
  Session lib(setup);
  CommunityList comms;
  if (snmp_comm_add(&comms.head, community.c_str()) == nullptr) {
    put(stderr, "kivo " + name + ": " + tr("out of memory") + "\n");
    return kExitFailed;
  }
  std::unique_ptr<snmp_session, SessionDeleter> session(
      snmp_create_session(AF_INET, &target.address, nullptr));
  if (!session) {
    put(stderr, "kivo " + name + ": " + tr("cannot open an SNMP session") + "\n");
    return kExitFailed;
  }
  session->version = version;
  session->community = comms.head;
  session->udp->timeout = timeout;
  session->udp->retries = retries + 1;
  session->udp->port = static_cast<std::uint16_t>(target.port);
  return run(name, Agent{session.get(), nullptr}, names, walk, host, max);
}

namespace {

int run(const std::string &name, const Agent &agent,
        std::vector<std::vector<std::uint32_t>> names, bool walk, const std::string &host,
        unsigned long max) {
  if (walk) return walk_subtree(agent, names[0], host, max);

  int status = kExitOk;
  while (!names.empty()) {
    auto oids = oid_list(names);
    snmp_pdu *raw = nullptr;
    int rc = agent.get(oids.data(), &raw);
    std::unique_ptr<snmp_pdu, PduDeleter> response(raw);
    if (rc == 0 && !response) rc = SNMP_ERR_OTHER;
    if (rc != 0) {
      put(stderr, "kivo " + name + ": " + safe_text(session_error_text(rc, host)) + "\n");
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
    for (const snmp_var *v = response->variables; v != nullptr; v = v->next)
      std::printf("%s\n", binding_line(v, stdout_is_terminal()).c_str());
    break;
  }
  return status;
}

}  // namespace

}  // namespace kivo
