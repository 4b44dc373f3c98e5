// The discovery engine stopped from outside: a cancel from another thread while a long
// sweep runs, and callbacks that read the library (and cancel) from inside the run.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "kivo8/discover.h"
#include "kivo8/kivo8.h"
#include "support/discover_lan.h"
#include "support/peers.h"
#include "support/record_owners.h"
#include "support/snmp_agents.h"

namespace kivo8::test {
namespace {

// A namespace whose 10.99.0.0/16 lies behind a gateway that takes every datagram and
// forwards none: every send succeeds and nothing ever answers.
std::unique_ptr<Netns> silent_network() {
  auto ns = std::make_unique<Netns>();
  ns->must("ip link add v0 type veth peer name v1 && ip addr add 10.98.0.1/24 dev v0 && "
           "ip link set v0 up && ip link set v1 up && ip addr add 10.98.0.2/32 dev v1 && "
           "ip route add 10.99.0.0/16 via 10.98.0.2 dev v0");
  return ns;
}

IfinfoList silent_range() {
  ifinfo *t = ifinfo_new();
  t->id = 10000;
  t->addr1 = ipv4("10.99.0.2");
  t->addr2 = ipv4("10.99.255.254");
  t->count = 1;
  snmp_comm_add(&t->comms, "vellum");
  return IfinfoList(t);
}

TEST(DiscoverCancel, ACancelFromAnotherThreadEndsTheRunPromptly) {
  KIVO8_REQUIRE_NETNS();
  ASSERT_EQ(mt_res_init(), 0);
  auto ns = silent_network();
  auto list = silent_range();
  std::atomic<std::uint64_t> progress_seen{0};
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_RANGES;
  o.rate = 1000;  // 65,533 addresses: more than a minute unless cancelled
  o.user = &progress_seen;
  o.progress = [](const kivo_discover_progress *p, void *user) {
    static_cast<std::atomic<std::uint64_t> *>(user)->store(p->requests_sent);
  };
  ns->enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  std::thread canceller([&] {
    // Once the sweep is under way (or after five seconds on a loaded machine).
    for (int i = 0; i < 500 && progress_seen.load() < 50; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    kivo_discover_cancel(h.get());
  });
  double started = now_seconds();
  int32_t rc = kivo_discover_run(h.get());
  double took = now_seconds() - started;
  canceller.join();
  ns->leave();
  EXPECT_EQ(rc, KIVO_DISCOVER_CANCELLED);
  EXPECT_LT(took, 15.0);
  kivo_discover_stats st{};
  kivo_discover_get_stats(h.get(), &st);
  EXPECT_GE(st.requests_sent, 50u);
  EXPECT_LT(st.requests_sent, 65533u);
  EXPECT_EQ(st.deadline_reached, 0);
  EXPECT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_EINVAL) << "a handle runs once";
}

TEST(DiscoverCancel, ACancelBeforeTheRunEndsItAtOnce) {
  KIVO8_REQUIRE_NETNS();
  ASSERT_EQ(mt_res_init(), 0);
  auto ns = silent_network();
  auto list = silent_range();
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_RANGES;
  ns->enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  kivo_discover_cancel(h.get());
  EXPECT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_CANCELLED);
  ns->leave();
}

// What the callback could read about the run while inside it.
struct Inside {
  kivo_discover *handle = nullptr;
  int calls = 0;
  uint32_t count_seen = 0;
  std::string name_seen, via_get;
  bool printer = false;
  int32_t target_kind = -1;
};

TEST(DiscoverCancel, ACallbackMayReadTheLibraryAndCancel) {
  KIVO8_REQUIRE_NETNS();
  if (snmpsim_program().empty()) {
    if (in_ci()) FAIL() << "required peer program missing: snmpsim";
    GTEST_SKIP() << "snmpsim is not installed";
  }
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(1);
  Snmpsim agent(net.agent(0).name(),
                {{"1.3.6.1.2.1.1.1.0", "4", "Jet 9 controller"},
                 {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
                 {"1.3.6.1.2.1.43.5.1.1.16.1", "4", "Jet 9"}});
  ASSERT_TRUE(agent.wait_ready());
  HubInterface bridge = hub_interface(net);
  bridge.seconds = 30;  // without the cancel the run would last half a minute
  IfinfoList list = target_list(bridge);
  Inside inside;
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_BROADCAST;
  o.user = &inside;
  o.on_device = [](int32_t event, const kivo_discover_device *d, void *user) {
    auto *in = static_cast<Inside *>(user);
    ++in->calls;
    if (event != KIVO_DISCOVER_EVENT_COMPLETE) return;
    in->count_seen = kivo_discover_count(in->handle);
    const kivo_discover_device *first = kivo_discover_get(in->handle, 0);
    if (first != nullptr) in->via_get = first->product_name;
    kivo_discover_stats st{};
    kivo_discover_get_stats(in->handle, &st);
    in->printer = device_isStdMibPrinter(d->record) != 0;
    const char *name = device_get_productname(d->record);
    in->name_seen = name != nullptr ? name : "";
    in->target_kind = ifinfo_get_type(d->record->target);
    kivo_discover_cancel(in->handle);
  };
  net.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  inside.handle = h.get();
  double started = now_seconds();
  EXPECT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_CANCELLED);
  double took = now_seconds() - started;
  net.hub().leave();
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(inside.calls, 2);
  EXPECT_EQ(inside.count_seen, 1u);
  EXPECT_EQ(inside.via_get, "Jet 9 controller");
  EXPECT_EQ(inside.name_seen, "Jet 9 controller");
  EXPECT_TRUE(inside.printer);
  EXPECT_EQ(inside.target_kind, IFINFO_LOCAL);
  ASSERT_EQ(kivo_discover_count(h.get()), 1u);
  EXPECT_EQ(kivo_discover_get(h.get(), 0)->kind, KIVO_DISCOVER_KIND_PRINTER);
}

}  // namespace
}  // namespace kivo8::test
