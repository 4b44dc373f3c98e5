#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "kivo8/dev_group.h"
#include "support/alloc_failure.h"

namespace {

// Every test case runs in a process of its own under ctest, so the id counter starts at
// its load-time value; this case comes first so that a direct run of the whole program
// sees the same.
TEST(GroupIds, CountFromTheLoadTimeValue) {
  EXPECT_EQ(device_group_lastid(), 1u);
  ASSERT_EQ(device_groups_init("All", "Unused"), 1);
  EXPECT_EQ(device_group_lastid(), 1u);  // the standing groups have ids 0 and 1
  EXPECT_EQ(device_groups_search_name("All")->id, 0u);
  EXPECT_EQ(device_groups_search_name("Unused")->id, 1u);

  device_group *a = device_group_new("A");
  device_group *b = device_group_new("B");
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(a->id, 2u);
  EXPECT_EQ(b->id, 3u);
  EXPECT_EQ(a->kind, DEVICE_GROUP_USER);
  EXPECT_EQ(device_group_lastid(), 3u);
  device_group_free(a);
  device_group_free(b);
  device_groups_free();
  EXPECT_EQ(device_group_lastid(), 3u);  // never lowered
}

class Groups : public ::testing::Test {
 protected:
  void TearDown() override { device_groups_free(); }
  // A group made and linked into the root list.
  device_group *linked(const char *name) {
    device_group *g = device_group_new(name);
    EXPECT_NE(g, nullptr);
    EXPECT_EQ(device_groups_add(g), 1);
    return g;
  }
  std::vector<std::string> order() {
    std::vector<std::string> names;
    for (device_groups_node *n = device_groups_getroot(); n != nullptr; n = n->next)
      names.emplace_back(n->group->name);
    return names;
  }
};

TEST_F(Groups, GivenIdsRaiseTheLastIdButNeverLowerIt) {
  uint32_t base = device_group_lastid();
  device_group *seven = device_group_new_with_id("seven", base + 6);
  ASSERT_NE(seven, nullptr);
  EXPECT_EQ(seven->id, base + 6);
  EXPECT_EQ(device_group_lastid(), base + 6);
  device_group *next = device_group_new("next");
  EXPECT_EQ(next->id, base + 7);
  device_group *five = device_group_new_with_id("five", base + 4);
  EXPECT_EQ(five->id, base + 4);
  EXPECT_EQ(device_group_lastid(), base + 7);

  device_group_set_lastid(base);
  EXPECT_EQ(device_group_lastid(), base + 7);
  device_group_set_lastid(base + 100);
  EXPECT_EQ(device_group_lastid(), base + 100);
  // Ids are unsigned: an id with the top bit set is the greater one.
  device_group_set_lastid(0x80000000u);
  EXPECT_EQ(device_group_lastid(), 0x80000000u);
  device_group *high = device_group_new_with_id("high", 0xFFFFFFF0u);
  EXPECT_EQ(device_group_lastid(), 0xFFFFFFF0u);
  for (device_group *g : {seven, next, five, high}) device_group_free(g);
}

TEST_F(Groups, TakenNamesAndIdsGiveTheExistingGroup) {
  device_group *printers = linked("Printers");
  uint32_t last = device_group_lastid();
  // A taken name returns the named group and uses up no id.
  EXPECT_EQ(device_group_new("Printers"), printers);
  EXPECT_EQ(device_group_lastid(), last);
  // A taken id returns its group whatever the name.
  EXPECT_EQ(device_group_new_with_id("Other name", printers->id), printers);
  EXPECT_EQ(device_group_new_with_id("Printers", last + 50), printers);
  EXPECT_EQ(device_group_lastid(), last);
  // Names compare byte for byte.
  device_group *lower = device_group_new("printers");
  ASSERT_NE(lower, nullptr);
  EXPECT_NE(lower, printers);
  device_group_free(lower);
}

TEST_F(Groups, NamesMustFitTheField) {
  std::string longest(255, 'n'), too_long(256, 'n');
  EXPECT_EQ(device_group_new(too_long.c_str()), nullptr);
  EXPECT_EQ(device_group_new_with_id(too_long.c_str(), 77), nullptr);
  EXPECT_EQ(device_group_new(nullptr), nullptr);
  device_group *g = device_group_new(longest.c_str());
  ASSERT_NE(g, nullptr);
  EXPECT_EQ(std::string(g->name), longest);

  // Renaming to a name that does not fit is refused and the old name stays.
  EXPECT_EQ(device_group_rename(g, too_long.c_str()), -1);
  EXPECT_EQ(std::string(g->name), longest);
  EXPECT_EQ(device_group_rename(g, "short"), 1);
  EXPECT_STREQ(g->name, "short");
  EXPECT_EQ(device_group_rename(g, longest.c_str()), 1);
  EXPECT_EQ(std::string(g->name), longest);
  device_group_free(g);
}

TEST_F(Groups, RenameRefusesTakenNamesIncludingItsOwn) {
  device_group *office = linked("Office");
  linked("Lab");
  EXPECT_EQ(device_group_rename(office, "Office"), -1);
  EXPECT_EQ(device_group_rename(office, "Lab"), -1);
  EXPECT_STREQ(office->name, "Office");
  EXPECT_EQ(device_group_rename(office, "Floor 2"), 1);
  EXPECT_STREQ(office->name, "Floor 2");
  EXPECT_EQ(device_groups_search_name("Office"), nullptr);

  device_group *loose = device_group_new("Loose");
  EXPECT_EQ(device_group_rename(loose, "Loose"), 1);  // not in the root list
  EXPECT_EQ(device_group_rename(loose, "Lab"), -1);
  device_group_free(loose);
}

TEST_F(Groups, MembersKeepTheirOrderAndAreThereOnce) {
  device_record d[4] = {};
  device_group *g = device_group_new("G");
  EXPECT_EQ(device_group_add(g, &d[0]), 1);
  EXPECT_EQ(device_group_add(g, &d[0]), 0);
  EXPECT_EQ(device_group_count(g), 1);
  EXPECT_EQ(g->member_count, 1);
  EXPECT_EQ(device_group_add(g, &d[1]), 1);
  EXPECT_EQ(device_group_add(g, &d[2]), 1);
  EXPECT_EQ(device_group_add(g, nullptr), -1);
  EXPECT_EQ(device_group_getat(g, 0), &d[0]);
  EXPECT_EQ(device_group_getat(g, 2), &d[2]);
  EXPECT_EQ(device_group_getat(g, 3), nullptr);
  EXPECT_EQ(device_group_getat(g, 0xFFFFFFFFu), nullptr);
  EXPECT_EQ(device_group_slist_getat(g, 1)->device, &d[1]);
  EXPECT_EQ(device_group_slist_getat(g, 1)->selected, 0u);
  EXPECT_EQ(device_group_include_dev(g, &d[1]), 1);
  EXPECT_EQ(device_group_include_dev(g, &d[3]), 0);

  EXPECT_EQ(device_group_remove(g, &d[1]), 1);
  EXPECT_EQ(device_group_remove(g, &d[1]), 0);
  EXPECT_EQ(device_group_remove(g, &d[3]), 0);
  EXPECT_EQ(device_group_count(g), 2);
  EXPECT_EQ(g->member_count, 2);
  EXPECT_EQ(device_group_getat(g, 1), &d[2]);
  EXPECT_EQ(device_group_add(g, &d[1]), 1);  // back at the end
  EXPECT_EQ(device_group_getat(g, 2), &d[1]);
  EXPECT_EQ(device_group_remove(g, &d[0]), 1);  // the head
  EXPECT_EQ(device_group_getat(g, 0), &d[2]);
  EXPECT_EQ(device_group_count(g), 2);
  device_group_free(g);
}

TEST_F(Groups, SelectionLeavesOutStatuses6And31) {
  struct {
    std::vector<int32_t> statuses;
    int32_t countable;
  } cases[] = {
      {{0, 6, 31}, 1},
      {{5, 7, 30, 32, -6, 100}, 6},
      {{6, 31}, 0},
      {{6, 6, 31, 31, 0}, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.statuses));
    std::vector<device_record> devices(c.statuses.size());
    device_group *g = device_group_new("S");
    for (size_t i = 0; i < devices.size(); ++i) {
      devices[i].status = c.statuses[i];
      ASSERT_EQ(device_group_add(g, &devices[i]), 1);
    }
    EXPECT_EQ(device_group_get_num_selected(g), 0);
    EXPECT_EQ(device_group_select_all(g), c.countable);
    for (size_t i = 0; i < devices.size(); ++i)
      EXPECT_EQ(device_group_slist_getat(g, static_cast<uint32_t>(i))->selected, 1u);
    EXPECT_EQ(device_group_get_num_selected(g), c.countable);
    device_group_unselect_all(g);
    EXPECT_EQ(device_group_get_num_selected(g), 0);
    for (size_t i = 0; i < devices.size(); ++i)
      EXPECT_EQ(device_group_slist_getat(g, static_cast<uint32_t>(i))->selected, 0u);
    // One by one: the count after each step is the countable members selected so far.
    int32_t expected = 0;
    for (auto &d : devices) {
      if (d.status != 6 && d.status != 31) ++expected;
      EXPECT_EQ(device_group_select_dev(g, &d), expected);
    }
    device_group_free(g);
  }
}

