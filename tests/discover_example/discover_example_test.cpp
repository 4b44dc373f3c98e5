// examples/discover.c, built as a user would build it, finds the devices of a namespace
// network: a printer answering SNMP broadcasts and range scans, and a router.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/peers.h"
#include "support/snmp_agents.h"

namespace kivo8::test {
namespace {

TEST(DiscoverExample, FindsThePrinterAndTheRouterOfTheNetwork) {
  KIVO8_REQUIRE_NETNS();
  if (snmpsim_program().empty()) {
    if (in_ci()) FAIL() << "required peer program missing: snmpsim";
    GTEST_SKIP() << "snmpsim is not installed";
  }
  const std::string program = std::string(KIVO8_BINARY_DIR) + "/examples/discover";
  ASSERT_EQ(access(program.c_str(), X_OK), 0) << program << " was not built";
  HubNetwork net(3);
  Snmpsim printer(net.agent(0).name(),
                  {{"1.3.6.1.2.1.1.1.0", "4", "Acme Jet 100 network printer"},
                   {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
                   {"1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1", "4", "MFG:Acme;MDL:Jet 100;CMD:PCL;"}});
  Snmpsim router(net.agent(1).name(), {{"1.3.6.1.2.1.1.1.0", "4", "Edge router 7"}});
  ASSERT_TRUE(printer.wait_ready());
  ASSERT_TRUE(router.wait_ready());
  TempDir home;
  std::string out = home.file("out.txt");
  // The hub's own interface is found by the program; the range adds a scan of the agents.
  int status = net.hub().sh("HOME=" + home.path() + " " + program + " --timeout 3000 --no-web " +
                            net.agent_ip(0) + "-" + net.agent_ip(2) + " >" + out + " 2>&1");
  std::stringstream text;
  text << std::ifstream(out).rdbuf();
  ASSERT_EQ(status, 0) << text.str();
  std::string s = text.str();
  EXPECT_NE(s.find(net.agent_ip(0)), std::string::npos) << s;
  EXPECT_NE(s.find("Acme Jet 100"), std::string::npos) << s;
  EXPECT_NE(s.find("printer  "), std::string::npos) << s;
  EXPECT_NE(s.find("found by: broadcast scan"), std::string::npos) << s;
  EXPECT_NE(s.find(net.agent_ip(1)), std::string::npos) << s;
  EXPECT_NE(s.find("other device"), std::string::npos) << s;
  EXPECT_NE(s.find("2 devices in"), std::string::npos) << s;
}

}  // namespace
}  // namespace kivo8::test
