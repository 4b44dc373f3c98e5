// kivo_status_read against snmpsim agents on loopback serving recordings of our own: the
// record holds what snmpwalk reads from the same agent, and nothing more.
#include <gtest/gtest.h>

#include <string>

#include "kivo8/kivo8.h"
#include "status_agents.h"
#include "support/net_util.h"
#include "support/record_owners.h"
#include "support/session_helpers.h"
#include "support/udp_responder.h"

namespace kivo8::test {
namespace {

class StatusRead : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override {
    snmp_comm_free(&communities_);
    mt_res_free();
  }

  // Reads the agent on `port` with `version`; the code in *rc.
  StatusRecord read(int port, int version, std::int32_t *rc, int timeout = 2) {
    if (communities_ == nullptr) snmp_comm_add(&communities_, "vellum");
    in_addr lo = ipv4("127.0.0.1");
    std::unique_ptr<snmp_session, void (*)(snmp_session *)> session(
        snmp_create_session(AF_INET, &lo, nullptr), snmp_free_session);
    EXPECT_NE(session, nullptr);
    if (!session) return nullptr;
    session->version = version;
    session->community = communities_;
    session->udp->port = static_cast<std::uint16_t>(port);
    session->udp->timeout = timeout;
    session->udp->retries = 2;
    kivo_status *raw = nullptr;
    *rc = kivo_status_read(session.get(), &raw);
    return StatusRecord(raw);
  }

  snmp_comm *communities_ = nullptr;
};

std::string text(const kivo_status_text &t) {
  return t.data == nullptr ? "<none>" : std::string(t.data, t.length);
}

TEST_F(StatusRead, ColourLaserAgreesWithSnmpwalk) {
  KIVO8_REQUIRE_SNMPSIM();
  KIVO8_REQUIRE_PROGRAM("snmpwalk");
  LoopbackAgent agent(recording("colour_laser"));
  ASSERT_TRUE(agent.sim.wait_ready());
  for (int version : {SNMP_VERSION_1, SNMP_VERSION_2c}) {
    SCOPED_TRACE(version == SNMP_VERSION_1 ? "SNMPv1" : "SNMPv2c");
    std::int32_t rc = -100;
    StatusRecord r = read(agent.port, version, &rc);
    ASSERT_EQ(rc, SNMP_ERR_NONE);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->printer_status, 3);
    EXPECT_EQ(r->device_status, 2);
    EXPECT_EQ(r->errors_given, 1);
    EXPECT_EQ(r->errors, 0u);
    EXPECT_EQ(r->page_count, 48213);
    EXPECT_EQ(r->uptime_ticks, 123456);
    EXPECT_EQ(text(r->serial), "CLX-0042");
    EXPECT_EQ(text(r->location), "Room 2.17 \"east\"");
    EXPECT_STREQ(r->mac, "00:1b:a9:3c:4d:5e");
    ASSERT_EQ(r->supply_count, 5u);
    EXPECT_EQ(r->supplies_truncated, 0);
    auto levels = snmpwalk(agent.port, ".1.3.6.1.2.1.43.11.1.1.9");
    auto maxima = snmpwalk(agent.port, ".1.3.6.1.2.1.43.11.1.1.8");
    ASSERT_EQ(levels.size(), 5u);
    const char *colours[] = {"black", "cyan", "magenta", "yellow", nullptr};
    for (std::uint32_t i = 0; i < r->supply_count; ++i) {
      const kivo_status_supply &s = r->supplies[i];
      std::string key = ".1.3.6.1.2.1.43.11.1.1.9.1." + std::to_string(s.index);
      EXPECT_EQ(std::to_string(s.level), levels[key]) << key;
      key = ".1.3.6.1.2.1.43.11.1.1.8.1." + std::to_string(s.index);
      EXPECT_EQ(std::to_string(s.max_capacity), maxima[key]) << key;
      EXPECT_EQ(s.colorant.data == nullptr ? "" : text(s.colorant), colours[i] ? colours[i] : "");
    }
    EXPECT_EQ(r->supplies[0].percent, 75);
    EXPECT_EQ(r->supplies[2].percent, 0);
    EXPECT_EQ(r->supplies[4].level_is_space_remaining, 1);
    EXPECT_EQ(r->supplies[4].percent, 80);
    EXPECT_EQ(r->alert_count, 0u);  // the empty alert table
    ASSERT_EQ(r->display_count, 1u);
    EXPECT_EQ(text(r->display[0]), "Ready");
  }
}

