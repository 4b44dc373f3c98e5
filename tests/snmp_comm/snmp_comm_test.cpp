#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "kivo8/snmp_comm.h"
#include "support/alloc_failure.h"

namespace {

// A list owned by the test, freed whatever happens.
struct CommList {
  snmp_comm *head = reinterpret_cast<snmp_comm *>(0x1);  // init must overwrite this
  CommList() { snmp_comm_init(&head); }
  ~CommList() { snmp_comm_free(&head); }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (snmp_comm *c = head; c != nullptr; c = c->next) out.emplace_back(c->name, c->length);
    return out;
  }
};

using Names = std::vector<std::string>;

TEST(SnmpComm, InitEmptiesTheCellAndAddPutsNewNamesFirst) {
  CommList l;
  EXPECT_EQ(l.head, nullptr);
  snmp_comm *v = snmp_comm_add(&l.head, "vellum");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->length, 6);
  EXPECT_STREQ(v->name, "vellum");
  snmp_comm *s = snmp_comm_add(&l.head, "secret");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(l.head, s);
  EXPECT_EQ(snmp_comm_getat(l.head, 0), s);
  EXPECT_EQ(snmp_comm_getat(l.head, 1), v);
  EXPECT_EQ(snmp_comm_count(l.head), 2);
  EXPECT_EQ(l.names(), (Names{"secret", "vellum"}));
}

TEST(SnmpComm, AddRefusesDuplicatesEmptyAndNullButIsCaseSensitive) {
  CommList l;
  ASSERT_NE(snmp_comm_add(&l.head, "vellum"), nullptr);
  EXPECT_EQ(snmp_comm_add(&l.head, "vellum"), nullptr);
  EXPECT_EQ(snmp_comm_add(&l.head, ""), nullptr);
  EXPECT_EQ(snmp_comm_add(&l.head, nullptr), nullptr);
  EXPECT_EQ(snmp_comm_count(l.head), 1);
  EXPECT_NE(snmp_comm_add(&l.head, "Vellum"), nullptr);
  // A name that merely starts like a listed one is different.
  EXPECT_NE(snmp_comm_add(&l.head, "vell"), nullptr);
  EXPECT_NE(snmp_comm_add(&l.head, "vellum2"), nullptr);
  EXPECT_EQ(l.names(), (Names{"vellum2", "vell", "Vellum", "vellum"}));
}

TEST(SnmpComm, GetatBounds) {
  CommList l;
  EXPECT_EQ(snmp_comm_getat(l.head, 0), nullptr);
  snmp_comm_add(&l.head, "a");
  snmp_comm_add(&l.head, "b");
  struct {
    int32_t index;
    const char *expect;
  } cases[] = {{-1, nullptr}, {0, "b"}, {1, "a"}, {2, nullptr}, {INT32_MAX, nullptr},
               {INT32_MIN, nullptr}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.index);
    snmp_comm *e = snmp_comm_getat(l.head, c.index);
    if (c.expect == nullptr) {
      EXPECT_EQ(e, nullptr);
    } else {
      ASSERT_NE(e, nullptr);
      EXPECT_STREQ(e->name, c.expect);
    }
  }
  EXPECT_EQ(snmp_comm_count(nullptr), 0);
}

TEST(SnmpComm, FindMatchesExactTextOnly) {
  CommList l;
  snmp_comm *v = snmp_comm_add(&l.head, "vellum");
  snmp_comm_add(&l.head, "other");
  EXPECT_EQ(snmp_comm_find(l.head, "vellum"), v);
  EXPECT_EQ(snmp_comm_find(l.head, "VELLUM"), nullptr);
  EXPECT_EQ(snmp_comm_find(l.head, "vell"), nullptr);
  EXPECT_EQ(snmp_comm_find(l.head, "vellumx"), nullptr);
  EXPECT_EQ(snmp_comm_find(l.head, nullptr), nullptr);
  EXPECT_EQ(snmp_comm_find(nullptr, "vellum"), nullptr);
  // Searching from a later entry skips the earlier ones.
  EXPECT_EQ(snmp_comm_find(v, "other"), nullptr);
}

