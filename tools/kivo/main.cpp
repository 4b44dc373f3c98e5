// kivo: finds the printers on this host's networks and talks to them, through libkivo8's
// exported interface alone.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "cmd_status.h"
#include "common.h"
#include "snmpv3_args.h"

#ifndef KIVO_VERSION
#define KIVO_VERSION "unknown"
#endif

namespace kivo {
int cmd_ipp(int argc, char **argv, int first);  // cmd_ipp.cpp
}

namespace {

const char kHelp[] =
    "Usage: kivo [COMMAND] [OPTIONS]\n"
    "Finds network printers by SNMP broadcast, address-range scans and SLP, and talks to\n"
    "them over SNMP and HTTP.\n"
    "\n"
    "Commands:\n"
    "  discover   search every saved and discovered target (what plain `kivo` does)\n"
    "  targets    list and change the saved search targets\n"
    "  get        ask an SNMP agent for variables (like snmpget -On)\n"
    "  walk       walk a subtree of an SNMP agent (like snmpwalk -On)\n"
    "  probe      tell whether a web server answers at an address\n"
    "  status     read printers' state and supplies over SNMP\n"
    "  credentials  keep SNMPv3 user credentials for get, walk and discover\n"
    "  report     write the printers found (or saved lists) as one HTML page\n"
    "  ipp        ask a printer for its attributes over IPP\n"
    "\n"
    "Options of every command:\n"
    "  --lang LANG    language of messages, headings and help (default: from the locale)\n"
    "  --datadir DIR  catalogue directory (default {1})\n"
    "  -V, --version  the version of kivo\n"
    "\n"
    "`kivo COMMAND --help` describes each command. Exit status: 0 success, 1 the work\n"
    "could not be done, 2 bad arguments.\n";

const char *const kCommands[] = {"discover", "targets", "get", "walk", "probe", "credentials", "report", "ipp", "status", "help"};

std::size_t edit_distance(const std::string &a, const std::string &b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// The command nearest to a mistyped one, when it is near enough to be the one meant: at
// most a third of its letters differ (at least one).
const char *nearest_command(const std::string &typed) {
  const char *best = nullptr;
  std::size_t best_distance = 0;
  if (typed.size() > 64) return nullptr;
  for (const char *c : kCommands) {
    std::size_t d = edit_distance(typed, c);
    if (best == nullptr || d < best_distance) {
      best = c;
      best_distance = d;
    }
  }
  std::size_t allowed = std::max<std::size_t>(1, std::strlen(best) / 3);
  return best_distance <= allowed ? best : nullptr;
}

}  // namespace

int main(int argc, char **argv) {
  kivo::terminal_setup();
  int first = 2;
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "--version" || command == "-V") {
    std::printf("kivo %s\n", KIVO_VERSION);
    return kivo::kExitOk;
  }
  std::string lang, datadir;
  kivo::global_options(argc, argv, lang, datadir);
  kivo::Language language(lang, datadir);
  if (command.empty() || (command[0] == '-' && command != "-h" && command != "--help")) {
    command = "discover";
    first = 1;
  }
  try {
    if (command == "-h" || command == "--help" || command == "help") {
      kivo::put(stdout, kivo::subst(kivo::tr(kHelp), {KIVO8_DATADIR}));
      return kivo::kExitOk;
    }
    if (command == "discover") return kivo::cmd_discover(argc, argv, first);
    if (command == "targets") return kivo::cmd_targets(argc, argv, first);
    if (command == "get") return kivo::cmd_get(argc, argv, first, false);
    if (command == "walk") return kivo::cmd_get(argc, argv, first, true);
    if (command == "probe") return kivo::cmd_probe(argc, argv, first);
    if (command == "credentials") return kivo::cmd_credentials(argc, argv, first);
    if (command == "report") return kivo::cmd_report(argc, argv, first);
    if (command == "status") return kivo::cmd_status(argc, argv, first);
    if (command == "ipp") return kivo::cmd_ipp(argc, argv, first);
    std::string message =
        "kivo: " + kivo::subst(kivo::tr("unknown command '{1}'"), {kivo::safe_text(command)});
    if (const char *near = nearest_command(command))
      message += " (" + kivo::subst(kivo::tr("did you mean '{1}'?"), {near}) + ")";
    kivo::put(stderr, message + "\n" + kivo::tr("Try 'kivo --help'.") + "\n");
    return kivo::kExitUsage;
  } catch (const kivo::UsageError &e) {
    kivo::put(stderr, "kivo " + e.command + ": " + kivo::safe_text(e.what()) + "\n" +
                          kivo::subst(kivo::tr("Try 'kivo {1} --help'."), {e.command}) + "\n");
    return kivo::kExitUsage;
  } catch (const std::exception &e) {
    kivo::put(stderr, "kivo: " + kivo::safe_text(e.what()) + "\n");
    return kivo::kExitFailed;
  }
}
