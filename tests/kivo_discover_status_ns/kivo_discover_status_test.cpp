// `kivo discover --status` against snmpsim agents in namespaces: in JSON each printer's
// "status" is what `kivo status --json` prints for the same agent, null for a device
// that is no printer; the table's Status column says state, flags and supplies, the
// hostile texts of the jammed recording escaped.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/hub_network.h"
#include "support/kivo_run.h"
#include "support/snmpsim.h"
#include "support/status_recordings.h"

namespace kivo8::test {
namespace {

class KivoDiscoverStatus : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    KIVO8_REQUIRE_SNMPSIM();
    net_ = std::make_unique<HubNetwork>(3, "10.71.0");
    laser_ = std::make_unique<Snmpsim>(net_->agent(0).name(), recording("colour_laser", net_->agent_ip(0)));
    jammed_ = std::make_unique<Snmpsim>(net_->agent(1).name(), recording("jammed", net_->agent_ip(1)));
    router_ = std::make_unique<Snmpsim>(
        net_->agent(2).name(), std::vector<SnmprecLine>{{"1.3.6.1.2.1.1.1.0", "4", "Edge router"},
                                                        {"1.3.6.1.2.1.1.5.0", "4", "gw"}});
    for (Snmpsim *a : {laser_.get(), jammed_.get(), router_.get()}) ASSERT_TRUE(a->wait_ready(60));
  }

  KivoResult discover(const std::vector<std::string> &extra) {
    std::vector<std::string> args = {"discover", "--only", "--range",
                                     net_->agent_ip(0) + "-" + net_->agent_ip(2), "--community",
                                     "vellum", "--timeout", "2", "--no-web", "--no-snmpv3",
                                     "--quiet", "--status"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_kivo(&net_->hub(), home_, args);
  }

  TempDir home_;
  std::unique_ptr<HubNetwork> net_;
  std::unique_ptr<Snmpsim> laser_, jammed_, router_;
};

TEST_F(KivoDiscoverStatus, JsonStatusIsWhatKivoStatusPrints) {
  KivoResult found = discover({"--json"});
  ASSERT_EQ(found.status, 0) << found.err;
  EXPECT_EQ(json_query(home_, found.out, "[[x['address'], x['kind']] for x in d]"),
            "[[\"" + net_->agent_ip(0) + "\", \"printer\"], [\"" + net_->agent_ip(1) +
                "\", \"printer\"], [\"" + net_->agent_ip(2) + "\", \"other\"]]");
  EXPECT_EQ(json_query(home_, found.out, "d[2]['status']"), "null");
  for (int i : {0, 1}) {
    SCOPED_TRACE(net_->agent_ip(i));
    KivoResult alone = run_kivo(&net_->hub(), home_, {"status", "--json", net_->agent_ip(i)});
    ASSERT_EQ(alone.status, 0) << alone.err;
    const std::string expected = json_query(
        home_, alone.out, "{k: v for k, v in d[0].items() if k != 'address'}");
    EXPECT_EQ(json_query(home_, found.out, "d[" + std::to_string(i) + "]['status']"), expected);
  }
  EXPECT_EQ(json_query(home_, found.out,
                       "[d[0]['status']['state'], d[0]['status']['mac'], "
                       "d[0]['status']['supplies'][0]['percent'], d[1]['status']['errors']]"),
            "[\"idle\", \"00:1b:a9:3c:4d:5e\", 75, [\"doorOpen\", \"jammed\", \"inputTrayEmpty\"]]");

  // kivo report reads the list as written: the serial number and the supplies are on its
  // page.
  std::ofstream(home_.file("found.json"), std::ios::binary) << found.out;
  KivoResult page = run_kivo(nullptr, home_, {"report", "--from", home_.file("found.json"), "-o", "-"});
  ASSERT_EQ(page.status, 0) << page.err;
  EXPECT_NE(page.out.find("CLX-0042"), std::string::npos);
  EXPECT_NE(page.out.find("Black Toner Cartridge"), std::string::npos);

  // Without --status no record carries the field.
  KivoResult plain = run_kivo(&net_->hub(), home_,
                              {"discover", "--only", "--range", net_->agent_ip(0), "--community",
                               "vellum", "--timeout", "2", "--no-web", "--quiet", "--json"});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(json_query(home_, plain.out, "['status' in x for x in d]"), "[false]");
}

TEST_F(KivoDiscoverStatus, TableHasAStatusColumnWithEscapedTexts) {
  KivoResult r = discover({"--wide"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Status"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("idle; black 75%, cyan 25%, magenta 0%, yellow 100%, wasteToner 80% left"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("other: doorOpen, jammed, inputTrayEmpty; "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("; 3 alerts"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  // One line per device below the heading: no device text broke a line.
  std::size_t lines = 0;
  for (char c : r.out) lines += c == '\n' ? 1 : 0;
  EXPECT_EQ(lines, 4u) << r.out;
}

}  // namespace
}  // namespace kivo8::test