TEST_F(StatusRead, DevicesOfEveryKind) {
  KIVO8_REQUIRE_SNMPSIM();
  LoopbackAgent inkjet(recording("inkjet"));
  LoopbackAgent label(recording("label_printer"));
  LoopbackAgent percent(recording("percent_unit"));
  LoopbackAgent jammed(recording("jammed"));
  for (auto *a : {&inkjet, &label, &percent, &jammed}) ASSERT_TRUE(a->sim.wait_ready());
  std::int32_t rc = -100;

  {
    SCOPED_TRACE("inkjet: some remaining, unknown maximum, index gap");
    StatusRecord r = read(inkjet.port, SNMP_VERSION_2c, &rc);
    ASSERT_EQ(rc, SNMP_ERR_NONE);
    ASSERT_EQ(r->supply_count, 3u);
    EXPECT_EQ(r->supplies[0].level, KIVO_STATUS_LEVEL_SOME_REMAINING);
    EXPECT_EQ(r->supplies[0].max_capacity, -2);
    EXPECT_EQ(r->supplies[0].percent, -1);
    EXPECT_EQ(r->supplies[2].index, 4);
    EXPECT_EQ(r->supplies[2].level, KIVO_STATUS_LEVEL_UNKNOWN);
    EXPECT_EQ(r->supplies[2].level_is_space_remaining, 1);
    EXPECT_EQ(r->printer_status, 4);
    EXPECT_EQ(r->serial.data, nullptr);
    EXPECT_STREQ(r->mac, "");  // no address table: no guess
  }
  {
    SCOPED_TRACE("label printer: no supplies, empty error state");
    StatusRecord r = read(label.port, SNMP_VERSION_1, &rc);
    ASSERT_EQ(rc, SNMP_ERR_NONE);
    EXPECT_EQ(r->supply_count, 0u);
    EXPECT_EQ(r->alert_count, 0u);
    EXPECT_EQ(r->errors_given, 1);
    EXPECT_EQ(r->errors, 0u);
    EXPECT_EQ(r->page_count, -1);
    EXPECT_EQ(text(r->contact), "");
    EXPECT_EQ(text(r->location), "<none>");
  }
  {
    SCOPED_TRACE("unit percent");
    StatusRecord r = read(percent.port, SNMP_VERSION_2c, &rc);
    ASSERT_EQ(rc, SNMP_ERR_NONE);
    ASSERT_EQ(r->supply_count, 3u);
    EXPECT_EQ(r->supplies[0].percent, 7);
    EXPECT_EQ(r->supplies[1].level, 120);  // above its maximum: kept, no percentage
    EXPECT_EQ(r->supplies[1].percent, -1);
    EXPECT_EQ(r->supplies[2].percent, 55);  // max 0, but the unit is percent
    EXPECT_EQ(r->errors, KIVO_STATUS_ERR_LOW_TONER);
  }
  {
    SCOPED_TRACE("jammed, with alerts and hostile texts");
    StatusRecord r = read(jammed.port, SNMP_VERSION_2c, &rc);
    ASSERT_EQ(rc, SNMP_ERR_NONE);
    EXPECT_EQ(r->errors, KIVO_STATUS_ERR_DOOR_OPEN | KIVO_STATUS_ERR_JAMMED |
                             KIVO_STATUS_ERR_INPUT_TRAY_EMPTY);
    EXPECT_EQ(r->device_status, 5);
    EXPECT_EQ(r->page_count, 4294967295LL);
    EXPECT_EQ(text(r->serial), std::string("SN\0\"7\"", 6));
    ASSERT_EQ(r->alert_count, 3u);
    EXPECT_EQ(r->alerts[2].description.length, 4096u);  // 7,000 sent, cut at 4096
    EXPECT_EQ(r->alerts[0].index, 3);
    EXPECT_EQ(r->alerts[0].code, 8);
    EXPECT_EQ(r->alerts[0].group, 13);
    EXPECT_EQ(r->alerts[1].location, -1);
    EXPECT_EQ(text(r->alerts[1].description), "Front door open");
    ASSERT_EQ(r->supply_count, 4u);
    EXPECT_EQ(r->supplies[0].description.length, 65u);
    EXPECT_EQ(r->supplies[1].description.length, 1000u);
    EXPECT_EQ(r->supplies[1].percent, -1);  // level above max
    // A description of 10,000 characters makes its reply too big for one datagram: the
    // row is read a column at a time, without that one value, and the rows after it too.
    EXPECT_EQ(r->supplies[2].description.data, nullptr);
    EXPECT_EQ(r->supplies[2].percent, 33);
    EXPECT_EQ(r->supplies[2].type, 21);
    EXPECT_EQ(text(r->supplies[3].description), "After the big one");
  }
}

