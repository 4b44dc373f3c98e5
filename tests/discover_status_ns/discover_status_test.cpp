// Printer status read by the discovery engine (KIVO_DISCOVER_STATUS) from snmpsim agents,
// one per namespace on a test network: each printer's record is the one the blocking
// one-device read gives for the same agent, a table of 5,000 rows stays capped, a
// non-printer gets none, and an agent that goes silent does not hold the run past its
// deadline.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "kivo8/kivo8.h"
#include "support/discover_lan.h"
#include "support/hub_network.h"
#include "support/net_util.h"
#include "support/record_owners.h"
#include "support/snmpd.h"
#include "support/snmpsim.h"
#include "support/status_recordings.h"

namespace kivo8::test {
namespace {

std::vector<SnmprecLine> router() {
  return {{"1.3.6.1.2.1.1.1.0", "4", "Edge router"},
          {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.8072.3.2.10"},
          {"1.3.6.1.2.1.1.3.0", "67", "100"},
          {"1.3.6.1.2.1.1.5.0", "4", "gw"}};
}

std::string bytes(const kivo_status_text &t) {
  if (t.data == nullptr) return "<none>";
  std::string out;
  for (std::uint32_t i = 0; i < t.length; ++i) {
    auto c = static_cast<unsigned char>(t.data[i]);
    char hex[5];
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

// Every field of a record, one per line: two records are the same when these are.
std::string dump(const kivo_status &s) {
  std::string o;
  auto line = [&o](const std::string &k, const std::string &v) { o += k + "=" + v + "\n"; };
  line("printer_status", std::to_string(s.printer_status));
  line("device_status", std::to_string(s.device_status));
  line("errors", std::to_string(s.errors_given) + "/" + std::to_string(s.errors));
  line("page_count", std::to_string(s.page_count));
  line("uptime", std::to_string(s.uptime_ticks));
  line("serial", bytes(s.serial));
  line("location", bytes(s.location));
  line("contact", bytes(s.contact));
  line("mac", s.mac);
  line("supplies", std::to_string(s.supply_count) + (s.supplies_truncated ? " truncated" : ""));
  for (std::uint32_t i = 0; i < s.supply_count; ++i) {
    const kivo_status_supply &x = s.supplies[i];
    line(" supply", std::to_string(x.index) + " " + std::to_string(x.supply_class) + " " +
                        std::to_string(x.type) + " " + std::to_string(x.unit) + " " +
                        std::to_string(x.max_capacity) + " " + std::to_string(x.level) + " " +
                        std::to_string(x.percent) + " " + std::to_string(x.level_is_space_remaining) +
                        " " + std::to_string(x.colorant_index) + " " + bytes(x.description) + " " +
                        bytes(x.colorant));
  }
  line("alerts", std::to_string(s.alert_count) + (s.alerts_truncated ? " truncated" : ""));
  for (std::uint32_t i = 0; i < s.alert_count; ++i) {
    const kivo_status_alert &x = s.alerts[i];
    line(" alert", std::to_string(x.index) + " " + std::to_string(x.severity) + " " +
                       std::to_string(x.training_level) + " " + std::to_string(x.group) + " " +
                       std::to_string(x.group_index) + " " + std::to_string(x.location) + " " +
                       std::to_string(x.code) + " " + bytes(x.description));
  }
  for (std::uint32_t i = 0; i < s.display_count; ++i) line(" display", bytes(s.display[i]));
  return o;
}

// The blocking read of one agent, with the version and community discovery used.
StatusRecord read_one(const kivo_discover_device &d) {
  in_addr a = d.address;
  std::unique_ptr<snmp_session, void (*)(snmp_session *)> session(
      snmp_create_session(AF_INET, &a, nullptr), snmp_free_session);
  EXPECT_NE(session, nullptr);
  if (!session) return nullptr;
  snmp_comm *communities = nullptr;
  snmp_comm_add(&communities, d.community);
  session->version = d.snmp_version;
  session->community = communities;
  session->udp->timeout = 2;
  session->udp->retries = 2;
  kivo_status *raw = nullptr;
  EXPECT_EQ(kivo_status_read(session.get(), &raw), SNMP_ERR_NONE);
  snmp_comm_free(&communities);
  return StatusRecord(raw);
}

ifinfo *add_range(ifinfo **head, const std::string &first, const std::string &last, int seconds) {
  ifinfo *t = ifinfo_new();
  t->count = seconds;
  t->id = 10000;
  t->addr1 = ipv4(first);
  t->addr2 = ipv4(last);
  snmp_comm_add(&t->comms, "vellum");
  ifinfo_add(head, t);
  return t;
}

TEST(DiscoverStatus, EveryPrinterRecordIsTheOneDeviceReadAndNonPrintersHaveNone) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_SNMPSIM();
  ASSERT_EQ(mt_res_init(), 0);
  const std::vector<std::string> printers = {"colour_laser", "inkjet", "label_printer",
                                             "percent_unit", "jammed"};
  // Agents 0-4 the recordings, 5 the 5,000-row tables, 6 a router.
  HubNetwork net(7, "10.68.0");
  std::vector<std::unique_ptr<Snmpsim>> agents;
  for (std::size_t i = 0; i < printers.size(); ++i) {
    const int n = static_cast<int>(i);
    agents.push_back(std::make_unique<Snmpsim>(net.agent(n).name(),
                                               recording(printers[i], net.agent_ip(n))));
  }
  agents.push_back(std::make_unique<Snmpsim>(net.agent(5).name(), flood(5000)));
  agents.push_back(std::make_unique<Snmpsim>(net.agent(6).name(), router()));
  for (auto &a : agents) ASSERT_TRUE(a->wait_ready(60));

  ifinfo *head = nullptr;
  add_range(&head, net.agent_ip(0), net.agent_ip(6), 2);
  IfinfoList list(head);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_RANGES | KIVO_DISCOVER_STATUS;
  o.versions = KIVO_DISCOVER_V1 | KIVO_DISCOVER_V2C;
  o.deadline_ms = 60000;
  net.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  EXPECT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  kivo_discover_stats stats{};
  ASSERT_EQ(kivo_discover_get_stats(h.get(), &stats), KIVO_DISCOVER_OK);
  EXPECT_EQ(stats.deadline_reached, 0);

  ASSERT_EQ(kivo_discover_count(h.get()), 7u);
  for (std::size_t i = 0; i < printers.size(); ++i) {
    SCOPED_TRACE(printers[i]);
    const kivo_discover_device *d = device_at(h.get(), net.agent_ip(static_cast<int>(i)));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->kind, KIVO_DISCOVER_KIND_PRINTER);
    ASSERT_NE(d->status, nullptr);
    StatusRecord alone = read_one(*d);
    ASSERT_NE(alone, nullptr);
    EXPECT_EQ(dump(*d->status), dump(*alone));
  }
  // Spot checks that the reads read something, not merely the same nothing.
  const kivo_discover_device *laser = device_at(h.get(), net.agent_ip(0));
  EXPECT_EQ(laser->status->supply_count, 5u);
  EXPECT_STREQ(laser->status->mac, "00:1b:a9:3c:4d:5e");
  const kivo_discover_device *jammed = device_at(h.get(), net.agent_ip(4));
  EXPECT_EQ(jammed->status->errors, KIVO_STATUS_ERR_DOOR_OPEN | KIVO_STATUS_ERR_JAMMED |
                                        KIVO_STATUS_ERR_INPUT_TRAY_EMPTY);
  ASSERT_EQ(jammed->status->supply_count, 4u);
  // Its third supply's 10,000-character description makes a reply too big for the
  // session's buffer: the engine skips that value as the blocking read does.
  EXPECT_EQ(jammed->status->supplies[2].description.data, nullptr);
  EXPECT_EQ(bytes(jammed->status->supplies[3].description), "After the big one");

  const kivo_discover_device *big = device_at(h.get(), net.agent_ip(5));
  ASSERT_NE(big, nullptr);
  ASSERT_NE(big->status, nullptr);
  EXPECT_EQ(big->status->supply_count, KIVO_STATUS_MAX_SUPPLIES);
  EXPECT_EQ(big->status->supplies_truncated, 1);
  EXPECT_EQ(big->status->alert_count, KIVO_STATUS_MAX_ALERTS);
  EXPECT_EQ(big->status->alerts_truncated, 1);
  StatusRecord alone = read_one(*big);
  ASSERT_NE(alone, nullptr);
  EXPECT_EQ(dump(*big->status), dump(*alone));

  const kivo_discover_device *gw = device_at(h.get(), net.agent_ip(6));
  ASSERT_NE(gw, nullptr);
  EXPECT_EQ(gw->kind, KIVO_DISCOVER_KIND_OTHER);
  EXPECT_EQ(gw->status, nullptr);

  // Without the option no record carries a status.
  o.searches = KIVO_DISCOVER_RANGES;
  DiscoverHandle plain(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(plain);
  EXPECT_EQ(kivo_discover_run(plain.get()), KIVO_DISCOVER_OK);
  net.hub().leave();
  ASSERT_EQ(kivo_discover_count(plain.get()), 7u);
  for (uint32_t i = 0; i < kivo_discover_count(plain.get()); ++i)
    EXPECT_EQ(kivo_discover_get(plain.get(), i)->status, nullptr);
  mt_res_free();
}

TEST(DiscoverStatus, PrinterSilentForItsStatusDoesNotHoldTheRunPastItsDeadline) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_SNMPSIM();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(2, "10.69.0");
  // Agent 0 describes itself as a printer at once, but answers the status read's first
  // request (it asks sysContact) only after half a minute; agent 1 answers everything.
  std::vector<SnmprecLine> slow = {
      {"1.3.6.1.2.1.1.1.0", "4", "Slow printer"},
      {"1.3.6.1.2.1.1.4.0", "4:delay", "value=desk,wait=30000"},
      {"1.3.6.1.2.1.25.3.5.1.1.1", "2", "3"},
      {"1.3.6.1.2.1.43.5.1.1.16.1", "4", "slow"},
  };
  Snmpsim silent(net.agent(0).name(), slow);
  Snmpsim ready(net.agent(1).name(), recording("label_printer", net.agent_ip(1)));
  ASSERT_TRUE(silent.wait_ready(60));
  ASSERT_TRUE(ready.wait_ready(60));

  ifinfo *head = nullptr;
  add_range(&head, net.agent_ip(0), net.agent_ip(1), 1);
  IfinfoList list(head);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_RANGES | KIVO_DISCOVER_STATUS;
  o.retries = 5;  // the status request alone would wait six seconds
  o.deadline_ms = 4000;
  net.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  const double started = now_seconds();
  EXPECT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  const double took = now_seconds() - started;
  net.hub().leave();
  // The deadline plus the loop's longest sleep and a loaded machine's margin.
  EXPECT_LT(took, 4.0 + 1.5);
  kivo_discover_stats stats{};
  ASSERT_EQ(kivo_discover_get_stats(h.get(), &stats), KIVO_DISCOVER_OK);
  EXPECT_EQ(stats.deadline_reached, 1);

  const kivo_discover_device *s = device_at(h.get(), net.agent_ip(0));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->kind, KIVO_DISCOVER_KIND_PRINTER);
  EXPECT_EQ(s->status, nullptr);  // a read cut short leaves none
  const kivo_discover_device *r = device_at(h.get(), net.agent_ip(1));
  ASSERT_NE(r, nullptr);
  ASSERT_NE(r->status, nullptr);
  EXPECT_EQ(r->status->errors_given, 1);
  mt_res_free();
}

TEST(DiscoverStatus, PrinterDescribedBySnmpv3IsReadWithItsUser) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("snmpd");
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(1, "10.70.0");
  SnmpdConfig c;
  c.netns = net.agent(0).name();
  c.address = "0.0.0.0";
  c.v3_only = true;
  c.view_lines.push_back("view kv included .1.3.6.1.2.1.25.3.2.1.5");
  c.view_lines.push_back("view kv included .1.3.6.1.2.1.25.3.5.1");
  c.view_lines.push_back("view kv included .1.3.6.1.2.1.43");
  c.extra_lines = {
      "createUser scout SHA-256 ink-and-paper AES toner-secret",
      "rouser scout priv -V kv",
      // The printer name makes the agent a printer in its SNMPv3 description.
      "override .1.3.6.1.2.1.43.5.1.1.16.1 octet_str \"Scout\"",
      "override .1.3.6.1.2.1.25.3.2.1.5.1 integer 3",
      "override .1.3.6.1.2.1.25.3.5.1.1.1 integer 4",
      "override .1.3.6.1.2.1.43.5.1.1.17.1 octet_str \"V3-SERIAL\"",
      "override .1.3.6.1.2.1.43.11.1.1.5.1.1 integer 3",
      "override .1.3.6.1.2.1.43.11.1.1.6.1.1 octet_str \"Black Toner\"",
      "override .1.3.6.1.2.1.43.11.1.1.7.1.1 integer 19",
      "override .1.3.6.1.2.1.43.11.1.1.9.1.1 integer 42",
      "override .1.3.6.1.2.1.43.18.1.1.7.1.1 integer 1104",
  };
  Snmpd agent(c);
  ASSERT_TRUE(agent.ok());

