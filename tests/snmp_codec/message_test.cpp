// The message codec against hand-made bytes: exact encodings, session codes for every
// refusal, value storage on decoding, and damaged or truncated datagrams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "codec_support.h"
#include "core/alloc.h"
#include "kivo8/mt_support.h"
#include "support/alloc_failure.h"
#include "support/snmp_craft.h"

namespace {

using namespace kivo8::test;
using craft::cat;

const std::uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const std::uint32_t kSysName[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};

// A response message: version, community, then a Response PDU around `varbinds` (the
// contents of the binding list, given as raw bytes).
Bytes response(std::uint8_t version, const std::string &community, const Bytes &varbinds,
               std::uint8_t pdu_tag = 0xA2) {
  auto wrap = [](std::uint8_t tag, const Bytes &contents) {
    Bytes out = {tag, 0x82, std::uint8_t(contents.size() >> 8), std::uint8_t(contents.size())};
    out.insert(out.end(), contents.begin(), contents.end());
    return out;
  };
  Bytes pdu = {0x02, 0x01, 0x2A, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00};
  const Bytes list = wrap(0x30, varbinds);
  pdu.insert(pdu.end(), list.begin(), list.end());
  Bytes body = {0x02, 0x01, version, 0x04};
  if (community.size() >= 0x80) body.push_back(0x82), body.push_back(std::uint8_t(community.size() >> 8));
  body.push_back(std::uint8_t(community.size()));
  body.insert(body.end(), community.begin(), community.end());
  const Bytes wrapped = wrap(pdu_tag, pdu);
  body.insert(body.end(), wrapped.begin(), wrapped.end());
  return wrap(0x30, body);
}

// One binding with the name 1.3.6.1.2.1.1.5.0 and the given value element.
Bytes binding(const Bytes &value) {
  const Bytes name = {0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x05, 0x00};
  Bytes b = {0x30, std::uint8_t(name.size() + value.size())};
  b.insert(b.end(), name.begin(), name.end());
  b.insert(b.end(), value.begin(), value.end());
  return b;
}

class Message : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mt_res_init(), 0);
    _snmp_set_reqid_counter(0);
    _snmp_set_msgid_counter(0);
  }
  void TearDown() override { mt_res_free(); }

  Community vellum{"vellum"};
  snmp_session session{nullptr, -1, &vellum.entry, 0};
};

TEST_F(Message, GetRequestForSysDescrIsTheKnown48Bytes) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  ASSERT_TRUE(pdu);
  ASSERT_EQ(pdu->reqid, 1u);
  pdu->version = 0;
  ASSERT_NE(snmp_add_null_var(pdu.get(), kSysDescr, 9), nullptr);
  const Bytes expected = {0x30, 0x82, 0x00, 0x2C, 0x02, 0x01, 0x00, 0x04, 0x06, 'v',  'e',  'l',
                          'l',  'u',  'm',  0xA0, 0x82, 0x00, 0x1D, 0x02, 0x01, 0x01, 0x02, 0x01,
                          0x00, 0x02, 0x01, 0x00, 0x30, 0x82, 0x00, 0x10, 0x30, 0x82, 0x00, 0x0C,
                          0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00};
  EXPECT_EQ(encode(session, pdu.get()), expected);
  // Unset error fields went out as 0 and stay 0 in the PDU.
  EXPECT_EQ(pdu->errstat, 0);
  EXPECT_EQ(pdu->errindex, 0);
  ASSERT_EQ(pdu->community_len, 6u);
  EXPECT_EQ(std::string(pdu->community, pdu->community + 6), "vellum");
}

TEST_F(Message, SecondEncodingIsIdenticalAndAllocatesNothing) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GETNEXT));
  pdu->version = 1;
  ASSERT_NE(snmp_add_null_var(pdu.get(), kSysDescr, 9), nullptr);
  const Bytes first = encode(session, pdu.get());
  ASSERT_FALSE(first.empty());
  const std::uint8_t *community = pdu->community;
  kivo8::alloc_testing::reset();
  // The session's community may change meanwhile: the PDU keeps the one it was sent with.
  Community other{"other"};
  session.community = &other.entry;
  EXPECT_EQ(encode(session, pdu.get()), first);
  EXPECT_EQ(kivo8::alloc_testing::count(), 0u);
  EXPECT_EQ(pdu->community, community);
}

