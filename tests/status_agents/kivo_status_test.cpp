// `kivo status` against snmpsim agents on loopback: the table a person reads, the JSON
// (parsed by python3), the OpenMetrics text (checked by promtool), and hostile device
// texts that must break none of them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "status_agents.h"
#include "support/kivo_run.h"
#include "support/net_util.h"

namespace kivo8::test {
namespace {

std::string at(const LoopbackAgent &a) { return "127.0.0.1:" + std::to_string(a.port); }

class KivoStatus : public ::testing::Test {
 protected:
  KivoResult kivo(const std::vector<std::string> &args,
                  const std::vector<std::string> &env = {"LANG=C.UTF-8"}) {
    return run_kivo(nullptr, home_, args, env);
  }
  TempDir home_;
};

TEST_F(KivoStatus, TableShowsStateBarsAndPages) {
  KIVO8_REQUIRE_SNMPSIM();
  LoopbackAgent laser(recording("colour_laser"));
  LoopbackAgent inkjet(recording("inkjet"));
  ASSERT_TRUE(laser.sim.wait_ready());
  ASSERT_TRUE(inkjet.sim.wait_ready());
  KivoResult r = kivo({"status", "-v", "2c", at(laser), at(inkjet)});
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string &o = r.out;
  EXPECT_NE(o.find(at(laser) + ": idle, running\n"), std::string::npos) << o;
  EXPECT_NE(o.find("  errors    none\n"), std::string::npos) << o;
  EXPECT_NE(o.find("Black Toner Cartridge    black    [###############.....]  75%"),
            std::string::npos) << o;
  EXPECT_NE(o.find("[################....]  80% space left"), std::string::npos) << o;
  EXPECT_NE(o.find("  pages     48213\n"), std::string::npos) << o;
  EXPECT_NE(o.find("  mac       00:1b:a9:3c:4d:5e\n"), std::string::npos) << o;
  EXPECT_NE(o.find(at(inkjet) + ": printing, running\n"), std::string::npos) << o;
  EXPECT_NE(o.find("Black ink       black             [                    ] some"),
            std::string::npos) << o;
  EXPECT_NE(o.find("[                    ] unknown"), std::string::npos) << o;
}

TEST_F(KivoStatus, JsonFieldsAndEnumerationNames) {
  KIVO8_REQUIRE_SNMPSIM();
  LoopbackAgent laser(recording("colour_laser"));
  LoopbackAgent jammed(recording("jammed"));
  LoopbackAgent label(recording("label_printer"));
  for (auto *a : {&laser, &jammed, &label}) ASSERT_TRUE(a->sim.wait_ready());
  KivoResult r = kivo({"status", "-v", "2c", "--json", at(laser), at(jammed), at(label)});
  ASSERT_EQ(r.status, 0) << r.err;
  struct {
    const char *expr, *expected;
  } cases[] = {
      {"len(d)", "3"},
      {"d[0]['state']", "\"idle\""},
      {"d[0]['device_status']", "\"running\""},
      {"d[0]['errors']", "[]"},
      {"d[0]['supplies'][0]['class']", "\"supplyThatIsConsumed\""},
      {"d[0]['supplies'][0]['type']", "\"toner\""},
      {"d[0]['supplies'][0]['unit']", "\"impressions\""},
      {"d[0]['supplies'][0]['colorant']", "\"black\""},
      {"[d[0]['supplies'][0][k] for k in ('index','max','level','percent')]", "[1, 12000, 9000, 75]"},
      {"d[0]['supplies'][4]['class']", "\"receptacleThatIsFilled\""},
      {"d[0]['supplies'][4]['type']", "\"wasteToner\""},
      {"d[0]['supplies'][4]['colorant']", "null"},
      {"d[0]['alerts']", "[]"},
      {"[d[0][k] for k in ('page_count','serial','mac')]", "[48213, \"CLX-0042\", \"00:1b:a9:3c:4d:5e\"]"},
      {"d[0]['location']", "\"Room 2.17 \\\"east\\\"\""},
      {"d[1]['state']", "\"other\""},
      {"d[1]['device_status']", "\"down\""},
      {"d[1]['errors']", "[\"doorOpen\", \"jammed\", \"inputTrayEmpty\"]"},
      {"[(a['severity'], a['group'], a['code']) for a in d[1]['alerts']]",
       "[[\"critical\", \"mediaPath\", \"jam\"], [\"warning\", \"cover\", \"doorOpen\"], "
       "[\"warning\", null, \"markerTonerAlmostEmpty\"]]"},
      {"d[1]['alerts'][0]['description'][:13]", "\"He said \\\"hi\\\" \""},
      {"d[1]['supplies'][1]['percent']", "null"},
      {"d[1]['supplies'][1]['level']", "5001"},
      {"d[1]['page_count']", "4294967295"},
      {"d[1]['serial']", "\"SN\\u0000\\\"7\\\"\""},
      {"d[2]['supplies']", "[]"},
      {"d[2]['errors']", "[]"},
      {"d[2]['page_count']", "null"},
      {"d[2]['contact']", "\"\""},
      {"d[2]['location']", "null"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.expr);
    EXPECT_EQ(json_query(home_, r.out, c.expr), c.expected);
  }
}

TEST_F(KivoStatus, OpenMetricsAcceptedByPromtool) {
  KIVO8_REQUIRE_SNMPSIM();
  KIVO8_REQUIRE_PROGRAM("promtool");
  std::vector<std::unique_ptr<LoopbackAgent>> agents;
  std::vector<std::string> args{"status", "-v", "2c", "--openmetrics"};
  for (const char *name :
       {"colour_laser", "inkjet", "label_printer", "percent_unit", "jammed"}) {
    agents.push_back(std::make_unique<LoopbackAgent>(recording(name)));
  }
  for (auto &a : agents) {
    ASSERT_TRUE(a->sim.wait_ready());
    args.push_back(at(*a));
  }
  int silent = free_udp_port();
  args.push_back("127.0.0.1:" + std::to_string(silent));
  args.insert(args.begin() + 1, {"-t", "1", "-r", "0"});
  KivoResult r = kivo(args);
  EXPECT_EQ(r.status, 1) << "one device does not answer";
  const std::string file = home_.file("metrics.txt");
  ASSERT_TRUE(write_text_file(file, r.out));
  int status = -1;
  std::string check = sh_output("promtool check metrics <" + shell_quote(file) + " 2>&1", &status);
  EXPECT_EQ(status, 0) << check << "\n" << r.out;
  const std::string laser = "address=\"" + at(*agents[0]) + "\"";
  for (const std::string &line : std::vector<std::string>{
           "kivo_printer_up{" + laser + "} 1\n",
           "kivo_printer_up{address=\"127.0.0.1:" + std::to_string(silent) + "\"} 0\n",
           "kivo_printer_state{" + laser + ",state=\"idle\"} 1\n",
           "kivo_printer_error{" + laser + ",error=\"jammed\"} 0\n",
           "kivo_supply_level_ratio{" + laser +
               ",index=\"1\",description=\"Black Toner Cartridge\",type=\"toner\",colour=\"black\","
               "receptacle=\"false\"} 0.75\n",
           std::string("# TYPE kivo_printer_pages_total counter\n"),
           "kivo_printer_pages_total{" + laser + "} 48213\n",
       }) {
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;
  }
  EXPECT_EQ(r.out.substr(r.out.size() - 6), "# EOF\n");
  // Levels the device gives no share for have no sample: nothing is made up.
  EXPECT_EQ(r.out.find("description=\"Black ink\""), std::string::npos);
}

TEST_F(KivoStatus, HostileTextsBreakNoOutput) {
  KIVO8_REQUIRE_SNMPSIM();
  LoopbackAgent jammed(recording("jammed"));
  ASSERT_TRUE(jammed.sim.wait_ready());
  {
    SCOPED_TRACE("terminal, UTF-8");
    KivoResult r = kivo({"status", "-v", "2c", at(jammed)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(first_control(r.out, true), "") << r.out;
    EXPECT_NE(r.out.find("He said \"hi\" \\ back\\r\\nslash\\n<script>"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("  serial    SN\\x00\"7\"\n"), std::string::npos) << r.out;
    for (const auto &line : lines_of(r.out)) EXPECT_LE(utf8_chars(line), 200u) << line;
  }
  {
    SCOPED_TRACE("JSON");
    KivoResult r = kivo({"status", "-v", "2c", "--json", at(jammed)});
    bool ok = false;
    EXPECT_EQ(json_query(home_, r.out, "d[0]['supplies'][0]['description']", &ok),
              "\"He said \\\"hi\\\" \\\\ back\\r\\nslash\\n<script>alert(1)</script>\\u00ff\\u00fe"
              "\\u00c3( \\u001b[2J\\u0000end\"");
    EXPECT_TRUE(ok);
    EXPECT_EQ(json_query(home_, r.out, "len(d[0]['alerts'][2]['description'])"), "4096");
  }
  {
    SCOPED_TRACE("OpenMetrics");
    KIVO8_REQUIRE_PROGRAM("promtool");
    KivoResult r = kivo({"status", "-v", "2c", "--openmetrics", at(jammed)});
    const std::string file = home_.file("metrics.txt");
    ASSERT_TRUE(write_text_file(file, r.out));
    int status = -1;
    std::string check = sh_output("promtool check metrics <" + shell_quote(file) + " 2>&1", &status);
    EXPECT_EQ(status, 0) << check << "\n" << r.out;
    EXPECT_NE(r.out.find("description=\"He said \\\"hi\\\" \\\\ back\r\\nslash\\n<script>"
                         "alert(1)</script>\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD("),
              std::string::npos)
        << r.out;
  }
}

TEST_F(KivoStatus, UsageErrors) {
  struct {
    const char *name;
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {"no host", {"status"}, "no host given"},
      {"two formats", {"status", "--json", "--openmetrics", "127.0.0.1"}, "cannot be combined"},
      {"bad version", {"status", "-v", "4", "127.0.0.1"}, "must be 1, 2c or 3"},
      {"v3 without user", {"status", "-v", "3", "127.0.0.1"}, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    KivoResult r = kivo(c.args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  KivoResult help = kivo({"status", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--openmetrics"), std::string::npos);
  EXPECT_NE(kivo({"--help"}).out.find("  status "), std::string::npos);
}

}  // namespace
}  // namespace kivo8::test
