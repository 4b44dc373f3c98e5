// Replies that no well-behaved agent sends, crafted by a responder on loopback: the error
// paths of the response functions and of the walk.
#include <gtest/gtest.h>

#include "support/session_helpers.h"

namespace kivo8::test {
namespace {

using craft::Binding;
using craft::Bytes;
using craft::Oid;
using Reply = UdpResponder::Reply;

const char *const kSysDescr = "1.3.6.1.2.1.1.1.0";

Binding text_binding(const std::string &name, const std::string &text) {
  return {craft::parse_oid(name), craft::octets(text)};
}

class Crafted : public SessionTest {
 protected:
  // A responder that answers the n-th request with script(request, n).
  void respond(std::function<std::vector<Reply>(const Bytes &, int)> script) {
    responder_ = std::make_unique<UdpResponder>(std::move(script));
    ASSERT_TRUE(responder_->ok());
  }
  // The same reply to every request.
  void respond_always(std::function<Bytes(const Bytes &)> reply) {
    respond([reply](const Bytes &req, int) { return std::vector<Reply>{{reply(req), 0}}; });
  }
  SessionPtr session(int32_t version, int32_t timeout = 1, int32_t retries = 1) {
    return open_session("127.0.0.1", responder_->port(), version, communities_.head, timeout,
                        retries);
  }

