// snmpsim agents started and stopped for a test.
#include "support/snmpsim.h"

#include <sys/stat.h>

#include <algorithm>
#include <string>

#include "support/net_util.h"
#include "support/snmp_craft.h"

namespace kivo8::test {

std::string snmpsim_program() {
  for (const char *name : {"snmpsim-command-responder", "snmpsimd.py", "snmpsimd"}) {
    std::string path = find_program(name);
    if (!path.empty()) return path;
  }
  return "";
}

Snmpsim::Snmpsim(const std::string &netns, const std::vector<SnmprecLine> &data,
                 const std::string &endpoint, const std::string &community,
                 SnmpsimStack stack)
    : netns_(netns), endpoint_(endpoint), community_(community) {
  // The responder drops its privileges before reading its data and writing its index,
  // so the scratch directory must be open to it.
  chmod(dir_.path().c_str(), 0755);
  mkdir(dir_.file("data").c_str(), 0755);
  mkdir(dir_.file("cache").c_str(), 0777);
  chmod(dir_.file("cache").c_str(), 0777);

  // snmpsim expects its records in OID order.
  std::vector<SnmprecLine> sorted = data;
  std::sort(sorted.begin(), sorted.end(), [](const SnmprecLine &a, const SnmprecLine &b) {
    return craft::parse_oid(a.oid) < craft::parse_oid(b.oid);
  });
  std::string text;
  for (const auto &line : sorted) {
    std::string oid = line.oid[0] == '.' ? line.oid.substr(1) : line.oid;
    text += oid + "|" + line.tag + "|" + line.value + "\n";
  }
  if (!sorted.empty()) first_oid_ = sorted.front().oid;
  std::string file = dir_.file("data/" + community + ".snmprec");
  if (!write_text_file(file, text)) ADD_FAILURE() << "cannot write " << file;
  chmod(file.c_str(), 0644);

  std::string program = snmpsim_program();
  if (program.empty()) {
    ADD_FAILURE() << "snmpsim is not installed";
    return;
  }
  std::vector<std::string> args = {program};
  if (stack == SnmpsimStack::v2c) args.push_back("--v2c-arch");
  for (const std::string &a :
       {"--data-dir=" + dir_.file("data"), "--cache-dir=" + dir_.file("cache"),
        "--agent-udpv4-endpoint=" + endpoint, std::string("--process-user=nobody"),
        std::string("--process-group=nogroup")})
    args.push_back(a);
  process_ = Process(args, netns, dir_.file("snmpsim.log"));
}

Snmpsim::~Snmpsim() { stop(); }

bool Snmpsim::wait_ready(double seconds) {
  auto colon = endpoint_.rfind(':');
  std::string ip = endpoint_.substr(0, colon);
  if (ip == "0.0.0.0") ip = "127.0.0.1";
  int port = std::stoi(endpoint_.substr(colon + 1));
  bool ready = wait_until(seconds, [&] {
    return process_.running() && snmp_answers(netns_, ip, port, community_, first_oid_);
  });
  if (!ready) {
    ADD_FAILURE() << "snmpsim did not answer at " << endpoint_ << "; its log:\n"
                  << sh_output("tail -30 '" + dir_.file("snmpsim.log") + "'");
  }
  return ready;
}

void Snmpsim::stop() { process_.stop(); }

}  // namespace kivo8::test
