// The discovery engine inside network namespaces of our own: real agents (snmpsim), the
// test SLP service agent, a web server, and small responders that answer wrongly on
// purpose (another port, another request id, too late, floods).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "kivo8/discover.h"
#include "kivo8/kivo8.h"
#include "support/peers.h"
#include "support/snmp_agents.h"

namespace kivo8::test {
namespace {

#define REQUIRE_SNMPSIM()                                                      \
  do {                                                                         \
    if (snmpsim_program().empty()) {                                           \
      if (in_ci()) FAIL() << "required peer program missing: snmpsim";         \
      GTEST_SKIP() << "snmpsim is not installed";                              \
    }                                                                          \
  } while (0)

struct ListFree {
  void operator()(ifinfo *t) const { ifinfo_free_list(t); }
};
using List = std::unique_ptr<ifinfo, ListFree>;

struct HandleFree {
  void operator()(kivo_discover *h) const { kivo_discover_free(h); }
};
using Handle = std::unique_ptr<kivo_discover, HandleFree>;

// Appends a target to the list `head`.
ifinfo *add_target(ifinfo **head, int seconds) {
  ifinfo *t = ifinfo_new();
  t->count = seconds;
  ifinfo_add(head, t);
  return t;
}

ifinfo *add_local(ifinfo **head, const std::string &name, const std::string &address,
                  const std::string &broadcast, const std::string &mask, int seconds) {
  ifinfo *t = add_target(head, seconds);
  std::snprintf(t->name, sizeof t->name, "%s", name.c_str());
  t->addr = ipv4(address);
  t->addr1 = ipv4(broadcast);
  t->addr2 = ipv4(mask);
  return t;
}

ifinfo *add_range(ifinfo **head, const std::string &first, const std::string &last, int seconds) {
  ifinfo *t = add_target(head, seconds);
  t->id = 10000;
  t->addr1 = ipv4(first);
  t->addr2 = ipv4(last);
  return t;
}

// What the callbacks saw, by address.
struct Seen {
  std::map<std::string, int> found, complete;
  std::map<std::string, std::string> names;
  int progress_calls = 0;
  kivo_discover_progress last{};
  static void on_device(int32_t event, const kivo_discover_device *d, void *user) {
    auto *self = static_cast<Seen *>(user);
    std::string a = ipv4_text(d->address);
    if (event == KIVO_DISCOVER_EVENT_FOUND) ++self->found[a];
    if (event == KIVO_DISCOVER_EVENT_COMPLETE) {
      ++self->complete[a];
      self->names[a] = d->product_name;
    }
  }
  static void on_progress(const kivo_discover_progress *p, void *user) {
    auto *self = static_cast<Seen *>(user);
    ++self->progress_calls;
    self->last = *p;
  }
};

const kivo_discover_device *device_at(kivo_discover *h, const std::string &address) {
  for (uint32_t i = 0; i < kivo_discover_count(h); ++i) {
    const kivo_discover_device *d = kivo_discover_get(h, i);
    if (ipv4_text(d->address) == address) return d;
  }
  return nullptr;
}

std::vector<SnmprecLine> printer_data(const std::string &name) {
  return {
      {"1.3.6.1.2.1.1.1.0", "4", "Acme engine controller v2"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.11.2.3.9.1"},
      {"1.3.6.1.2.1.1.5.0", "4", name},
      {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
      {"1.3.6.1.2.1.25.3.2.1.3.1", "4", "Generic 28C-1"},
      {"1.3.6.1.2.1.43.5.1.1.16.1", "4", name},
      {"1.3.6.1.4.1.11.2.3.9.1.1.7.0", "4", "MFG:Acme;MDL:LabelJet 410;CMD:ZPL,PCL;"},
  };
}

std::vector<SnmprecLine> router_data() {
  return {
      {"1.3.6.1.2.1.1.1.0", "4", "Edge router"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.8072.3.2.10"},
      {"1.3.6.1.2.1.1.5.0", "4", "gw"},
  };
}

TEST(DiscoverNamespace, EverySearchKindInOneCallGivesOneRecordPerDevice) {
  KIVO8_REQUIRE_NETNS();
  REQUIRE_SNMPSIM();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(4);
  net.hub().must("ip link set br0 type bridge mcast_snooping 0");
  Snmpsim printer(net.agent(0).name(), printer_data("front-desk"));
  Snmpsim router(net.agent(1).name(), router_data());
  ASSERT_TRUE(printer.wait_ready());
  ASSERT_TRUE(router.wait_ready());
  TempDir dir;
  // Agent 2: a printer whose SNMP is off, seen only through SLP.
  std::string ready = dir.file("slp.ready");
  Process slp({"/usr/bin/python3", source_dir() + "/tests/slp/responder.py", "--address",
               net.agent_ip(2), "--ready", ready, "--url",
               "service:printer:lpr://" + net.agent_ip(2) + ":515/queue"},
              net.agent(2).name(), dir.file("slp.out"));
  ASSERT_TRUE(wait_until(10, [&] { return std::ifstream(ready).good(); }));
  // Agent 0 also serves web pages.
  Process web({"/usr/bin/python3", "-m", "http.server", "80", "--bind", net.agent_ip(0)},
              net.agent(0).name(), dir.file("web.out"));
  ASSERT_TRUE(wait_until(10, [&] {
    return net.agent(0).sh("python3 -c \"import socket; socket.create_connection(('" +
                           net.agent_ip(0) + "', 80), 1)\" 2>/dev/null") == 0;
  }));

  ifinfo *head = nullptr;
  ifinfo *local = add_local(&head, "br0", net.hub_ip(), net.broadcast_ip(), net.netmask_ip(), 2);
  snmp_comm_add(&local->comms, "vellum");
  ifinfo *range = add_range(&head, net.agent_ip(0), "10.66.0.9", 1);
  snmp_comm_add(&range->comms, "vellum");
  List list(head);

  Seen seen;
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.on_device = &Seen::on_device;
  o.progress = &Seen::on_progress;
  o.user = &seen;
  o.web_timeout_ms = 1000;
  net.hub().enter();
  Handle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  double started = now_seconds();
  int32_t rc = kivo_discover_run(h.get());
  double took = now_seconds() - started;
  net.hub().leave();
  EXPECT_EQ(rc, KIVO_DISCOVER_OK);

  ASSERT_EQ(kivo_discover_count(h.get()), 3u);
  const kivo_discover_device *p = device_at(h.get(), net.agent_ip(0));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->found_by, KIVO_DISCOVER_FOUND_BROADCAST | KIVO_DISCOVER_FOUND_SCAN);
  EXPECT_EQ(p->kind, KIVO_DISCOVER_KIND_PRINTER);
  EXPECT_EQ(p->snmp_version, 0);
  EXPECT_STREQ(p->community, "vellum");
  EXPECT_STREQ(p->sys_name, "front-desk");
  EXPECT_STREQ(p->sys_object_id, "1.3.6.1.4.1.11.2.3.9.1");
  EXPECT_STREQ(p->hr_device_type, "1.3.6.1.2.1.25.3.1.5");
  EXPECT_STREQ(p->device_id_mfg, "Acme");
  EXPECT_STREQ(p->device_id_mdl, "LabelJet 410");
  EXPECT_STREQ(p->device_id_cmd, "ZPL,PCL");
  EXPECT_STREQ(p->product_name, "LabelJet 410");
  EXPECT_EQ(p->web_server, KIVO_DISCOVER_WEB_YES);
  ASSERT_NE(p->record, nullptr);
  EXPECT_TRUE(device_isStdMibPrinter(p->record));
  EXPECT_STREQ(p->record->product, "LabelJet 410");

  const kivo_discover_device *r = device_at(h.get(), net.agent_ip(1));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, KIVO_DISCOVER_KIND_OTHER);
  EXPECT_EQ(r->web_server, KIVO_DISCOVER_WEB_NO);
  EXPECT_STREQ(r->sys_descr, "Edge router");

  const kivo_discover_device *s = device_at(h.get(), net.agent_ip(2));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->found_by, KIVO_DISCOVER_FOUND_SLP);
  EXPECT_EQ(s->kind, KIVO_DISCOVER_KIND_PRINTER_NO_SNMP);
  ASSERT_EQ(s->slp_url_count, 1u);
  EXPECT_EQ(std::string(s->slp_urls[0]), "service:printer:lpr://" + net.agent_ip(2) + ":515/queue");
  EXPECT_TRUE(device_isNoSNMP(s->record));

  // Each device announced once when first seen and once when described.
  for (const auto &a : {net.agent_ip(0), net.agent_ip(1), net.agent_ip(2)}) {
    SCOPED_TRACE(a);
    EXPECT_EQ(seen.found[a], 1);
    EXPECT_EQ(seen.complete[a], 1);
  }
  EXPECT_EQ(seen.names[net.agent_ip(0)], "LabelJet 410");
  EXPECT_GE(seen.progress_calls, 2);
  EXPECT_EQ(seen.last.addresses_total, 8u);
  EXPECT_EQ(seen.last.addresses_done, 8u);

  kivo_discover_stats st{};
  ASSERT_EQ(kivo_discover_get_stats(h.get(), &st), KIVO_DISCOVER_OK);
  EXPECT_EQ(st.devices, 3u);
  EXPECT_EQ(st.devices_dropped, 0u);
  EXPECT_EQ(st.deadline_reached, 0);
  // Silent addresses wait one time-out (1 s) each, all at once; the SLP window is 2 s.
  EXPECT_LT(took, 8.0);
}

}  // namespace
}  // namespace kivo8::test
