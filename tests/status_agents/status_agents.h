// snmpsim agents on loopback serving the status recordings of tests/status/recordings,
// and what snmpwalk reads from them, for the status tests of the library and of kivo.
#pragma once

#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/peers.h"
#include "support/snmpsim.h"
#include "support/status_recordings.h"

namespace kivo8::test {

// One agent on 127.0.0.1 at a port of its own.
struct LoopbackAgent {
  explicit LoopbackAgent(const std::vector<SnmprecLine> &data)
      : port(free_udp_port()),
        sim("", data, "127.0.0.1:" + std::to_string(port), "vellum", SnmpsimStack::full) {}
  int port;
  Snmpsim sim;
};

// snmpwalk -On of `root`: numeric name -> value text after "TYPE: ".
inline std::map<std::string, std::string> snmpwalk(int port, const std::string &root) {
  std::string out = sh_output("snmpwalk -On -v2c -c vellum -t 2 -r 1 127.0.0.1:" +
                              std::to_string(port) + " " + root + " 2>/dev/null");
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    auto eq = line.find(" = ");
    if (eq == std::string::npos) continue;
    std::string value = line.substr(eq + 3);
    auto colon = value.find(": ");
    if (colon != std::string::npos) value = value.substr(colon + 2);
    values[line.substr(0, eq)] = value;
  }
  return values;
}

}  // namespace kivo8::test
