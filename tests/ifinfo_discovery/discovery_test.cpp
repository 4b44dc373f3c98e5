// Interface discovery against real interfaces: every case builds its own network
// namespace (loopback at 127.0.0.1 plus whatever the case adds) and runs discovery from
// inside it. Plain interfaces are bridges without ports, which every kernel we run on
// can make inside a namespace (dummy and tunnel drivers may be missing as modules).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <memory>
#include <string>
#include <vector>

#include "kivo8/ifinfo.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/tcp_utils.h"
#include "support/alloc_failure.h"
#include "support/peers.h"

namespace {

using kivo8::test::Netns;

std::string text(struct in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

struct Found {
  std::string name, addr, bcast, mask;
  bool operator==(const Found &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Found &f) {
  return os << "{" << f.name << " " << f.addr << " bcast " << f.bcast << " mask " << f.mask << "}";
}

class Discovery : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    ns_ = std::make_unique<Netns>();
  }
  void TearDown() override {
    if (ns_) ns_->leave();
    ifinfo_free_list(list_);
  }

  // Discovery into the test's own list, run from inside the namespace.
  void discover() {
    ns_->enter();
    ifinfo_getlocal(&list_);
    ns_->leave();
  }

  // What was found, in list order, after checking what every discovered entry shares.
  std::vector<Found> found() const {
    std::vector<Found> out;
    for (ifinfo *e = list_; e != nullptr; e = e->next) {
      SCOPED_TRACE(e->name);
      EXPECT_EQ(ifinfo_get_type(e), IFINFO_LOCAL);
      EXPECT_EQ(e->id, 0);
      EXPECT_EQ(e->count, 3);
      EXPECT_EQ(e->flag, 1);
      EXPECT_EQ(e->addr3.s_addr, 0u);
      EXPECT_EQ(e->scopes, nullptr);
      EXPECT_EQ(snmp_comm_count(e->comms), 1);
      if (e->comms != nullptr) {
        EXPECT_STREQ(e->comms->name, "vellum");
        EXPECT_EQ(e->comms->length, 6);
      }
      out.push_back({e->name, text(e->addr), text(e->addr1), text(e->addr2)});
    }
    return out;
  }

  std::unique_ptr<Netns> ns_;
  ifinfo *list_ = nullptr;
};

struct Case {
  const char *label;
  std::vector<std::string> setup;  // run in the namespace, in order
  std::vector<Found> expected;     // in list order
};

const Case kCases[] = {
    {"only loopback", {}, {}},
    {"one interface that is up",
     {"ip link add d0 type bridge", "ip addr add 192.168.7.10/24 brd + dev d0",
      "ip link set d0 up"},
     {{"d0", "192.168.7.10", "192.168.7.255", "255.255.255.0"}}},
    {"an interface that is down",
     {"ip link add d0 type bridge", "ip addr add 192.168.7.10/24 brd + dev d0"},
     {}},
    {"veth pair with one end down",
     {"ip link add v0 type veth peer name v1", "ip addr add 10.1.0.1/16 brd + dev v0",
      "ip addr add 10.1.0.2/16 brd + dev v1", "ip link set v0 up"},
     {{"v0", "10.1.0.1", "10.1.255.255", "255.255.0.0"}}},
    {"logical interfaces name:1 and name:2 give one entry for the first address",
     {"ip link add d0 type bridge", "ip addr add 192.168.7.10/24 brd + dev d0",
      "ip addr add 192.168.8.10/24 brd + dev d0 label d0:1",
      "ip addr add 192.168.9.10/24 brd + dev d0 label d0:2", "ip link set d0 up"},
     {{"d0", "192.168.7.10", "192.168.7.255", "255.255.255.0"}}},
    {"a second unlabelled address gives no second entry",
     {"ip link add d0 type bridge", "ip addr add 192.168.7.10/24 brd + dev d0",
      "ip addr add 10.5.0.1/8 brd + dev d0", "ip link set d0 up"},
     {{"d0", "192.168.7.10", "192.168.7.255", "255.255.255.0"}}},
    {"point-to-point tun device has no broadcast address",
     {"ip tuntap add dev tn0 mode tun", "ip addr add 10.9.0.1 peer 10.9.0.2 dev tn0",
      "ip link set tn0 up"},
     {{"tn0", "10.9.0.1", "0.0.0.0", "255.255.255.255"}}},
    {"two interfaces on one subnet",
     {"ip link add d0 type bridge", "ip link add d1 type bridge",
      "ip addr add 192.168.7.10/24 brd + dev d0", "ip addr add 192.168.7.11/24 brd + dev d1",
      "ip link set d0 up", "ip link set d1 up"},
     {{"d1", "192.168.7.11", "192.168.7.255", "255.255.255.0"},
      {"d0", "192.168.7.10", "192.168.7.255", "255.255.255.0"}}},
    {"127.0.0.2 on an interface other than loopback",
     {"ip link add d0 type bridge", "ip addr add 127.0.0.2/8 brd + dev d0", "ip link set d0 up"},
     {{"d0", "127.0.0.2", "127.255.255.255", "255.0.0.0"}}},
    {"a further address on loopback is skipped with 127.0.0.1",
     {"ip addr add 10.7.7.7/24 brd + dev lo"},
     {}},
    // Created in this order, so the system lists them by index: zz0, aa1, mm2.
    {"entries stand in the reverse of the system's order",
     {"ip link add zz0 type bridge", "ip link add aa1 type bridge", "ip link add mm2 type bridge",
      "ip addr add 10.1.0.1/24 brd + dev zz0", "ip addr add 10.2.0.1/24 brd + dev aa1",
      "ip addr add 10.3.0.1/24 brd + dev mm2", "ip link set zz0 up", "ip link set aa1 up",
      "ip link set mm2 up"},
     {{"mm2", "10.3.0.1", "10.3.0.255", "255.255.255.0"},
      {"aa1", "10.2.0.1", "10.2.0.255", "255.255.255.0"},
      {"zz0", "10.1.0.1", "10.1.0.255", "255.255.255.0"}}},
    // The queries for the broadcast address and netmask go by the interface name, which
    // matches no address of an interface whose only address carries a label: both fail.
    {"failed broadcast and netmask queries store zero",
     {"ip link add d0 type bridge", "ip addr add 10.4.0.1/24 brd + dev d0 label d0:5",
      "ip link set d0 up"},
     {{"d0", "10.4.0.1", "0.0.0.0", "0.0.0.0"}}},
    // 121 addresses before d1's: d1 is only seen once the first buffer of 100 records
    // has grown.
    {"more than 100 addresses make the buffer grow",
     {"ip link add d0 type bridge", "ip link add d1 type bridge",
      "for i in $(seq 1 120); do echo \"addr add 10.20.$i.1/24 brd + dev d0\"; done | ip -batch -",
      "ip addr add 172.16.5.1/16 brd + dev d1", "ip link set d0 up", "ip link set d1 up"},
     {{"d1", "172.16.5.1", "172.16.255.255", "255.255.0.0"},
      {"d0", "10.20.1.1", "10.20.1.255", "255.255.255.0"}}},
};

class DiscoveryCases : public Discovery, public ::testing::WithParamInterface<Case> {};

TEST_P(DiscoveryCases, FindsTheInterfacesThatAreUp) {
  for (const auto &command : GetParam().setup) ns_->must(command);
  discover();
  EXPECT_EQ(found(), GetParam().expected);
  EXPECT_EQ(ifinfo_get_num_local(list_), static_cast<int32_t>(GetParam().expected.size()));
}

std::string case_name(const ::testing::TestParamInfo<Case> &info) {
  std::string name;
  for (const char *p = info.param.label; *p != '\0'; ++p)
    name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Namespaces, DiscoveryCases, ::testing::ValuesIn(kCases), case_name);

ifinfo *range_entry(const char *first, const char *last) {
  ifinfo *e = ifinfo_new();
  e->id = 10001;
  inet_pton(AF_INET, first, &e->addr1);
  inet_pton(AF_INET, last, &e->addr2);
  return e;
}

// Discovered entries are linked before their addresses are known, so the only listed
// entry they can take the place of is one whose addr1 and addr2 are both zero; every
// other entry stays, and the new ones go first.
TEST_F(Discovery, AddsToAListAndReplacesOnlyAnEntryWithoutAddresses) {
  ns_->must("ip link add d0 type bridge");
  ns_->must("ip addr add 192.168.7.10/24 brd + dev d0");
  ns_->must("ip link set d0 up");
  ifinfo *slp = ifinfo_new();
  slp->id = 20001;
  ifinfo_add(&list_, slp);
  ifinfo *empty_bcast = ifinfo_new();
  empty_bcast->id = 7;
  ifinfo_add(&list_, empty_bcast);
  ifinfo_add(&list_, range_entry("10.0.0.1", "10.0.0.9"));

  discover();

  ASSERT_EQ(ifinfo_get_num(list_), 3);
  EXPECT_EQ(ifinfo_get_type(ifinfo_getat(list_, 0)), IFINFO_RANGE);
  EXPECT_STREQ(ifinfo_getat(list_, 1)->name, "d0");
  EXPECT_EQ(ifinfo_getat(list_, 2), slp);
}

// Saved targets read after discovery take over the matching discovered interface and
// keep its name and address.
TEST_F(Discovery, ASavedBroadcastTargetTakesOverTheDiscoveredInterface) {
  ns_->must("ip link add d0 type bridge");
  ns_->must("ip addr add 192.168.7.10/24 brd + dev d0");
  ns_->must("ip link set d0 up");
  discover();
  ASSERT_EQ(ifinfo_get_num(list_), 1);

  ifinfo *saved = ifinfo_new();
  saved->id = 4;
  saved->count = 9;
  inet_pton(AF_INET, "192.168.7.255", &saved->addr1);
  inet_pton(AF_INET, "255.255.255.0", &saved->addr2);
  ifinfo_add(&list_, saved);

  ASSERT_EQ(ifinfo_get_num(list_), 1);
  EXPECT_EQ(list_, saved);
  EXPECT_EQ(ifinfo_get_type(saved), IFINFO_LOCAL);
  EXPECT_STREQ(saved->name, "d0");
  EXPECT_EQ(text(saved->addr), "192.168.7.10");
  EXPECT_EQ(saved->count, 9);
}

// The first set is dropped from the global list, not freed: the caller still holds it.
TEST_F(Discovery, InitWithLocalTwiceLeavesOneSetInTheGlobalList) {
  ns_->must("ip link add d0 type bridge");
  ns_->must("ip link add d1 type bridge");
  ns_->must("ip addr add 192.168.7.10/24 brd + dev d0");
  ns_->must("ip addr add 192.168.8.10/24 brd + dev d1");
  ns_->must("ip link set d0 up");
  ns_->must("ip link set d1 up");
  ns_->enter();
  ifinfo_initwithlocal(nullptr);
  ifinfo *first_set = ifinfo_getat(nullptr, 0);
  EXPECT_EQ(ifinfo_get_num(nullptr), 2);
  ifinfo_initwithlocal(nullptr);
  ns_->leave();

  EXPECT_EQ(ifinfo_get_num(nullptr), 2);
  EXPECT_EQ(ifinfo_get_num_local(nullptr), 2);
  for (ifinfo *e = ifinfo_getat(nullptr, 0); e != nullptr; e = e->next)
    for (ifinfo *old = first_set; old != nullptr; old = old->next) EXPECT_NE(e, old);
  EXPECT_STREQ(ifinfo_getat(nullptr, 0)->name, "d1");
  EXPECT_STREQ(first_set->name, "d1");

  ifinfo_free_list(first_set);
  ifinfo_free_list(nullptr);
  ifinfo_init_list(nullptr);
}

TEST_F(Discovery, InitWithLocalOnAPrivateListDropsWhatItHeld) {
  ns_->must("ip link add d0 type bridge");
  ns_->must("ip addr add 192.168.7.10/24 brd + dev d0");
  ns_->must("ip link set d0 up");
  ifinfo *held = range_entry("10.0.0.1", "10.0.0.9");
  ifinfo_add(&list_, held);
  ns_->enter();
  ifinfo_initwithlocal(&list_);
  ns_->leave();
  ASSERT_EQ(ifinfo_get_num(list_), 1);
  EXPECT_STREQ(list_->name, "d0");
  EXPECT_EQ(held->next, nullptr);
  ifinfo_free(held);
}

// A neighbour address for a device stays in the subnet of a discovered interface when the
// next address lies in one, and steps down otherwise.
TEST_F(Discovery, NeighbourAddressesFollowTheDiscoveredSubnets) {
  ns_->must("ip link add d0 type bridge");
  ns_->must("ip link add d1 type bridge");
  ns_->must("ip addr add 192.168.1.20/24 brd + dev d0");
  ns_->must("ip addr add 10.0.0.1/8 brd + dev d1");
  ns_->must("ip tuntap add dev tn0 mode tun");
  ns_->must("ip addr add 10.9.0.1 peer 10.9.0.2 dev tn0");
  for (const char *dev : {"d0", "d1", "tn0"}) ns_->must(std::string("ip link set ") + dev + " up");
  ns_->enter();
  ifinfo_initwithlocal(nullptr);
  ns_->leave();
  ASSERT_EQ(ifinfo_get_num_local(nullptr), 3);

  struct {
    const char *current, *expected;
  } cases[] = {
      {"192.168.1.7", "192.168.1.8"},      // covered by d0
      {"192.168.1.0", "192.168.1.1"},      // covered; the network address itself may step up
      {"192.168.1.254", "192.168.1.253"},  // the next would be the broadcast octet 255
      {"192.168.1.255", "192.168.1.254"},  // the next would wrap to 0
      {"192.168.2.7", "192.168.2.6"},      // no interface covers 192.168.2.0/24
      {"10.200.3.9", "10.200.3.10"},       // covered by d1's /8
      {"10.200.3.0", "10.200.3.1"},
      {"172.16.0.0", "172.16.0.255"},  // not covered: 0 steps down to 255
      {"10.9.0.1", "10.9.0.2"},        // d1's /8 also covers the tunnel's addresses
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.current);
    struct in_addr current {
    }, result{};
    ASSERT_EQ(inet_pton(AF_INET, c.current, &current), 1);
    make_next_ipaddr(&current, &result);
    EXPECT_EQ(text(result), c.expected);
  }