  Communities communities_;
  std::unique_ptr<UdpResponder> responder_;
};

// Replies to a GET that the decoder refuses, each with the code that the request returns.
TEST_F(Crafted, UndecodableRepliesFailTheRequestWithTheirCode) {
  auto with = [](std::function<void(craft::Message &)> change) {
    return [change](const Bytes &req) {
      craft::Request r = craft::decode_request(req);
      craft::Message m;
      m.version = r.version;
      m.reqid = r.reqid;
      m.bindings = {text_binding(kSysDescr, "printer")};
      change(m);
      return craft::encode(m);
    };
  };
  Bytes good = craft::encode({});
  struct Case {
    const char *name;
    int32_t session_version;
    std::function<Bytes(const Bytes &)> reply;
    int32_t expected;
  } cases[] = {
      {"empty binding list", 1, with([](craft::Message &m) { m.bindings.clear(); }), SNMP_ERR_DECODE},
      {"empty binding list, no fixed version", -1,
       with([](craft::Message &m) { m.bindings.clear(); }), SNMP_ERR_DECODE},
      {"version 3", -1, with([](craft::Message &m) { m.version = 3; }), SNMP_ERR_VERSION},
      {"version 3 to a fixed version", 1, with([](craft::Message &m) { m.version = 3; }), SNMP_ERR_VERSION},
      {"v2c reply to a v1 session", 0, with([](craft::Message &m) { m.version = 1; }), SNMP_ERR_VERSION},
      {"v1 reply to a v2c session", 1, with([](craft::Message &m) { m.version = 0; }), SNMP_ERR_VERSION},
      // Without a request id that can be read, a datagram answers no request: it is
      // dropped and the wait runs out.
      {"not a sequence, no fixed version", -1,
       [](const Bytes &) { return Bytes{0x04, 0x02, 'h', 'i'}; }, SNMP_ERR_TIMEOUT},
      {"not a sequence, fixed version", 1,
       [](const Bytes &) { return Bytes{0x04, 0x02, 'h', 'i'}; }, SNMP_ERR_TIMEOUT},
      // The community cannot be read: a decoding failure, whatever the session's version.
      {"community longer than 256 bytes", 1,
       with([](craft::Message &m) { m.community = std::string(300, 'c'); }), SNMP_ERR_DECODE},
      {"community longer than 256 bytes, no fixed version", -1,
       with([](craft::Message &m) { m.community = std::string(300, 'c'); }), SNMP_ERR_DECODE},
      {"message cut after the version", 1,
       [good](const Bytes &) { return Bytes(good.begin(), good.begin() + 5); }, SNMP_ERR_TIMEOUT},
      {"binding without value", 1,
       [](const Bytes &req) {
         craft::Request r = craft::decode_request(req);
         Bytes vb = craft::tlv(0x30, craft::oid(craft::parse_oid(kSysDescr)));
         Bytes pdu = craft::integer(r.reqid);
         for (const Bytes &p : {craft::integer(0), craft::integer(0), craft::tlv(0x30, vb)})
           pdu.insert(pdu.end(), p.begin(), p.end());
         Bytes body = craft::integer(1);
         for (const Bytes &p : {craft::octets("vellum"), craft::tlv(0xA2, pdu)})
           body.insert(body.end(), p.begin(), p.end());
         return craft::tlv(0x30, body);
       },
       SNMP_ERR_DECODE},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    respond_always(c.reply);
    SessionPtr s = session(c.session_version);
    ASSERT_TRUE(s);
    OidList names({kSysDescr});
    snmp_pdu *raw = reinterpret_cast<snmp_pdu *>(1);
    // Sessions without a fixed version send v2c.
    std::unique_ptr<snmp_pdu, PduFree> request(snmp_create_pdu(SNMP_MSG_GET));
    ASSERT_TRUE(request);
    if (c.session_version == -1) request->version = 1;
    snmp_add_null_var(request.get(), craft::parse_oid(kSysDescr).data(), 9);
    EXPECT_EQ(snmp_synch_response(s.get(), request.get(), &raw), c.expected);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(s->error, c.expected == -6 ? 0 : c.expected);
    // The reply ends the wait: there is no second transmission.
    EXPECT_EQ(responder_->received(), 1);
  }
}

TEST_F(Crafted, ReplyWithAnotherRequestIdIsDropped) {
  // Another request id, another community and another PDU type: not the reply. It is
  // dropped, and the wait goes on until its time-out.
  respond_always([](const Bytes &) {
    craft::Message m;
    m.version = 1;
    m.reqid = 99999;
    m.community = "other";
    m.pdu_tag = 0xA7;
    m.bindings = {text_binding(kSysDescr, "someone else")};
    return craft::encode(m);
  });
  SessionPtr s = session(1);
  OidList names({kSysDescr});
  snmp_pdu *raw = nullptr;
  EXPECT_EQ(snmp_get(s.get(), names.get(), &raw), SNMP_ERR_TIMEOUT);
  EXPECT_EQ(raw, nullptr);
}

TEST_F(Crafted, UnknownValueTypeIsPrintedOnceAndFailsTheRequest) {
  auto reply = [](const Bytes &req) {
    craft::Message m;
    m.version = 1;
    m.reqid = craft::decode_request(req).reqid;
    m.bindings = {{craft::parse_oid(kSysDescr), craft::tlv(0x30, {0x05, 0x00})},
                  text_binding("1.3.6.1.2.1.1.5.0", "after")};
    return craft::encode(m);
  };
  respond_always(reply);
  SessionPtr s = session(1);
  OidList names({kSysDescr});
  snmp_pdu *raw = nullptr;
  testing::internal::CaptureStdout();
  int32_t rc = snmp_get(s.get(), names.get(), &raw);
  std::string printed = testing::internal::GetCapturedStdout();
  EXPECT_EQ(rc, SNMP_ERR_DECODE);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(printed, "badtype\n");

  // The callback itself: the decoder's result 1, the binding kept without a value and the
  // bindings after it decoded.
  snmp_pdu *pdu = snmp_create_pdu(0);
  ASSERT_NE(pdu, nullptr);
  Bytes bytes = reply(Bytes{});
  testing::internal::CaptureStdout();
  EXPECT_EQ(snmp_synch_callback(s->udp, bytes.data(), int32_t(bytes.size()), s.get(), pdu), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "badtype\n");
  EXPECT_EQ(s->error, SNMP_ERR_DECODE);
  auto vars = bindings(pdu);
  ASSERT_EQ(vars.size(), 2u);
  EXPECT_EQ(vars[0]->type, 0x30);
  EXPECT_EQ(vars[0]->value, nullptr);
  EXPECT_EQ(string_of(vars[1]), "after");
  snmp_free_pdu(pdu);
}

TEST_F(Crafted, DatagramLongerThanTheReceiveBufferIsHandedOverCut) {
  // A reply padded far beyond 8192 bytes after its end still decodes: only the message
  // counts. A message that really is longer than 8192 bytes arrives cut and is refused
  // without reading past the buffer.
  respond_always([](const Bytes &req) {
    Bytes out = response_to(req, {text_binding(kSysDescr, "short")});
    out.resize(20000, 0xEE);
    return out;
  });
  {
    SessionPtr s = session(1);
    OidList names({kSysDescr});
    snmp_pdu *raw = nullptr;
    ASSERT_EQ(snmp_get(s.get(), names.get(), &raw), 0);
    PduPtr response(raw);
    EXPECT_EQ(string_of(bindings(response.get()).at(0)), "short");
    EXPECT_EQ(s->udp->recv_buffer_size, 8192u);
  }
  respond_always([](const Bytes &req) {
    return response_to(req, {text_binding(kSysDescr, std::string(9000, 'x'))});
  });
  for (int32_t version : {1, -1}) {
    SCOPED_TRACE(version);
    SessionPtr s = session(version);
    std::unique_ptr<snmp_pdu, PduFree> request(snmp_create_pdu(SNMP_MSG_GET));
    request->version = 1;
    snmp_add_null_var(request.get(), craft::parse_oid(kSysDescr).data(), 9);
    snmp_pdu *raw = nullptr;
    // Without a fixed version the cut header already fails the version check.
    EXPECT_EQ(snmp_synch_response(s.get(), request.get(), &raw), version == 1 ? SNMP_ERR_DECODE : SNMP_ERR_VERSION);
    EXPECT_EQ(raw, nullptr);
  }
}

// ---- walks ----

Binding walk_binding(const std::string &name, int value) {
  return {craft::parse_oid(name), craft::integer(value)};
}

TEST_F(Crafted, WalkEndings) {
  const std::string root = "1.3.6.1.4.1.99.1";
  struct Case {
    const char *name;
    int32_t version;
    // The replies to the successive GETNEXT requests.
    std::vector<std::function<Bytes(const Bytes &)>> replies;
    int32_t expected;
    std::size_t kept;
  };
  auto ok = [](std::vector<Binding> b) {
    return [b](const Bytes &req) { return response_to(req, b); };
  };
  auto status = [](int64_t errstat) {
    return [errstat](const Bytes &req) {
      return response_to(req, {walk_binding("1.3.6.1.4.1.99.1.9", 0)}, errstat);
    };
  };
  Case cases[] = {
      {"noSuchName ends a v1 walk, earlier responses kept",
       0,
       {ok({walk_binding(root + ".1", 1)}), ok({walk_binding(root + ".2", 2)}), status(2)},
       0,
       2},
      {"genErr fails the walk", 0, {ok({walk_binding(root + ".1", 1)}), status(5)}, SNMP_ERR_OTHER, 0},
      {"tooBig fails the walk at once", 0, {status(1)}, SNMP_ERR_OTHER, 0},
      {"a name that goes back fails the walk",
       1,
       {ok({walk_binding(root + ".5", 5)}), ok({walk_binding(root + ".3", 3)})},
       SNMP_ERR_OTHER,
       0},
      {"the name asked for again fails the walk",
       1,
       {ok({walk_binding(root + ".5", 5)}), ok({walk_binding(root + ".5", 5)})},
       SNMP_ERR_OTHER,
       0},
      {"the root itself as first answer fails the walk", 1, {ok({walk_binding(root, 0)})}, SNMP_ERR_OTHER,
       0},
      {"endOfMibView under the name asked for ends the walk",
       1,
       {ok({walk_binding(root + ".1", 1)}),
        ok({{craft::parse_oid(root + ".1"), craft::null(SNMP_ENDOFMIBVIEW)}})},
       0,
       1},
      {"noSuchObject ends the walk",
       1,
       {ok({walk_binding(root + ".1", 1)}),
        ok({{craft::parse_oid(root + ".2"), craft::null(SNMP_NOSUCHOBJECT)}})},
       0,
       1},
      {"noSuchInstance ends the walk",
       1,
       {ok({{craft::parse_oid(root + ".2"), craft::null(SNMP_NOSUCHINSTANCE)}})},
       0,
       0},
      {"a shorter name ends the walk",
       1,
       {ok({walk_binding(root + ".1", 1)}), ok({walk_binding("1.3.6.1.4.1.99", 1)})},
       0,
       1},
      {"a name in the next subtree ends the walk",
       1,
       {ok({walk_binding(root + ".1", 1)}), ok({walk_binding(root + ".7", 7)}),
        ok({walk_binding("1.3.6.1.4.1.99.2.1", 1)})},
       0,
       2},
      {"bindings beyond the roots are ignored",
       1,
       {ok({walk_binding(root + ".1", 1), walk_binding("1.3.6.1.9", 9)}),
        ok({walk_binding(root + ".2", 2), walk_binding("1.3.6.1.2", 0)}),
        ok({walk_binding("1.3.6.1.5", 0)})},
       0,
       2},
      {"a response without bindings fails the walk", 1, {ok({})}, SNMP_ERR_DECODE, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto replies = c.replies;
    respond([replies](const Bytes &req, int n) {
      if (n >= int(replies.size())) return std::vector<Reply>{};
      return std::vector<Reply>{{replies[std::size_t(n)](req), 0}};
    });
    SessionPtr s = session(c.version);
    OidList roots({root});
    snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(1);
    EXPECT_EQ(snmp_walk(s.get(), roots.get(), &raw), c.expected);
    ListPtr list(raw);
    EXPECT_EQ(std::size_t(snmp_pdu_list_length(list.get())), c.kept);
    if (c.kept == 0) {
      EXPECT_EQ(raw, nullptr);
    }
    EXPECT_EQ(responder_->received(), int(c.replies.size()));
  }
}

TEST_F(Crafted, WalkAsksForTheNamesTheLastResponseGave) {
  const std::string root = "1.3.6.1.4.1.99";
  std::vector<std::vector<Oid>> asked;
  std::mutex m;
  respond([&](const Bytes &req, int n) {
    craft::Request r = craft::decode_request(req);
    {
      std::lock_guard<std::mutex> lock(m);
      asked.push_back(r.names);
    }
    EXPECT_EQ(r.pdu_tag, SNMP_MSG_GETNEXT);
    std::vector<Binding> b;
    if (n < 3) {
      b = {walk_binding(root + ".1." + std::to_string(n + 1), n),
           walk_binding(root + ".2." + std::to_string(n + 1) + ".7", n)};
    } else {
      b = {walk_binding(root + ".1.9", 0), walk_binding("1.3.6.1.4.1.100", 0)};
    }
    return std::vector<Reply>{{response_to(req, b), 0}};
  });
  SessionPtr s = session(1);
  OidList roots({root + ".1", root + ".2"});
  snmp_pdu_list *raw = nullptr;
  ASSERT_EQ(snmp_walk(s.get(), roots.get(), &raw), 0);
  ListPtr list(raw);
  // The fourth response left the second subtree: dropped whole, the first root's binding
  // inside its subtree included.
  ASSERT_EQ(snmp_pdu_list_length(list.get()), 3);
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(asked.size(), 4u);
  EXPECT_EQ(asked[0], (std::vector<Oid>{craft::parse_oid(root + ".1"),
                                        craft::parse_oid(root + ".2")}));
  for (int n = 1; n < 4; ++n)
    EXPECT_EQ(asked[std::size_t(n)],
              (std::vector<Oid>{craft::parse_oid(root + ".1." + std::to_string(n)),
                                craft::parse_oid(root + ".2." + std::to_string(n) + ".7")}));
}

TEST_F(Crafted, WalkFailsBeforeSendingWhenARootDoesNotFit) {
  respond_always([](const Bytes &req) { return response_to(req, {walk_binding("1.3.6", 1)}); });
  SessionPtr s = session(1);
  struct Case {
    const char *name;
    std::vector<Oid> roots;
    int32_t expected;
  } cases[] = {
      {"129 sub-identifiers", {Oid(129, 1)}, SNMP_ERR_OTHER},
      {"second root too long", {craft::parse_oid("1.3.6.1"), Oid(200, 2)}, SNMP_ERR_OTHER},
      {"no root at all", {}, SNMP_ERR_NOPDU},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    OidList roots(OidList::Raw{}, c.roots);
    snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(1);
    EXPECT_EQ(snmp_walk(s.get(), roots.get(), &raw), c.expected);
    EXPECT_EQ(raw, nullptr);
  }
  snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(1);
  EXPECT_EQ(snmp_walk(s.get(), nullptr, &raw), SNMP_ERR_NOPDU);
  EXPECT_EQ(raw, nullptr);
  // A root of exactly 128 sub-identifiers is walked (1.3.3...: a first arc of 3 could not
  // be sent).
  Oid longest(128, 3);
  longest[0] = 1;
  respond_always([longest](const Bytes &req) {
    Oid next = longest;
    next.back() = 4;
    return response_to(req, {{next, craft::integer(1)}});
  });
  s = session(1);
  OidList roots(OidList::Raw{}, {longest});
  raw = nullptr;
  EXPECT_EQ(snmp_walk(s.get(), roots.get(), &raw), 0);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(responder_->received(), 1);
}

TEST_F(Crafted, WalkWithFewerBindingsThanRootsFails) {
  respond_always([](const Bytes &req) {
    return response_to(req, {walk_binding("1.3.6.1.4.1.99.1.1", 1)});
  });
  SessionPtr s = session(1);
  OidList roots({"1.3.6.1.4.1.99.1", "1.3.6.1.4.1.99.2"});
  snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(1);
  EXPECT_EQ(snmp_walk(s.get(), roots.get(), &raw), SNMP_ERR_OTHER);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(responder_->received(), 1);
}

// ---- collecting replies on loopback ----

TEST_F(Crafted, CollectionKeepsEveryDecodableReplyAndDropsTheOthersAlone) {
  respond([](const Bytes &req, int) {
    craft::Request r = craft::decode_request(req);
    auto reply = [&](int64_t version, std::vector<Binding> b) {
      craft::Message m;
      m.version = version;
      m.reqid = r.reqid;
      m.bindings = std::move(b);
      return craft::encode(m);
    };
    // Sent oldest first; the list holds them newest first. The earliest reply is the
    // broken one, which must not discard the others.
    return std::vector<Reply>{
        {Bytes{0xde, 0xad, 0xbe, 0xef}, 0},
        {reply(1, {text_binding(kSysDescr, "first")}), 20},
        {reply(3, {text_binding(kSysDescr, "version 3")}), 20},
        {reply(1, {}), 20},
        {reply(0, {text_binding(kSysDescr, "v1 reply")}), 20},
        {reply(1, {{craft::parse_oid(kSysDescr), craft::tlv(0x31, {})}}), 20},
        {reply(1, {text_binding(kSysDescr, "last")}), 20},
        {Bytes{0x30, 0x03, 0x02, 0x01}, 20},
    };
  });
  SessionPtr s = session(-1);
  std::unique_ptr<snmp_pdu, PduFree> request(snmp_create_pdu(SNMP_MSG_GET));
  request->version = 1;
  snmp_add_null_var(request.get(), craft::parse_oid(kSysDescr).data(), 9);
  snmp_pdu_list *raw = nullptr;
  testing::internal::CaptureStdout();
  ASSERT_EQ(snmp_asynch_response(s.get(), request.get(), &raw), 0);
  testing::internal::GetCapturedStdout();
  ListPtr list(raw);
  EXPECT_EQ(s->error, 0);
  auto all = nodes(list.get());
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(string_of(bindings(all[0]->pdu).at(0)), "last");
  EXPECT_EQ(string_of(bindings(all[1]->pdu).at(0)), "v1 reply");
  EXPECT_EQ(all[1]->pdu->version, 0);
  EXPECT_EQ(bindings(all[2]->pdu).size(), 0u);  // an answer without bindings is kept
  EXPECT_EQ(string_of(bindings(all[3]->pdu).at(0)), "first");
  for (const auto *n : all) EXPECT_EQ(ipv4_text(n->address), "127.0.0.1");
  EXPECT_EQ(all.back()->next, nullptr);
}

TEST_F(Crafted, CollectionOfAFixedVersionDropsRepliesOfTheOther) {
  respond([](const Bytes &req, int) {
    return std::vector<Reply>{
        {response_to(req, {text_binding(kSysDescr, "v2c")}, 0, 1), 0},
        {response_to(req, {text_binding(kSysDescr, "v1")}, 0, 0), 10},
    };
  });
  SessionPtr s = session(0);
  std::unique_ptr<snmp_pdu, PduFree> request(snmp_create_pdu(SNMP_MSG_GET));
  snmp_add_null_var(request.get(), craft::parse_oid(kSysDescr).data(), 9);
  snmp_pdu_list *raw = nullptr;
  ASSERT_EQ(snmp_asynch_response(s.get(), request.get(), &raw), 0);
  ListPtr list(raw);
  ASSERT_EQ(snmp_pdu_list_length(list.get()), 1);
  EXPECT_EQ(string_of(bindings(list->pdu).at(0)), "v1");
  EXPECT_EQ(s->error, 0);
}

TEST_F(Crafted, CollectionWithoutAnyReplyGivesAnEmptyList) {
  respond([](const Bytes &, int) { return std::vector<Reply>{}; });
  SessionPtr s = session(1);
  std::unique_ptr<snmp_pdu, PduFree> request(snmp_create_pdu(SNMP_MSG_GET));
  snmp_add_null_var(request.get(), craft::parse_oid(kSysDescr).data(), 9);
  snmp_pdu_list *raw = nullptr;
  ASSERT_EQ(snmp_asynch_response(s.get(), request.get(), &raw), 0);
  ListPtr list(raw);
  ASSERT_NE(raw, nullptr);
  EXPECT_EQ(snmp_pdu_list_length(list.get()), 0);
  EXPECT_EQ(list->pdu, nullptr);
  EXPECT_EQ(responder_->received(), 1);  // no retransmission
}

// Hundreds of garbage datagrams in one window: only the decodable replies come back, and
// (under AddressSanitizer) nothing read out of bounds or leaked.
TEST_F(Crafted, CollectionSurvivesHundredsOfGarbageDatagrams) {
  constexpr int kGarbage = 400;
  respond([](const Bytes &req, int) {
    Bytes valid = response_to(req, {text_binding(kSysDescr, "valid"),
                                    {craft::parse_oid("1.3.6.1.2.1.1.2.0"),
                                     craft::oid(craft::parse_oid("1.3.6.1.4.1.99.1.2.3.4.5"))}});
    std::vector<Reply> out;
    out.push_back({valid, 0});
    std::uint32_t seed = 12345;
    auto rnd = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0xFF; };
    for (int i = 0; i < kGarbage; ++i) {
      Bytes g;
      switch (i % 4) {
        case 0:  // every cut of a valid reply
          g.assign(valid.begin(), valid.begin() + long(std::size_t(i / 4) % valid.size()));
          break;
        case 1:  // random bytes
          g.resize(std::size_t(rnd()) + 1);
          for (auto &b : g) b = std::uint8_t(rnd());
          break;
        case 2:  // a valid reply whose message claims more bytes than came
          g = valid;
          g[1] = std::uint8_t(g[1] + 1 + std::uint8_t(i / 4) % 16);
          break;
        default:  // lengths that claim far more than there is
          g = {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xF0, 0x02, 0x01, 0x01, 0x04, 0x83, 0xFF, 0xFF};
      }
      out.push_back({g, i % 10 == 0 ? 1 : 0});
    }
    out.push_back({valid, 1});
    return out;
  });
  SessionPtr s = session(1);
  std::unique_ptr<snmp_pdu, PduFree> request(snmp_create_pdu(SNMP_MSG_GET));
  snmp_add_null_var(request.get(), craft::parse_oid(kSysDescr).data(), 9);
  snmp_pdu_list *raw = nullptr;
  testing::internal::CaptureStdout();
  ASSERT_EQ(snmp_asynch_response(s.get(), request.get(), &raw), 0);
  testing::internal::GetCapturedStdout();
  ListPtr list(raw);
  EXPECT_EQ(responder_->sent(), kGarbage + 2);
  auto all = nodes(list.get());
  ASSERT_EQ(all.size(), 2u);
  for (const auto *n : all) {
    auto vars = bindings(n->pdu);
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(string_of(vars[0]), "valid");
  }
  EXPECT_EQ(s->error, 0);
}

}  // namespace
}  // namespace kivo8::test
