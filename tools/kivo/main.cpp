// kivo: finds the printers on this host's networks and talks to them, through libkivo8's
// exported interface alone.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "cmd_status.h"
#include "common.h"
#include "cups_backend.h"
#include "snmpv3_args.h"

#ifndef KIVO_VERSION
#define KIVO_VERSION "unknown"
#endif

namespace kivo {
int cmd_ipp(int argc, char **argv, int first);    // cmd_ipp.cpp
int cmd_setup(int argc, char **argv, int first);  // cmd_setup.cpp
}

namespace {

// The commands: adding one is one line here (its function reads argv from `first` on and
// returns the exit status; usage errors are thrown as kivo::UsageError).
struct Command {
  const char *name;
  const char *summary;  // one line of the main help, translated through the catalogue
  int (*run)(int argc, char **argv, int first);
};

const Command kCommands[] = {
    {"discover", "search every saved and discovered target (what plain `kivo` does)",
     kivo::cmd_discover},
    {"targets", "list and change the saved search targets", kivo::cmd_targets},
    {"get", "ask an SNMP agent for variables (like snmpget -On)", kivo::cmd_get},
    {"walk", "walk a subtree of an SNMP agent (like snmpwalk -On)", kivo::cmd_walk},
    {"probe", "tell whether a web server answers at an address", kivo::cmd_probe},
    {"status", "read printers' state and supplies over SNMP", kivo::cmd_status},
    {"credentials", "keep SNMPv3 user credentials for get, walk and discover",
     kivo::cmd_credentials},
    {"report", "write the printers found (or saved lists) as one HTML page", kivo::cmd_report},
    {"ipp", "ask a printer for its attributes over IPP", kivo::cmd_ipp},
    {"setup", "make a CUPS print queue for a printer", kivo::cmd_setup},
};

const char kHelpHead[] =
    "Usage: kivo [OPTIONS] [COMMAND] [COMMAND OPTIONS]\n"
    "Finds network printers by SNMP broadcast, address-range scans, SLP and DNS-SD, and\n"
    "talks to them over SNMP and HTTP.\n"
    "\n"
    "Commands:\n";

const char kHelpTail[] =
    "\n"
    "Options of every command, also before its name:\n"
    "  --lang LANG    language of messages, headings and help (default: from the locale)\n"
    "  --datadir DIR  catalogue directory (default {1})\n"
    "  -V, --version  the version of kivo\n"
    "\n"
    "`kivo COMMAND --help` (or `kivo help COMMAND`) describes each command. Exit status:\n"
    "0 success, 1 the work could not be done, 2 bad arguments, 130 interrupted.\n";

std::string main_help() {
  std::string text = kivo::tr(kHelpHead);
  std::size_t width = 0;
  for (const Command &c : kCommands) width = std::max(width, std::string_view(c.name).size());
  for (const Command &c : kCommands)
    text += "  " + std::string(c.name) + std::string(width + 3 - std::string_view(c.name).size(), ' ') +
            kivo::tr(c.summary) + "\n";
  return text + kivo::subst(kivo::tr(kHelpTail), {kivo::data_directory()});
}

const Command *find_command(std::string_view name) {
  for (const Command &c : kCommands)
    if (name == c.name) return &c;
  return nullptr;
}

bool is_global_option(std::string_view item) {
  for (std::string_view name : {"--lang", "--datadir"})
    if (item == name || (item.size() > name.size() && item.substr(0, name.size()) == name &&
                         item[name.size()] == '='))
      return true;
  return false;
}

[[noreturn]] void unknown_command(const std::string &typed) {
  std::vector<std::string_view> names = {"help"};
  for (const Command &c : kCommands) names.emplace_back(c.name);
  throw kivo::UsageError("", kivo::subst(kivo::tr("unknown command '{1}'"), {typed}) +
                                 kivo::did_you_mean(typed, names));
}

int dispatch(int argc, char **argv) {
  // The command is the first item that is not one of the options of every command.
  int at = 1;
  while (at < argc && is_global_option(argv[at])) at += std::string_view(argv[at]).find('=') ==
                                                               std::string_view::npos ? 2 : 1;
  const std::string item = at < argc ? argv[at] : "";
  if (item == "--version" || item == "-V") {
    std::printf("kivo %s\n", KIVO_VERSION);
    return kivo::kExitOk;
  }
  if (item == "-h" || item == "--help") {
    kivo::put(stdout, main_help());
    return kivo::kExitOk;
  }
  if (item == "help") {
    if (at + 1 >= argc) {
      kivo::put(stdout, main_help());
      return kivo::kExitOk;
    }
    const Command *c = find_command(argv[at + 1]);
    if (c == nullptr) unknown_command(argv[at + 1]);
    char help_flag[] = "--help";
    char *help_argv[] = {argv[0], help_flag, nullptr};
    return c->run(2, help_argv, 1);
  }
  // Plain `kivo`, or options alone: a search.
  if (item.empty() || item[0] == '-') return kivo::cmd_discover(argc, argv, 1);
  const Command *c = find_command(item);
  if (c == nullptr) unknown_command(item);
  // The options of every command given before the name count too: Args skips them.
  std::vector<char *> rest(argv, argv + argc);
  rest.erase(rest.begin() + at);
  rest.push_back(nullptr);
  return c->run(argc - 1, rest.data(), 1);
}

}  // namespace

int main(int argc, char **argv) {
  // Run by cupsd as its backend kivo-cups: no options, no catalogue, lines for cupsd.
  if (argc > 0 && kivo::run_as_backend(argv[0])) return kivo::cups_backend(argc, argv);
  kivo::terminal_setup();
  std::string lang, datadir;
  kivo::global_options(argc, argv, lang, datadir);
  kivo::Language language(lang, datadir);
  try {
    return dispatch(argc, argv);
  } catch (const kivo::UsageError &e) {
    const std::string who = e.command.empty() ? "kivo" : "kivo " + e.command;
    const std::string help = e.command.empty() ? "kivo --help" : "kivo " + e.command + " --help";
    kivo::put(stderr, who + ": " + kivo::safe_text(e.what()) + "\n" +
                          kivo::subst(kivo::tr("Try '{1}'."), {help}) + "\n");
    return kivo::kExitUsage;
  } catch (const std::exception &e) {
    kivo::put(stderr, "kivo: " + kivo::safe_text(e.what()) + "\n");
    return kivo::kExitFailed;
  }
}
