// Retransmissions, time-outs and collection windows, with the smallest time-outs.
#include <gtest/gtest.h>

#include "support/session_helpers.h"

namespace kivo8::test {
namespace {

using craft::Bytes;
using Reply = UdpResponder::Reply;

const char *const kSysDescr = "1.3.6.1.2.1.1.1.0";

Bytes answer(const Bytes &req, const std::string &text) {
  return response_to(req, {{craft::parse_oid(kSysDescr), craft::octets(text)}});
}

class Timing : public SessionTest {
 protected:
  Communities communities_;
};

TEST_F(Timing, SilentAgentGetsRetriesTransmissionsOfTimeoutSecondsEach) {
  struct Case {
    int32_t retries;
    int expected_sends;
  } cases[] = {{2, 2}, {0, 1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "retries " << c.retries);
    UdpResponder silent([](const Bytes &, int) { return std::vector<Reply>{}; });
    SessionPtr s = open_session("127.0.0.1", silent.port(), 1, communities_.head, 1, c.retries);
    OidList names({kSysDescr});
    snmp_pdu *raw = reinterpret_cast<snmp_pdu *>(8);
    double start = now_seconds();
    EXPECT_EQ(snmp_get(s.get(), names.get(), &raw), SNMP_ERR_TIMEOUT);
    double took = now_seconds() - start;
    EXPECT_EQ(raw, nullptr);
    EXPECT_GE(took, 0.95 * c.expected_sends);
    EXPECT_LT(took, c.expected_sends + 0.8);
    EXPECT_EQ(silent.received(), c.expected_sends);
    auto at = silent.arrival_times();
    if (at.size() == 2) {
      EXPECT_NEAR(at[1] - at[0], 1.0, 0.3);
    }
  }
}

TEST_F(Timing, TimeoutOfZeroBecomesThree) {
  UdpResponder agent([](const Bytes &req, int) {
    return std::vector<Reply>{{answer(req, "here"), 0}};
  });
  SessionPtr s = open_session("127.0.0.1", agent.port(), 1, communities_.head, 0, 1);
  OidList names({kSysDescr});
  snmp_pdu *raw = nullptr;
  ASSERT_EQ(snmp_get(s.get(), names.get(), &raw), 0);
  snmp_free_pdu(raw);
  EXPECT_EQ(s->udp->timeout, 3);
}

TEST_F(Timing, LateReplyToAnEarlierTransmissionIsNeverRead) {
  // The first transmission is answered only after its wait ended; by then the second
  // went out from a new socket, which sees only the reply meant for it.
  UdpResponder agent([](const Bytes &req, int n) {
    if (n == 0) return std::vector<Reply>{{answer(req, "late"), 1300}};
    return std::vector<Reply>{{answer(req, "fresh"), 0}};
  });
  SessionPtr s = open_session("127.0.0.1", agent.port(), 1, communities_.head, 1, 2);
  OidList names({kSysDescr});
  snmp_pdu *raw = nullptr;
  ASSERT_EQ(snmp_get(s.get(), names.get(), &raw), 0);
  PduPtr response(raw);
  EXPECT_EQ(string_of(bindings(response.get()).at(0)), "fresh");
  EXPECT_EQ(agent.received(), 2);
}

TEST_F(Timing, CollectionWindowLastsItsTimeoutHoweverManyRepliesArrive) {
  // Replies keep coming every 100 ms for far longer than the window.
  UdpResponder agent([](const Bytes &req, int) {
    std::vector<Reply> out;
    for (int i = 0; i < 30; ++i) out.push_back({answer(req, "reply " + std::to_string(i)), 100});
    return out;
  });
  SessionPtr s = open_session("127.0.0.1", agent.port(), 1, communities_.head, 1, 2);
  PduPtr request(snmp_create_pdu(SNMP_MSG_GET));
  craft::Oid name = craft::parse_oid(kSysDescr);
  snmp_add_null_var(request.get(), name.data(), uint32_t(name.size()));
  snmp_pdu_list *raw = nullptr;
  double start = now_seconds();
  ASSERT_EQ(snmp_asynch_response(s.get(), request.get(), &raw), 0);
  double took = now_seconds() - start;
  ListPtr list(raw);
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 2.0);
  auto all = nodes(list.get());
  ASSERT_GE(all.size(), 5u);
  EXPECT_LE(all.size(), 20u);
  // Newest first: the replies are numbered in the order they were sent.
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(string_of(bindings(all[i]->pdu).at(0)),
              "reply " + std::to_string(all.size() - 1 - i));
    EXPECT_EQ(all[i]->pdu->reqid, request->reqid);
  }
  EXPECT_EQ(agent.received(), 1);
}

}  // namespace
}  // namespace kivo8::test