TEST_F(Groups, SelectingSingleDevices) {
  device_record d[4] = {};
  d[1].status = 6;
  d[2].status = 31;
  device_group *g = device_group_new("S");
  for (int i = 0; i < 3; ++i) device_group_add(g, &d[i]);
  EXPECT_EQ(device_group_select_all(g), 1);
  EXPECT_EQ(device_group_get_num_selected(g), 1);
  EXPECT_EQ(device_group_unselect_dev(g, &d[0]), 0);
  EXPECT_EQ(device_group_slist_getat(g, 0)->selected, 0u);
  EXPECT_EQ(device_group_slist_getat(g, 1)->selected, 1u);
  // A device that is not a member changes no flag and gives the current count.
  EXPECT_EQ(device_group_select_dev(g, &d[3]), 0);
  EXPECT_EQ(device_group_select_dev(g, &d[0]), 1);
  EXPECT_EQ(device_group_unselect_dev(g, &d[3]), 1);
  for (uint32_t i = 0; i < 3; ++i) EXPECT_EQ(device_group_slist_getat(g, i)->selected, 1u);
  device_group_free(g);

  device_group *empty = device_group_new("E");
  EXPECT_EQ(device_group_get_num_selected(empty), 0);
  EXPECT_EQ(device_group_select_all(empty), 0);
  EXPECT_EQ(device_group_select_dev(empty, &d[0]), 0);
  EXPECT_EQ(device_group_unselect_dev(empty, &d[0]), 0);
  EXPECT_EQ(device_group_count(empty), 0);
  EXPECT_EQ(device_group_getat(empty, 0), nullptr);
  device_group_free(empty);
}