  // Without d1, the point-to-point interface covers nothing of its own (its broadcast
  // address is zero), so an address beside it steps down.
  ifinfo *d1 = nullptr;
  for (ifinfo *e = ifinfo_getat(nullptr, 0); e != nullptr; e = e->next)
    if (std::string(e->name) == "d1") d1 = e;
  ASSERT_NE(d1, nullptr);
  ifinfo_remove(nullptr, d1);
  struct in_addr current {
  }, result{};
  inet_pton(AF_INET, "10.9.0.1", &current);
  make_next_ipaddr(&current, &result);
  EXPECT_EQ(text(result), "10.9.0.0");

  ifinfo_free_list(nullptr);
  ifinfo_init_list(nullptr);
}

// Without a socket the interface list cannot be read: nothing is added.
TEST_F(Discovery, NoSocketAddsNothing) {
  ns_->must("ip link add d0 type bridge");
  ns_->must("ip addr add 192.168.7.10/24 brd + dev d0");
  ns_->must("ip link set d0 up");
  ns_->enter();
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit none = saved;
  none.rlim_cur = 0;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
  ifinfo_getlocal(&list_);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  ns_->leave();
  EXPECT_EQ(list_, nullptr);
}

// Whatever allocation fails, discovery leaves only complete entries, leaks nothing, and
// finds every interface once memory is there.
TEST_F(Discovery, AllocationFailuresLeaveOnlyCompleteEntries) {
  ns_->must("ip link add d0 type bridge");
  ns_->must("ip link add d1 type bridge");
  ns_->must("ip addr add 192.168.7.10/24 brd + dev d0");
  ns_->must("ip addr add 192.168.8.10/24 brd + dev d1");
  ns_->must("ip link set d0 up");
  ns_->must("ip link set d1 up");
  ns_->enter();
  std::uint64_t used = kivo8::test::sweep_allocation_failures([&] {
    ifinfo *list = nullptr;
    ifinfo_getlocal(&list);
    int32_t n = 0;
    for (ifinfo *e = list; e != nullptr; e = e->next, ++n) {
      EXPECT_NE(e->name[0], '\0');
      EXPECT_EQ(snmp_comm_count(e->comms), 1);
    }
    ifinfo_free_list(list);
    return n == 2;
  });
  ns_->leave();
  EXPECT_GT(used, 0u);
}

}  // namespace
