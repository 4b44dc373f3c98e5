// examples/status.c run against the jammed printer's recording, as a user would run it.
#include <gtest/gtest.h>

#include <string>

#include "status_agents.h"

namespace kivo8::test {
namespace {

TEST(ExampleStatus, PrintsStateAlertsAndEscapedTexts) {
  KIVO8_REQUIRE_SNMPSIM();
  LoopbackAgent agent(recording("jammed"));
  ASSERT_TRUE(agent.sim.wait_ready());
  int status = -1;
  std::string out = sh_output(binary_dir() + "/examples/status 127.0.0.1 vellum " +
                                  std::to_string(agent.port) + " 2>&1",
                              &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("state      other\n"), std::string::npos) << out;
  EXPECT_NE(out.find("device     down\n"), std::string::npos) << out;
  EXPECT_NE(out.find("errors     doorOpen jammed inputTrayEmpty\n"), std::string::npos) << out;
  EXPECT_NE(out.find("alert      critical jam\n"), std::string::npos) << out;
  EXPECT_NE(out.find("pages      4294967295\n"), std::string::npos) << out;
  EXPECT_NE(out.find("serial     SN\\x00\"7\"\n"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(sh(binary_dir() + "/examples/status not-an-address >/dev/null 2>&1"), 2);
}

}  // namespace
}  // namespace kivo8::test
