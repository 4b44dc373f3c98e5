// Sessions against net-snmp's snmpd on loopback: GET, GETNEXT, missing names, a wrong
// community, walks compared line by line with net-snmp's own snmpwalk, and eight sessions
// on eight threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <sstream>
#include <thread>

#include "support/session_helpers.h"

namespace kivo8::test {
namespace {

const char *const kSysDescr = "1.3.6.1.2.1.1.1.0";
const char *const kSysContact = "1.3.6.1.2.1.1.4.0";
const char *const kSysName = "1.3.6.1.2.1.1.5.0";
const char *const kSysLocation = "1.3.6.1.2.1.1.6.0";

class SnmpdSession : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    KIVO8_REQUIRE_PROGRAM("snmpd");
    agent_ = std::make_unique<Snmpd>();
    ASSERT_TRUE(agent_->ok());
  }

  SessionPtr session(int32_t version, const std::string &community = "vellum",
                     int32_t timeout = 2, int32_t retries = 2) {
    snmp_comm *c = communities_.find(community);
    if (c == nullptr) c = snmp_comm_add(&communities_.head, community.c_str());
    return open_session("127.0.0.1", agent_->port(), version, c, timeout, retries);
  }

  Communities communities_;
  std::unique_ptr<Snmpd> agent_;
};

// A binding as net-snmp's tools print it with -On, for the types this agent serves.
std::string snmpwalk_line(const snmp_var *v) {
  std::ostringstream out;
  out << name_of(v) << " = ";
  switch (v->type) {
    case SNMP_TYPE_OCTET_STR:
      out << "STRING: \"" << string_of(v) << "\"";
      break;
    case SNMP_TYPE_OBJECT_ID: {
      const uint32_t *o = snmp_get_oid(v);
      out << "OID: " << craft::oid_text(craft::Oid(o, o + v->value_length / 4));
      break;
    }
    case SNMP_TYPE_INTEGER:
      out << "INTEGER: " << int_of(v);
      break;
    case SNMP_TYPE_COUNTER:
      out << "Counter32: " << uint_of(v);
      break;
    case SNMP_TYPE_GAUGE:
      out << "Gauge32: " << uint_of(v);
      break;
    case SNMP_TYPE_TIMETICKS: {
      uint32_t t = uint_of(v);
      char buf[64];
      uint32_t days = t / 8640000, rest = t % 8640000;
      std::string d = days == 0 ? "" : std::to_string(days) + (days == 1 ? " day, " : " days, ");
      std::snprintf(buf, sizeof buf, "%u:%02u:%02u.%02u", rest / 360000, rest / 6000 % 60,
                    rest / 100 % 60, rest % 100);
      out << "Timeticks: (" << t << ") " << d << buf;
      break;
    }
    default:
      out << "type 0x" << std::hex << int(v->type);
  }
  return out.str();
}

std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] == '.' && line.find(" = No more variables") == std::string::npos)
      out.push_back(line);
  return out;
}

TEST_F(SnmpdSession, GetOfSeveralNamesInOneRequestInBothVersions) {
  for (int32_t version : {0, 1}) {
    SCOPED_TRACE(version == 0 ? "SNMPv1" : "SNMPv2c");
    SessionPtr s = session(version);
    ASSERT_TRUE(s);
    OidList names({kSysDescr, kSysLocation, kSysName, kSysContact});
    snmp_pdu *raw = reinterpret_cast<snmp_pdu *>(1);
    ASSERT_EQ(snmp_get(s.get(), names.get(), &raw), 0);
    PduPtr response(raw);
    ASSERT_TRUE(response);
    EXPECT_EQ(s->error, 0);
    EXPECT_EQ(response->command, SNMP_MSG_RESPONSE);
    EXPECT_EQ(response->version, version);
    EXPECT_EQ(response->errstat, 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(response->community),
                          response->community_len),
              "vellum");
    auto vars = bindings(response.get());
    ASSERT_EQ(vars.size(), 4u);
    const SnmpdConfig &c = agent_->config();
    std::pair<std::string, std::string> expected[] = {{kSysDescr, c.sys_descr},
                                                      {kSysLocation, c.sys_location},
                                                      {kSysName, c.sys_name},
                                                      {kSysContact, c.sys_contact}};
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(name_of(vars[i]), "." + expected[i].first);
      EXPECT_EQ(vars[i]->type, SNMP_TYPE_OCTET_STR);
      EXPECT_EQ(string_of(vars[i]), expected[i].second);
      // Decoded strings can be used as text.
      EXPECT_STREQ(reinterpret_cast<const char *>(snmp_get_octet_str(vars[i])),
                   expected[i].second.c_str());
    }
  }
}

