// The printer recordings of tests/status/recordings as snmpsim data, and a printer whose
// tables run to thousands of rows: the agents of every status test, on loopback or in a
// namespace.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/peers.h"
#include "support/snmpsim.h"

namespace kivo8::test {

// The recording `name`. The recordings were made on loopback, so the address table names
// 127.0.0.1; an agent serving it at `ip` gets its own address there instead, so that the
// interface of the address asked (and its MAC) is found.
inline std::vector<SnmprecLine> recording(const std::string &name, const std::string &ip = "127.0.0.1") {
  std::ifstream in(source_dir() + "/tests/status/recordings/" + name + ".snmprec");
  EXPECT_TRUE(in.good()) << "no recording " << name;
  const std::string recorded_address = "1.3.6.1.2.1.4.20.1.2.127.0.0.1";
  std::vector<SnmprecLine> lines;
  std::string line;
  while (std::getline(in, line)) {
    auto a = line.find('|');
    auto b = line.find('|', a + 1);
    if (a == std::string::npos || b == std::string::npos) continue;
    std::string oid = line.substr(0, a);
    if (oid == recorded_address) oid = "1.3.6.1.2.1.4.20.1.2." + ip;
    lines.push_back({oid, line.substr(a + 1, b - a - 1), line.substr(b + 1)});
  }
  return lines;
}

// A printer whose supplies and alerts tables have `rows` rows each, indexes 1 to rows.
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

}  // namespace kivo8::test
