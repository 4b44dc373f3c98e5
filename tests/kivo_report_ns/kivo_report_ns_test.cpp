// `kivo report` end to end: a hub network of namespaces with three printers and a router
// (snmpsim agents); kivo runs in the hub with a scratch HOME, searches and writes the
// page, and the page is read back by Debian's html5lib.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "report_support.h"
#include "support/kivo_run.h"
#include "support/snmp_agents.h"

namespace {

using kivo8::test::check_page;
using kivo8::test::first_cells;
using kivo8::test::HubNetwork;
using kivo8::test::run_kivo;
using kivo8::test::Snmpsim;
using kivo8::test::SnmprecLine;
using kivo8::test::TempDir;

std::vector<SnmprecLine> printer(const std::string &model, const std::string &queue) {
  return {
      {"1.3.6.1.2.1.1.1.0", "4", "Acme " + model + " network printer"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.1.7"},
      {"1.3.6.1.2.1.1.5.0", "4", queue},
      {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
      {"1.3.6.1.2.1.25.3.2.1.3.1", "4", "Acme " + model},
      {"1.3.6.1.2.1.25.3.2.1.5.1", "2", "2"},
      {"1.3.6.1.2.1.43.5.1.1.16.1", "4", queue},
      // One toner at 42 %: read by the search's status reads, shown on the page.
      {"1.3.6.1.2.1.43.11.1.1.4.1.1", "2", "3"},
      {"1.3.6.1.2.1.43.11.1.1.5.1.1", "2", "3"},
      {"1.3.6.1.2.1.43.11.1.1.6.1.1", "4", "Black Toner " + model},
      {"1.3.6.1.2.1.43.11.1.1.8.1.1", "2", "100"},
      {"1.3.6.1.2.1.43.11.1.1.9.1.1", "2", "42"},
      {"1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1", "4", "MFG:Acme;MDL:" + model + ";"},
  };
}

class KivoReportNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    KIVO8_REQUIRE_PROGRAM("snmpsimd");
    net_ = std::make_unique<HubNetwork>(4, "10.78.0");
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(0).name(), printer("Jet 100", "front-desk")));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(1).name(), printer("Jet 200", "back-office")));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(2).name(), printer("Jet 300", "lab")));
    agents_.push_back(std::make_unique<Snmpsim>(
        net_->agent(3).name(), std::vector<SnmprecLine>{{"1.3.6.1.2.1.1.1.0", "4", "Edge router 7"},
                                                        {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.2.1"},
                                                        {"1.3.6.1.2.1.1.5.0", "4", "gw"}}));
    for (auto &a : agents_) ASSERT_TRUE(a->wait_ready(30));
  }

  std::unique_ptr<HubNetwork> net_;
  std::vector<std::unique_ptr<Snmpsim>> agents_;
  TempDir home_;
};

TEST_F(KivoReportNetwork, PageListsThePrintersOfTheNetwork) {
  const std::string page = home_.file("page.html");
  auto r = run_kivo(&net_->hub(), home_,
                    {"report", "-o", page, "--timeout", "2", "--no-slp", "--no-mdns", "--no-web"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "") << "the page goes to the file only";
  EXPECT_EQ(check_page(home_, "strict", page), (nlohmann::json{{"errors", nlohmann::json::array()}}));
  auto info = check_page(home_, "inspect", page);
  ASSERT_TRUE(info.is_object());
  ASSERT_EQ(info["tables"].size(), 2u) << "printers, and the router folded below";
  std::vector<std::string> names = first_cells(info, 0);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Acme Jet 100", "Acme Jet 200", "Acme Jet 300"}));
  // Addresses, the MAC address the neighbour table learnt (the namespaces' are random)
  // and how each was found, in the row of every printer.
  std::set<std::string> addresses;
  const std::regex mac("MAC [0-9a-f]{2}(:[0-9a-f]{2}){5}");
  for (const auto &row : info["tables"][0]) {
    const std::string cell = row[2].get<std::string>();
    EXPECT_TRUE(std::regex_search(cell, mac)) << cell;
    addresses.insert(std::regex_replace(cell, mac, ""));
  }
  EXPECT_EQ(addresses, (std::set<std::string>{"10.78.0.2found by broadcast", "10.78.0.3found by broadcast",
                                              "10.78.0.4found by broadcast"}));
  EXPECT_EQ(first_cells(info, 1), std::vector<std::string>{"gwEdge router 7"}) << "its name, then its product";
  const std::string text = kivo8::test::read_bytes(page);
  EXPECT_NE(text.find("3 printers found, 0 need attention</strong>; 1 other device."), std::string::npos);
  EXPECT_NE(text.find("10.78.0.1/24"), std::string::npos) << "the network searched is named";
  for (const char *model : {"Jet 100", "Jet 200", "Jet 300"})
    EXPECT_NE(text.find(std::string("Black Toner ") + model), std::string::npos)
        << "the search reads each printer's supplies";

  // The same search saved by kivo discover and made into a page later: the same rows.
  auto saved = run_kivo(&net_->hub(), home_, {"discover", "--json", "--timeout", "2", "--no-slp", "--no-mdns", "--no-web"});
  ASSERT_EQ(saved.status, 0) << saved.err;
  kivo8::test::write_text(home_.file("site.json"), saved.out);
  auto later = run_kivo(nullptr, home_, {"report", "--from", home_.file("site.json"), "-o", "-"});
  ASSERT_EQ(later.status, 0) << later.err;
  kivo8::test::write_text(home_.file("later.html"), later.out);
  auto again = check_page(home_, "inspect", home_.file("later.html"));
  ASSERT_TRUE(again.is_object());
  std::vector<std::string> later_names = first_cells(again, 0);
  std::sort(later_names.begin(), later_names.end());
  EXPECT_EQ(later_names, names);
}

}  // namespace