TEST_F(Message, RequestIdsAboveInt32MaxGoOutNegative) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  pdu->version = 0;
  pdu->reqid = 0x80000000;
  pdu->errstat = 5;
  pdu->errindex = -2;
  const Bytes bytes = encode(session, pdu.get());
  // Message header 4, version 3, community 8, PDU header 4: the request id comes next.
  ASSERT_GE(bytes.size(), 19u + 6 + 3 + 3);
  EXPECT_EQ(Bytes(bytes.begin() + 19, bytes.begin() + 25), (Bytes{0x02, 0x04, 0x80, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Bytes(bytes.begin() + 25, bytes.begin() + 31), (Bytes{0x02, 0x01, 0x05, 0x02, 0x01, 0xFE}));
  std::int32_t r;
  PduPtr back = decode(session, bytes, &r);
  EXPECT_EQ(back->reqid, 0x80000000u);
  EXPECT_EQ(back->errstat, 5);
  EXPECT_EQ(back->errindex, -2);
  EXPECT_EQ(back->command, SNMP_MSG_GET);
}

TEST_F(Message, NoCommunityAnywhereIsMinus9) {
  struct {
    const char *name;
    snmp_comm *community;
  } cases[] = {{"the empty entry", &snmp_comm_null}, {"no entry", nullptr}};
  Community empty{""};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
    pdu->version = 0;
    session.community = c.community;
    session.error = 0;
    std::int32_t r;
    encode(session, pdu.get(), &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(session.error, -9);
    EXPECT_EQ(pdu->community, nullptr);
  }
  session.community = &empty.entry;
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  std::int32_t r;
  encode(session, pdu.get(), &r);
  EXPECT_EQ(session.error, -9);
  // A PDU that carries its own community needs none from the session.
  session.error = 0;
  session.community = nullptr;
  pdu->community = static_cast<std::uint8_t *>(kivo8::mem_alloc(3));
  std::memcpy(pdu->community, "own", 3);
  pdu->community_len = 3;
  pdu->version = 1;
  const Bytes bytes = encode(session, pdu.get(), &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(session.error, 0);
  EXPECT_EQ(Bytes(bytes.begin() + 7, bytes.begin() + 12), (Bytes{0x04, 0x03, 'o', 'w', 'n'}));
}

// A message that does not fit fails with -1 for every buffer size short of its length,
// leaves the session's error alone, and writes nothing outside the buffer it was given.
TEST_F(Message, TooSmallBuffersFailWithoutWritingOutside) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  pdu->version = 1;
  const std::int32_t i = -7;
  const counter64 c{0x80000000, 9};
  const std::uint32_t oid[] = {1, 3, 6, 1, 4, 1, 0xFFFFFFFF};
  ASSERT_NE(snmp_pdu_add_variable(pdu.get(), kSysName, 9, SNMP_TYPE_INTEGER, &i, 4), nullptr);
  ASSERT_NE(snmp_pdu_add_variable(pdu.get(), kSysName, 9, SNMP_TYPE_COUNTER64, &c, 8), nullptr);
  ASSERT_NE(snmp_pdu_add_variable(pdu.get(), kSysName, 9, SNMP_TYPE_OBJECT_ID, oid, sizeof oid), nullptr);
  ASSERT_NE(snmp_pdu_add_variable(pdu.get(), kSysName, 9, SNMP_TYPE_OCTET_STR, "printer", 7), nullptr);
  const Bytes full = encode(session, pdu.get());
  ASSERT_FALSE(full.empty());
  constexpr std::size_t kGuard = 16;
  for (std::uint32_t size = 0; size <= full.size(); ++size) {
    SCOPED_TRACE(size);
    Bytes buffer(kGuard + size + kGuard, 0xA5);
    std::uint32_t length = size;
    session.error = 77;
    const std::int32_t r = snmp_build(&session, pdu.get(), buffer.data() + kGuard, &length);
    for (std::size_t g = 0; g < kGuard; ++g) {
      ASSERT_EQ(buffer[g], 0xA5);
      ASSERT_EQ(buffer[kGuard + size + g], 0xA5);
    }
    EXPECT_EQ(session.error, 77);
    if (size < full.size()) {
      EXPECT_EQ(r, -1);
    } else {
      EXPECT_EQ(r, 0);
      EXPECT_EQ(length, full.size());
      EXPECT_EQ(Bytes(buffer.begin() + kGuard, buffer.begin() + kGuard + size), full);
    }
  }
}

// The send buffer holds a full request of 510 bindings; one more does not fit.
TEST_F(Message, AFullBufferOfBindingsRoundTrips) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  pdu->version = 1;
  for (int i = 0; i < 510; ++i) ASSERT_NE(snmp_add_null_var(pdu.get(), kSysDescr, 9), nullptr);
  const Bytes bytes = encode(session, pdu.get());
  ASSERT_EQ(bytes.size(), 4u + 3 + 8 + 4 + 9 + 4 + 510 * 16);
  ASSERT_LE(bytes.size(), std::size_t{SNMP_PACKET_SIZE});
  std::int32_t r;
  PduPtr back = decode(session, bytes, &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(snmp_varbind_len(back.get()), 510);
  ASSERT_NE(snmp_add_null_var(pdu.get(), kSysDescr, 9), nullptr);
  encode(session, pdu.get(), &r);
  EXPECT_EQ(r, -1);
}

TEST_F(Message, BindingOfAnUnknownTypeCannotBeEncoded) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  pdu->version = 0;
  snmp_var *v = snmp_add_null_var(pdu.get(), kSysName, 9);
  ASSERT_NE(v, nullptr);
  v->type = 0x30;
  std::int32_t r;
  encode(session, pdu.get(), &r);
  EXPECT_EQ(r, -1);
  EXPECT_EQ(session.error, 0);
}