TEST_F(SnmpdSession, GetNextOfSeveralNamesInBothVersions) {
  for (int32_t version : {0, 1}) {
    SCOPED_TRACE(version == 0 ? "SNMPv1" : "SNMPv2c");
    SessionPtr s = session(version);
    ASSERT_TRUE(s);
    // The names before each variable, and one in the middle of sysORTable.
    OidList names({"1.3.6.1.2.1.1.1", "1.3.6.1.2.1.1.5", "1.3.6.1.2.1.1.2.0",
                   "1.3.6.1.2.1.1.9.1.2.4"});
    snmp_pdu *raw = nullptr;
    ASSERT_EQ(snmp_getnext(s.get(), names.get(), &raw), 0);
    PduPtr response(raw);
    auto vars = bindings(response.get());
    ASSERT_EQ(vars.size(), 4u);
    EXPECT_EQ(name_of(vars[0]), ".1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(string_of(vars[0]), agent_->config().sys_descr);
    EXPECT_EQ(name_of(vars[1]), ".1.3.6.1.2.1.1.5.0");
    EXPECT_EQ(string_of(vars[1]), agent_->config().sys_name);
    // sysUpTime is outside the agent's view, so the next after sysObjectID is sysContact.
    EXPECT_EQ(name_of(vars[2]), ".1.3.6.1.2.1.1.4.0");
    EXPECT_EQ(name_of(vars[3]), ".1.3.6.1.2.1.1.9.1.2.5");
    EXPECT_EQ(vars[3]->type, SNMP_TYPE_OBJECT_ID);
  }
}

TEST_F(SnmpdSession, MissingNamesInSnmpV2cComeBackAsExceptionValues) {
  SessionPtr s = session(1);
  ASSERT_TRUE(s);
  // sysUpTime is outside the view (no such object); sysServices is not configured (no
  // such instance); sysDescr.5 has no instance either.
  OidList names({"1.3.6.1.2.1.1.3.0", "1.3.6.1.2.1.1.7.0", "1.3.6.1.2.1.1.1.5", kSysDescr});
  snmp_pdu *raw = nullptr;
  ASSERT_EQ(snmp_get(s.get(), names.get(), &raw), 0);
  PduPtr response(raw);
  auto vars = bindings(response.get());
  ASSERT_EQ(vars.size(), 4u);
  EXPECT_EQ(vars[0]->type, SNMP_NOSUCHOBJECT);
  EXPECT_EQ(vars[1]->type, SNMP_NOSUCHINSTANCE);
  EXPECT_EQ(vars[2]->type, SNMP_NOSUCHINSTANCE);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(vars[i]->value, nullptr);
    EXPECT_EQ(vars[i]->value_length, 0u);
  }
  EXPECT_EQ(string_of(vars[3]), agent_->config().sys_descr);
}

TEST_F(SnmpdSession, MissingNameInSnmpV1IsAnErrorStatusInTheResponse) {
  SessionPtr s = session(0);
  ASSERT_TRUE(s);
  OidList names({kSysDescr, "1.3.6.1.2.1.1.7.0"});
  snmp_pdu *raw = nullptr;
  ASSERT_EQ(snmp_get(s.get(), names.get(), &raw), 0);
  PduPtr response(raw);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->errstat, 2);  // noSuchName
  EXPECT_EQ(response->errindex, 2);
}

TEST_F(SnmpdSession, WrongCommunityTimesOutAfterEveryTransmission) {
  SessionPtr s = session(1, "not-vellum", /*timeout=*/1, /*retries=*/2);
  ASSERT_TRUE(s);
  OidList names({kSysDescr});
  snmp_pdu *raw = reinterpret_cast<snmp_pdu *>(1);
  double start = now_seconds();
  EXPECT_EQ(snmp_get(s.get(), names.get(), &raw), SNMP_ERR_TIMEOUT);
  double took = now_seconds() - start;
  EXPECT_EQ(raw, nullptr);
  // Two transmissions of one second; the upper bound leaves room for a loaded machine
  // under valgrind (the exact waits are measured in snmp_session_timing).
  EXPECT_GE(took, 1.9);
  EXPECT_LT(took, 2.0 + 3.0);
}

