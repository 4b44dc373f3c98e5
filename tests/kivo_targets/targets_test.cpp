// kivo targets run after run in a scratch HOME, as a script would use it: ids that a run
// printed still name the same targets in later runs, and every message says what was done.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/kivo_run.h"
#include "support/peers.h"

namespace {

using kivo8::test::KivoResult;
using kivo8::test::run_kivo;
using kivo8::test::saved_targets;
using kivo8::test::TempDir;

class KivoTargets : public ::testing::Test {
 protected:
  KivoResult kivo(const std::vector<std::string> &args) { return run_kivo(home_.path(), args); }
  // Runs kivo and expects it to succeed with exactly `message`.
  void expect(const std::vector<std::string> &args, const std::string &message) {
    SCOPED_TRACE(args.empty() ? "" : args[0] + " " + (args.size() > 1 ? args[1] : ""));
    const KivoResult r = kivo(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, message + "\n") << r.err;
  }
  std::map<int32_t, std::string> saved() { return saved_targets(home_.path()); }
  void put(const std::string &content) {
    kivo8::test::sh("mkdir -p " + kivo8::test::shell_quote(home_.file(".kivo")));
    std::ofstream(home_.file(".kivo/kivo2.pref")) << content;
  }
  // Saved ranges and SLP searches only: the host's interfaces differ between machines.
  std::map<int32_t, std::string> saved_above(int32_t first) {
    std::map<int32_t, std::string> out;
    for (const auto &[id, line] : saved())
      if (id >= first) out[id] = line;
    return out;
  }
  TempDir home_;
};

TEST_F(KivoTargets, IdsStayPutThroughAddSetRemoveAndAddAgain) {
  expect({"targets", "add-range", "10.1.0.1", "10.1.0.9"}, "added target 10001");
  expect({"targets", "set", "10001", "--timeout", "5"}, "changed target 10001");
  // The fault this guards against: the second range took 10001 and moved the first.
  expect({"targets", "add-range", "10.2.0.1", "10.2.0.9"}, "added target 10002");
  expect({"targets", "add-slp", "A,B"}, "added target 20001");
  expect({"targets", "add-range", "10.3.0.1", "10.3.0.9"}, "added target 10003");
  expect({"targets", "add-slp", "C"}, "added target 20002");
  expect({"targets", "remove", "10002"}, "removed target 10002");
  expect({"targets", "remove", "20001"}, "removed target 20001");
  // The others keep their ids; a new one goes past the highest, never into the gap.
  expect({"targets", "add-range", "10.4.0.1", "10.4.0.9"}, "added target 10004");
  expect({"targets", "set", "10003", "--hops", "2", "--community", "ink"},
         "changed target 10003");
  expect({"targets", "set", "20002", "--timeout", "9"}, "changed target 20002");
  const std::map<int32_t, std::string> want = {
      {10001, "10.1.0.1,10.1.0.9,0.0.0.0,5,0,vellum"},
      {10003, "10.3.0.1,10.3.0.9,0.0.0.0,3,2,ink"},
      {10004, "10.4.0.1,10.4.0.9,0.0.0.0,3,0,vellum"},
      {20002, "C,9,0,vellum"},
  };
  EXPECT_EQ(saved_above(10000), want);
  // A list, which saves nothing, changes no id either.
  const KivoResult list = kivo({"targets"});
  EXPECT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(saved_above(10000), want);
  EXPECT_NE(kivo({"targets", "remove", "10002"}).status, 0) << "10002 is gone for good";
  EXPECT_EQ(saved_above(10000), want);
}

TEST_F(KivoTargets, AListSavedWithOtherIdsReadsBackWithThem) {
  // Written by an earlier kivo (ids then followed the list order), and one edited by hand
  // with a gap and a repeated id: saved ids stand, a repeated one gets the next free id.
  put("# by hand\n%network\ntotal=4\n"
      "1=10001,10.1.0.1,10.1.0.9,0.0.0.0,3,0,vellum\n"
      "2=10007,10.7.0.1,10.7.0.9,0.0.0.0,4,0,vellum\n"
      "3=10007,10.8.0.1,10.8.0.9,0.0.0.0,5,0,vellum\n"
      "4=20003,A,3,0,vellum\n"
      "%other\nkeep=1\n");
  expect({"targets", "add-range", "10.9.0.1", "10.9.0.9"}, "added target 10009");
  const std::map<int32_t, std::string> want = {
      {10001, "10.1.0.1,10.1.0.9,0.0.0.0,3,0,vellum"},
      {10007, "10.7.0.1,10.7.0.9,0.0.0.0,4,0,vellum"},
      {10008, "10.8.0.1,10.8.0.9,0.0.0.0,5,0,vellum"},
      {10009, "10.9.0.1,10.9.0.9,0.0.0.0,3,0,vellum"},
      {20003, "A,3,0,vellum"},
  };
  EXPECT_EQ(saved_above(10000), want);
  const std::string file = kivo8::test::read_bytes(home_.file(".kivo/kivo2.pref"));
  EXPECT_EQ(file.rfind("# by hand\n%network\n", 0), 0u) << file;
  EXPECT_NE(file.find("\n%other\nkeep=1\n"), std::string::npos) << file;
}

TEST_F(KivoTargets, AddingWhatATargetAlreadySearchesChangesThatTarget) {
  const KivoResult added = kivo({"targets", "add-broadcast", "10.93.0.200", "255.255.255.0"});
  ASSERT_EQ(added.status, 0) << added.err;
  ASSERT_EQ(added.out.rfind("added target ", 0), 0u) << added.out;
  const std::string id = added.out.substr(13, added.out.size() - 14);
  expect({"targets", "set", id, "--timeout", "7", "--hops", "3"}, "changed target " + id);
  const std::string line = "10.93.0.255,255.255.255.0,0.0.0.0,7,3,vellum";
  EXPECT_EQ(saved()[std::stoi(id)], line);
  // Another address of the same subnet: the target stays as it is, and kivo says so.
  expect({"targets", "add-broadcast", "10.93.0.7", "255.255.255.0"},
         "target " + id + " already searches the subnet 10.93.0.255/255.255.255.0: nothing changed");
  EXPECT_EQ(saved()[std::stoi(id)], line);
  // With settings, only those change; the time-out and hops set before stay.
  expect({"targets", "add-broadcast", "10.93.0.7", "255.255.255.0", "--community", "ink"},
         "changed target " + id + " (it already searched the subnet 10.93.0.255/255.255.255.0)");
  EXPECT_EQ(saved()[std::stoi(id)], "10.93.0.255,255.255.255.0,0.0.0.0,7,3,ink");

  expect({"targets", "add-range", "10.5.0.1", "10.5.0.9", "--hops", "4"}, "added target 10001");
  expect({"targets", "add-range", "10.5.0.1", "10.5.0.9", "--timeout", "8"},
         "changed target 10001 (it already searched the range 10.5.0.1-10.5.0.9)");
  EXPECT_EQ(saved()[10001], "10.5.0.1,10.5.0.9,0.0.0.0,8,4,vellum");
  // The range as discover --range takes it, in one word: the same target.
  expect({"targets", "add-range", "10.5.0.1-10.5.0.9", "--hops", "5"},
         "changed target 10001 (it already searched the range 10.5.0.1-10.5.0.9)");
  EXPECT_EQ(saved()[10001], "10.5.0.1,10.5.0.9,0.0.0.0,8,5,vellum");
  // CIDR: the whole block, network and broadcast address included, as discover scans it.
  expect({"targets", "add-range", "10.6.1.77/24"}, "added target 10002");
  EXPECT_EQ(saved()[10002], "10.6.1.0,10.6.1.255,0.0.0.0,3,0,vellum");

  // A range with the very addresses of a broadcast target cannot take its place: that
  // would change the target's kind, and so its id.
  const KivoResult odd = kivo({"targets", "add-broadcast", "255.255.254.1", "255.255.255.0"});
  ASSERT_EQ(odd.status, 0) << odd.err;
  const auto before = saved();
  const KivoResult clash = kivo({"targets", "add-range", "255.255.254.255", "255.255.255.0"});
  EXPECT_EQ(clash.status, 2);
  EXPECT_NE(clash.err.find("has the same addresses as the range"), std::string::npos) << clash.err;
  EXPECT_EQ(saved(), before);
}

}  // namespace
