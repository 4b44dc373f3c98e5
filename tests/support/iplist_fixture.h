// Range targets in a private list and the address table drawn from them, for the
// address-table tests (one thread and several).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"

namespace kivo8::test::iplist {

inline struct in_addr ip(const char *dotted) {
  struct in_addr a {};
  EXPECT_EQ(inet_pton(AF_INET, dotted, &a), 1) << dotted;
  return a;
}

inline std::string text(struct in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

enum class Kind { range, bcast, local, slp };

struct Target {
  Kind kind;
  const char *first;
  const char *last;
};

// A private list holding the targets in the given order, freed with the test.
class TargetList {
 public:
  explicit TargetList(const std::vector<Target> &targets) {
    // ifinfo_add puts each new entry first, so add from the last.
    for (auto t = targets.rbegin(); t != targets.rend(); ++t) {
      ifinfo *e = ifinfo_new();
      EXPECT_NE(e, nullptr);
      switch (t->kind) {
        case Kind::range:
          e->id = 10001;
          break;
        case Kind::bcast:
          e->id = 1;
          break;
        case Kind::local:
          std::snprintf(e->name, sizeof e->name, "eth%d", ifinfo_get_num(head_));
          break;
        case Kind::slp:
          e->id = 20001;
          break;
      }
      e->addr1 = ip(t->first);
      e->addr2 = ip(t->last);
      ifinfo_add(&head_, e);
    }
    EXPECT_EQ(ifinfo_get_num(head_), static_cast<int32_t>(targets.size()))
        << "targets with equal ends replace each other";
  }
  ~TargetList() { ifinfo_free_list(head_); }
  TargetList(const TargetList &) = delete;
  TargetList &operator=(const TargetList &) = delete;

  ifinfo *first() const { return head_; }
  ifinfo *at(int32_t n) const { return ifinfo_getat(head_, n); }

 private:
  ifinfo *head_ = nullptr;
};

struct Drawn {
  std::string addr;
  int32_t owner;  // position of the owning entry in the list
  bool operator==(const Drawn &) const = default;
};

inline std::ostream &operator<<(std::ostream &os, const Drawn &d) {
  return os << d.addr << "@" << d.owner;
}

class AddressTable : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }

  // Draws the whole record, then checks that it stays exhausted.
  static std::vector<Drawn> draw_all(ifinfo_iplist *record, const TargetList &list) {
    std::vector<Drawn> out;
    while (ifinfo_ipentry *e = ifinfo_iplist_getnext(record)) {
      int32_t owner = -1;
      for (int32_t i = 0; list.at(i) != nullptr; ++i)
        if (list.at(i) == e->owner) owner = i;
      out.push_back({text(e->addr), owner});
      EXPECT_EQ(ifinfo_iplist_getcurrent(record), static_cast<int32_t>(out.size()));
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ifinfo_iplist_getnext(record), nullptr);
    EXPECT_EQ(ifinfo_iplist_getcurrent(record), ifinfo_iplist_getcount(record));
    return out;
  }
};

}  // namespace kivo8::test::iplist