TEST_F(Message, EveryValueTypeRoundTrips) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_SET));
  pdu->version = 1;
  const std::int32_t integer = INT32_MIN;
  const std::uint32_t u = 0xFFFFFFFF;
  const counter64 c64{0xFFFFFFFF, 0xFFFFFFFE};
  const std::uint8_t ip[4] = {10, 0, 0, 1};
  const std::uint32_t oid[] = {1, 3, 6, 1, 4, 1, 2, 0xFFFFFFFF, 0x10000000, 0};
  const std::string text(300, 'p');
  struct {
    int32_t type;
    const void *value;
    std::uint32_t length;
  } values[] = {
      {SNMP_TYPE_INTEGER, &integer, 4},       {SNMP_TYPE_OCTET_STR, text.data(), 300},
      {SNMP_TYPE_OCTET_STR, "", 0},           {SNMP_TYPE_NULL, nullptr, 0},
      {SNMP_TYPE_OBJECT_ID, oid, sizeof oid}, {SNMP_TYPE_IPADDRESS, ip, 4},
      {SNMP_TYPE_COUNTER, &u, 4},             {SNMP_TYPE_GAUGE, &u, 4},
      {SNMP_TYPE_TIMETICKS, &u, 4},           {SNMP_TYPE_OPAQUE, "\x9f\x78\x04", 3},
      {SNMP_TYPE_COUNTER64, &c64, 8},         {SNMP_NOSUCHOBJECT, nullptr, 0},
      {SNMP_NOSUCHINSTANCE, nullptr, 0},      {SNMP_ENDOFMIBVIEW, nullptr, 0},
  };
  for (const auto &v : values)
    ASSERT_NE(snmp_pdu_add_variable(pdu.get(), kSysName, 9, v.type, v.value, v.length), nullptr) << v.type;
  const Bytes bytes = encode(session, pdu.get());
  std::int32_t r;
  PduPtr back = decode(session, bytes, &r);
  EXPECT_EQ(r, 0);
  EXPECT_EQ(session.error, 0);
  EXPECT_EQ(back->version, 1);
  EXPECT_EQ(back->command, SNMP_MSG_SET);
  EXPECT_EQ(back->reqid, pdu->reqid);
  ASSERT_EQ(back->community_len, 6u);
  EXPECT_EQ(std::memcmp(back->community, "vellum", 6), 0);
  auto sent = bindings(pdu.get());
  auto got = bindings(back.get());
  ASSERT_EQ(got.size(), sent.size());
  for (std::size_t k = 0; k < sent.size(); ++k) {
    SCOPED_TRACE(k);
    EXPECT_EQ(got[k]->type, sent[k]->type);
    EXPECT_EQ(name_of(got[k]), name_of(sent[k]));
    ASSERT_EQ(got[k]->value_length, sent[k]->value_length);
    if (sent[k]->value == nullptr) {
      EXPECT_EQ(got[k]->value, nullptr);
    } else {
      EXPECT_EQ(std::memcmp(got[k]->value, sent[k]->value, sent[k]->value_length), 0);
    }
  }
}

