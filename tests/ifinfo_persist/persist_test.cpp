#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ifinfo/ifinfo_internal.h"
#include "kivo8/ifinfo.h"
#include "kivo8/preference.h"
#include "prefs/preference_internal.h"
#include "support/alloc_failure.h"
#include "support/pref_home.h"
#include "support/saved_targets.h"

namespace {

using kivo8::test::PrefHome;
using persist_test::describe;
using persist_test::describe_list;
using persist_test::entry;
using persist_test::list_of;
using persist_test::slp_entry;

void free_list(ifinfo *first) {
  if (first != nullptr) ifinfo_free_list(first);  // null would mean the global list
}

std::string line_of(const ifinfo *e, int32_t size = 1024) {
  std::string buf(std::size_t(size), 'Z');
  if (ifinfo_toline(e, buf.data(), size) != 0) return "<refused:" + std::string(buf.c_str()) + ">";
  return buf.c_str();
}

TEST(TargetLine, EntriesBecomeTheirLines) {
  const std::string long_name(200, 'n');
  struct {
    const char *name;
    ifinfo *e;
    std::string line;
  } cases[] = {
      {"broadcast", entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum"}),
       "1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,vellum"},
      {"range", entry(10001, "10.0.0.1", "10.0.0.20", "1.2.3.4", 7, 0, {"a"}),
       "10001,10.0.0.1,10.0.0.20,1.2.3.4,7,0,a"},
      {"SLP scopes A,B", slp_entry(20001, "A,B", 3, 0, {"vellum"}), "20001,A!B,3,0,vellum"},
      {"SLP without scope text", slp_entry(20002, nullptr, 3, 0, {"x"}), "20002,,3,0,x"},
      {"SLP escape keeps its backslash", slp_entry(20003, "a\\2cb", 3, 0, {"x"}),
       "20003,a\\\\2cb,3,0,x"},
      {"names in the order they were added", entry(2, "10.1.1.255", "255.255.255.0", "0.0.0.0", 3, 0, {"first", "second", "third"}),
       "2,10.1.1.255,255.255.255.0,0.0.0.0,3,0,first,second,third"},
      {"names escaped", entry(3, "10.1.1.255", "255.255.255.0", "0.0.0.0", 3, 0, {"a,b", "c\\d"}),
       "3,10.1.1.255,255.255.255.0,0.0.0.0,3,0,a\\,b,c\\\\d"},
      {"negative numbers", entry(4, "10.1.1.255", "255.255.255.0", "0.0.0.0", -5, -1, {"p"}),
       "4,10.1.1.255,255.255.255.0,0.0.0.0,-5,-1,p"},
      {"no community name", entry(5, "10.1.1.255", "255.255.255.0", "0.0.0.0", 3, 0, {}),
       "<refused:>"},
      {"a name that does not fit whole is refused, not cut",
       entry(6, "192.168.100.255", "255.255.255.0", "0.0.0.0", 3, 0, {long_name.c_str(), long_name.c_str() + 1, long_name.c_str() + 2, long_name.c_str() + 3, long_name.c_str() + 4}),
       "<refused:>"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(line_of(c.e), c.line);
    ifinfo_free(c.e);
  }
  // A local interface is saved without its name and own address.
  ifinfo *local = entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum"});
  std::strcpy(local->name, "eth0");
  local->addr = persist_test::ip("192.168.1.7");
  EXPECT_EQ(line_of(local), "1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,vellum");
  ifinfo_free(local);
}

TEST(TargetLine, BufferLimits) {
  ifinfo *e = entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum"});
  const std::string line = "1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,vellum";
  ASSERT_LT(line.size(), 58u);
  // Below 59 is refused whatever the line's length.
  EXPECT_EQ(line_of(e, 58), "<refused:>");
  EXPECT_EQ(line_of(e, 59), line);

  ifinfo *big = entry(1, "192.168.100.255", "255.255.255.0", "0.0.0.0", 3, 1, {"community,name\\x", "more"});
  const std::string big_line = "1,192.168.100.255,255.255.255.0,0.0.0.0,3,1,community\\,name\\\\x,more";
  // Exactly fitting, and one short at each spot where a step could still cut the text.
  EXPECT_EQ(line_of(big, int32_t(big_line.size() + 1)), big_line);
  for (std::size_t cut = 59; cut <= big_line.size(); ++cut) {
    SCOPED_TRACE(cut);
    char buf[128];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(ifinfo_toline(big, buf + 8, int32_t(cut)), -1);
    EXPECT_EQ(buf[8], '\0');
    for (std::size_t i = 8 + cut; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 'Z');
  }
  char buf[64] = "x";
  EXPECT_EQ(ifinfo_toline(nullptr, buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(ifinfo_toline(e, nullptr, 100), -1);
  EXPECT_EQ(ifinfo_toline(e, buf, 0), -1);
  ifinfo_free(e);
  ifinfo_free(big);
}

TEST(TargetLine, LinesAreReadIntoEntries) {
  struct {
    const char *name, *line;
    std::string entry;  // describe() of the result, or "null"
  } cases[] = {
      {"broadcast", "1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,vellum",
       "id=1 kind=1 name= addr=0.0.0.0 192.168.1.255 255.255.255.0 0.0.0.0 count=3 flag=1 comms=[vellum]"},
      {"id 0 is a broadcast entry", "0,10.0.0.255,255.0.0.0,0.0.0.0,1,0,p",
       "id=0 kind=1 name= addr=0.0.0.0 10.0.0.255 255.0.0.0 0.0.0.0 count=1 flag=0 comms=[p]"},
      {"range", "10001,10.0.0.1,10.0.0.9,0.0.0.0,5,0,a,b",
       "id=10001 kind=2 name= addr=0.0.0.0 10.0.0.1 10.0.0.9 0.0.0.0 count=5 flag=0 comms=[b][a]"},
      {"SLP", "20001,A!B,3,0,vellum",
       "id=20001 kind=3 name= addr=0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 count=3 flag=0 scopes=[A,B] comms=[vellum]"},
      {"SLP scope with backslashes", "20001,a\\\\2cb,3,0,x",
       "id=20001 kind=3 name= addr=0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 count=3 flag=0 scopes=[a\\2cb] comms=[x]"},
      {"escaped names", "2,10.0.0.255,255.0.0.0,0.0.0.0,3,0,a\\,b,c\\\\d",
       "id=2 kind=1 name= addr=0.0.0.0 10.0.0.255 255.0.0.0 0.0.0.0 count=3 flag=0 comms=[c\\d][a,b]"},
      {"empty and repeated names skipped", "2,10.0.0.255,255.0.0.0,0.0.0.0,3,0,a,,a,b",
       "id=2 kind=1 name= addr=0.0.0.0 10.0.0.255 255.0.0.0 0.0.0.0 count=3 flag=0 comms=[b][a]"},
      {"numbers read as atoi reads them", "3x,10.0.0.255,255.0.0.0,0.0.0.0, 4s,-2,p",
       "id=3 kind=1 name= addr=0.0.0.0 10.0.0.255 255.0.0.0 0.0.0.0 count=4 flag=-2 comms=[p]"},
      {"count 0", "1,192.168.1.255,255.255.255.0,0.0.0.0,0,1,vellum", "null"},
      {"negative count", "1,192.168.1.255,255.255.255.0,0.0.0.0,-3,1,vellum", "null"},
      {"negative id", "-1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,vellum", "null"},
      {"malformed address", "1,192.168.1.256,255.255.255.0,0.0.0.0,3,1,vellum", "null"},
      {"address with a blank", "1,192.168.1.255 ,255.255.255.0,0.0.0.0,3,1,vellum", "null"},
      {"only six fields", "1,192.168.1.255,255.255.255.0,0.0.0.0,3,1", "null"},
      {"six fields and a comma", "1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,", "null"},
      {"only empty names", "1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,,,", "null"},
      {"SLP cut short", "20001,A!B,3", "null"},
      {"SLP without the rest", "20001,A", "null"},
      {"empty line", "", "null"},
      {"id alone", "5", "null"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ifinfo *e = ifinfo_new_with(c.line);
    EXPECT_EQ(describe(e), c.entry);
    if (e != nullptr) {
      EXPECT_EQ(e->next, nullptr);
    }
    ifinfo_free(e);
  }
  EXPECT_EQ(ifinfo_new_with(nullptr), nullptr);
}

TEST(TargetLine, LongFieldsAreSplitAt255Characters) {
  // A name of 300 characters comes back as two: its first 255 characters and the rest.
  const std::string name(300, 'q');
  const std::string line = "1,10.0.0.255,255.0.0.0,0.0.0.0,3,0," + name;
  ifinfo *e = ifinfo_new_with(line.c_str());
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(snmp_comm_count(e->comms), 2);
  EXPECT_EQ(std::string(snmp_comm_getat(e->comms, 1)->name), name.substr(0, 255));
  EXPECT_EQ(std::string(snmp_comm_getat(e->comms, 0)->name), name.substr(255));
  ifinfo_free(e);
}

TEST(TargetLine, EveryKindRoundTrips) {
  ifinfo *entries[] = {
      entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum"}),
      entry(2, "10.255.255.255", "255.0.0.0", "9.8.7.6", 60, 4, {"a,b", "c\\d", "\\", ",", "plain"}),
      entry(10001, "10.0.0.1", "10.0.0.254", "0.0.0.0", 1, 0, {"r"}),
      entry(19999, "10.0.0.254", "10.0.0.1", "0.0.0.0", 2, 0, {"reversed"}),
      slp_entry(20001, "A,B", 3, 0, {"vellum"}),
      slp_entry(20002, "x\\2cy,z\\5c", 3, 2, {"s,1", "s\\2"}),
      slp_entry(99999, "", 9, 1, {"e"}),
  };
  for (ifinfo *e : entries) {
    SCOPED_TRACE(describe(e));
    char line[1024];
    ASSERT_EQ(ifinfo_toline(e, line, sizeof line), 0);
    ifinfo *back = ifinfo_new_with(line);
    if (e->scopes != nullptr && e->scopes[0] == '\0') {
      // An empty scope text reads back as an empty text.
      ASSERT_NE(back, nullptr);
      EXPECT_STREQ(back->scopes, "");
    } else {
      EXPECT_EQ(describe(back), describe(e));
    }
    ifinfo_free(back);
    ifinfo_free(e);
  }
  // A scope holding "!" comes back with a comma in its place.
  ifinfo *bang = slp_entry(20001, "a!b", 3, 0, {"x"});
  char line[1024];
  ASSERT_EQ(ifinfo_toline(bang, line, sizeof line), 0);
  ifinfo *back = ifinfo_new_with(line);
  ASSERT_NE(back, nullptr);
  EXPECT_STREQ(back->scopes, "a,b");
  ifinfo_free(back);
  ifinfo_free(bang);
}

TEST(TargetLine, ReadingSurvivesEveryAllocationFailure) {
  const char *lines[] = {"20001,A!B!C,3,0,one,two,three",
                         "1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,a,b,c"};
  for (const char *line : lines) {
    SCOPED_TRACE(line);
    kivo8::test::sweep_allocation_failures([&] {
      ifinfo *e = ifinfo_new_with(line);
      if (e == nullptr) return false;
      // Success means the whole entry: no name may be missing.
      EXPECT_EQ(snmp_comm_count(e->comms), 3);
      ifinfo_free(e);
      return true;
    });
  }
}

class SavedTargets : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home.ready()); }
  void TearDown() override { kivo8::prefs::set_write_fault(nullptr); }
  PrefHome home;
};

TEST_F(SavedTargets, ABroadcastEntryIsSavedAsSpecifiedAndReadBackEqual) {
  ifinfo *list = list_of({entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum"})});
  EXPECT_EQ(ifinfo_write_preference(list), 0);
  EXPECT_EQ(home.contents(), "%network\ntotal=1\n1=1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,vellum\n");
  ifinfo *read = nullptr;
  EXPECT_EQ(ifinfo_read_preference(&read), &read);
  EXPECT_EQ(describe_list(read), describe_list(list));
  free_list(list);
  free_list(read);
}

TEST_F(SavedTargets, AWholeListRoundTripsInOrder) {
  ifinfo *list = list_of({
      entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum", "a,b"}),
      entry(2, "10.255.255.255", "255.0.0.0", "1.1.1.1", 8, 0, {"c\\d"}),
      entry(10001, "10.0.0.1", "10.0.0.99", "0.0.0.0", 2, 0, {"r"}),
      slp_entry(20001, "A,B", 3, 0, {"vellum"}),
      slp_entry(20002, "one", 4, 2, {"s"}),
  });
  ASSERT_EQ(ifinfo_write_preference(list), 0);
  ifinfo *read = nullptr;
  ifinfo_read_preference(&read);
  EXPECT_EQ(describe_list(read), describe_list(list));
  free_list(read);
  // Saving what was read gives the same file again.
  const auto first_save = home.contents();
  ifinfo_write_preference(list);
  EXPECT_EQ(home.contents(), first_save);
  free_list(list);
}

// The save as a row of single store calls: the file that ifinfo_write_preference must leave.
std::string reference_save(const PrefHome &home, ifinfo *list) {
  char buf[1024];
  if (lanset_get_preference_string("network", "total", buf, sizeof buf) == 0)
    for (int k = std::atoi(buf); k >= 1; --k)
      lanset_set_preference_string("network", std::to_string(k).c_str(), nullptr);
  lanset_set_preference_string("network", "total", std::to_string(ifinfo_get_num(list)).c_str());
  for (int i = 0; i < ifinfo_get_num(list); ++i) {
    ifinfo_toline(ifinfo_getat(list, i), buf, sizeof buf);
    lanset_set_preference_string("network", std::to_string(i + 1).c_str(), buf);
  }
  return home.contents().value_or("<no file>");
}

TEST_F(SavedTargets, OneRewriteLeavesWhatTheRowOfStoreCallsWould) {
  const std::string five =
      "# my settings\n%view\nzoom=2\n%network\ntotal=5\n"
      "1=1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,a\n2=2,10.255.255.255,255.0.0.0,0.0.0.0,3,1,b\n"
      "3=10001,10.0.0.1,10.0.0.9,0.0.0.0,3,0,c\n4=20001,S,3,0,d\n5=3,172.16.255.255,255.255.0.0,0.0.0.0,3,0,e\n"
      "# end of targets\n%other\nk=v\n";
  struct {
    const char *name;
    std::optional<std::string> before;
  } cases[] = {
      {"2 over 5", five},
      {"no file", std::nullopt},
      {"file without the section", "%view\nzoom=2\n"},
      {"section without a total", "%network\n1=x\n7=y\n"},
      {"total below the keys there", "%network\ntotal=2\n1=a\n2=b\n3=c\n4=d\n"},
      {"total above the keys there", "%network\ntotal=9\n1=a\n"},
      {"total not a number", "%network\ntotal=abc\n1=a\n"},
      {"negative total", "%network\ntotal=-3\n1=a\n"},
      {"repeated keys and comments inside", "%network\n#1=c\n1=a\n\n1=b\ntotal=3\n2=x\n%network\ntotal=1\n1=z\n"},
      {"CRLF and a last line without its end", "%network\r\ntotal=1\r\n1=a\r\n%x\r\ny=1"},
      {"keys with leading zeros are not numbered keys", "%network\ntotal=2\n01=a\n1=b\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ifinfo *list = list_of({
        entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum"}),
        slp_entry(20001, "A,B", 3, 0, {"x,y"}),
        entry(2, "10.1.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {}),  // saved empty
    });
    unlink(home.file().c_str());
    if (c.before) home.put(*c.before);
    const std::string expected = reference_save(home, list);
    unlink(home.file().c_str());
    if (c.before) home.put(*c.before);
    EXPECT_EQ(ifinfo_write_preference(list), 0);
    EXPECT_EQ(home.contents(), expected);
    EXPECT_FALSE(home.temp_left());
    free_list(list);
  }
  // And for "2 over 5" the content itself, to show what the row of calls does.
  home.put(five);
  ifinfo *two = list_of({entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"n1"}),
                         entry(2, "10.1.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"n2"})});
  ASSERT_EQ(ifinfo_write_preference(two), 0);
  EXPECT_EQ(home.contents(),
            "# my settings\n%view\nzoom=2\n%network\ntotal=2\n# end of targets\n"
            "1=1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,n1\n2=2,10.1.1.255,255.255.255.0,0.0.0.0,3,1,n2\n"
            "%other\nk=v\n");
  free_list(two);
}

TEST_F(SavedTargets, AnEntryThatCannotBeWrittenIsSavedEmptyAndSkipped) {
  ifinfo *list = list_of({entry(1, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"a"}),
                          entry(2, "10.1.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {}),
                          entry(3, "10.2.2.255", "255.255.255.0", "0.0.0.0", 3, 1, {"c"})});
  ASSERT_EQ(ifinfo_write_preference(list), 0);
  char buf[64];
  ASSERT_EQ(lanset_get_preference_string("network", "2", buf, sizeof buf), 0);
  EXPECT_STREQ(buf, "");
  ifinfo *read = nullptr;
  ifinfo_read_preference(&read);
  EXPECT_EQ(ifinfo_get_num(read), 2);
  free_list(read);
  free_list(list);
}

TEST_F(SavedTargets, MalformedLinesAreSkippedAlone) {
  home.put("%network\ntotal=4\n"
           "1=1,192.168.1.255,255.255.255.0,0.0.0.0,3,1,a\n"
           "2=2,192.168.2.256,255.255.255.0,0.0.0.0,3,1,b\n"
           "4=4,192.168.4.255,255.255.255.0,0.0.0.0,0,1,d\n"
           "5=5,192.168.5.255,255.255.255.0,0.0.0.0,3,1,beyond the total\n"
           "%next\n3=3,192.168.3.255,255.255.255.0,0.0.0.0,3,1,other section\n");
  ifinfo *read = nullptr;
  ifinfo_read_preference(&read);
  ASSERT_EQ(ifinfo_get_num(read), 1);
  EXPECT_EQ(read->id, 1);
  free_list(read);
}

TEST_F(SavedTargets, SavedEntriesTakeTheirDiscoveredInterfacesPlaces) {
  ifinfo *eth0 = entry(7, "192.168.1.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum"});
  std::strcpy(eth0->name, "eth0");
  eth0->addr = persist_test::ip("192.168.1.7");
  ifinfo *eth1 = entry(8, "10.9.9.255", "255.255.255.0", "0.0.0.0", 3, 1, {"vellum"});
  std::strcpy(eth1->name, "eth1");
  eth1->addr = persist_test::ip("10.9.9.1");
  ifinfo *head = list_of({eth0, eth1});
  home.put("%network\ntotal=3\n"
           "1=1,192.168.1.255,255.255.255.0,0.0.0.0,9,2,private,public\n"
           "2=20001,A,3,0,s\n"
           "3=10001,10.0.0.1,10.0.0.5,0.0.0.0,3,0,r\n");
  EXPECT_EQ(ifinfo_read_preference(&head), &head);
  EXPECT_EQ(describe_list(head),
            (std::vector<std::string>{
                "id=20001 kind=3 name= addr=0.0.0.0 0.0.0.0 0.0.0.0 0.0.0.0 count=3 flag=0 scopes=[A] comms=[s]",
                "id=10001 kind=2 name= addr=0.0.0.0 10.0.0.1 10.0.0.5 0.0.0.0 count=3 flag=0 comms=[r]",
                "id=1 kind=0 name=eth0 addr=192.168.1.7 192.168.1.255 255.255.255.0 0.0.0.0 count=9 flag=2 comms=[public][private]",
                "id=8 kind=0 name=eth1 addr=10.9.9.1 10.9.9.255 255.255.255.0 0.0.0.0 count=3 flag=1 comms=[vellum]",
            }));
  free_list(head);
}

TEST_F(SavedTargets, NothingSavedOrNothingReadable) {
  ifinfo *head = nullptr;
  struct {
    const char *name;
    std::optional<std::string> file;
  } cases[] = {{"no file", std::nullopt},
               {"no section", "%other\ntotal=1\n1=1,10.0.0.255,255.0.0.0,0.0.0.0,3,0,a\n"},
               {"no total", "%network\n1=1,10.0.0.255,255.0.0.0,0.0.0.0,3,0,a\n"},
               {"total 0", "%network\ntotal=0\n1=1,10.0.0.255,255.0.0.0,0.0.0.0,3,0,a\n"},
               {"total in a later section of the same name",
                "%network\n%network\ntotal=1\n1=1,10.0.0.255,255.0.0.0,0.0.0.0,3,0,a\n"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    unlink(home.file().c_str());
    if (c.file) home.put(*c.file);
    EXPECT_EQ(ifinfo_read_preference(&head), &head);
    EXPECT_EQ(head, nullptr);
  }
}

TEST_F(SavedTargets, AHugeTotalCostsNoMoreThanTheKeysThere) {
  home.put("%network\ntotal=2147483647\n"
           "1=1,10.0.0.255,255.0.0.0,0.0.0.0,3,0,a\n2147483647=2,10.1.0.255,255.255.0.0,0.0.0.0,3,0,b\n"
           "99999999999=3,10.2.0.255,255.255.0.0,0.0.0.0,3,0,c\n");
  ifinfo *head = nullptr;
  ifinfo_read_preference(&head);
  ASSERT_EQ(ifinfo_get_num(head), 2);
  EXPECT_EQ(head->id, 1);
  EXPECT_EQ(head->next->id, 2);
  ifinfo *one = list_of({entry(1, "10.0.0.255", "255.0.0.0", "0.0.0.0", 3, 0, {"z"})});
  ASSERT_EQ(ifinfo_write_preference(one), 0);
  EXPECT_EQ(home.contents(),
            "%network\ntotal=1\n99999999999=3,10.2.0.255,255.255.0.0,0.0.0.0,3,0,c\n"
            "1=1,10.0.0.255,255.0.0.0,0.0.0.0,3,0,z\n");
  free_list(head);
  free_list(one);
}

TEST_F(SavedTargets, NullMeansTheGlobalList) {
  ifinfo *entries = list_of({entry(1, "10.0.0.255", "255.0.0.0", "0.0.0.0", 3, 0, {"g"})});
  *kivo8::_ifinfo_head(nullptr) = entries;
  ASSERT_EQ(ifinfo_write_preference(nullptr), 0);
  ifinfo_free_list(nullptr);
  ifinfo_init_list(nullptr);
  EXPECT_EQ(ifinfo_read_preference(nullptr), kivo8::_ifinfo_head(nullptr));
  EXPECT_EQ(ifinfo_get_num(nullptr), 1);
  EXPECT_EQ(line_of(ifinfo_getat(nullptr, 0)), "1,10.0.0.255,255.0.0.0,0.0.0.0,3,0,g");
  ifinfo_free_list(nullptr);
  ifinfo_init_list(nullptr);
}

TEST_F(SavedTargets, AFailedSaveIsReportedAndLeavesTheOldFile) {
  ifinfo *old_list = list_of({entry(1, "10.0.0.255", "255.0.0.0", "0.0.0.0", 3, 0, {"old"})});
  ASSERT_EQ(ifinfo_write_preference(old_list), 0);
  const auto before = home.contents();
  ifinfo *new_list = list_of({entry(1, "10.0.0.255", "255.0.0.0", "0.0.0.0", 3, 0, {"new"}),
                              entry(2, "10.1.0.255", "255.255.0.0", "0.0.0.0", 3, 0, {"new"})});
  using kivo8::prefs::WriteStep;
  for (WriteStep step : {WriteStep::open_temp, WriteStep::write, WriteStep::sync,
                         WriteStep::close, WriteStep::rename}) {
    static WriteStep failing;
    failing = step;
    kivo8::prefs::set_write_fault([](WriteStep s) { return s == failing ? ENOSPC : 0; });
    EXPECT_EQ(ifinfo_write_preference(new_list), -1);
    kivo8::prefs::set_write_fault(nullptr);
    EXPECT_EQ(home.contents(), before);
    EXPECT_FALSE(home.temp_left());
  }
  // Without a preference directory nothing can be saved.
  unsetenv("HOME");
  EXPECT_EQ(lanset_set_preference_dir(), -1);
  EXPECT_EQ(ifinfo_write_preference(new_list), -1);
  ifinfo *head = nullptr;
  ifinfo_read_preference(&head);
  EXPECT_EQ(head, nullptr);
  free_list(old_list);
  free_list(new_list);
}

}  // namespace

namespace {

// Ids as a front end sees them from one run to the next: saving and reading never renumber,
// so an id that a script was shown keeps naming the same target, gaps and all.
std::vector<std::string> ids_after_reading() {
  ifinfo *head = nullptr;
  ifinfo_read_preference(&head);
  std::vector<std::string> out;
  for (const ifinfo *e = head; e != nullptr; e = e->next) {
    char a1[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &e->addr1, a1, sizeof a1);
    out.push_back(std::to_string(e->id) + " " + (e->scopes != nullptr ? e->scopes : a1));
  }
  free_list(head);
  return out;
}

TEST_F(SavedTargets, IdsStayThroughAddSetRemoveAndAddAgainAcrossRuns) {
  ifinfo *list = list_of({entry(1, "10.9.0.255", "255.255.255.0", "0.0.0.0", 3, 0, {"v"}),
                          entry(10001, "10.1.0.1", "10.1.0.9", "0.0.0.0", 3, 0, {"v"}),
                          entry(10002, "10.2.0.1", "10.2.0.9", "0.0.0.0", 3, 0, {"v"}),
                          slp_entry(20002, "A", 3, 0, {"v"})});
  ASSERT_EQ(ifinfo_write_preference(list), 0);
  EXPECT_EQ(ids_after_reading(),
            (std::vector<std::string>{"1 10.9.0.255", "10001 10.1.0.1", "10002 10.2.0.1", "20002 A"}));
  // Set, remove and add again, each saved as a run of a front end would save it.
  ifinfo_search_id(list, 10002)->count = 9;
  ifinfo_remove(&list, ifinfo_search_id(list, 10001));
  ASSERT_EQ(ifinfo_write_preference(list), 0);
  ifinfo_add(&list, entry(10003, "10.3.0.1", "10.3.0.9", "0.0.0.0", 3, 0, {"v"}));
  ASSERT_EQ(ifinfo_write_preference(list), 0);
  EXPECT_EQ(ids_after_reading(),
            (std::vector<std::string>{"10003 10.3.0.1", "1 10.9.0.255", "10002 10.2.0.1", "20002 A"}));
  char line[128];
  ASSERT_EQ(lanset_get_preference_string("network", "3", line, sizeof line), 0);
  EXPECT_STREQ(line, "10002,10.2.0.1,10.2.0.9,0.0.0.0,9,0,v");
  free_list(list);
}

}  // namespace
