// kivo: finds the printers on this host's networks and talks to them, through libkivo8's
// exported interface alone.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "common.h"
#include "snmpv3_args.h"

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
    "  credentials  keep SNMPv3 user credentials for get, walk and discover\n"
    "\n"
    "`kivo COMMAND --help` describes each command. Exit status: 0 success, 1 the work\n"
    "could not be done, 2 bad arguments.\n";

}  // namespace

int main(int argc, char **argv) {
  int first = 2;
  std::string command = argc > 1 ? argv[1] : "";
  if (command.empty() || (command[0] == '-' && command != "-h" && command != "--help")) {
    command = "discover";
    first = 1;
  }
  try {
    if (command == "-h" || command == "--help" || command == "help") {
      std::fputs(kHelp, stdout);
      return kivo::kExitOk;
    }
    if (command == "discover") return kivo::cmd_discover(argc, argv, first);
    if (command == "targets") return kivo::cmd_targets(argc, argv, first);
    if (command == "get") return kivo::cmd_get(argc, argv, first, false);
    if (command == "walk") return kivo::cmd_get(argc, argv, first, true);
    if (command == "probe") return kivo::cmd_probe(argc, argv, first);
    if (command == "credentials") return kivo::cmd_credentials(argc, argv, first);
    std::fprintf(stderr, "kivo: unknown command '%s'\nTry 'kivo --help'.\n", command.c_str());
    return kivo::kExitUsage;
  } catch (const kivo::UsageError &e) {
    std::fprintf(stderr, "kivo %s: %s\nTry 'kivo %s --help'.\n", e.command.c_str(), e.what(),
                 e.command.c_str());
    return kivo::kExitUsage;
  } catch (const std::exception &e) {
    std::fprintf(stderr, "kivo: %s\n", e.what());
    return kivo::kExitFailed;
  }
}
