// kivo probe: whether a web server answers an HTTP HEAD request at an address.
#include <cstdio>
#include <string>

#include "common.h"

namespace kivo {

namespace {

const char kProbeHelp[] =
    "Usage: kivo probe [--json] HOST [PORT]\n"
    "Sends an HTTP HEAD request to HOST (port 80 unless PORT is given) and tells whether a\n"
    "web server answers with a status from 200 to 399. It gives up after 3 seconds\n"
    "without a connection and 2 seconds without an answer.\n"
    "\n"
    "Exit status: 0 a web server answers, 1 none answers, 2 bad arguments.\n";

}  // namespace

int cmd_probe(int argc, char **argv, int first) {
  Args args("probe", argc, argv, first);
  bool json = false;
  std::vector<std::string> operands;
  std::string opt, operand;
  while (args.next(opt, operand)) {
    if (opt.empty()) {
      operands.push_back(operand);
    } else if (opt == "h" || opt == "help") {
      args.no_value();
      std::fputs(kProbeHelp, stdout);
      return kExitOk;
    } else if (opt == "json") {
      args.no_value();
      json = true;
    } else {
      args.unknown();
    }
  }
  if (operands.empty()) args.fail("no host given");
  if (operands.size() > 2) args.fail("too many arguments: '" + operands[2] + "'");
  auto address = resolve_host(operands[0]);
  if (!address) args.fail("cannot find the host '" + operands[0] + "'");
  long port = 80;
  if (operands.size() == 2) port = parse_number(args, "the port", operands[1], 1, 65535);

  Session::Options setup;
  setup.load_targets = false;
  Session lib(setup);
  bool answers = tcp_check_http(&*address, static_cast<std::uint16_t>(port)) == 0;
  std::string where = ipv4_text(*address) + ":" + std::to_string(port);
  if (json)
    std::printf("{\"address\": %s, \"port\": %ld, \"web_server\": %s}\n",
                json_string(ipv4_text(*address)).c_str(), port, answers ? "true" : "false");
  else if (answers)
    std::printf("%s: a web server answers\n", where.c_str());
  else
    std::printf("%s: no web server answers\n", where.c_str());
  return answers ? kExitOk : kExitFailed;
}

}  // namespace kivo
