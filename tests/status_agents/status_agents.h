// snmpsim agents on loopback serving the status recordings of tests/status/recordings,
// and what snmpwalk reads from them, for the status tests of the library and of kivo.
#pragma once

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/peers.h"
#include "support/snmpsim.h"

namespace kivo8::test {

inline std::vector<SnmprecLine> recording(const std::string &name) {
  std::ifstream in(source_dir() + "/tests/status/recordings/" + name + ".snmprec");
  EXPECT_TRUE(in.good()) << "no recording " << name;
  std::vector<SnmprecLine> lines;
  std::string line;
  while (std::getline(in, line)) {
    auto a = line.find('|');
    auto b = line.find('|', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    lines.push_back({line.substr(0, a), line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
  return lines;
}

// A device whose supplies and alerts tables have `rows` rows each, indexes 1 to rows.
inline std::vector<SnmprecLine> flood(int rows) {
  std::vector<SnmprecLine> lines{{"1.3.6.1.2.1.25.3.5.1.1.1", "2", "3"}};
  for (int i = 1; i <= rows; ++i) {
    std::string n = std::to_string(i);
    lines.push_back({"1.3.6.1.2.1.43.11.1.1.4.1." + n, "2", "3"});
    lines.push_back({"1.3.6.1.2.1.43.11.1.1.6.1." + n, "4", "Supply " + n});
    lines.push_back({"1.3.6.1.2.1.43.11.1.1.8.1." + n, "2", "100"});
    lines.push_back({"1.3.6.1.2.1.43.11.1.1.9.1." + n, "2", std::to_string(i % 101)});
    lines.push_back({"1.3.6.1.2.1.43.18.1.1.2.1." + n, "2", "4"});
    lines.push_back({"1.3.6.1.2.1.43.18.1.1.8.1." + n, "4", "Alert " + n});
  }
  return lines;
}

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
