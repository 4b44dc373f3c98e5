// Shared by the report tests: fixture lists, and pages checked by Debian's html5lib
// through check_page.py (never by kivo's own code).
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "report_html.h"
#include "report_json.h"
#include "support/peers.h"

namespace kivo8::test {

inline std::string report_fixture(const std::string &name) {
  std::ifstream in(source_dir() + "/tests/kivo_report/fixtures/" + name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The devices of the fixture lists, merged in the order given, each list its own site.
inline std::vector<kivo::report::Device> report_devices(std::initializer_list<const char *> names) {
  std::vector<kivo::report::Device> devices;
  for (const char *name : names) {
    std::string error;
    std::string site(name);
    site.resize(site.size() - 5);  // ".json"
    auto list = kivo::report::read_devices(report_fixture(name), site, error);
    EXPECT_TRUE(list.has_value()) << name << ": " << error;
    if (list) kivo::report::merge_devices(devices, std::move(*list));
  }
  return devices;
}

// A fleet of `count` devices made from the first site's fixture, each at an address and
// with a serial number of its own (10.X.Y.9, S<n>).
inline std::vector<kivo::report::Device> large_fleet(int count) {
  std::vector<kivo::report::Device> base = report_devices({"site-a.json"});
  std::vector<kivo::report::Device> fleet;
  for (int i = 0; i < count; ++i) {
    kivo::report::Device d = base[static_cast<std::size_t>(i) % base.size()];
    d.address = d.name = "10." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".9";
    d.addresses = {d.address};
    d.serial = "S" + std::to_string(i);
    fleet.push_back(std::move(d));
  }
  return fleet;
}

inline void write_text(const std::string &path, const std::string &text) {
  std::ofstream(path, std::ios::binary) << text;
}

// check_page.py MODE FILE, its JSON answer; null (and a failure) when it did not run.
inline nlohmann::json check_page(const TempDir &scratch, const std::string &mode, const std::string &file) {
  int status = -1;
  const std::string err = scratch.file("check_page.err");
  std::string out = sh_output("/usr/bin/python3 '" + source_dir() + "/tests/kivo_report/check_page.py' " + mode +
                                  " '" + file + "' 2>'" + err + "'",
                              &status);
  std::ifstream e(err);
  std::stringstream why;
  why << e.rdbuf();
  EXPECT_EQ(status, 0) << "check_page.py " << mode << " failed: " << why.str();
  if (status != 0) return nullptr;
  return nlohmann::json::parse(out, nullptr, false);
}

// The first cell (the device's name) of every row of table `t`.
inline std::vector<std::string> first_cells(const nlohmann::json &page, std::size_t t) {
  std::vector<std::string> out;
  if (!page.is_object() || t >= page["tables"].size()) return out;
  for (const auto &row : page["tables"][t]) out.push_back(row.empty() ? "" : row[0].get<std::string>());
  return out;
}

}  // namespace kivo8::test
