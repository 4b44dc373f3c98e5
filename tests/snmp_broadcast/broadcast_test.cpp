// Discovery by broadcast inside network namespaces of our own: a hub with a bridge, agent
// namespaces on one subnet running snmpsim, and one device that answers with garbage.
#include <gtest/gtest.h>

#include <algorithm>

#include "support/session_helpers.h"
#include "support/snmpsim.h"
#include "kivo8/ifinfo.h"
#include "support/record_owners.h"

namespace kivo8::test {
namespace {

using craft::Bytes;
using Reply = UdpResponder::Reply;

// The search target of the hub's interface: replies are collected for `seconds`.
IfinfoEntry hub_target(HubNetwork &net, int seconds) {
  IfinfoEntry t(ifinfo_new());
  if (!t) return t;
  t->addr = ipv4(net.hub_ip());
  t->addr1 = ipv4(net.broadcast_ip());
  t->addr2 = ipv4(net.netmask_ip());
  t->count = seconds;
  snmp_comm_add(&t->comms, "vellum");
  return t;
}

SessionPtr broadcast_session(HubNetwork &net, ifinfo *target) {
  in_addr to = ipv4(net.broadcast_ip());
  SessionPtr s(snmp_create_session(2, &to, target));
  if (!s) return s;
  s->udp->flags |= UDP_FLAG_BROADCAST;
  s->version = 1;
  s->community = target->comms;
  return s;
}

PduPtr get_pdu(const std::vector<std::string> &names) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  for (const auto &n : names) {
    craft::Oid o = craft::parse_oid(n);
    snmp_add_null_var(pdu.get(), o.data(), uint32_t(o.size()));
  }
  return pdu;
}

TEST(SnmpBroadcast, ThreeAgentsAnswerNewestFirstAndABrokenDeviceHidesNone) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_SNMPSIM();
  ASSERT_EQ(mt_res_init(), 0);
  {
    HubNetwork net(4);
    // Agent i answers after i * 300 ms (snmpsim's delay variation on sysName), so the
    // order of arrival is known.
    std::vector<std::unique_ptr<Snmpsim>> agents;
    for (int i = 0; i < 3; ++i) {
      std::string letter(1, char('A' + i));
      SnmprecLine name{"1.3.6.1.2.1.1.5.0", "4", "printer-" + letter};
      if (i > 0) {
        name.tag = "4:delay";
        name.value = "value=printer-" + letter + ",wait=" + std::to_string(i * 300);
      }
      agents.push_back(std::make_unique<Snmpsim>(
          net.agent(i).name(),
          std::vector<SnmprecLine>{{"1.3.6.1.2.1.1.1.0", "4", "Printer " + letter}, name}));
    }
    for (auto &a : agents) ASSERT_TRUE(a->wait_ready());
    // The fourth device answers first, twice, with bytes that are not a message.
    UdpResponder broken(
        [](const Bytes &, int) {
          return std::vector<Reply>{{Bytes{0x30, 0x05, 0x02, 0x01, 0x01, 0x04}, 0},
                                    {Bytes{0xff, 0x00, 0x13}, 50}};
        },
        "0.0.0.0", 161, net.agent(3).name());
    ASSERT_TRUE(broken.ok());

    auto target = hub_target(net, 2);
    ASSERT_TRUE(target);
    net.hub().enter();
    SessionPtr s = broadcast_session(net, target.get());
    ASSERT_TRUE(s);
    PduPtr request = get_pdu({"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.5.0"});
    snmp_pdu_list *raw = nullptr;
    double start = now_seconds();
    int32_t rc = snmp_asynch_response(s.get(), request.get(), &raw);
    double took = now_seconds() - start;
    net.hub().leave();
    ASSERT_EQ(rc, 0);
    ListPtr list(raw);
    EXPECT_EQ(s->error, 0);
    // The window never ends before its time-out. It is counted in whole seconds from its
    // start, so it may last up to a second longer; the bound adds room for a loaded
    // two-core machine under valgrind on top of that (the window's exact length is
    // measured by the snmp_session_timing tests, which valgrind leaves out). What this
    // test is about is counted instead: one request out, both broken datagrams in.
    EXPECT_GE(took, 2.0);
    EXPECT_LT(took, 2.0 + 1.0 + 3.0);
    EXPECT_EQ(broken.received(), 1);
    EXPECT_EQ(broken.sent(), 2);

    auto all = nodes(list.get());
    ASSERT_EQ(all.size(), 3u);
    for (std::size_t k = 0; k < all.size(); ++k) {
      int agent = 2 - int(k);  // newest reply first
      SCOPED_TRACE(testing::Message() << "node " << k);
      EXPECT_EQ(ipv4_text(all[k]->address), net.agent_ip(agent));
      auto vars = bindings(all[k]->pdu);
      ASSERT_EQ(vars.size(), 2u);
      EXPECT_EQ(string_of(vars[0]), std::string("Printer ") + char('A' + agent));
      EXPECT_EQ(string_of(vars[1]), std::string("printer-") + char('A' + agent));
      EXPECT_EQ(all[k]->pdu->reqid, request->reqid);
    }
  }
  mt_res_free();
}

TEST(SnmpBroadcast, NobodyAnsweringGivesAnEmptyList) {
  KIVO8_REQUIRE_NETNS();
  ASSERT_EQ(mt_res_init(), 0);
  {
    HubNetwork net(1);
    auto target = hub_target(net, 1);
    ASSERT_TRUE(target);
    net.hub().enter();
    SessionPtr s = broadcast_session(net, target.get());
    ASSERT_TRUE(s);
    PduPtr request = get_pdu({"1.3.6.1.2.1.1.1.0"});
    snmp_pdu_list *raw = nullptr;
    int32_t rc = snmp_asynch_response(s.get(), request.get(), &raw);
    net.hub().leave();
    ASSERT_EQ(rc, 0);
    ListPtr list(raw);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(snmp_pdu_list_length(list.get()), 0);
  }
  mt_res_free();
}

// A unicast request through a search target leaves from the target's interface address.
// The hub's bridge carries a second address, which the system would not choose by itself,
// and the agent accepts the community only from that one.
TEST(SnmpBroadcast, UnicastThroughATargetLeavesFromItsInterface) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("snmpd");
  ASSERT_EQ(mt_res_init(), 0);
  {
    HubNetwork net(1);
    const std::string second = "10.66.0.200";
    net.hub().must("ip addr add " + second + "/24 dev br0");
    SnmpdConfig config;
    config.netns = net.agent(0).name();
    config.address = net.agent_ip(0);
    config.allowed_source = second;
    Snmpd agent(config);
    ASSERT_TRUE(agent.ok());
    auto target = hub_target(net, 1);
    ASSERT_TRUE(target);
    target->addr = ipv4(second);
    net.hub().enter();
    in_addr to = ipv4(net.agent_ip(0));
    SessionPtr s(snmp_create_session(2, &to, target.get()));
    ASSERT_TRUE(s);
    s->version = 0;
    s->community = target->comms;
    OidList names({"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.6.0"});
    snmp_pdu *raw = nullptr;
    int32_t rc = snmp_get(s.get(), names.get(), &raw);
    net.hub().leave();
    ASSERT_EQ(rc, 0);
    PduPtr response(raw);
    auto vars = bindings(response.get());
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(string_of(vars[0]), config.sys_descr);
    EXPECT_EQ(string_of(vars[1]), config.sys_location);
    EXPECT_EQ(ipv4_text(s->udp->from_address), net.agent_ip(0));
  }
  mt_res_free();
}

}  // namespace
}  // namespace kivo8::test
