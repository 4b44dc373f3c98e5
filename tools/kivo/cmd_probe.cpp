// kivo probe: whether a web server answers an HTTP HEAD request at an address.
#include <cstdio>
#include <string>

#include "common.h"

namespace kivo {

namespace {

const char kProbeHelp[] =
    "Usage: kivo probe [--json] HOST[:PORT] [PORT]\n"
    "Sends an HTTP HEAD request to HOST (port 80 unless PORT is given, after a colon as\n"
    "for kivo get or as a second argument) and tells whether a\n"
    "web server answers with a status from 200 to 399. It gives up after 3 seconds\n"
    "without a connection and 2 seconds without an answer.\n"
    "\n"
    "Exit status: 0 a web server answers, 1 none answers, 2 bad arguments.\n";

}  // namespace

int cmd_probe(int argc, char **argv, int first) {
  const Parsed args = parse_command_line("probe", {{"json", 0, false}}, argc, argv, first);
  if (args.help) {
    put(stdout, tr(kProbeHelp));
    return kExitOk;
  }
  const bool json = args.has("json");
  const std::vector<std::string> &operands = args.operands;
  if (operands.empty()) args.fail(tr("no host given"));
  if (operands.size() > 2) args.fail(subst(tr("too many arguments: '{1}'"), {operands[2]}));
  HostPort target = parse_host_port(args, operands[0], 80);
  if (operands.size() == 2) {
    if (operands[0].find(':') != std::string::npos)
      args.fail(subst(tr("the port is given twice: '{1}' and '{2}'"), {operands[0], operands[1]}));
    target.port = static_cast<int>(parse_number(args, "the port", operands[1], 1, 65535));
  }
  const in_addr *address = &target.address;
  const long port = target.port;

  Session::Options setup;
  setup.load_targets = false;
  Session lib(setup);
  bool answers = tcp_check_http(address, static_cast<std::uint16_t>(port)) == 0;
  std::string where = ipv4_text(*address) + ":" + std::to_string(port);
  if (json) {
    const std::string line =
        json_dump(Json{{"address", ipv4_text(*address)}, {"port", port}, {"web_server", answers}}) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
  }
  else
    put(stdout, subst(tr(answers ? "{1}: a web server answers" : "{1}: no web server answers"),
                      {where}) + "\n");
  return answers ? kExitOk : kExitFailed;
}

}  // namespace kivo