TEST_F(Groups, InitMakesTheTwoStandingGroups) {
  ASSERT_EQ(device_groups_init("All devices", "Unused devices"), 1);
  EXPECT_EQ(device_groups_count(), 2);
  device_group *all = device_groups_all_devices();
  device_group *unused = device_groups_unused_devices();
  ASSERT_NE(all, nullptr);
  ASSERT_NE(unused, nullptr);
  EXPECT_EQ(all->kind, DEVICE_GROUP_ALL);
  EXPECT_STREQ(all->name, "All devices");
  EXPECT_EQ(all->id, 0u);
  EXPECT_EQ(unused->kind, DEVICE_GROUP_UNUSED);
  EXPECT_EQ(unused->id, 1u);
  EXPECT_EQ(device_groups_search_id(0), all);
  EXPECT_EQ(device_groups_search_id(1), unused);
  EXPECT_EQ(device_groups_search_id(2), nullptr);

  // The first group is always the "all devices" group, whatever its kind.
  device_group *user = linked("User");
  EXPECT_EQ(device_groups_move(all, 5), 1);
  EXPECT_EQ(device_groups_all_devices(), unused);
  EXPECT_EQ(device_groups_unused_devices(), unused);
  EXPECT_EQ(device_groups_getat(1), user);
  EXPECT_EQ(device_groups_getat(2), all);
  EXPECT_EQ(device_groups_getat(3), nullptr);
}

