#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "kivo8/ifinfo.h"
#include "support/alloc_failure.h"

namespace {

struct in_addr ip(const char *text) {
  struct in_addr a {};
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}

ifinfo *make(int32_t id, const char *name, const char *a1, const char *a2) {
  ifinfo *e = ifinfo_new();
  EXPECT_NE(e, nullptr);
  e->id = id;
  std::snprintf(e->name, sizeof e->name, "%s", name);
  e->addr1 = ip(a1);
  e->addr2 = ip(a2);
  return e;
}
ifinfo *local(const char *name, const char *addr, const char *bcast, const char *mask) {
  ifinfo *e = make(0, name, bcast, mask);
  e->addr = ip(addr);
  return e;
}
ifinfo *bcast(int32_t id, const char *bc, const char *mask) { return make(id, "", bc, mask); }
ifinfo *range(int32_t id, const char *first, const char *last) {
  return make(id, "", first, last);
}
ifinfo *slp(int32_t id, const char *scopes) {
  ifinfo *e = make(id, "", "0.0.0.0", "0.0.0.0");
  e->scopes = kivo8::mem_strdup(scopes);
  return e;
}

// A private list, and the global list emptied after every test.
class IfinfoList : public testing::Test {
 protected:
  ~IfinfoList() override {
    // A null first would mean the global list, so the private one is freed only when set.
    if (head != nullptr) ifinfo_free_list(head);
    ifinfo_free_list(nullptr);
    ifinfo_init_list(nullptr);
  }
  std::vector<ifinfo *> entries() const {
    std::vector<ifinfo *> v;
    for (ifinfo *e = head; e != nullptr; e = e->next) v.push_back(e);
    return v;
  }
  ifinfo *head = nullptr;
};

TEST_F(IfinfoList, NewEntryDefaults) {
  ifinfo *e = ifinfo_new();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->next, nullptr);
  EXPECT_EQ(e->id, 0);
  EXPECT_EQ(e->addr.s_addr | e->addr1.s_addr | e->addr2.s_addr | e->addr3.s_addr, 0u);
  EXPECT_STREQ(e->name, "");
  EXPECT_EQ(e->count, 3);
  EXPECT_EQ(e->flag, 0);
  EXPECT_EQ(e->comms, nullptr);
  EXPECT_EQ(e->scopes, nullptr);
  ifinfo_free(e);
  ifinfo_free(nullptr);
}

TEST_F(IfinfoList, KindFollowsNameAndId) {
  struct {
    int32_t id;
    const char *name;
    int32_t kind;
  } cases[] = {{0, "", IFINFO_BCAST},        {9999, "", IFINFO_BCAST},
               {10000, "", IFINFO_RANGE},    {19999, "", IFINFO_RANGE},
               {20000, "", IFINFO_SLP},      {-1, "", IFINFO_SLP},
               {INT32_MIN, "", IFINFO_SLP},  {15000, "eth0", IFINFO_LOCAL},
               {-5, "eth0", IFINFO_LOCAL},   {25000, "x", IFINFO_LOCAL}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << " '" << c.name << "'");
    ifinfo *e = make(c.id, c.name, "0.0.0.0", "0.0.0.0");
    EXPECT_EQ(ifinfo_get_type(e), c.kind);
    ifinfo_free(e);
  }
  EXPECT_EQ(ifinfo_get_type(nullptr), IFINFO_LOCAL);
}