// The walk must give exactly what net-snmp's snmpwalk prints for the same agent.
TEST_F(SnmpdSession, WalksMatchNetSnmpsOwnWalk) {
  KIVO8_REQUIRE_PROGRAM("snmpwalk");
  struct {
    const char *root;
    int32_t version;
    const char *options;
  } cases[] = {
      {"1.3.6.1.2.1.1", 0, "-v1"},
      {"1.3.6.1", 0, "-v1"},
      {"1.3.6.1.2.1.1", 1, "-v2c"},
      {"1.3.6.1", 1, "-v2c"},
      {"1.3.6.1.2.1.1.9.1.3", 0, "-v1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.root) + " " + c.options);
    std::vector<std::string> expected = lines_of(agent_->snmpwalk(c.root, c.options));
    ASSERT_GT(expected.size(), 5u);
    SessionPtr s = session(c.version);
    ASSERT_TRUE(s);
    OidList roots({c.root});
    snmp_pdu_list *raw = nullptr;
    ASSERT_EQ(snmp_walk(s.get(), roots.get(), &raw), 0);
    ListPtr list(raw);
    std::vector<std::string> got;
    for (const snmp_pdu_list *n : nodes(list.get())) {
      auto vars = bindings(n->pdu);
      ASSERT_EQ(vars.size(), 1u);
      got.push_back(snmpwalk_line(vars[0]));
      EXPECT_EQ(ipv4_text(n->address), "127.0.0.1");
    }
    EXPECT_EQ(got, expected);
  }
}

TEST_F(SnmpdSession, BulkWalksMatchNetSnmpsBulkWalk) {
  KIVO8_REQUIRE_PROGRAM("snmpbulkwalk");
  struct {
    const char *root;
    uint32_t repetitions;
  } cases[] = {
      {"1.3.6.1", 1},   {"1.3.6.1", 3},          {"1.3.6.1", 10},
      {"1.3.6.1", 200},  // more than the whole view: the agent's reply ends at its end
      {"1.3.6.1.2.1.1.9.1.3", 4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.root) + " -Cr" + std::to_string(c.repetitions));
    std::vector<std::string> expected = lines_of(agent_->tool(
        "snmpbulkwalk", "-v2c -c vellum -Cr" + std::to_string(c.repetitions) + " " +
                            agent_->endpoint() + " " + c.root));
    ASSERT_GT(expected.size(), 5u);
    SessionPtr s = session(1);
    ASSERT_TRUE(s);
    OidList roots({c.root});
    kivo_walk_options o{};
    o.size = sizeof o;
    o.max_repetitions = c.repetitions;
    snmp_pdu_list *raw = nullptr;
    ASSERT_EQ(kivo_snmp_bulkwalk(s.get(), roots.get(), &o, &raw), 0);
    ListPtr list(raw);
    std::vector<std::string> got;
    std::size_t replies = 0;
    for (const snmp_pdu_list *n : nodes(list.get())) {
      ++replies;
      for (const snmp_var *v : bindings(n->pdu)) got.push_back(snmpwalk_line(v));
      EXPECT_EQ(ipv4_text(n->address), "127.0.0.1");
    }
    EXPECT_EQ(got, expected);
    // Fewer replies than variables, as soon as more than one row is asked for.
    if (c.repetitions > 1) {
      EXPECT_LT(replies, got.size());
    }
  }
}

TEST_F(SnmpdSession, WalkOfSeveralRootsAdvancesThemInStep) {
  SessionPtr s = session(1);
  ASSERT_TRUE(s);
  // sysORID and sysORDescr columns: ten rows each, walked side by side.
  OidList roots({"1.3.6.1.2.1.1.9.1.2", "1.3.6.1.2.1.1.9.1.3"});
  snmp_pdu_list *raw = nullptr;
  ASSERT_EQ(snmp_walk(s.get(), roots.get(), &raw), 0);
  ListPtr list(raw);
  auto all = nodes(list.get());
  ASSERT_EQ(all.size(), 10u);
  for (std::size_t row = 0; row < all.size(); ++row) {
    auto vars = bindings(all[row]->pdu);
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(name_of(vars[0]), ".1.3.6.1.2.1.1.9.1.2." + std::to_string(row + 1));
    EXPECT_EQ(name_of(vars[1]), ".1.3.6.1.2.1.1.9.1.3." + std::to_string(row + 1));
  }
}

TEST_F(SnmpdSession, WalkThatLeavesItsSubtreeAtOnceGivesNoList) {
  SessionPtr s = session(1);
  ASSERT_TRUE(s);
  // Nothing lies below sysName.0; the next variable is sysLocation.0.
  OidList roots({kSysName});
  snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(1);
  EXPECT_EQ(snmp_walk(s.get(), roots.get(), &raw), 0);
  EXPECT_EQ(raw, nullptr);
}

}  // namespace
}  // namespace kivo8::test