TEST_F(Groups, InitWithOneNameLeavesOneGroupOfKindUnused) {
  EXPECT_EQ(device_groups_init("Same", "Same"), 0);
  EXPECT_EQ(device_groups_count(), 1);
  device_group *g = device_groups_getat(0);
  EXPECT_EQ(g->kind, DEVICE_GROUP_UNUSED);
  EXPECT_EQ(g->id, 0u);
  EXPECT_EQ(device_groups_unused_devices(), g);
  EXPECT_EQ(device_groups_all_devices(), g);
}

TEST_F(Groups, InitFailsWhenAGroupCannotBeMade) {
  std::string too_long(300, 'x');
  EXPECT_EQ(device_groups_init(too_long.c_str(), "Unused"), -1);
  EXPECT_EQ(device_groups_count(), 0);
  EXPECT_EQ(device_groups_init("All", too_long.c_str()), -1);
  EXPECT_EQ(device_groups_count(), 1);
  EXPECT_EQ(device_groups_unused_devices(), nullptr);
  device_groups_free();
  EXPECT_EQ(device_groups_init(nullptr, "Unused"), -1);
}

TEST_F(Groups, RootListHoldsEachGroupOnce) {
  device_group *a = linked("A");
  EXPECT_EQ(device_groups_add(a), 0);
  EXPECT_EQ(device_groups_count(), 1);
  EXPECT_EQ(device_groups_add(nullptr), -1);
  device_group *b = linked("B");
  EXPECT_EQ(device_groups_search_name("B"), b);
  EXPECT_EQ(device_groups_search_name("C"), nullptr);
  EXPECT_EQ(device_groups_search_name(nullptr), nullptr);
  EXPECT_EQ(device_groups_getroot()->group, a);

  device_group *loose = device_group_new("Loose");
  EXPECT_EQ(device_groups_remove(loose), 0);
  EXPECT_STREQ(loose->name, "Loose");  // still usable: nothing was freed
  EXPECT_EQ(device_groups_move(loose, 0), 0);

  device_record d{};
  device_group_add(a, &d);  // members go with their group
  EXPECT_EQ(device_groups_remove(a), 1);
  EXPECT_EQ(device_groups_count(), 1);
  EXPECT_EQ(device_groups_getroot()->group, b);
  device_group_free(loose);

  device_groups_free();
  EXPECT_EQ(device_groups_getroot(), nullptr);
  EXPECT_EQ(device_groups_count(), 0);
  EXPECT_EQ(device_groups_all_devices(), nullptr);
  EXPECT_EQ(device_groups_unused_devices(), nullptr);
}

struct MoveCase {
  const char *name;
  char group;
  int32_t position;
  const char *after;
};

class GroupMoves : public ::testing::TestWithParam<MoveCase> {
 protected:
  void TearDown() override { device_groups_free(); }
};