TEST_F(IfinfoList, CopyHasItsOwnCommunitiesInReverseAndItsOwnScopes) {
  ifinfo *src = slp(20001, "a,b");
  src->addr3 = ip("1.2.3.4");
  src->count = 7;
  src->flag = 2;
  snmp_comm_add(&src->comms, "one");
  snmp_comm_add(&src->comms, "two");  // list: two, one
  ifinfo *copy = ifinfo_copy(src);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->next, nullptr);
  EXPECT_EQ(copy->id, 20001);
  EXPECT_EQ(copy->addr3.s_addr, src->addr3.s_addr);
  EXPECT_EQ(copy->count, 7);
  EXPECT_EQ(copy->flag, 2);
  ASSERT_NE(copy->scopes, nullptr);
  EXPECT_NE(copy->scopes, src->scopes);
  EXPECT_STREQ(copy->scopes, "a,b");
  ASSERT_EQ(snmp_comm_count(copy->comms), 2);
  EXPECT_NE(copy->comms, src->comms);
  EXPECT_STREQ(snmp_comm_getat(copy->comms, 0)->name, "one");
  EXPECT_STREQ(snmp_comm_getat(copy->comms, 1)->name, "two");
  ifinfo_free(src);  // the copy must survive its source
  EXPECT_STREQ(copy->scopes, "a,b");
  EXPECT_STREQ(copy->comms->name, "one");
  ifinfo_free(copy);
  EXPECT_EQ(ifinfo_copy(nullptr), nullptr);
}

// A rename may leave a list with a repeated or empty name; copying it skips those as
// the add rule does, and still succeeds.
TEST_F(IfinfoList, CopySkipsNamesThatARenameMadeRepeatedOrEmpty) {
  ifinfo *src = bcast(1, "10.0.0.255", "255.255.255.0");
  snmp_comm_add(&src->comms, "a");
  snmp_comm_rename(snmp_comm_add(&src->comms, "b"), "a");
  snmp_comm_rename(snmp_comm_add(&src->comms, "c"), "");
  ifinfo *copy = ifinfo_copy(src);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(snmp_comm_count(copy->comms), 1);
  EXPECT_STREQ(copy->comms->name, "a");
  EXPECT_EQ(copy->scopes, nullptr);
  ifinfo_free(copy);
  ifinfo_free(src);
}

TEST_F(IfinfoList, CopyUnderAllocationFailure) {
  ifinfo *src = slp(20001, "scope");
  snmp_comm_add(&src->comms, "one");
  snmp_comm_add(&src->comms, "two");
  snmp_comm_add(&src->comms, "three");
  bool saw_copy_without_scopes = false;
  kivo8::test::sweep_allocation_failures([&] {
    ifinfo *copy = ifinfo_copy(src);
    if (copy == nullptr) return false;
    // Only the scope duplicate may be missing; the communities are all there.
    EXPECT_EQ(snmp_comm_count(copy->comms), 3);
    bool complete = copy->scopes != nullptr;
    if (!complete) saw_copy_without_scopes = true;
    ifinfo_free(copy);
    return complete;
  });
  EXPECT_TRUE(saw_copy_without_scopes);
  ifinfo_free(src);

  kivo8::test::sweep_allocation_failures([] {
    ifinfo *e = ifinfo_new();
    if (e == nullptr) return false;
    ifinfo_free(e);
    return true;
  });
}

TEST_F(IfinfoList, AddReplacesAMatchingLocalInterfaceInPlaceAndInheritsItsName) {
  ifinfo_add(&head, bcast(5, "10.9.255.255", "255.255.0.0"));
  ifinfo_add(&head, local("eth0", "192.168.1.7", "192.168.1.255", "255.255.255.0"));
  ifinfo_add(&head, range(10001, "10.0.0.1", "10.0.0.9"));
  ifinfo *saved = bcast(42, "192.168.1.255", "255.255.255.0");
  snmp_comm_add(&saved->comms, "saved");
  ifinfo_add(&head, saved);
  auto v = entries();
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[1], saved);
  EXPECT_STREQ(saved->name, "eth0");
  EXPECT_EQ(saved->addr.s_addr, ip("192.168.1.7").s_addr);
  EXPECT_EQ(saved->id, 42);
  EXPECT_EQ(ifinfo_get_type(saved), IFINFO_LOCAL);
  EXPECT_STREQ(saved->comms->name, "saved");
}

