// kivo targets on a host with one known interface (a namespace with one end of a veth pair):
// what a change does to the interface's target, and what kivo says it did.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/kivo_run.h"
#include "support/peers.h"

namespace {

using kivo8::test::KivoResult;
using kivo8::test::Netns;
using kivo8::test::run_kivo;
using kivo8::test::saved_targets;
using kivo8::test::TempDir;

TEST(KivoTargetsInterface, AddingTheInterfacesSubnetChangesItsTargetAndSaysSo) {
  KIVO8_REQUIRE_NETNS();
  Netns ns;
  ns.must("ip link add d0 type veth peer name d1 && ip addr add 10.93.0.1/24 brd + dev d0 && ip link set d1 up && ip link set d0 up");
  TempDir home;
  auto kivo = [&](const std::vector<std::string> &args) { return run_kivo(home.path(), args, &ns); };
  auto expect = [&](const std::vector<std::string> &args, const std::string &message) {
    const KivoResult r = kivo(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, message + "\n") << r.err;
  };

  expect({"targets", "set", "1", "--timeout", "7", "--hops", "3"}, "changed target 1");
  const std::string line = "10.93.0.255,255.255.255.0,0.0.0.0,7,3,vellum";
  EXPECT_EQ(saved_targets(home.path())[1], line);
  // The fault this guards against: "added target 1", and the interface's target replaced
  // by one with the default time-out and hops.
  expect({"targets", "add-broadcast", "10.93.0.200", "255.255.255.0"},
         "target 1 already searches the subnet 10.93.0.255/255.255.255.0: nothing changed");
  EXPECT_EQ(saved_targets(home.path())[1], line);
  expect({"targets", "add-broadcast", "10.93.0.200", "255.255.255.0", "--community", "ink"},
         "changed target 1 (it already searched the subnet 10.93.0.255/255.255.255.0)");
  EXPECT_EQ(saved_targets(home.path())[1], "10.93.0.255,255.255.255.0,0.0.0.0,7,3,ink");

  // Other subnets are new targets after the interface's; the interface keeps its id.
  expect({"targets", "add-broadcast", "10.94.1.1", "255.255.0.0"}, "added target 2");
  expect({"targets", "add-range", "10.93.0.10", "10.93.0.20"}, "added target 10001");
  const KivoResult gone = kivo({"targets", "remove", "1"});
  EXPECT_EQ(gone.status, 2);
  EXPECT_NE(gone.err.find("is the interface d0 of this host"), std::string::npos) << gone.err;
  const std::map<int32_t, std::string> want = {
      {1, "10.93.0.255,255.255.255.0,0.0.0.0,7,3,ink"},
      {2, "10.94.255.255,255.255.0.0,0.0.0.0,3,0,vellum"},
      {10001, "10.93.0.10,10.93.0.20,0.0.0.0,3,0,vellum"},
  };
  EXPECT_EQ(saved_targets(home.path()), want);
  expect({"targets", "remove", "2"}, "removed target 2");
  expect({"targets", "add-slp", "DEFAULT"}, "added target 20001");
  EXPECT_EQ(saved_targets(home.path()).count(10001), 1u);
}

}  // namespace
