// The internal message type (snmp::Message and snmp::encode): hostile bytes, agreement
// with the exported adapters byte for byte and field for field, and no allocation for a
// usual reply.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "kivo8/asn1.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/snmpv3.h"
#include "snmp/message.h"
#include "snmp/pdu.h"
#include "snmp/pdu_view.h"
#include "snmpv3/message.h"
#include "support/snmp_craft.h"

// Every C++ allocation of this program is counted, so that a test can tell that a decode
// made none. g++ sees malloc behind the replaced operator new once inlined and takes the
// matching free for a mismatch.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
namespace {
std::atomic<std::uint64_t> g_news{0};
}  // namespace

// ThreadSanitizer's runtime defines operator new and delete itself and lets no program
// replace them: under it nothing is counted, and the g++ and ASan builds make the check.
#if defined(__SANITIZE_THREAD__)
#define KIVO8_COUNT_NEW 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KIVO8_COUNT_NEW 0
#endif
#endif
#ifndef KIVO8_COUNT_NEW
#define KIVO8_COUNT_NEW 1
#endif

#if KIVO8_COUNT_NEW
void *operator new(std::size_t n) {
  ++g_news;
  if (void *p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void *operator new[](std::size_t n) {
  ++g_news;
  if (void *p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
#endif

namespace {

using kivo8::snmp::Binding;
using kivo8::snmp::CodecError;
using kivo8::snmp::Message;
using kivo8::snmp::Outgoing;
using kivo8::test::craft::Bytes;
using kivo8::test::craft::cat;
using kivo8::test::craft::tlv_wide;

struct PduFree {
  void operator()(snmp_pdu *p) const noexcept { snmp_free_pdu(p); }
};
using PduPtr = std::unique_ptr<snmp_pdu, PduFree>;

// A v2c Response whose binding list holds `list`.
Bytes response_with(const Bytes &list) {
  const Bytes pdu = tlv_wide(0xA2, cat({{0x02, 0x01, 0x07}, {0x02, 0x01, 0x00}, {0x02, 0x01, 0x00}, tlv_wide(0x30, list)}));
  return tlv_wide(0x30, cat({{0x02, 0x01, 0x01}, tlv_wide(0x04, {'p', 'u', 'b'}), pdu}));
}

// The bytes in a heap block of exactly their size, so that AddressSanitizer reports the
// first byte read past them.
struct Exact {
  explicit Exact(const Bytes &b) : block(new std::uint8_t[b.empty() ? 1 : b.size()]), size(b.size()) {
    if (!b.empty()) std::memcpy(block.get(), b.data(), b.size());
  }
  std::span<const std::uint8_t> span() const { return {block.get(), size}; }
  std::unique_ptr<std::uint8_t[]> block;
  std::size_t size;
};

const std::uint32_t kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
const std::uint32_t kSysObjectId[] = {1, 3, 6, 1, 2, 1, 1, 2, 0};
const std::uint32_t kUptime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
const std::uint32_t kIfSpeed[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 5, 1};
const std::uint32_t kAddress[] = {1, 3, 6, 1, 2, 1, 4, 20, 1, 1, 192, 168, 1, 20};
const std::uint32_t kHcOctets[] = {1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 6, 1};
const std::uint32_t kStatus[] = {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 5, 1};
const std::uint32_t kLongArc[] = {2, 999, 4294967295u, 0, 128, 16383, 16384};
const std::uint32_t kEnterprise[] = {1, 3, 6, 1, 4, 1, 2435, 2, 3, 9, 1};
const std::uint8_t kText[] = "Office printer";
const std::uint8_t kIp[] = {192, 168, 1, 20};
const std::uint8_t kBits[] = {0x04, 0xF0};

Binding with_name(std::span<const std::uint32_t> name, std::uint8_t type) {
  Binding b;
  b.name = name;
  b.type = type;
  return b;
}

// Bindings of every value type the codec reads.
std::vector<Binding> every_type() {
  std::vector<Binding> out;
  Binding b = with_name(kSysDescr, SNMP_TYPE_OCTET_STR);
  b.value = std::span(kText, sizeof kText - 1);
  out.push_back(b);
  b = with_name(kSysObjectId, SNMP_TYPE_OBJECT_ID);
  b.oid = kEnterprise;
  out.push_back(b);
  b = with_name(kUptime, SNMP_TYPE_TIMETICKS);
  b.number = 123456789u;
  out.push_back(b);
  b = with_name(kIfSpeed, SNMP_TYPE_GAUGE);
  b.number = 4294967295u;
  out.push_back(b);
  b = with_name(kAddress, SNMP_TYPE_IPADDRESS);
  b.value = kIp;
  out.push_back(b);
  b = with_name(kHcOctets, SNMP_TYPE_COUNTER64);
  b.number = 0x123456789ABCDEF0ull;
  out.push_back(b);
  b = with_name(kStatus, SNMP_TYPE_INTEGER);
  b.number = static_cast<std::uint64_t>(std::int64_t{-5});
  out.push_back(b);
  b = with_name(kLongArc, SNMP_TYPE_COUNTER);
  b.number = 0x80000000u;
  out.push_back(b);
  out.push_back(with_name(kSysDescr, SNMP_NOSUCHOBJECT));
  out.push_back(with_name(kSysDescr, SNMP_ENDOFMIBVIEW));
  return out;
}

// The same bindings as an exported PDU, value bytes as the exported interface holds them.
PduPtr exported(const Outgoing &m) {
  PduPtr pdu(snmp_create_pdu(m.type));
  pdu->version = m.version;
  pdu->reqid = m.request_id;
  pdu->errstat = m.error_status;
  pdu->errindex = m.error_index;
  for (const Binding &b : m.bindings) {
    std::uint32_t u32 = b.unsigned32();
    std::int32_t i32 = b.integer();
    counter64 c64{static_cast<std::uint32_t>(b.number >> 32), static_cast<std::uint32_t>(b.number)};
    const void *value = nullptr;
    std::uint32_t length = 0;
    switch (b.type) {
      case SNMP_TYPE_INTEGER: value = &i32; length = 4; break;
      case SNMP_TYPE_COUNTER:
      case SNMP_TYPE_GAUGE:
      case SNMP_TYPE_TIMETICKS: value = &u32; length = 4; break;
      case SNMP_TYPE_COUNTER64: value = &c64; length = sizeof c64; break;
      case SNMP_TYPE_OBJECT_ID: value = b.oid.data(); length = static_cast<std::uint32_t>(b.oid.size_bytes()); break;
      case SNMP_TYPE_OCTET_STR:
      case SNMP_TYPE_IPADDRESS:
      case SNMP_TYPE_BIT_STR: value = b.value.data(); length = static_cast<std::uint32_t>(b.value.size()); break;
      default: break;
    }
    EXPECT_NE(snmp_pdu_add_variable(pdu.get(), b.name.data(), static_cast<std::uint32_t>(b.name.size()),
                                    b.type, value, length),
              nullptr)
        << "type " << int(b.type);
  }
  return pdu;
}

Bytes build_exported(const Outgoing &m) {
  PduPtr pdu = exported(m);
  std::string text(reinterpret_cast<const char *>(m.community.data()), m.community.size());
  snmp_comm comm{nullptr, static_cast<std::int32_t>(text.size()), text.data()};
  snmp_session session{nullptr, m.version, &comm, 0};
  Bytes out(SNMP_PACKET_SIZE);
  std::uint32_t length = static_cast<std::uint32_t>(out.size());
  if (snmp_build(&session, pdu.get(), out.data(), &length) != 0) return {};
  out.resize(length);
  return out;
}

Bytes build_internal(const Outgoing &m) {
  Bytes out(SNMP_PACKET_SIZE);
  out.resize(kivo8::snmp::encode(m, out));
  return out;
}

void expect_same_bindings(const Message &got, std::span<const Binding> want) {
  ASSERT_EQ(got.bindings().size(), want.size());
  for (std::size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(testing::Message() << "binding " << i);
    const Binding &g = got.bindings()[i], &w = want[i];
    EXPECT_TRUE(std::equal(g.name.begin(), g.name.end(), w.name.begin(), w.name.end()));
    EXPECT_EQ(g.type, w.type);
    EXPECT_EQ(g.number, w.number);
    EXPECT_TRUE(std::equal(g.value.begin(), g.value.end(), w.value.begin(), w.value.end()));
    EXPECT_TRUE(std::equal(g.oid.begin(), g.oid.end(), w.oid.begin(), w.oid.end()));
  }
}

const std::uint8_t kPublic[] = {'p', 'u', 'b', 'l', 'i', 'c'};

TEST(InternalMessage, EncoderWritesTheBytesOfTheExportedAdaptersAndDecodesBack) {
  const std::vector<Binding> values = every_type();
  std::vector<Binding> names;
  for (const Binding &b : values) names.push_back(with_name(b.name, SNMP_TYPE_NULL));
  Binding bit_string = with_name(kSysDescr, SNMP_TYPE_BIT_STR);
  bit_string.value = kBits;
  const std::span<const Binding> bits(&bit_string, 1);
  struct Case {
    const char *name;
    std::int32_t version;
    std::uint8_t type;
    std::uint32_t reqid;
    std::int32_t errstat, errindex;
    std::span<const Binding> bindings;
  } cases[] = {
      {"v1 get", SNMP_VERSION_1, SNMP_MSG_GET, 1, 0, 0, names},
      {"v2c getnext, request id above 2^31", SNMP_VERSION_2c, SNMP_MSG_GETNEXT, 0x80000001u, 0, 0, names},
      {"v2c getbulk, non-repeaters and max-repetitions", SNMP_VERSION_2c, SNMP_MSG_GETBULK, 77, 1, 25, names},
      {"v2c response of every type", SNMP_VERSION_2c, SNMP_MSG_RESPONSE, 9, 0, 0, values},
      {"v1 response with an error", SNMP_VERSION_1, SNMP_MSG_RESPONSE, 9, 2, 3, values},
      {"v2c trap", SNMP_VERSION_2c, 0xA7, 12, 0, 0, values},
      {"no bindings", SNMP_VERSION_2c, SNMP_MSG_GET, 5, 0, 0, {}},
      {"bit string (not addable to an exported PDU)", SNMP_VERSION_2c, SNMP_MSG_RESPONSE, 6, 0, 0, bits},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Outgoing m;
    m.version = c.version;
    m.community = kPublic;
    m.type = c.type;
    m.request_id = c.reqid;
    m.error_status = c.errstat;
    m.error_index = c.errindex;
    m.bindings = c.bindings;
    const Bytes ours = build_internal(m);
    ASSERT_FALSE(ours.empty());
    if (c.bindings.data() != bits.data()) {
      EXPECT_EQ(ours, build_exported(m));
    }
    Exact in(ours);
    Message got;
    ASSERT_EQ(got.decode(in.span(), c.version), CodecError::none);
    EXPECT_EQ(got.version, c.version);
    EXPECT_TRUE(std::equal(got.community.begin(), got.community.end(), std::begin(kPublic), std::end(kPublic)));
    EXPECT_EQ(got.type, c.type);
    EXPECT_EQ(got.request_id, c.reqid);
    EXPECT_EQ(got.error_status, c.errstat);
    EXPECT_EQ(got.error_index, c.errindex);
    expect_same_bindings(got, c.bindings);
  }
}

TEST(InternalMessage, ScopedPduOfSnmpv3RoundTripsThroughTheSameTypes) {
  const std::vector<Binding> values = every_type();
  Outgoing pdu;
  pdu.type = SNMP_MSG_RESPONSE;
  pdu.request_id = 4242;
  pdu.bindings = values;
  kivo8::v3::Outgoing m;
  m.msg_id = 4242;
  m.flags = kivo8::v3::kFlagReportable;
  m.pdu = &pdu;
  Bytes out(kivo8::v3::kMaxMessage);
  out.resize(kivo8::v3::encode(m, out));
  ASSERT_FALSE(out.empty());
  // The exported PDU through the session layer's path writes the same bytes.
  PduPtr same = exported(pdu);
  kivo8::v3::Outgoing e = m;
  e.pdu = nullptr;
  e.exported = same.get();
  Bytes out2(kivo8::v3::kMaxMessage);
  out2.resize(kivo8::v3::encode(e, out2));
  EXPECT_EQ(out, out2);
  kivo8::v3::Envelope env;
  ASSERT_EQ(kivo8::v3::parse_envelope(out, env), kivo8::v3::CodecError::none);
  Message got;
  kivo8::v3::Scoped scoped;
  std::uint8_t scratch[1];
  ASSERT_EQ(kivo8::v3::open_scoped(env, nullptr, {scratch, 0}, got, scoped), kivo8::v3::CodecError::none);
  EXPECT_EQ(got.version, SNMP_VERSION_3);
  EXPECT_EQ(got.request_id, 4242u);
  expect_same_bindings(got, values);
}

// What the exported decoder gives for the same bytes is what the internal one gives:
// result and fields alike, on good bytes and on every prefix of them.
TEST(InternalMessage, ExportedDecoderAgreesWithTheInternalOneOnEveryPrefix) {
  const std::vector<Binding> values = every_type();
  Outgoing m;
  m.version = SNMP_VERSION_2c;
  m.community = kPublic;
  m.type = SNMP_MSG_RESPONSE;
  m.request_id = 31;
  m.bindings = values;
  const Bytes whole = build_internal(m);
  for (std::size_t n = 0; n <= whole.size(); ++n) {
    SCOPED_TRACE(testing::Message() << "first " << n << " bytes");
    Exact in(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)));
    Message got;
    const CodecError e = got.decode(in.span());
    PduPtr pdu(_snmp_create_pdu(0));
    const kivo8::snmp::Decoded d = kivo8::snmp::decode_message(in.span(), -1, pdu.get());
    EXPECT_EQ(d.error, e);
    if (n < whole.size()) {
      EXPECT_NE(e, CodecError::none);
      continue;
    }
    ASSERT_EQ(e, CodecError::none);
    std::size_t count = 0;
    for (const snmp_var *v = pdu->variables; v != nullptr; v = v->next, ++count) {
      const Binding &b = got.bindings()[count];
      EXPECT_TRUE(std::equal(b.name.begin(), b.name.end(), v->name, v->name + v->name_length));
      EXPECT_EQ(b.type, v->type);
    }
    EXPECT_EQ(count, got.bindings().size());
  }
}

TEST(InternalMessage, HostileBytesAreRefusedWithinTheirBuffer) {
  const Bytes null_binding = tlv_wide(0x30, cat({tlv_wide(0x06, {0x2B, 0x06, 0x01}), {0x05, 0x00}}));
  Bytes arcs_200;
  arcs_200.push_back(0x2B);
  for (int i = 0; i < 199; ++i) arcs_200.push_back(0x01);
  Bytes arcs_128(arcs_200.begin(), arcs_200.begin() + 127);  // 1.3 and 126 more: 128 arcs
  struct Case {
    const char *fault;
    Bytes bytes;
    CodecError want;
  } cases[] = {
      {"message length past the end", {0x30, 0x82, 0xFF, 0xFF, 0x02, 0x01, 0x01}, CodecError::header},
      {"indefinite message length", {0x30, 0x80, 0x02, 0x01, 0x01, 0x00, 0x00}, CodecError::header},
      {"version of five octets", tlv_wide(0x30, {0x02, 0x05, 0, 0, 0, 0, 1}), CodecError::header},
      {"version 3 where 0 or 1 is taken", tlv_wide(0x30, {0x02, 0x01, 0x03, 0x04, 0x00}), CodecError::version},
      {"community longer than its room", tlv_wide(0x30, cat({{0x02, 0x01, 0x01}, tlv_wide(0x04, Bytes(257, 'c'))})),
       CodecError::community},
      {"community length past the end", {0x30, 0x06, 0x02, 0x01, 0x01, 0x04, 0x7F, 'p'}, CodecError::community},
      {"binding list length past the end",
       tlv_wide(0x30, cat({{0x02, 0x01, 0x01}, tlv_wide(0x04, {'p'}),
                      tlv_wide(0xA2, {0x02, 0x01, 0x07, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x7F})})),
       CodecError::pdu},
      {"name of 200 arcs", response_with(tlv_wide(0x30, cat({tlv_wide(0x06, arcs_200), {0x05, 0x00}}))), CodecError::binding},
      {"name cut inside a sub-identifier", response_with(tlv_wide(0x30, cat({tlv_wide(0x06, {0x2B, 0x86}), {0x05, 0x00}}))),
       CodecError::binding},
      {"sub-identifier above 32 bits",
       response_with(tlv_wide(0x30, cat({tlv_wide(0x06, {0x2B, 0x90, 0x80, 0x80, 0x80, 0x00}), {0x05, 0x00}}))),
       CodecError::binding},
      {"INTEGER of no octets", response_with(tlv_wide(0x30, cat({tlv_wide(0x06, {0x2B}), {0x02, 0x00}}))), CodecError::value},
      {"NULL with contents", response_with(tlv_wide(0x30, cat({tlv_wide(0x06, {0x2B}), {0x05, 0x01, 0x00}}))),
       CodecError::value},
      {"bit string of 8 unused bits", response_with(tlv_wide(0x30, cat({tlv_wide(0x06, {0x2B}), {0x03, 0x02, 0x08, 0x00}}))),
       CodecError::value},
      {"value length past the binding", response_with(tlv_wide(0x30, cat({tlv_wide(0x06, {0x2B}), {0x04, 0x10, 'x'}}))),
       CodecError::binding},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    Exact in(c.bytes);
    Message m;
    EXPECT_EQ(m.decode(in.span()), c.want);
  }
  // A name of 128 arcs is the longest taken whole.
  Exact longest(response_with(tlv_wide(0x30, cat({tlv_wide(0x06, arcs_128), {0x05, 0x00}}))));
  Message m;
  ASSERT_EQ(m.decode(longest.span()), CodecError::none);
  ASSERT_EQ(m.bindings().size(), 1u);
  EXPECT_EQ(m.bindings()[0].name.size(), 128u);
  (void)null_binding;
}

TEST(InternalMessage, TenThousandBindingsDecodeIntoBlocksSizedOnceAndAgreeWithTheAdapter) {
  // The least a binding can be (an empty name is the arc 0), so that 10,000 fit a datagram.
  Bytes list;
  for (std::uint32_t i = 0; i < 10000; ++i) list.insert(list.end(), {0x30, 0x04, 0x06, 0x00, 0x05, 0x00});
  // One ordinary name first: its view must survive the stores growing behind it.
  list.insert(list.begin(), {0x30, 0x07, 0x06, 0x03, 0x2B, 0x06, 0x07, 0x05, 0x00});
  const Bytes bytes = response_with(list);
  Exact in(bytes);
  Message m;
  ASSERT_EQ(m.decode(in.span()), CodecError::none);
  ASSERT_EQ(m.bindings().size(), 10001u);
  const std::uint32_t first[] = {1, 3, 6, 7};
  EXPECT_TRUE(std::equal(m.bindings()[0].name.begin(), m.bindings()[0].name.end(), std::begin(first),
                         std::end(first)));
  for (std::size_t i = 1; i <= 10000; i += 999) {
    ASSERT_EQ(m.bindings()[i].name.size(), 1u);
    EXPECT_EQ(m.bindings()[i].name[0], 0u);
  }
  PduPtr pdu(_snmp_create_pdu(0));
  EXPECT_EQ(kivo8::snmp::decode_message(in.span(), -1, pdu.get()).error, CodecError::none);
  std::size_t count = 0;
  for (const snmp_var *v = pdu->variables; v != nullptr; v = v->next) ++count;
  EXPECT_EQ(count, 10001u);
  // Every binding is OBJECT IDENTIFIER values as well: the arc store's bound holds for
  // names and values together.
  Bytes with_oids;
  for (std::uint32_t i = 0; i < 3000; ++i)
    with_oids.insert(with_oids.end(), {0x30, 0x06, 0x06, 0x01, 0x2B, 0x06, 0x01, 0x2B});
  Exact in2(response_with(with_oids));
  Message m2;
  ASSERT_EQ(m2.decode(in2.span()), CodecError::none);
  ASSERT_EQ(m2.bindings().size(), 3000u);
  EXPECT_EQ(m2.bindings()[0].oid.size(), 2u);
  EXPECT_EQ(m2.bindings()[2999].oid[1], 3u);
}

TEST(InternalMessage, EveryPrefixOfAResponseFailsCleanly) {
  const std::vector<Binding> values = every_type();
  Outgoing out;
  out.version = SNMP_VERSION_1;
  out.community = kPublic;
  out.type = SNMP_MSG_RESPONSE;
  out.bindings = values;
  const Bytes whole = build_internal(out);
  for (std::size_t n = 0; n < whole.size(); ++n) {
    Exact in(Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)));
    Message m;
    ASSERT_NE(m.decode(in.span()), CodecError::none) << "first " << n << " bytes";
  }
}

TEST(InternalMessage, DecodingAUsualResponseAllocatesNothing) {
  const std::vector<Binding> values = every_type();
  Outgoing out;
  out.version = SNMP_VERSION_2c;
  out.community = kPublic;
  out.type = SNMP_MSG_RESPONSE;
  out.bindings = values;
  const Bytes bytes = build_internal(out);
  // Neither the library's allocation module nor operator new may be reached: every
  // allocation through the module fails from here on, and C++ allocations are counted.
  kivo8::alloc_testing::fail_nth(1, true);
  const std::uint64_t before = g_news.load();
  std::size_t bindings = 0;
  CodecError e;
  {
    Message m;
    e = m.decode(bytes);
    bindings = m.bindings().size();
  }
  const std::uint64_t news = g_news.load() - before;
  const bool injected = kivo8::alloc_testing::injected();
  kivo8::alloc_testing::reset();
  EXPECT_EQ(e, CodecError::none);
  EXPECT_EQ(bindings, values.size());
  EXPECT_EQ(news, 0u);
  EXPECT_FALSE(injected);
}

TEST(InternalMessage, EncoderRefusesWhatCannotBeWrittenAndStaysInsideItsBuffer) {
  const std::vector<Binding> values = every_type();
  Outgoing m;
  m.version = SNMP_VERSION_2c;
  m.community = kPublic;
  m.type = SNMP_MSG_RESPONSE;
  m.bindings = values;
  const Bytes whole = build_internal(m);
  // Every buffer shorter than the message: refused, and nothing written past its end.
  for (std::size_t room = 0; room < whole.size(); ++room) {
    Bytes buffer(room + 16, 0xEE);
    EXPECT_EQ(kivo8::snmp::encode(m, std::span(buffer).first(room)), 0u) << room;
    for (std::size_t i = room; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0xEE) << room;
  }
  struct Case {
    const char *fault;
    Binding b;
  } cases[] = {
      {"unknown type", with_name(kSysDescr, 0x4A)},
      {"bit string without its unused-bits octet", with_name(kSysDescr, SNMP_TYPE_BIT_STR)},
      {"first arc above 2", with_name(std::span<const std::uint32_t>(kLongArc).subspan(1), SNMP_TYPE_NULL)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    Outgoing one = m;
    one.bindings = std::span(&c.b, 1);
    Bytes out(SNMP_PACKET_SIZE);
    EXPECT_EQ(kivo8::snmp::encode(one, out), 0u);
  }
}

}  // namespace