TEST_P(GroupMoves, MovesWithinTheRootList) {
  const MoveCase &c = GetParam();
  std::map<char, device_group *> groups;
  for (char n : std::string("ABCD")) {
    const char name[2] = {n, '\0'};
    groups[n] = device_group_new(name);
    ASSERT_EQ(device_groups_add(groups[n]), 1);
  }
  EXPECT_EQ(device_groups_move(groups[c.group], c.position), 1);
  std::string after;
  for (device_groups_node *n = device_groups_getroot(); n != nullptr && after.size() < 10;
       n = n->next)
    after += n->group->name;
  EXPECT_EQ(after, c.after);
  // Each group is still there exactly once.
  EXPECT_EQ(device_groups_count(), 4);
  for (auto &[n, g] : groups) {
    int seen = 0;
    for (device_groups_node *node = device_groups_getroot(); node != nullptr && seen < 10;
         node = node->next)
      if (node->group == g) ++seen;
    EXPECT_EQ(seen, 1) << n;
  }
}

const MoveCase move_cases[] = {
    {"A_to_2", 'A', 2, "BACD"},
    {"D_to_0", 'D', 0, "DABC"},
    {"D_to_1", 'D', 1, "ADBC"},
    {"A_to_4", 'A', 4, "BCDA"},
    {"A_to_5", 'A', 5, "BCDA"},
    {"A_to_max", 'A', INT32_MAX, "BCDA"},
    {"B_to_1_stays", 'B', 1, "ABCD"},
    {"B_to_2_stays", 'B', 2, "ABCD"},
    {"A_to_0_stays", 'A', 0, "ABCD"},
    {"A_to_minus_1_stays", 'A', -1, "ABCD"},
    {"A_to_min_stays", 'A', INT32_MIN, "ABCD"},
    {"D_to_3_stays", 'D', 3, "ABCD"},
    {"D_to_4_stays", 'D', 4, "ABCD"},
    {"D_to_9_stays", 'D', 9, "ABCD"},
    {"C_to_0", 'C', 0, "CABD"},
    {"C_to_minus_3", 'C', -3, "CABD"},
    {"B_to_3", 'B', 3, "ACBD"},
    {"B_to_4", 'B', 4, "ACDB"},
    {"C_to_1", 'C', 1, "ACBD"},
};

INSTANTIATE_TEST_SUITE_P(Example, GroupMoves, ::testing::ValuesIn(move_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(GroupMemory, CreatorsFailCleanlyWhenMemoryRunsOut) {
  using kivo8::test::sweep_allocation_failures;
  sweep_allocation_failures([] {
    device_group *g = device_group_new("Fresh");
    if (g == nullptr) return false;
    device_group_free(g);
    return true;
  });
  sweep_allocation_failures([] {
    device_group *g = device_group_new_with_id("Given", 40);
    if (g == nullptr) return false;
    device_group_free(g);
    return true;
  });

  device_record d[2] = {};
  device_group *g = device_group_new("Members");
  ASSERT_EQ(device_group_add(g, &d[0]), 1);
  sweep_allocation_failures([&] {
    int32_t rc = device_group_add(g, &d[1]);
    if (rc == -1) {
      EXPECT_EQ(device_group_count(g), 1);
      EXPECT_EQ(g->member_count, 1);
      return false;
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(device_group_remove(g, &d[1]), 1);
    return true;
  });
  device_group_free(g);
}

TEST(GroupMemory, RootListAndInitFailCleanlyWhenMemoryRunsOut) {
  using kivo8::test::sweep_allocation_failures;
  sweep_allocation_failures([] {
    device_group *g = device_group_new("Linked");
    if (g == nullptr) return false;
    int32_t rc = device_groups_add(g);
    if (rc == -1) {
      EXPECT_EQ(device_groups_count(), 0);
      device_group_free(g);
      return false;
    }
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(device_groups_count(), 1);
    device_groups_free();
    return true;
  });

  sweep_allocation_failures([] {
    int32_t rc = device_groups_init("All", "Unused");
    bool ok = rc == 1;
    if (!ok) {
      EXPECT_EQ(rc, -1);
    }
    // Whatever was made is in the list, so freeing the list leaves nothing behind.
    EXPECT_LE(device_groups_count(), ok ? 2 : 1);
    device_groups_free();
    return ok;
  });
}

}  // namespace
