// Exhausted memory at every allocation of sessions, requests, walks and response lists:
// each call gives its failure code with nothing leaked (checked under LeakSanitizer) and
// nothing half-linked.
#include <gtest/gtest.h>

#include "core/alloc.h"
#include "support/session_helpers.h"
#include "support/alloc_failure.h"

namespace kivo8::test {
namespace {

using craft::Bytes;
using Reply = UdpResponder::Reply;

const char *const kSysDescr = "1.3.6.1.2.1.1.1.0";

class AllocFailure : public SessionTest {
 protected:
  Communities communities_;
};

TEST_F(AllocFailure, CreatingASession) {
  in_addr agent = ipv4("127.0.0.1");
  sweep_allocation_failures([&] {
    snmp_session *s = snmp_create_session(2, &agent, nullptr);
    if (s == nullptr) return false;
    EXPECT_NE(s->udp, nullptr);
    snmp_free_session(s);
    return true;
  });
}

TEST_F(AllocFailure, GetAgainstAnAnsweringAgent) {
  UdpResponder agent([](const Bytes &req, int) {
    return std::vector<Reply>{{response_to(req, {{craft::parse_oid(kSysDescr),
                                                  craft::octets(std::string(60, 'd'))},
                                                 {craft::parse_oid("1.3.6.1.2.1.1.2.0"),
                                                  craft::oid(craft::Oid(20, 7))}}),
                               0}};
  });
  SessionPtr s = open_session("127.0.0.1", agent.port(), 1, communities_.head, 1, 1);
  OidList names({kSysDescr, "1.3.6.1.2.1.1.2.0"});
  std::uint64_t allocations = sweep_allocation_failures([&] {
    snmp_pdu *raw = reinterpret_cast<snmp_pdu *>(8);
    int32_t rc = snmp_get(s.get(), names.get(), &raw);
    if (rc != 0) {
      // Memory for the request or the receive buffer, or for decoding the reply.
      EXPECT_TRUE(rc == SNMP_ERR_NOMEM || rc == SNMP_ERR_DECODE) << rc;
      EXPECT_EQ(raw, nullptr);
      return false;
    }
    EXPECT_EQ(snmp_varbind_len(raw), 2);
    snmp_free_pdu(raw);
    return true;
  });
  EXPECT_GT(allocations, 5u);
}

TEST_F(AllocFailure, Walk) {
  const std::string root = "1.3.6.1.4.1.99";
  UdpResponder agent([root](const Bytes &req, int) {
    craft::Request r = craft::decode_request(req);
    // Three rows, then the next subtree.
    craft::Oid next = r.names.at(0);
    if (next.size() == 7)
      next.push_back(1);
    else if (next.back() < 3)
      ++next.back();
    else
      next = craft::parse_oid("1.3.6.1.4.1.100");
    return std::vector<Reply>{{response_to(req, {{next, craft::integer(1)}}), 0}};
  });
  SessionPtr s = open_session("127.0.0.1", agent.port(), 1, communities_.head, 1, 1);
  OidList roots({root});
  sweep_allocation_failures([&] {
    snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(8);
    int32_t rc = snmp_walk(s.get(), roots.get(), &raw);
    if (rc != 0) {
      EXPECT_TRUE(rc == SNMP_ERR_NOMEM || rc == SNMP_ERR_DECODE) << rc;
      EXPECT_EQ(raw, nullptr);
      return false;
    }
    EXPECT_EQ(snmp_pdu_list_length(raw), 3);
    snmp_free_pdu_list(raw);
    return true;
  });
}

// The list that collects broadcast replies, fed datagram by datagram: a reply whose
// memory runs out is dropped alone and the list stays whole.
TEST_F(AllocFailure, ResponseListOfCollectedReplies) {
  snmp_session session{nullptr, 1, communities_.head, 0};
  in_addr address = ipv4("127.0.0.1");
  SessionPtr holder = open_session("127.0.0.1", 9, 1, communities_.head);
  udp_session *udp = holder->udp;
  std::vector<Bytes> replies;
  for (int i = 0; i < 3; ++i) {
    craft::Message m;
    m.version = 1;
    m.reqid = i;
    m.bindings = {{craft::parse_oid(kSysDescr), craft::octets(std::string(50, char('a' + i)))}};
    replies.push_back(craft::encode(m));
  }
  sweep_allocation_failures([&] {
    snmp_pdu_list *list = snmp_create_pdu_list();
    if (list == nullptr) return false;
    bool all = true;
    int kept = 0;
    for (auto &r : replies) {
      udp->from_address = address;
      address.s_addr = htonl(ntohl(address.s_addr) + 1);
      int32_t rc = snmp_asynch_callback(udp, r.data(), int32_t(r.size()), &session, list);
      if (rc == 0) ++kept;
      all = all && rc == 0;
    }
    address = ipv4("127.0.0.1");
    EXPECT_EQ(snmp_pdu_list_length(list), kept);
    snmp_free_pdu_list(list);
    return all;
  });
}

// The whole collection over the network. One window per allocation is slow, so only the
// single-failure pass is run here; the list building is swept in full above.
TEST_F(AllocFailure, CollectingReplies) {
  UdpResponder agent([](const Bytes &req, int) {
    return std::vector<Reply>{
        {response_to(req, {{craft::parse_oid(kSysDescr), craft::octets("one")}}), 0},
        {response_to(req, {{craft::parse_oid(kSysDescr), craft::octets("two")}}), 0}};
  });
  SessionPtr s = open_session("127.0.0.1", agent.port(), 1, communities_.head, 1, 1);
  for (std::uint64_t n = 1;; ++n) {
    SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
    PduPtr request(snmp_create_pdu(SNMP_MSG_GET));
    craft::Oid name = craft::parse_oid(kSysDescr);
    snmp_add_null_var(request.get(), name.data(), uint32_t(name.size()));
    snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(8);
    alloc_testing::fail_nth(n);
    int32_t rc = snmp_asynch_response(s.get(), request.get(), &raw);
    bool injected = alloc_testing::injected();
    alloc_testing::reset();
    ListPtr list(rc == 0 ? raw : nullptr);
    if (!injected) {
      ASSERT_EQ(rc, 0);
      EXPECT_EQ(snmp_pdu_list_length(list.get()), 2);
      break;
    }
    if (rc == 0) {
      // A reply lost to exhausted memory is dropped alone.
      EXPECT_GE(snmp_pdu_list_length(list.get()), 1);
      EXPECT_EQ(s->error, 0);
    } else if (rc == SNMP_ERR_NOMEM) {
      // The list or the receive buffer: no list; the community copy: nothing was sent.
      EXPECT_TRUE(raw == nullptr || raw == reinterpret_cast<snmp_pdu_list *>(8));
    } else {
      ADD_FAILURE() << "unexpected result " << rc;
    }
    ASSERT_LT(n, 60u);
  }
}

}  // namespace
}  // namespace kivo8::test
