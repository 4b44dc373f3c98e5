// A walk against an agent whose names never stop increasing ends with an error once it has
// gathered the most variables a walk may hold, instead of running and growing for ever.
#include <gtest/gtest.h>

#include "support/session_helpers.h"
#include "snmp/session_internal.h"

namespace kivo8::test {
namespace {

using craft::Bytes;

class WalkCap : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override {
    (void)kivo_snmp_walk_limits(0, 0);
    mt_res_free();
  }
  Communities communities_;
};

TEST_F(WalkCap, EndlessAgentEndsTheWalkWithAnError) {
  // Every answer names, for each name asked for, the one after it: its last arc plus one,
  // for ever (1.3.6.1.4.1.99.1.1, .2, .3 ...).
  UdpResponder agent([](const Bytes &req, int n) {
    std::vector<craft::Binding> next;
    for (craft::Oid name : craft::decode_request(req).names) {
      if (name.size() == 8) name.push_back(0);
      ++name.back();
      next.push_back({name, craft::integer(n)});
    }
    return std::vector<UdpResponder::Reply>{{response_to(req, next), 0}};
  });
  ASSERT_TRUE(agent.ok());
  struct {
    const char *name;
    std::uint32_t cap;
    std::uint64_t bytes;  // 0: the default
    int roots;
    int min_requests, max_requests;  // answered before the walk gives up
  } cases[] = {
      {"one root, cap 50", 50, 0, 1, 51, 51},
      {"two roots count two variables an iteration", 50, 0, 2, 26, 26},
      // Each answer keeps a PDU, a list node and a binding record: some hundreds of
      // bytes, so 20,000 bytes end the walk long before the variable limit would.
      {"bytes end it first", 0, 20000, 1, 2, 100},
  };
  int before = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(kivo_snmp_walk_limits(c.cap, c.bytes), 0);
    SessionPtr s = open_session("127.0.0.1", agent.port(), 1, communities_.head, 2, 1);
    ASSERT_TRUE(s);
    std::vector<std::string> roots(static_cast<std::size_t>(c.roots), "1.3.6.1.4.1.99.1");
    OidList names(roots);
    snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(1);
    EXPECT_EQ(snmp_walk(s.get(), names.get(), &raw), SNMP_ERR_OTHER);
    EXPECT_EQ(raw, nullptr);
    EXPECT_GE(agent.received() - before, c.min_requests);
    EXPECT_LE(agent.received() - before, c.max_requests);
    before = agent.received();
  }
}

}  // namespace
}  // namespace kivo8::test