// Where decoded values are stored, and with what length.
TEST_F(Message, DecodedValueStorage) {
  struct {
    const char *name;
    Bytes value;
    std::uint32_t length;
    bool is_inline;
    Bytes bytes;  // expected value bytes (and terminator for strings when listed)
  } cases[] = {
      {"string abc", {0x04, 0x03, 'a', 'b', 'c'}, 3, true, {'a', 'b', 'c', 0}},
      {"empty string", {0x04, 0x00}, 0, true, {0}},
      {"string of 38 inline", cat({{0x04, 38}, Bytes(38, 's')}), 38, true, cat({Bytes(38, 's'), {0}})},
      {"string of 39 allocated", cat({{0x04, 39}, Bytes(39, 's')}), 39, false, cat({Bytes(39, 's'), {0}})},
      {"ip address", {0x40, 0x04, 192, 168, 1, 20}, 4, true, {192, 168, 1, 20}},
      {"opaque of 39 inline", cat({{0x44, 39}, Bytes(39, 'o')}), 39, true, Bytes(39, 'o')},
      {"opaque of 40 allocated", cat({{0x44, 40}, Bytes(40, 'o')}), 40, false, Bytes(40, 'o')},
      {"nsap", {0x45, 0x02, 0x47, 0x00}, 2, true, {0x47, 0x00}},
      {"bit string allocated", {0x03, 0x02, 0x04, 0xF0}, 2, false, {0x04, 0xF0}},
      {"uinteger32", {0x47, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 4, true, {0xFF, 0xFF, 0xFF, 0xFF}},
      {"oid 1.3.6.1", {0x06, 0x03, 0x2B, 0x06, 0x01}, 16, false, {1, 0, 0, 0, 3, 0, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::int32_t r;
    PduPtr pdu = decode(session, response(1, "public", binding(c.value)), &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(session.error, 0);
    ASSERT_EQ(snmp_varbind_len(pdu.get()), 1);
    const snmp_var *v = pdu->variables;
    EXPECT_EQ(v->type, c.value[0]);
    EXPECT_EQ(name_of(v), std::vector<std::uint32_t>(kSysName, kSysName + 9));
    EXPECT_EQ(v->value_length, c.length);
    ASSERT_NE(v->value, nullptr);
    EXPECT_EQ(v->value == v->value_storage, c.is_inline);
    EXPECT_EQ(Bytes(v->value, v->value + c.bytes.size()), c.bytes);
  }
}

// A value that the reader of its type refuses is not replaced by an invented one: the
// message cannot be decoded, as asn_parse_int and its kind refuse the same contents.
TEST_F(Message, ValuesTheirReadersRefuseFailTheMessage) {
  struct {
    const char *name;
    Bytes value;
  } cases[] = {
      {"empty integer", {0x02, 0x00}},
      {"integer of 5 octets", {0x02, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05}},
      {"empty counter32", {0x41, 0x00}},
      {"counter32 of 6 octets", {0x41, 0x06, 0, 1, 2, 3, 4, 5}},
      {"counter32 of 5 octets not led by zero", {0x41, 0x05, 0x01, 0, 0, 0, 1}},
      {"empty timeticks", {0x43, 0x00}},
      {"empty counter64", {0x46, 0x00}},
      {"counter64 of 10 octets", {0x46, 0x0A, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"bit string with 9 unused bits", {0x03, 0x02, 0x09, 0xF0}},
      {"empty bit string", {0x03, 0x00}},
      {"null with contents", {0x05, 0x01, 0x00}},
      {"oid value cut short", {0x06, 0x02, 0x2B, 0x86}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    session.error = 99;
    std::int32_t r;
    PduPtr pdu = decode(session, response(1, "public", cat({binding(c.value), binding({0x02, 0x01, 0x07})})), &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(session.error, SNMP_ERR_DECODE);
    // The binding read so far stays in the PDU, without a value.
    ASSERT_EQ(snmp_varbind_len(pdu.get()), 1);
    EXPECT_EQ(pdu->variables->value, nullptr);
  }
}

// Names are X.690's: the arc 2 takes every first value from 80 on.
TEST_F(Message, NamesUnderTheArc2) {
  struct {
    const char *name;
    Bytes oid;
    std::vector<std::uint32_t> arcs;
  } cases[] = {
      {"2.999", {0x06, 0x02, 0x88, 0x37}, {2, 999}},
      {"2.40", {0x06, 0x01, 0x78}, {2, 40}},
      {"2.594390768.1", {0x06, 0x06, 0x82, 0x9B, 0xB6, 0xDE, 0x40, 0x01}, {2, 594390768, 1}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Bytes b = {0x30, std::uint8_t(c.oid.size() + 2)};
    b.insert(b.end(), c.oid.begin(), c.oid.end());
    b.insert(b.end(), {0x05, 0x00});
    // As a name, and as an OBJECT IDENTIFIER value (the ifSpecific of a print server).
    std::int32_t r;
    PduPtr pdu = decode(session, response(1, "public", cat({b, binding(c.oid)})), &r);
    ASSERT_EQ(r, 0);
    auto v = bindings(pdu.get());
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(name_of(v[0]), c.arcs);
    const auto *arcs = reinterpret_cast<const std::uint32_t *>(v[1]->value);
    EXPECT_EQ(std::vector<std::uint32_t>(arcs, arcs + v[1]->value_length / 4), c.arcs);
    // And back into the same bytes.
    PduPtr request(snmp_create_pdu(SNMP_MSG_GET));
    request->version = 1;
    ASSERT_NE(snmp_add_null_var(request.get(), c.arcs.data(), std::uint32_t(c.arcs.size())), nullptr);
    const Bytes bytes = encode(session, request.get());
    ASSERT_FALSE(bytes.empty());
    EXPECT_NE(std::search(bytes.begin(), bytes.end(), c.oid.begin(), c.oid.end()), bytes.end());
  }
}

// A received name of more sub-identifiers than a binding holds is refused, not cut to 128.
TEST_F(Message, NamesOfMoreThan128ArcsAreRefusedNotCut) {
  struct {
    const char *name;
    std::size_t arcs;
    std::int32_t result;
  } cases[] = {{"128 arcs", 128, 0}, {"129 arcs", 129, -1}, {"140 arcs", 140, -1}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    // 1.3 then arcs of 7: one octet per arc after the first two.
    Bytes oid = {0x06, 0x81, std::uint8_t(c.arcs - 1), 0x2B};
    oid.insert(oid.end(), c.arcs - 2, 0x07);
    Bytes b = {0x30, 0x81, std::uint8_t(oid.size() + 2)};
    b.insert(b.end(), oid.begin(), oid.end());
    b.insert(b.end(), {0x05, 0x00});
    session.error = 99;
    std::int32_t r;
    PduPtr pdu = decode(session, response(1, "public", b), &r);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(session.error, c.result == 0 ? SNMP_ERR_NONE : SNMP_ERR_DECODE);
    if (c.result == 0) {
      ASSERT_EQ(snmp_varbind_len(pdu.get()), 1);
      EXPECT_EQ(pdu->variables->name_length, c.arcs);
    }
  }
  // A caller's name of 129 arcs cannot be sent whole, so it is not sent at all.
  std::vector<std::uint32_t> long_name(129, 7);
  long_name[0] = 1;
  long_name[1] = 3;
  PduPtr request(snmp_create_pdu(SNMP_MSG_GET));
  request->version = 1;
  ASSERT_NE(snmp_add_null_var(request.get(), long_name.data(), 129), nullptr);
  std::int32_t r;
  EXPECT_TRUE(encode(session, request.get(), &r).empty());
  EXPECT_EQ(r, -1);
}

TEST_F(Message, NumbersDecodeToTheMachinesOwnForm) {
  const Bytes list = cat({binding({0x02, 0x02, 0xFF, 0x7F}), binding({0x43, 0x05, 0x00, 0x80, 0, 0, 1}),
                          binding({0x46, 0x09, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 2})});
  std::int32_t r;
  PduPtr pdu = decode(session, response(0, "public", list), &r);
  ASSERT_EQ(r, 0);
  auto v = bindings(pdu.get());
  ASSERT_EQ(v.size(), 3u);
  std::int32_t i;
  std::uint32_t u;
  counter64 c;
  std::memcpy(&i, v[0]->value, 4);
  std::memcpy(&u, v[1]->value, 4);
  std::memcpy(&c, v[2]->value, 8);
  EXPECT_EQ(i, -129);
  EXPECT_EQ(u, 0x80000001u);
  EXPECT_EQ(c.high, 0x80000000u);
  EXPECT_EQ(c.low, 2u);
  EXPECT_EQ(v[2]->value_length, 8u);
}

TEST_F(Message, ValuesWithoutContents) {
  const Bytes list = cat({binding({0x05, 0x00}), binding({0x80, 0x00}), binding({0x81, 0x00}), binding({0x82, 0x00})});
  std::int32_t r;
  PduPtr pdu = decode(session, response(1, "public", list), &r);
  EXPECT_EQ(r, 0);
  auto v = bindings(pdu.get());
  ASSERT_EQ(v.size(), 4u);
  for (const snmp_var *b : v) {
    EXPECT_EQ(b->value, nullptr);
    EXPECT_EQ(b->value_length, 0u);
  }
  EXPECT_EQ(v[3]->type, SNMP_ENDOFMIBVIEW);
}

TEST_F(Message, UnknownValueTagPrintsBadtypeAndKeepsGoing) {
  const Bytes list = cat({binding({0x02, 0x01, 0x07}), binding({0x30, 0x03, 0x02, 0x01, 0x01}),
                          binding({0x04, 0x02, 'o', 'k'})});
  testing::internal::CaptureStdout();
  std::int32_t r;
  PduPtr pdu = decode(session, response(1, "public", list), &r);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "badtype\n");
  EXPECT_EQ(r, 1);
  EXPECT_EQ(session.error, -8);
  auto v = bindings(pdu.get());
  ASSERT_EQ(v.size(), 3u);
  EXPECT_EQ(v[1]->type, 0x30);
  EXPECT_EQ(v[1]->value, nullptr);
  EXPECT_EQ(name_of(v[1]), std::vector<std::uint32_t>(kSysName, kSysName + 9));
  EXPECT_STREQ(reinterpret_cast<const char *>(snmp_get_octet_str(v[2])), "ok");
}

// Every discovery datagram reaches the internal decoder: a value type it does not know is
// counted for the documented adapters to print, and the decoder writes nothing itself;
// the SNMPv3 layer decodes its scoped PDUs the same silent way.
TEST_F(Message, InternalDecoderCountsUnknownTypesAndPrintsNothing) {
  const Bytes list = cat({binding({0x30, 0x03, 0x02, 0x01, 0x01}), binding({0x04, 0x02, 'o', 'k'}),
                          binding({0x31, 0x00})});
  const Bytes message = response(1, "public", list);
  PduPtr pdu(_snmp_create_pdu(0));
  testing::internal::CaptureStdout();
  const kivo8::snmp::Decoded d = kivo8::snmp::decode_message(message, -1, pdu.get());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(d.error, kivo8::snmp::CodecError::none);
  EXPECT_TRUE(d.unknown_type);
  EXPECT_EQ(d.unknown_types, 2u);
  EXPECT_EQ(bindings(pdu.get()).size(), 3u);

  // The documented decoder prints one line for each such binding, as before.
  testing::internal::CaptureStdout();
  std::int32_t r;
  PduPtr again = decode(session, message, &r);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "badtype\nbadtype\n");
  EXPECT_EQ(r, 1);
}

// The session codes of every refusal.
TEST_F(Message, SessionCodes) {
  const Bytes good = binding({0x04, 0x01, 'x'});
  Bytes not_a_sequence = response(0, "public", good);
  not_a_sequence[0] = 0x31;
  Bytes cut_header = response(0, "public", good);
  cut_header.resize(3);
  Bytes bad_pdu_int = response(0, "public", good);
  bad_pdu_int[20] = 0x05;  // request id claims 5 octets
  Bytes bad_list_tag = response(0, "public", good);
  bad_list_tag[28] = 0x31;
  Bytes bad_name_tag = response(0, "public", good);
  bad_name_tag[34] = 0x04;
  const std::string long_community(257, 'c');
  struct {
    const char *name;
    std::int32_t session_version;
    Bytes message;
    std::int32_t result;
    std::int32_t error;
    int bindings;
  } cases[] = {
      {"v1 accepted", -1, response(0, "public", good), 0, 0, 1},
      {"v2c accepted", -1, response(1, "public", good), 0, 0, 1},
      {"fixed v2c, v2c message", 1, response(1, "public", good), 0, 0, 1},
      {"version 3", -1, response(3, "public", good), -1, -2, 0},
      {"negative version", -1, response(0xFF, "public", good), -1, -2, 0},
      {"first byte not a sequence", -1, not_a_sequence, -1, -2, 0},
      {"cut message header", -1, cut_header, -1, -2, 0},
      {"fixed v2c, v1 message", 1, response(0, "public", good), -1, -2, 0},
      {"fixed v1, version 3 message", 0, response(3, "public", good), -1, -2, 0},
      {"fixed version, unreadable header", 0, not_a_sequence, -1, 0, 0},
      {"community of 256", -1, response(1, std::string(256, 'c'), good), 0, 0, 1},
      {"community of 257", -1, response(1, long_community, good), -1, 0, 0},
      {"empty binding list", -1, response(1, "public", {}), 0, -8, 0},
      {"request id of 5 octets", -1, bad_pdu_int, -1, -8, 0},
      {"binding list not a sequence", -1, bad_list_tag, -1, -8, 0},
      {"name not an OID", -1, bad_name_tag, -1, -8, 1},
      {"second binding damaged", -1, response(1, "public", cat({good, {0x30, 0x05, 0x06, 0x09}})), -1, -8, 2},
      {"binding value runs past the binding", -1,
       response(1, "public", {0x30, 0x05, 0x06, 0x01, 0x2B, 0x04, 0x09, 0, 0, 0, 0, 0, 0, 0, 0, 0}), -1, -8, 1},
      {"any PDU tag", -1, response(1, "public", good, 0xA7), 0, 0, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    session.version = c.session_version;
    session.error = 99;
    std::int32_t r;
    PduPtr pdu = decode(session, c.message, &r);
    EXPECT_EQ(r, c.result);
    EXPECT_EQ(session.error, c.error);
    // Bindings read before a failure stay in the PDU and are freed with it.
    EXPECT_EQ(snmp_varbind_len(pdu.get()), c.bindings);
  }
}

TEST_F(Message, CommunityIsReplacedAndTrailingBytesIgnored) {
  Bytes message = response(1, "secret", binding({0x02, 0x01, 0x01}));
  message.insert(message.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  PduPtr pdu(_snmp_create_pdu(0));
  pdu->community = static_cast<std::uint8_t *>(kivo8::mem_alloc(3));
  pdu->community_len = 3;
  Exact in(message);
  EXPECT_EQ(snmp_parse(&session, pdu.get(), in.data.get(), in.size), 0);
  ASSERT_EQ(pdu->community_len, 6u);
  EXPECT_EQ(std::memcmp(pdu->community, "secret", 6), 0);
  EXPECT_EQ(pdu->reqid, 42u);
  EXPECT_EQ(pdu->command, SNMP_MSG_RESPONSE);

  PduPtr empty(_snmp_create_pdu(0));
  Exact in2(response(1, "", binding({0x05, 0x00})));
  EXPECT_EQ(snmp_parse(&session, empty.get(), in2.data.get(), in2.size), 0);
  EXPECT_EQ(empty->community, nullptr);
  EXPECT_EQ(empty->community_len, 0u);
}

TEST_F(Message, VersionAndCommunityParsers) {
  EXPECT_EQ(snmp_parse_version(Exact(response(1, "p", {})).data.get(), 0), -2);
  Bytes m = response(1, "public", binding({0x05, 0x00}));
  Exact in(m);
  EXPECT_EQ(snmp_parse_version(in.data.get(), in.size), 1);
  EXPECT_EQ(snmp_parse_version(in.data.get(), 6), -2);
  PduPtr pdu(_snmp_create_pdu(0));
  std::uint8_t community[16];
  std::uint32_t community_len = sizeof community;
  std::uint32_t left = in.size;
  const std::uint8_t *p = snmp_comstr_parse(in.data.get(), &left, community, &community_len, pdu.get());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p, in.data.get() + 15);
  EXPECT_EQ(left, in.size - 15);
  EXPECT_EQ(pdu->version, 1);
  EXPECT_EQ(std::string(community, community + community_len), "public");
  community_len = 5;
  left = in.size;
  EXPECT_EQ(snmp_comstr_parse(in.data.get(), &left, community, &community_len, pdu.get()), nullptr);
}

TEST_F(Message, ParseVarOpReportsNameValueAndPosition) {
  // A binding whose stated length runs one byte past its value: that byte is taken as the
  // start of what follows.
  const Bytes list = {0x30, 0x09, 0x06, 0x03, 0x2B, 0x06, 0x01, 0x04, 0x01, 'z', 0xEE, 0x30, 0x00};
  Exact in(list);
  std::uint32_t name[8];
  std::uint32_t name_length = 8, value_length = 0, left = in.size;
  std::uint8_t type = 0;
  const std::uint8_t *value = nullptr;
  const std::uint8_t *end =
      snmp_parse_var_op(in.data.get(), name, &name_length, &type, &value_length, &value, &left);
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(name_length, 4u);
  EXPECT_EQ(std::vector<std::uint32_t>(name, name + 4), (std::vector<std::uint32_t>{1, 3, 6, 1}));
  EXPECT_EQ(type, 0x04);
  EXPECT_EQ(value_length, 1u);
  EXPECT_EQ(value, in.data.get() + 7);
  EXPECT_EQ(end, in.data.get() + 10);
  EXPECT_EQ(left, in.size - 10);
  // A name longer than the room given is refused, not cut.
  name_length = 3;
  left = in.size;
  EXPECT_EQ(snmp_parse_var_op(in.data.get(), name, &name_length, &type, &value_length, &value, &left), nullptr);
  // A value whose contents would run past the binding is refused.
  const Bytes over = {0x30, 0x06, 0x06, 0x01, 0x2B, 0x04, 0x03, 'a', 'b', 'c'};
  Exact in2(over);
  name_length = 8;
  left = in2.size;
  EXPECT_EQ(snmp_parse_var_op(in2.data.get(), name, &name_length, &type, &value_length, &value, &left), nullptr);
}

TEST_F(Message, BindingBuilderFollowsTheCursorConvention) {
  const std::uint32_t name_length = 9;
  const std::uint8_t text[] = {'h', 'i'};
  const Bytes expected = {0x30, 0x82, 0x00, 0x0E, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02,
                          0x01, 0x01, 0x05, 0x00, 0x04, 0x02, 'h',  'i'};
  for (std::uint32_t room = 0; room <= expected.size() + 2; ++room) {
    SCOPED_TRACE(room);
    Bytes buffer(room + 8, 0xA5);
    std::uint32_t left = room;
    std::uint8_t *end = snmp_build_var_op(buffer.data(), kSysName, &name_length, SNMP_TYPE_OCTET_STR, 2, text, &left);
    EXPECT_EQ(Bytes(buffer.begin() + room, buffer.end()), Bytes(8, 0xA5));
    if (room < expected.size()) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    ASSERT_EQ(end, buffer.data() + expected.size());
    EXPECT_EQ(left, room - expected.size());
    EXPECT_EQ(Bytes(buffer.data(), end), expected);
  }
  Bytes buffer(64);
  std::uint32_t left = 64;
  EXPECT_EQ(snmp_build_var_op(buffer.data(), kSysName, &name_length, 0x30, 0, nullptr, &left), nullptr);
  left = 64;
  EXPECT_EQ(snmp_build_var_op(buffer.data(), kSysName, &name_length, SNMP_TYPE_INTEGER, 2, text, &left), nullptr)
      << "an INTEGER is four bytes in the binding";
}

TEST_F(Message, PduParserReadsOneElementAndCountsIt) {
  // The PDU element of a response, followed by bytes that are not part of it.
  const Bytes message = response(1, "public", cat({binding({0x02, 0x01, 0x07}), binding({0x05, 0x00})}));
  Bytes element(message.begin() + 15, message.end());
  const std::size_t element_size = element.size();
  element.insert(element.end(), {0x01, 0x02, 0x03});
  Exact in(element);
  PduPtr pdu(_snmp_create_pdu(0));
  std::uint32_t left = in.size;
  EXPECT_EQ(snmp_pdu_parse(pdu.get(), in.data.get(), &left), 0);
  EXPECT_EQ(left, in.size - element_size);
  EXPECT_EQ(pdu->command, SNMP_MSG_RESPONSE);
  EXPECT_EQ(pdu->reqid, 42u);
  EXPECT_EQ(pdu->errstat, 0);
  EXPECT_EQ(snmp_varbind_len(pdu.get()), 2);
  // Decoding into a PDU that already has bindings appends to them.
  left = in.size;
  EXPECT_EQ(snmp_pdu_parse(pdu.get(), in.data.get(), &left), 0);
  EXPECT_EQ(snmp_varbind_len(pdu.get()), 4);
  left = in.size;
  EXPECT_EQ(snmp_pdu_parse(nullptr, in.data.get(), &left), -1);
  EXPECT_EQ(snmp_pdu_parse(pdu.get(), nullptr, &left), -1);
  EXPECT_EQ(snmp_pdu_parse(pdu.get(), in.data.get(), nullptr), -1);
}

TEST_F(Message, NullArgumentsAreRefused) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
  Bytes buffer(64);
  std::uint32_t length = 64;
  EXPECT_EQ(snmp_build(&session, nullptr, buffer.data(), &length), -1);
  EXPECT_EQ(snmp_build(&session, pdu.get(), nullptr, &length), -1);
  EXPECT_EQ(snmp_build(&session, pdu.get(), buffer.data(), nullptr), -1);
  EXPECT_EQ(snmp_pdu_build(nullptr, buffer.data(), &length), nullptr);
  const Bytes message = response(1, "public", binding({0x05, 0x00}));
  Exact in(message);
  EXPECT_EQ(snmp_parse(nullptr, pdu.get(), in.data.get(), in.size), -1);
  EXPECT_EQ(snmp_parse(&session, nullptr, in.data.get(), in.size), -1);
  EXPECT_EQ(snmp_parse(&session, pdu.get(), nullptr, in.size), -1);
  EXPECT_EQ(snmp_parse_version(nullptr, 10), -2);
}

Bytes multi_binding_message(snmp_session &session) {
  PduPtr pdu(snmp_create_pdu(SNMP_MSG_RESPONSE));
  pdu->version = 1;
  const std::uint32_t oid[12] = {1, 3, 6, 1, 4, 1, 11, 2, 3, 9, 1, 1};
  const std::string text(100, 't');
  const std::int32_t i = 7;
  std::vector<std::uint32_t> long_name(60, 5);
  long_name[0] = 1;
  long_name[1] = 3;
  snmp_pdu_add_variable(pdu.get(), kSysDescr, 9, SNMP_TYPE_OCTET_STR, text.data(), 100);
  snmp_pdu_add_variable(pdu.get(), kSysName, 9, SNMP_TYPE_OBJECT_ID, oid, sizeof oid);
  snmp_pdu_add_variable(pdu.get(), long_name.data(), 60, SNMP_TYPE_INTEGER, &i, 4);
  snmp_pdu_add_variable(pdu.get(), kSysName, 9, SNMP_TYPE_OPAQUE, text.data(), 50);
  snmp_pdu_add_variable(pdu.get(), kSysName, 9, SNMP_TYPE_NULL, nullptr, 0);
  return encode(session, pdu.get());
}

// Every prefix of a valid message is refused cleanly (the decoder sees only the prefix,
// in a block of exactly its size).
TEST_F(Message, EveryPrefixOfAMessageIsRefused) {
  const Bytes full = multi_binding_message(session);
  ASSERT_FALSE(full.empty());
  for (std::int32_t version : {-1, 1}) {
    session.version = version;
    for (std::size_t n = 0; n < full.size(); ++n) {
      SCOPED_TRACE(testing::Message() << "version " << version << ", prefix " << n);
      std::int32_t r;
      PduPtr pdu = decode(session, Bytes(full.begin(), full.begin() + n), &r);
      EXPECT_EQ(r, -1);
      EXPECT_EQ(session.error, version == -1 ? -2 : 0);
    }
  }
}

// Each single byte of a valid message replaced by values that upset lengths and tags: no
// read outside the datagram, and every outcome is one of the specified ones.
TEST_F(Message, DamagedBytesNeverLeadOutsideTheDatagram) {
  const Bytes full = multi_binding_message(session);
  ASSERT_FALSE(full.empty());
  testing::internal::CaptureStdout();
  for (std::size_t at = 0; at < full.size(); ++at) {
    for (std::uint8_t b : {0x00, 0x01, 0x7F, 0x80, 0x81, 0x82, 0x84, 0x85, 0xFF}) {
      Bytes damaged = full;
      damaged[at] = b;
      std::int32_t r;
      PduPtr pdu = decode(session, damaged, &r);
      ASSERT_TRUE(r == 0 || r == 1 || r == -1) << at;
      ASSERT_TRUE(session.error == 0 || session.error == -2 || session.error == -8) << at;
    }
  }
  testing::internal::GetCapturedStdout();
}

// Decoding a message with several bindings, with the n-th allocation failing: -1 and -8
// when a binding, its name or its value block cannot be had, and never a leak or a
// half-linked binding.
TEST_F(Message, DecodingUnderAllocationFailures) {
  const Bytes message = multi_binding_message(session);
  ASSERT_FALSE(message.empty());
  Exact in(message);
  const std::uint64_t allocations = kivo8::test::sweep_allocation_failures([&] {
    PduPtr pdu(_snmp_create_pdu(0));
    if (!pdu) return false;
    const std::int32_t r = snmp_parse(&session, pdu.get(), in.data.get(), in.size);
    if (r != 0) {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(session.error, -8);
      return false;
    }
    EXPECT_EQ(session.error, 0);
    bool complete = snmp_varbind_len(pdu.get()) == 5;
    for (const snmp_var *v : bindings(pdu.get()))
      if (v->type != SNMP_TYPE_NULL && v->value == nullptr) complete = false;
    return complete;
  });
  EXPECT_GE(allocations, 7u);
}

TEST_F(Message, EncodingUnderAllocationFailures) {
  kivo8::test::sweep_allocation_failures([&] {
    PduPtr pdu(snmp_create_pdu(SNMP_MSG_GET));
    if (!pdu) return false;
    pdu->version = 0;
    if (!snmp_add_null_var(pdu.get(), kSysDescr, 9)) return false;
    std::int32_t r;
    const Bytes bytes = encode(session, pdu.get(), &r);
    if (r != 0) {
      EXPECT_EQ(pdu->community, nullptr);
      return false;
    }
    return bytes.size() == 48;
  });
}

}  // namespace
