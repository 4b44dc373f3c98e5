// Creating sessions and sending: defaults, the refusals before anything is sent, and
// what one send puts on the wire.
#include <gtest/gtest.h>

#include <mutex>

#include "kivo8/ifinfo.h"
#include "support/session_helpers.h"

namespace kivo8::test {
namespace {

using craft::Bytes;
using Reply = UdpResponder::Reply;

const char *const kSysDescr = "1.3.6.1.2.1.1.1.0";

class Session : public SessionTest {
 protected:
  void SetUp() override {
    SessionTest::SetUp();
    responder_ = std::make_unique<UdpResponder>([this](const Bytes &req, int) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
      }
      return std::vector<Reply>{
          {response_to(req, {{craft::parse_oid(kSysDescr), craft::octets("answer")}}), 0}};
    });
    ASSERT_TRUE(responder_->ok());
  }
  SessionPtr session(int32_t version) {
    return open_session("127.0.0.1", responder_->port(), version, communities_.head, 1, 1);
  }
  std::vector<Bytes> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

  Communities communities_;
  std::unique_ptr<UdpResponder> responder_;
  std::mutex mutex_;
  std::vector<Bytes> requests_;
};

PduPtr get_pdu(int32_t version = -1) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  if (pdu) {
    pdu->version = version;
    craft::Oid name = craft::parse_oid(kSysDescr);
    snmp_add_null_var(pdu.get(), name.data(), uint32_t(name.size()));
  }
  return pdu;
}

TEST_F(Session, CreationDefaults) {
  in_addr agent = ipv4("192.0.2.7");
  EXPECT_EQ(snmp_create_session(23, &agent, nullptr), nullptr);
  EXPECT_EQ(snmp_create_session(10, &agent, nullptr), nullptr);

  SessionPtr s(snmp_create_session(2, &agent, nullptr));
  ASSERT_TRUE(s);
  EXPECT_EQ(s->version, -1);
  EXPECT_EQ(s->community, &snmp_comm_null);
  ASSERT_NE(s->udp, nullptr);
  EXPECT_EQ(s->udp->port, 161);
  EXPECT_EQ(s->udp->retries, 2);
  EXPECT_EQ(s->udp->timeout, 2);
  EXPECT_EQ(ipv4_text(s->udp->address), "192.0.2.7");

  // Through a search target: its time-out and its interface address.
  ifinfo *target = ifinfo_new();
  ASSERT_NE(target, nullptr);
  target->count = 5;
  target->addr = ipv4("127.0.0.1");
  SessionPtr t(snmp_create_session(2, &agent, target));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->udp->timeout, 5);
  EXPECT_EQ(t->udp->retries, 2);
  EXPECT_EQ(ipv4_text(t->udp->sockinfo->local.sin_addr), "127.0.0.1");
  ifinfo_free(target);

  snmp_free_session(nullptr);
}

TEST_F(Session, OneSendPutsTheEncodedRequestOnTheWire) {
  SessionPtr s = session(0);
  PduPtr pdu = get_pdu();
  uint32_t reqid = snmp_send(s.get(), pdu.get());
  EXPECT_EQ(reqid, pdu->reqid);
  EXPECT_NE(reqid, 0u);
  EXPECT_EQ(s->error, 0);
  ASSERT_TRUE(responder_->wait_received(1, 5));
  craft::Request r = craft::decode_request(requests().at(0));
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.version, 0);  // the session's version went into the PDU
  EXPECT_EQ(pdu->version, 0);
  EXPECT_EQ(r.community, "vellum");
  EXPECT_EQ(r.pdu_tag, SNMP_MSG_GET);
  EXPECT_EQ(uint32_t(r.reqid), reqid);
  ASSERT_EQ(r.names.size(), 1u);
  EXPECT_EQ(craft::oid_text(r.names[0]), std::string(".") + kSysDescr);

  // Sent again, the PDU keeps its request id and the community of its first encoding.
  snmp_comm_rename(communities_.head, "changed");
  EXPECT_EQ(snmp_send(s.get(), pdu.get()), reqid);
  ASSERT_TRUE(responder_->wait_received(2, 5));
  EXPECT_EQ(requests().at(1), requests().at(0));
}