// A location of 10,000 characters makes the reply to the first GET (uptime, contact,
// location, the address tables) too big for the receive buffer. It alone is left out:
// the other names are read one at a time, and so is the rest of the status.
TEST_F(StatusRead, HugeScalarLeavesOutOnlyItself) {
  KIVO8_REQUIRE_SNMPSIM();
  LoopbackAgent agent({{"1.3.6.1.2.1.1.3.0", "67", "4200"},
                       {"1.3.6.1.2.1.1.4.0", "4", "helpdesk"},
                       {"1.3.6.1.2.1.1.6.0", "4", std::string(10000, 'W')},
                       {"1.3.6.1.2.1.25.3.5.1.1.1", "2", "3"},
                       {"1.3.6.1.2.1.43.11.1.1.6.1.1", "4", "Black Toner"},
                       {"1.3.6.1.2.1.43.11.1.1.8.1.1", "2", "100"},
                       {"1.3.6.1.2.1.43.11.1.1.9.1.1", "2", "42"}});
  ASSERT_TRUE(agent.sim.wait_ready());
  for (int version : {SNMP_VERSION_1, SNMP_VERSION_2c}) {
    SCOPED_TRACE(version);
    std::int32_t rc = -100;
    StatusRecord r = read(agent.port, version, &rc);
    ASSERT_EQ(rc, SNMP_ERR_NONE);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(text(r->location), "<none>");
    EXPECT_EQ(text(r->contact), "helpdesk");
    EXPECT_EQ(r->printer_status, 3);
    ASSERT_EQ(r->supply_count, 1u);
    EXPECT_EQ(r->supplies[0].percent, 42);
  }
}

TEST_F(StatusRead, FiveThousandRowsAreCapped) {
  KIVO8_REQUIRE_SNMPSIM();
  LoopbackAgent agent(flood(5000));
  ASSERT_TRUE(agent.sim.wait_ready(60));
  std::int32_t rc = -100;
  StatusRecord r = read(agent.port, SNMP_VERSION_2c, &rc);
  ASSERT_EQ(rc, SNMP_ERR_NONE);
  EXPECT_EQ(r->supply_count, KIVO_STATUS_MAX_SUPPLIES);
  EXPECT_EQ(r->supplies_truncated, 1);
  EXPECT_EQ(r->alert_count, KIVO_STATUS_MAX_ALERTS);
  EXPECT_EQ(r->alerts_truncated, 1);
  EXPECT_EQ(text(r->supplies[255].description), "Supply 256");
}

TEST_F(StatusRead, DeviceWhoseRepliesNeverDecodeIsNoPrinter) {
  // Every reply echoes the request id but carries no binding: the session cannot decode
  // it, and no answer is no printer.
  UdpResponder agent([](const craft::Bytes &request, int) {
    return std::vector<UdpResponder::Reply>{{response_to(request, {}), 0}};
  });
  ASSERT_TRUE(agent.ok());
  std::int32_t rc = SNMP_ERR_NONE;
  StatusRecord r = read(agent.port(), SNMP_VERSION_2c, &rc, 1);
  EXPECT_NE(rc, SNMP_ERR_NONE);
  EXPECT_EQ(r, nullptr);
}

TEST_F(StatusRead, SilentDeviceIsATimeoutAndNullArgumentsAreRefused) {
  std::int32_t rc = -100;
  int port = free_udp_port();  // nothing listens
  StatusRecord r = read(port, SNMP_VERSION_2c, &rc);
  EXPECT_NE(rc, SNMP_ERR_NONE);
  EXPECT_EQ(r, nullptr);
  kivo_status *raw = reinterpret_cast<kivo_status *>(1);
  EXPECT_EQ(kivo_status_read(nullptr, &raw), SNMP_ERR_OTHER);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(kivo_status_read_v3(nullptr, nullptr, nullptr), SNMP_ERR_OTHER);
}

}  // namespace
}  // namespace kivo8::test