  kivo_snmpv3_options v3{};
  v3.size = sizeof v3;
  v3.user = "scout";
  v3.level = KIVO_SNMPV3_AUTH_PRIV;
  v3.auth_protocol = KIVO_SNMPV3_AUTH_SHA256;
  v3.auth_password = "ink-and-paper";
  v3.priv_protocol = KIVO_SNMPV3_PRIV_AES;
  v3.priv_password = "toner-secret";
  v3.timeout_ms = 2000;
  ifinfo *head = nullptr;
  add_range(&head, net.agent_ip(0), net.agent_ip(0), 2);
  IfinfoList list(head);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_RANGES | KIVO_DISCOVER_SNMPV3 | KIVO_DISCOVER_STATUS;
  o.snmpv3 = &v3;
  net.hub().enter();
  DiscoverHandle h(kivo_discover_new(list.get(), &o));
  ASSERT_TRUE(h);
  EXPECT_EQ(kivo_discover_run(h.get()), KIVO_DISCOVER_OK);
  const kivo_discover_device *d = device_at(h.get(), net.agent_ip(0));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->snmp_version, 3);
  EXPECT_EQ(d->kind, KIVO_DISCOVER_KIND_PRINTER);
  ASSERT_NE(d->status, nullptr);
  EXPECT_EQ(d->status->printer_status, 4);
  ASSERT_EQ(d->status->supply_count, 1u);
  EXPECT_EQ(d->status->supplies[0].percent, 42);

  in_addr a = d->address;
  std::int32_t code = 0;
  kivo_snmpv3_session *session = kivo_snmpv3_create(&a, &v3, &code);
  ASSERT_NE(session, nullptr) << code;
  kivo_status *raw = nullptr;
  EXPECT_EQ(kivo_status_read_v3(session, &a, &raw), SNMP_ERR_NONE);
  kivo_snmpv3_free(session);
  net.hub().leave();
  StatusRecord alone(raw);
  ASSERT_NE(alone, nullptr);
  EXPECT_EQ(dump(*d->status), dump(*alone));
  mt_res_free();
}

}  // namespace
}  // namespace kivo8::test