TEST_F(IfinfoList, AddKeepsTheNewNameAndReplacesRangesButNeverSlp) {
  ifinfo *r1 = range(10001, "10.0.0.1", "10.0.0.9");
  ifinfo_add(&head, r1);
  ifinfo_add(&head, slp(20001, "x"));
  ifinfo *r2 = range(10007, "10.0.0.1", "10.0.0.9");
  ifinfo_add(&head, r2);  // replaces r1 at position 1, r1 is freed (ASan would tell)
  auto v = entries();
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(v[1], r2);
  ifinfo *s2 = slp(20002, "x");
  ifinfo_add(&head, s2);  // SLP entries are never matched, even with equal fields
  EXPECT_EQ(head, s2);
  EXPECT_EQ(ifinfo_get_num(head), 3);
  // A named new entry keeps its own name over the old one's.
  ifinfo_add(&head, local("eth0", "10.1.1.1", "10.1.1.255", "255.255.255.0"));
  ifinfo *n2 = local("eth1", "10.1.1.2", "10.1.1.255", "255.255.255.0");
  ifinfo_add(&head, n2);
  EXPECT_STREQ(n2->name, "eth1");
  EXPECT_EQ(ifinfo_get_num(head), 4);
  // Adding an entry that is already linked leaves the list intact.
  ifinfo_add(&head, n2);
  EXPECT_EQ(ifinfo_get_num(head), 4);
  EXPECT_STREQ(n2->name, "eth1");
}

TEST_F(IfinfoList, RemoveFreesHeldAndStrangerEntries) {
  ifinfo *a = bcast(1, "10.0.0.255", "255.255.255.0");
  ifinfo *b = bcast(2, "10.0.1.255", "255.255.255.0");
  ifinfo_add(&head, a);
  ifinfo_add(&head, b);
  ifinfo_remove(&head, range(10001, "1.1.1.1", "1.1.1.2"));  // freed, list unchanged
  EXPECT_EQ(ifinfo_get_num(head), 2);
  ifinfo_remove(&head, b);
  EXPECT_EQ(head, a);
  ifinfo_remove(&head, a);
  EXPECT_EQ(head, nullptr);
}

TEST_F(IfinfoList, RenumberByKind) {
  ifinfo_add(&head, range(10500, "10.0.0.1", "10.0.0.2"));
  ifinfo_add(&head, bcast(77, "10.1.0.255", "255.255.255.0"));
  ifinfo_add(&head, slp(-3, "s"));
  ifinfo_add(&head, local("eth0", "10.2.0.1", "10.2.0.255", "255.255.255.0"));
  ifinfo_renumber_ids(head);
  std::vector<int32_t> ids;
  for (ifinfo *e : entries()) ids.push_back(e->id);
  EXPECT_EQ(ids, (std::vector<int32_t>{1, 20001, 2, 10001}));
  EXPECT_EQ(ifinfo_search_id(head, 2), entries()[2]);
  EXPECT_EQ(ifinfo_search_id(head, 3), nullptr);
}

TEST_F(IfinfoList, CountsAndPositions) {
  ifinfo_add(&head, range(10001, "10.0.0.1", "10.0.0.2"));
  ifinfo_add(&head, range(10002, "10.0.0.3", "10.0.0.4"));
  ifinfo_add(&head, bcast(1, "10.1.0.255", "255.255.255.0"));
  ifinfo_add(&head, slp(20001, "s"));
  ifinfo_add(&head, local("eth0", "10.2.0.1", "10.2.0.255", "255.255.255.0"));
  EXPECT_EQ(ifinfo_get_num(head), 5);
  EXPECT_EQ(ifinfo_get_num_local(head), 1);
  EXPECT_EQ(ifinfo_get_num_bcast(head), 2);
  EXPECT_EQ(ifinfo_get_num_range(head), 2);
  EXPECT_EQ(ifinfo_get_num_slp(head), 1);
  EXPECT_EQ(ifinfo_get_num_type(head, IFINFO_BCAST), 1);
  EXPECT_EQ(ifinfo_get_num_type(head, 9), 0);
  EXPECT_EQ(ifinfo_getat(head, 0), head);
  EXPECT_EQ(ifinfo_getat(head, 4), entries()[4]);
  EXPECT_EQ(ifinfo_getat(head, -1), nullptr);
  EXPECT_EQ(ifinfo_getat(head, ifinfo_get_num(head)), nullptr);
}