TEST(SnmpComm, RenameReusesTheBlockWhenShorterAndReplacesItWhenLonger) {
  CommList l;
  snmp_comm *e = snmp_comm_add(&l.head, "seven77");
  char *block = e->name;
  snmp_comm_rename(e, "abc");
  EXPECT_EQ(e->name, block);
  EXPECT_EQ(e->length, 3);
  EXPECT_STREQ(e->name, "abc");
  // Not longer than the current length (3), so still in place.
  snmp_comm_rename(e, "xyz");
  EXPECT_EQ(e->name, block);
  snmp_comm_rename(e, "ten_bytes!");
  EXPECT_EQ(e->length, 10);
  EXPECT_STREQ(e->name, "ten_bytes!");
  EXPECT_EQ(snmp_comm_find(l.head, "ten_bytes!"), e);
}

TEST(SnmpComm, RenameThatCannotAllocateLeavesTheEntryUnchanged) {
  CommList l;
  snmp_comm *e = snmp_comm_add(&l.head, "short");
  char *block = e->name;
  kivo8::alloc_testing::fail_nth(1, true);
  snmp_comm_rename(e, "a much longer community");
  bool injected = kivo8::alloc_testing::injected();
  kivo8::alloc_testing::reset();
  EXPECT_TRUE(injected);
  EXPECT_EQ(e->name, block);
  EXPECT_EQ(e->length, 5);
  EXPECT_STREQ(e->name, "short");
}

TEST(SnmpComm, RemoveUnlinksByAddressAndIgnoresStrangers) {
  CommList l, other;
  snmp_comm *a = snmp_comm_add(&l.head, "a");
  snmp_comm *b = snmp_comm_add(&l.head, "b");
  snmp_comm *c = snmp_comm_add(&l.head, "c");
  snmp_comm *x = snmp_comm_add(&other.head, "b");
  snmp_comm_remove(&l.head, x);  // same text, other list: nothing happens
  EXPECT_EQ(l.names(), (Names{"c", "b", "a"}));
  EXPECT_EQ(other.names(), (Names{"b"}));
  snmp_comm_remove(&l.head, b);  // middle
  EXPECT_EQ(l.names(), (Names{"c", "a"}));
  snmp_comm_remove(&l.head, c);  // first: the second becomes first
  EXPECT_EQ(l.head, a);
  snmp_comm_remove(&l.head, a);
  EXPECT_EQ(l.head, nullptr);
  snmp_comm_remove(&l.head, nullptr);
}

TEST(SnmpComm, FreeLeavesTheCellNull) {
  snmp_comm *head = nullptr;
  snmp_comm_add(&head, "a");
  snmp_comm_add(&head, "b");
  snmp_comm_free(&head);
  EXPECT_EQ(head, nullptr);
  EXPECT_EQ(snmp_comm_count(head), 0);
  snmp_comm_free(&head);
}

TEST(SnmpComm, NullEntryIsEmptyAndStandsAlone) {
  EXPECT_EQ(snmp_comm_null.next, nullptr);
  EXPECT_EQ(snmp_comm_null.length, 0);
  ASSERT_NE(snmp_comm_null.name, nullptr);
  EXPECT_STREQ(snmp_comm_null.name, "");
  EXPECT_EQ(snmp_comm_count(&snmp_comm_null), 1);
  // The shared entry has no block to write into; renaming it must not touch it.
  snmp_comm_rename(&snmp_comm_null, "x");
  EXPECT_EQ(snmp_comm_null.length, 0);
  EXPECT_STREQ(snmp_comm_null.name, "");
}

TEST(SnmpComm, AddUnderAllocationFailureLeavesTheListAsItWas) {
  CommList l;
  snmp_comm_add(&l.head, "first");
  snmp_comm *before = l.head;
  kivo8::test::sweep_allocation_failures([&] {
    snmp_comm *e = snmp_comm_add(&l.head, "second");
    if (e == nullptr) {
      EXPECT_EQ(l.head, before);
      EXPECT_EQ(snmp_comm_count(l.head), 1);
      return false;
    }
    EXPECT_EQ(l.names(), (Names{"second", "first"}));
    snmp_comm_remove(&l.head, e);
    return true;
  });
}

}  // namespace
