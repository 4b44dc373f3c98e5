// What kivo discover puts on the wire when a search is switched off, read by tshark on
// the hub of a namespace network. The fault it catches: the SNMPv3 engine-id probe went
// to every broadcast address whatever --no-broadcast said.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/hub_network.h"
#include "support/kivo_run.h"
#include "support/peers.h"

namespace kivo8::test {
namespace {

TEST(DiscoverSwitches, NoBroadcastPutsNoDatagramOnABroadcastAddress) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("tshark");
  HubNetwork net(1, "10.68.0");
  TempDir home;
  const std::string agent = net.agent_ip(0);
  struct Case {
    const char *what;
    std::vector<std::string> switches;
    bool broadcast_expected;
  };
  const Case cases[] = {
      // The control: the capture does see broadcasts, v1 and the SNMPv3 probe alike.
      {"default: broadcasts go out", {}, true},
      {"--no-broadcast: none, not even the SNMPv3 probe", {"--no-broadcast"}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string pcap = home.file(std::string("sent-") + (c.broadcast_expected ? "a" : "b") + ".pcap");
    Process capture({"tshark", "-i", "br0", "-w", pcap, "-f", "udp"}, net.hub().name(), home.file("tshark.log"));
    // tshark says it is capturing a moment before it is: wait for a marker of our own.
    ASSERT_TRUE(wait_until(30, [&] {
      net.hub().sh("bash -c 'echo mark > /dev/udp/" + agent + "/9' 2>/dev/null");
      return !net.hub().sh_output("tshark -r " + pcap + " -Y 'udp.dstport==9' 2>/dev/null").empty();
    }));
    std::vector<std::string> args = {"discover", "--timeout", "1", "--no-web", "--range", agent};
    args.insert(args.end(), c.switches.begin(), c.switches.end());
    KivoResult r = run_kivo(&net.hub(), home, args);
    ASSERT_EQ(r.status, 0) << r.err;
    // Let the last datagrams reach the file.
    (void)wait_until(2, [] { return false; });
    capture.stop();
    const std::string to_broadcast = net.hub().sh_output(
        "tshark -r " + pcap + " -Y 'ip.src==" + net.hub_ip() + " && (ip.dst==" + net.broadcast_ip() +
        " || ip.dst==255.255.255.255)' -T fields -e ip.dst -e udp.dstport -e snmp.msgVersion 2>/dev/null");
    const std::string to_agent = net.hub().sh_output(
        "tshark -r " + pcap + " -Y 'ip.dst==" + agent + " && udp.dstport==161' -T fields -e snmp.msgVersion 2>/dev/null");
    // The range was swept either way, with v1 and the SNMPv3 probe.
    EXPECT_NE(to_agent.find('3'), std::string::npos) << to_agent;
    if (c.broadcast_expected) {
      EXPECT_NE(to_broadcast.find("161"), std::string::npos) << to_broadcast;
    } else {
      EXPECT_EQ(to_broadcast, "") << to_broadcast;
    }
  }
}

}  // namespace
}  // namespace kivo8::test