TEST_F(IfinfoList, NullStandsForTheGlobalList) {
  EXPECT_EQ(ifinfo_get_num(nullptr), 0);
  ifinfo_add(nullptr, bcast(1, "10.1.0.255", "255.255.255.0"));
  ifinfo_add(nullptr, range(10001, "10.0.0.1", "10.0.0.2"));
  EXPECT_EQ(ifinfo_get_num(nullptr), 2);
  // An empty private list is read as the global one.
  EXPECT_EQ(ifinfo_get_num(head), 2);
  struct in_addr a = ip("10.1.0.7");
  EXPECT_NE(ifinfo_getif_ex(nullptr, &a), nullptr);
  ifinfo_free_list(nullptr);
  ifinfo_init_list(nullptr);
  EXPECT_EQ(ifinfo_get_num(nullptr), 0);
}

TEST_F(IfinfoList, CheckipByKind) {
  ifinfo *l = local("eth0", "192.168.1.7", "192.168.1.255", "255.255.255.0");
  ifinfo *r = range(10001, "10.0.0.250", "10.0.1.5");
  ifinfo *s = slp(20001, "x");
  struct {
    ifinfo *entry;
    const char *address;
    int32_t expect;
  } cases[] = {{l, "192.168.1.1", 0},   {l, "192.168.1.255", 0}, {l, "192.168.2.1", -1},
               {r, "10.0.0.250", 0},    {r, "10.0.1.5", 0},      {r, "10.0.0.255", 0},
               {r, "10.0.0.249", -1},   {r, "10.0.1.6", -1},     {r, "9.255.255.255", -1},
               {s, "1.2.3.4", 0},       {s, "255.255.255.255", 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.address);
    struct in_addr a = ip(c.address);
    EXPECT_EQ(ifinfo_checkip(c.entry, &a), c.expect);
  }
  // A range stored with addresses whose first octet has bit 7 set compares unsigned.
  ifinfo *hi = range(10002, "127.0.0.1", "200.0.0.1");
  struct in_addr a = ip("150.0.0.1");
  EXPECT_EQ(ifinfo_checkip(hi, &a), 0);
  for (ifinfo *e : {l, r, s, hi}) ifinfo_free(e);
}

TEST_F(IfinfoList, GetifFindsLocalOnlyAndGetifExAlsoBroadcast) {
  ifinfo *b = bcast(1, "10.1.0.255", "255.255.255.0");
  ifinfo *l = local("eth0", "10.2.0.1", "10.2.0.255", "255.255.255.0");
  ifinfo_add(&head, range(10001, "10.1.0.1", "10.1.0.9"));
  ifinfo_add(&head, b);
  ifinfo_add(&head, l);
  struct in_addr in_b = ip("10.1.0.5"), in_l = ip("10.2.0.9"), none = ip("10.3.0.1");
  EXPECT_EQ(ifinfo_getif(head, &in_b), nullptr);
  EXPECT_EQ(ifinfo_getif(head, &in_l), l);
  EXPECT_EQ(ifinfo_getif_ex(head, &in_b), b);
  EXPECT_EQ(ifinfo_getif_ex(head, &in_l), l);
  EXPECT_EQ(ifinfo_getif_ex(head, &none), nullptr);
}

TEST_F(IfinfoList, IsBroadcast) {
  struct {
    const char *a1, *a2;
    int32_t expect;
  } cases[] = {{"192.168.1.255", "255.255.255.0", 1},
               {"192.168.1.254", "255.255.255.0", 0},
               {"10.255.255.255", "255.0.0.0", 1},
               {"10.0.0.1", "10.0.0.9", 0}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.a1);
    ifinfo *e = make(1, "", c.a1, c.a2);
    EXPECT_EQ(ifinfo_isbroadcast(e), c.expect);
    ifinfo_free(e);
  }
}

}  // namespace
