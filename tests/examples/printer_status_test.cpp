// examples/printer_status.c run against net-snmp's snmpd on loopback, whose device and
// printer rows the test sets, as a user would run it.
#include <gtest/gtest.h>

#include <string>

#include "support/peers.h"
#include "support/snmpd.h"

namespace kivo8::test {
namespace {

std::string example(const std::string &name) { return binary_dir() + "/examples/" + name; }

TEST(ExamplePrinterStatus, ReadsTheStatusAndThePrinterNames) {
  KIVO8_REQUIRE_PROGRAM("snmpd");
  SnmpdConfig config;
  config.sys_descr = "Kestrel LX-410 network printer";
  config.view_lines.push_back("view kv included .1.3.6.1.2.1.25.3.2.1");
  config.view_lines.push_back("view kv included .1.3.6.1.2.1.25.3.5.1");
  config.view_lines.push_back("view kv included .1.3.6.1.2.1.43.5.1.1.16");
  config.extra_lines = {
      "override .1.3.6.1.2.1.25.3.2.1.3.1 octet_str \"Kestrel LX-410\"",
      "override .1.3.6.1.2.1.25.3.2.1.5.1 integer 3",
      "override .1.3.6.1.2.1.25.3.5.1.1.1 integer 4",
      "override .1.3.6.1.2.1.43.5.1.1.16.1 octet_str \"front-desk\"",
      "override .1.3.6.1.2.1.43.5.1.1.16.2 octet_str \"back-office\"",
  };
  Snmpd agent(config);
  ASSERT_TRUE(agent.ok());

  int status = -1;
  std::string out = sh_output(example("printer_status") + " 127.0.0.1 vellum " +
                                  std::to_string(agent.port()) + " 2>&1",
                              &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("sysDescr         Kestrel LX-410 network printer\n"), std::string::npos) << out;
  EXPECT_NE(out.find("hrDeviceDescr    Kestrel LX-410\n"), std::string::npos) << out;
  EXPECT_NE(out.find("hrDeviceStatus   warning (3)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("hrPrinterStatus  printing (4)\n"), std::string::npos) << out;
  EXPECT_NE(out.find("printer 1        front-desk\n"), std::string::npos) << out;
  EXPECT_NE(out.find("printer 2        back-office\n"), std::string::npos) << out;
}

TEST(ExamplePrinterStatus, ASilentHostAndBadArgumentsFailWithTheirStatus) {
  // Nothing listens on this port of loopback: two transmissions of two seconds, then 1.
  int status = -1;
  std::string out = sh_output(example("printer_status") + " 127.0.0.1 vellum " +
                                  std::to_string(free_udp_port()) + " 2>&1",
                              &status);
  EXPECT_EQ(status, 1) << out;
  EXPECT_NE(out.find("did not answer"), std::string::npos) << out;
  struct {
    const char *args;
  } cases[] = {{""}, {"printer.example"}, {"127.0.0.1 vellum 0"}, {"127.0.0.1 vellum 70000"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args);
    EXPECT_EQ(sh(example("printer_status") + " " + c.args + " >/dev/null 2>&1"), 2);
  }
}

}  // namespace
}  // namespace kivo8::test