// Requests refused before anything is sent, and what each function then reports.
TEST_F(Session, RefusedRequestsAreNotSent) {
  snmp_comm blank{nullptr, 0, const_cast<char *>("")};
  struct Case {
    const char *name;
    int32_t session_version;
    snmp_comm *community;
    std::function<PduPtr()> make;
    int32_t expected;
  } cases[] = {
      {"no PDU", 1, nullptr, [] { return PduPtr(); }, SNMP_ERR_NOPDU},
      {"no version anywhere", -1, nullptr, [] { return get_pdu(-1); }, SNMP_ERR_VERSION},
      {"PDU v1 on a v2c session", 1, nullptr, [] { return get_pdu(0); }, SNMP_ERR_VERSION},
      {"PDU v2c on a v1 session", 0, nullptr, [] { return get_pdu(1); }, SNMP_ERR_VERSION},
      {"session still on snmp_comm_null", 1, &snmp_comm_null, [] { return get_pdu(); }, SNMP_ERR_NOCOMM},
      {"empty community entry", 1, &blank, [] { return get_pdu(); }, SNMP_ERR_NOCOMM},
      {"request larger than 8192 bytes", 1, nullptr,
       [] {
         PduPtr pdu = get_pdu();
         craft::Oid name(120, 300);  // two octets a sub-identifier
         name[0] = 1;
         name[1] = 3;
         for (int i = 0; i < 40; ++i) snmp_add_null_var(pdu.get(), name.data(), 120);
         return pdu;
       },
       SNMP_ERR_OTHER},
      {"binding of a type that cannot be encoded", 1, nullptr,
       [] {
         PduPtr pdu = get_pdu();
         pdu->variables->type = 0x30;
         return pdu;
       },
       SNMP_ERR_OTHER},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    SessionPtr s = session(c.session_version);
    if (c.community != nullptr) s->community = c.community;

    PduPtr pdu = c.make();
    EXPECT_EQ(snmp_send(s.get(), pdu.get()), 0u);
    EXPECT_EQ(s->error, c.expected);

    pdu = c.make();
    snmp_pdu *response = reinterpret_cast<snmp_pdu *>(8);
    EXPECT_EQ(snmp_synch_response(s.get(), pdu.get(), &response), c.expected);
    EXPECT_EQ(response, reinterpret_cast<snmp_pdu *>(8));  // left as it was

    pdu = c.make();
    snmp_pdu_list *list = reinterpret_cast<snmp_pdu_list *>(8);
    EXPECT_EQ(snmp_asynch_response(s.get(), pdu.get(), &list), c.expected);
    EXPECT_EQ(list, reinterpret_cast<snmp_pdu_list *>(8));
    EXPECT_EQ(s->error, c.expected);
  }
  EXPECT_EQ(responder_->received(), 0);
}

TEST_F(Session, GetRefusals) {
  SessionPtr s = session(1);
  s->community = &snmp_comm_null;
  OidList names({kSysDescr});
  snmp_pdu *response = reinterpret_cast<snmp_pdu *>(8);
  EXPECT_EQ(snmp_get(s.get(), names.get(), &response), SNMP_ERR_NOCOMM);
  EXPECT_EQ(response, nullptr);
  response = reinterpret_cast<snmp_pdu *>(8);
  EXPECT_EQ(snmp_getnext(s.get(), nullptr, &response), SNMP_ERR_NOPDU);
  EXPECT_EQ(response, nullptr);

  // A request that does not fit is a failure, never a success without a response.
  s->community = communities_.head;
  craft::Oid long_name(100, 0x10000);
  long_name[0] = 1;
  long_name[1] = 3;
  std::vector<craft::Oid> many(60, long_name);
  OidList big(OidList::Raw{}, many);
  response = reinterpret_cast<snmp_pdu *>(8);
  EXPECT_EQ(snmp_getnext(s.get(), big.get(), &response), SNMP_ERR_OTHER);
  EXPECT_EQ(response, nullptr);
  EXPECT_EQ(s->error, SNMP_ERR_OTHER);

  EXPECT_EQ(snmp_get(nullptr, names.get(), &response), SNMP_ERR_OTHER);
  EXPECT_EQ(snmp_get(s.get(), names.get(), nullptr), SNMP_ERR_OTHER);
  EXPECT_EQ(snmp_send(nullptr, nullptr), 0u);
  EXPECT_EQ(responder_->received(), 0);
}

TEST_F(Session, SendFailuresOfTheTransport) {
  // Broadcast without the session's broadcast bit: the system refuses to send.
  in_addr everyone = ipv4("255.255.255.255");
  SessionPtr s(snmp_create_session(2, &everyone, nullptr));
  ASSERT_TRUE(s);
  s->version = 1;
  s->community = communities_.head;
  PduPtr pdu = get_pdu();
  EXPECT_EQ(snmp_send(s.get(), pdu.get()), 0u);
  EXPECT_EQ(s->error, SNMP_ERR_SEND);

  // A target whose interface address is not ours: the socket cannot be bound.
  ifinfo *target = ifinfo_new();
  target->addr = ipv4("192.0.2.1");
  in_addr loop = ipv4("127.0.0.1");
  SessionPtr t(snmp_create_session(2, &loop, target));
  ifinfo_free(target);
  ASSERT_TRUE(t);
  t->version = 1;
  t->community = communities_.head;
  OidList names({kSysDescr});
  snmp_pdu *response = reinterpret_cast<snmp_pdu *>(8);
  EXPECT_EQ(snmp_get(t.get(), names.get(), &response), SNMP_ERR_SEND);
  EXPECT_EQ(response, nullptr);
}

TEST_F(Session, GetAndGetNextSendTheirPduTypeWithEveryName) {
  SessionPtr s = session(1);
  OidList names({kSysDescr, "1.3.6.1.2.1.1.5.0", "1.3.6.1.4.1.99.1.2.3.4.5.6.7.8.9.10.11.12"});
  for (auto *fn : {&snmp_get, &snmp_getnext}) {
    snmp_pdu *raw = nullptr;
    ASSERT_EQ(fn(s.get(), names.get(), &raw), 0);
    snmp_free_pdu(raw);
  }
  ASSERT_EQ(requests().size(), 2u);
  craft::Request get = craft::decode_request(requests()[0]);
  craft::Request next = craft::decode_request(requests()[1]);
  EXPECT_EQ(get.pdu_tag, SNMP_MSG_GET);
  EXPECT_EQ(next.pdu_tag, SNMP_MSG_GETNEXT);
  ASSERT_EQ(get.names.size(), 3u);
  EXPECT_EQ(get.names, next.names);
  EXPECT_EQ(craft::oid_text(get.names[2]), ".1.3.6.1.4.1.99.1.2.3.4.5.6.7.8.9.10.11.12");
  EXPECT_NE(get.reqid, next.reqid);
}

}  // namespace
}  // namespace kivo8::test
