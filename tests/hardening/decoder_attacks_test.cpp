// Inputs that broke other SNMP, SLP and printer-discovery code, kept as regression
// fixtures. Every input sits in a heap block of exactly its size, so that under
// AddressSanitizer (and valgrind) the first byte read past it is a failure; each case
// also checks that the decoder refuses cleanly or keeps only what lies inside the input.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivo8/asn1.h"
#include "kivo8/common_utils.h"
#include "kivo8/ifinfo.h"
#include "kivo8/preference.h"
#include "kivo8/slp_sess.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/transtext.h"
#include "snmp/message.h"
#include "snmp/pdu.h"
#include "support/peers.h"
#include "support/pref_home.h"
#include "support/snmp_craft.h"

namespace {

using kivo8::test::craft::Bytes;
using kivo8::test::craft::cat;
using kivo8::test::craft::tlv_wide;

// An exact-size heap copy: std::vector may keep spare capacity after its end.
struct Exact {
  explicit Exact(const Bytes &b) : data(new std::uint8_t[b.size() == 0 ? 1 : b.size()]), size(b.size()) {
    if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
  }
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size;
  const std::uint8_t *end() const { return data.get() + size; }
};

std::unique_ptr<char[]> exact_text(const std::string &s) {
  std::unique_ptr<char[]> t(new char[s.size() + 1]);
  std::memcpy(t.get(), s.c_str(), s.size() + 1);
  return t;
}

// ---- BER elements ----

enum class Parse { header, integer, unsigned_int, counter64, string, objid, null, bitstring };

const char *parse_name(Parse p) {
  switch (p) {
    case Parse::header: return "header";
    case Parse::integer: return "int";
    case Parse::unsigned_int: return "unsigned";
    case Parse::counter64: return "counter64";
    case Parse::string: return "string";
    case Parse::objid: return "objid";
    case Parse::null: return "null";
    case Parse::bitstring: return "bitstring";
  }
  return "?";
}

// Runs one parser over the input with a destination of `capacity` items (itself an
// exact-size block) and returns the position it gave, checking the cursor convention.
const std::uint8_t *run_parser(Parse which, const Exact &in, std::uint32_t capacity,
                               std::uint32_t *out_count = nullptr) {
  std::uint32_t left = static_cast<std::uint32_t>(in.size);
  std::uint8_t type = 0;
  const std::uint8_t *p = in.data.get();
  const std::uint8_t *end = nullptr;
  switch (which) {
    case Parse::header: end = asn_parse_header(p, &left, &type); break;
    case Parse::integer: {
      std::int32_t v = 0;
      end = asn_parse_int(p, &left, &type, &v, 4);
      break;
    }
    case Parse::unsigned_int: {
      std::uint32_t v = 0;
      end = asn_parse_unsigned_int(p, &left, &type, &v, 4);
      break;
    }
    case Parse::counter64: {
      counter64 v{};
      end = asn_parse_unsigned_int64(p, &left, &type, &v, 8);
      break;
    }
    case Parse::string:
    case Parse::bitstring: {
      std::unique_ptr<std::uint8_t[]> dst(new std::uint8_t[capacity == 0 ? 1 : capacity]);
      std::uint32_t n = capacity;
      end = which == Parse::string ? asn_parse_string(p, &left, &type, dst.get(), &n)
                                   : asn_parse_bitstring(p, &left, &type, dst.get(), &n);
      if (end != nullptr) {
        EXPECT_LE(n, capacity);
      }
      if (out_count != nullptr) *out_count = n;
      break;
    }
    case Parse::objid: {
      std::unique_ptr<std::uint32_t[]> dst(new std::uint32_t[capacity == 0 ? 1 : capacity]);
      std::uint32_t n = capacity;
      end = asn_parse_objid(p, &left, &type, dst.get(), &n);
      if (end != nullptr) {
        EXPECT_LE(n, capacity);
      }
      if (out_count != nullptr) *out_count = n;
      break;
    }
    case Parse::null: end = asn_parse_null(p, &left, &type); break;
  }
  if (end != nullptr) {
    EXPECT_GE(end, p);
    EXPECT_LE(end, in.end());
  }
  return end;
}

TEST(BerAttacks, LengthsThatClaimMoreThanThereIsAreRefusedByEveryParser) {
  const Parse all[] = {Parse::header, Parse::integer, Parse::unsigned_int, Parse::counter64,
                       Parse::string, Parse::objid, Parse::null, Parse::bitstring};
  struct {
    const char *name;
    Bytes tail;  // after the identifier octet
  } cases[] = {
      {"four length octets far past the end (02 84 DE AD BA BE)", {0x84, 0xDE, 0xAD, 0xBA, 0xBE, 0x00}},
      {"indefinite length", {0x80, 0x01, 0x00, 0x00}},
      {"five length octets", {0x85, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}},
      {"length octets cut off", {0x82, 0x01}},
      {"long form with nothing after it", {0x84}},
      {"one more than remains", {0x03, 0x01, 0x02}},
      {"largest four-octet length", {0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}},
  };
  const struct {
    Parse parse;
    std::uint8_t tag;
  } parsers[] = {{Parse::header, 0x04},       {Parse::integer, 0x02}, {Parse::unsigned_int, 0x41},
                 {Parse::counter64, 0x46},    {Parse::string, 0x04},  {Parse::objid, 0x06},
                 {Parse::null, 0x05},         {Parse::bitstring, 0x03}};
  (void)all;
  for (const auto &c : cases) {
    for (const auto &p : parsers) {
      SCOPED_TRACE(std::string(c.name) + " / " + parse_name(p.parse));
      Bytes element{p.tag};
      element.insert(element.end(), c.tail.begin(), c.tail.end());
      Exact in(element);
      // NULL's length may be anything but 0 here, so it is refused too.
      EXPECT_EQ(run_parser(p.parse, in, 128), nullptr);
    }
  }
}

TEST(BerAttacks, TheClassicSequencePayloadIsFramedButNotDecoded) {
  // 30 07 02 84 DE AD BA BE 00: a well-framed SEQUENCE whose INTEGER claims 0xDEADBABE
  // bytes. The frame is fine; the integer must be refused, not read.
  Exact in({0x30, 0x07, 0x02, 0x84, 0xDE, 0xAD, 0xBA, 0xBE, 0x00});
  EXPECT_EQ(asn_check_packet(in.data.get(), static_cast<std::int32_t>(in.size)), 9);
  std::uint32_t left = static_cast<std::uint32_t>(in.size);
  std::uint8_t type = 0;
  const std::uint8_t *p = asn_parse_sequence(in.data.get(), &left, &type, 0x30);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(left, 7u);
  std::int32_t v = 0x5A5A5A5A;
  EXPECT_EQ(asn_parse_int(p, &left, &type, &v, 4), nullptr);
  // And as a whole message, with or without a fixed version.
  snmp_pdu *pdu = _snmp_create_pdu(0);
  ASSERT_NE(pdu, nullptr);
  std::uint32_t length = static_cast<std::uint32_t>(in.size);
  EXPECT_EQ(snmp_pdu_parse(pdu, in.data.get(), &length), -1);
  EXPECT_EQ(pdu->variables, nullptr);
  snmp_free_pdu(pdu);
}

TEST(BerAttacks, PacketFramingRefusesWhatCannotBeFramed) {
  struct {
    const char *name;
    Bytes bytes;
    bool framed;  // a positive length, else 0 or negative
  } cases[] = {
      {"indefinite", {0x30, 0x80, 0x02, 0x01, 0x00, 0x00, 0x00}, false},
      {"five length octets", {0x30, 0x85, 0x00, 0x00, 0x00, 0x00, 0x09}, false},
      {"zero length octets in long form", {0x30, 0x80}, false},
      {"largest length", {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, false},
      {"short form", {0x30, 0x03, 0x02, 0x01, 0x00}, true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.bytes);
    const std::int32_t r = asn_check_packet(in.data.get(), static_cast<std::int32_t>(in.size));
    if (c.framed) {
      EXPECT_GT(r, 0);
    } else {
      // A length of 0xFFFFFFFF + 6 does not fit the result; it must not come back as a
      // small positive length that a reader would trust.
      EXPECT_TRUE(r <= 0 || static_cast<std::uint32_t>(r) > in.size) << r;
      EXPECT_FALSE(r > 0 && r < 2) << r;
    }
  }
}

TEST(BerAttacks, ObjectIdentifiersCutShortOrEmpty) {
  struct {
    const char *name;
    Bytes element;
    std::uint32_t capacity;
    bool accepted;
    std::uint32_t count;  // when accepted
  } cases[] = {
      // A sub-identifier whose last octet still has its top bit set: the decoder may not
      // go on into the bytes after the element, and must not keep a value made of them.
      {"truncated last sub-identifier", {0x06, 0x03, 0x2B, 0x06, 0x86}, 128, false, 0},
      {"truncated first value", {0x06, 0x01, 0x81}, 128, false, 0},
      {"run of continuation octets", {0x06, 0x05, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 128, false, 0},
      {"sub-identifier beyond 32 bits", {0x06, 0x07, 0x2B, 0x90, 0x80, 0x80, 0x80, 0x80, 0x00}, 128, false, 0},
      {"empty identifier", {0x06, 0x00}, 128, true, 1},
      {"empty identifier, room for two", {0x06, 0x00}, 2, true, 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.element);
    std::uint32_t count = 0;
    const std::uint8_t *end = run_parser(Parse::objid, in, c.capacity, &count);
    if (c.accepted) {
      ASSERT_NE(end, nullptr);
      EXPECT_EQ(end, in.end());
      EXPECT_EQ(count, c.count);
    } else {
      EXPECT_EQ(end, nullptr);
    }
  }
  // Destinations too small for even the split of the first value: refused, nothing
  // written past the destination (an exact-size block).
  for (std::uint32_t capacity : {0u, 1u}) {
    SCOPED_TRACE(capacity);
    for (const Bytes &element : {Bytes{0x06, 0x00}, Bytes{0x06, 0x01, 0x2B}, Bytes{0x06, 0x02, 0x2B, 0x06}}) {
      Exact in(element);
      std::uint32_t count = 0;
      const std::uint8_t *end = run_parser(Parse::objid, in, capacity, &count);
      if (end != nullptr) {
        EXPECT_LE(count, capacity);
      }
    }
  }
}

// ---- SNMP bindings ----

snmp_var *binding_at(snmp_pdu *pdu, int index) {
  snmp_var *v = pdu->variables;
  for (int i = 0; v != nullptr && i < index; ++i) v = v->next;
  return v;
}

// Reads every byte that a binding claims to hold, so that a dangling or short block shows.
void expect_consistent(const snmp_var *v) {
  if (v->name == nullptr) {
    EXPECT_EQ(v->name_length, 0u);
  } else {
    EXPECT_LE(v->name_length, 128u);
    volatile std::uint32_t sink = 0;
    for (std::uint32_t i = 0; i < v->name_length; ++i) sink = sink + v->name[i];
  }
  if (v->value != nullptr) {
    volatile std::uint8_t sink = 0;
    for (std::uint32_t i = 0; i < v->value_length; ++i) sink = sink + v->value[i];
  }
}

TEST(BindingAttacks, BadBindingAfterAGoodOneLeavesNoHalfBuiltNode) {
  const Bytes name = {0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00};
  const Bytes good = tlv_wide(0x30, cat({name, tlv_wide(0x04, {'o', 'k'})}));
  struct {
    const char *name;
    Bytes bad;  // the second binding
  } cases[] = {
      {"value claims past the binding", tlv_wide(0x30, cat({name, Bytes{0x04, 0x84, 0xDE, 0xAD, 0xBA, 0xBE}}))},
      {"truncated name", tlv_wide(0x30, Bytes{0x06, 0x03, 0x2B, 0x06, 0x86, 0x05, 0x00})},
      {"empty binding", tlv_wide(0x30, {})},
      {"name is not an identifier", tlv_wide(0x30, cat({tlv_wide(0x04, {'x'}), Bytes{0x05, 0x00}}))},
      {"binding header runs past the list", Bytes{0x30, 0x7F, 0x06, 0x01, 0x2B}},
      {"indefinite binding length", Bytes{0x30, 0x80, 0x06, 0x01, 0x2B, 0x05, 0x00, 0x00, 0x00}},
      {"five-octet value length", tlv_wide(0x30, cat({name, Bytes{0x04, 0x85, 0, 0, 0, 0, 1, 'x'}}))},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes list = tlv_wide(0x30, cat({good, c.bad}));
    const Bytes pdu_bytes =
        tlv_wide(0xA2, cat({Bytes{0x02, 0x01, 0x07}, Bytes{0x02, 0x01, 0x00}, Bytes{0x02, 0x01, 0x00}, list}));
    Exact in(pdu_bytes);
    snmp_pdu *pdu = _snmp_create_pdu(0);
    ASSERT_NE(pdu, nullptr);
    std::uint32_t length = static_cast<std::uint32_t>(in.size);
    EXPECT_EQ(snmp_pdu_parse(pdu, in.data.get(), &length), -1);
    snmp_var *first = binding_at(pdu, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->name_length, 9u);
    ASSERT_NE(first->value, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(first->value), first->value_length), "ok");
    int n = 0;
    for (snmp_var *v = pdu->variables; v != nullptr; v = v->next, ++n) expect_consistent(v);
    EXPECT_LE(n, 2);
    snmp_free_pdu(pdu);  // frees the good binding and whatever the bad one left
  }
}

TEST(BindingAttacks, WholeMessagesWithHostileLengthsAreRefused) {
  const Bytes name = {0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00};
  const Bytes pdu = tlv_wide(0xA2, cat({Bytes{0x02, 0x01, 0x07, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00},
                                   tlv_wide(0x30, tlv_wide(0x30, cat({name, Bytes{0x05, 0x00}})))}));
  const Bytes community = tlv_wide(0x04, {'v', 'e', 'l', 'l', 'u', 'm'});
  struct {
    const char *name;
    Bytes message;
  } cases[] = {
      {"message sequence claims 0xDEADBABE", cat({Bytes{0x30, 0x84, 0xDE, 0xAD, 0xBA, 0xBE, 0x02, 0x01, 0x01}, community, pdu})},
      {"indefinite message", cat({Bytes{0x30, 0x80, 0x02, 0x01, 0x01}, community, pdu, Bytes{0, 0}})},
      {"community claims 300 bytes", cat({Bytes{0x30, 0x82, 0x01, 0x40, 0x02, 0x01, 0x01, 0x04, 0x82, 0x01, 0x2C}, Bytes(20, 'x')})},
      {"community longer than its area", tlv_wide(0x30, cat({Bytes{0x02, 0x01, 0x01}, tlv_wide(0x04, Bytes(300, 'c')), pdu}))},
      {"version of five octets", tlv_wide(0x30, cat({Bytes{0x02, 0x05, 0x00, 0x00, 0x00, 0x00, 0x01}, community, pdu}))},
      {"message cut inside the PDU", Bytes{0x30, 0x20, 0x02, 0x01, 0x01, 0x04, 0x01, 'v', 0xA2, 0x40, 0x02, 0x01}},
  };
  snmp_comm *comms = nullptr;
  snmp_comm_add(&comms, "vellum");
  for (const auto &c : cases) {
    for (std::int32_t version : {-1, 1}) {
      SCOPED_TRACE(std::string(c.name) + (version == -1 ? " / any version" : " / v2c"));
      Exact in(c.message);
      snmp_session session{};
      session.version = version;
      session.community = comms;
      snmp_pdu *pdu = _snmp_create_pdu(0);
      ASSERT_NE(pdu, nullptr);
      testing::internal::CaptureStdout();
      EXPECT_EQ(snmp_parse(&session, pdu, in.data.get(), static_cast<std::uint32_t>(in.size)), -1);
      testing::internal::GetCapturedStdout();
      for (snmp_var *v = pdu->variables; v != nullptr; v = v->next) expect_consistent(v);
      snmp_free_pdu(pdu);
    }
  }
  snmp_comm_free(&comms);
}

// ---- SLP Service Replies ----

Bytes slp_header(const std::string &tag = "en") {
  Bytes h = {0x02, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34,
             static_cast<std::uint8_t>(tag.size() >> 8), static_cast<std::uint8_t>(tag.size())};
  h.insert(h.end(), tag.begin(), tag.end());
  return h;
}

Bytes be16(unsigned v) { return {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}; }

Bytes url_entry(const std::string &url, std::vector<Bytes> auth_blocks = {}) {
  Bytes e = {0x00, 0x01, 0x2C};
  Bytes l = be16(static_cast<unsigned>(url.size()));
  e.insert(e.end(), l.begin(), l.end());
  e.insert(e.end(), url.begin(), url.end());
  e.push_back(static_cast<std::uint8_t>(auth_blocks.size()));
  for (const auto &b : auth_blocks) e.insert(e.end(), b.begin(), b.end());
  return e;
}

Bytes auth_block(unsigned claimed_length, std::size_t real_length) {
  Bytes b = {0x00, 0x02};
  Bytes l = be16(claimed_length);
  b.insert(b.end(), l.begin(), l.end());
  b.resize(std::max<std::size_t>(real_length, 4), 0xAB);
  return b;
}

TEST(SlpAttacks, RepliesWhoseLengthsPointPastTheEnd) {
  const std::string good_url = "service:printer:lpr://10.1.2.3:515/queue";
  const Bytes good = url_entry(good_url);
  struct {
    const char *name;
    Bytes datagram;
    std::vector<std::string> urls;  // what may be kept: the entries before the damage
  } cases[] = {
      {"URL count 65535 in a short datagram", cat({slp_header(), be16(0), be16(65535), good}), {good_url}},
      {"URL count 65535 and nothing after it", cat({slp_header(), be16(0), be16(65535)}), {}},
      {"URL length past the end", cat({slp_header(), be16(0), be16(1), Bytes{0x00, 0x01, 0x2C, 0xFF, 0xF0}, Bytes(20, 'u')}), {}},
      {"URL length past the end after a good entry",
       cat({slp_header(), be16(0), be16(2), good, Bytes{0x00, 0x01, 0x2C, 0x01, 0x00, 'x', 'y'}}), {good_url}},
      {"auth block of length 0", cat({slp_header(), be16(0), be16(2), url_entry("service:a://1.2.3.4", {auth_block(0, 8)}), good}), {}},
      {"auth block shorter than its own header", cat({slp_header(), be16(0), be16(1), url_entry("service:a://1.2.3.4", {auth_block(3, 8)})}), {}},
      {"auth block length past the end", cat({slp_header(), be16(0), be16(1), url_entry("service:a://1.2.3.4", {auth_block(0xFFFF, 8)})}), {}},
      {"255 auth blocks announced, one sent", cat({slp_header(), be16(0), be16(1), [] {
         Bytes e = url_entry("service:a://1.2.3.4", {auth_block(6, 6)});
         e[5 + 19] = 0xFF;
         return e;
       }()}), {}},
      {"auth blocks of a good entry are skipped", cat({slp_header(), be16(0), be16(2), url_entry("service:a://1.2.3.4", {auth_block(6, 6), auth_block(4, 4)}), good}),
       {"service:a://1.2.3.4", good_url}},
      {"language tag length past the end", cat({Bytes{0x02, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0xFF}, be16(0), be16(1), good}), {}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.datagram);
    slp_srvreply *reply = slp_decode_srvreply(in.data.get(), static_cast<std::int32_t>(in.size));
    if (reply == nullptr) {
      EXPECT_TRUE(c.urls.empty());
      continue;
    }
    std::vector<std::string> urls;
    for (slp_url_node *n = reply->urls; n != nullptr; n = n->next) urls.emplace_back(n->entry->url);
    EXPECT_EQ(urls, c.urls);
    slp_free_srvreply(reply);
  }
}

// ---- escapes that end in a lone backslash ----

TEST(EscapeAttacks, ScopeAndCommaFieldsEndingInALoneBackslash) {
  testing::internal::CaptureStdout();  // slp_scope_decode prints two lines per call
  for (const std::string text : {"\\", "abc\\", "a\\4", "\\\\", "\\\\\\", "x\\\\4", "\\4\\"}) {
    SCOPED_TRACE(text);
    auto in = exact_text(text);
    char *decoded = slp_scope_decode(in.get());
    ASSERT_NE(decoded, nullptr);
    EXPECT_LE(std::strlen(decoded), text.size());
    slp_free_tmp_ptr(decoded);

    slp_slist *list = slp_scopes_to_slist(in.get());
    for (slp_slist *l = list; l != nullptr; l = l->next) EXPECT_LE(std::strlen(l->scope), text.size());
    slp_free_slist(list);

    std::unique_ptr<char[]> copy = exact_text(text);
    slp_scope_list_decode(copy.get());
    slp_scope_list_encode(copy.get());
  }
  testing::internal::GetCapturedStdout();

  // Comma-separated fields: a backslash at the very end escapes nothing and ends the text.
  struct {
    const char *text;
    const char *first_field;
  } fields[] = {{"abc\\", "abc"}, {"\\", ""}, {"a\\,b\\", "a,b"}, {"a\\\\\\", "a\\"}};
  for (const auto &f : fields) {
    SCOPED_TRACE(f.text);
    auto in = exact_text(f.text);
    char field[16];
    const char *rest = next_token(in.get(), field, sizeof field);
    EXPECT_STREQ(field, f.first_field);
    EXPECT_EQ(rest, in.get() + std::strlen(f.text));
  }

  // A saved target line whose community field ends in a lone backslash.
  for (const std::string line : {"1,10.0.0.255,255.255.255.0,0.0.0.0,3,1,comm\\",
                                 "1,10.0.0.255,255.255.255.0,0.0.0.0,3,1,\\",
                                 "20001,A!B\\,3,0,vellum\\", "20001,\\"}) {
    SCOPED_TRACE(line);
    auto in = exact_text(line);
    ifinfo *entry = ifinfo_new_with(in.get());
    if (entry != nullptr) {
      for (snmp_comm *c = entry->comms; c != nullptr; c = c->next) EXPECT_EQ(c->name[std::strlen(c->name)], '\0');
      ifinfo_free(entry);
    }
  }
}

// ---- catalogues whose offsets point outside the file ----

void put_le32(std::string &out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string catalogue(std::uint32_t n, const std::vector<std::pair<std::uint32_t, std::uint32_t>> &entries,
                      const std::string &pool) {
  std::string out("\x19\x64\x02\x13", 4);
  put_le32(out, n);
  for (const auto &[k, v] : entries) {
    put_le32(out, k);
    put_le32(out, v);
  }
  return out + pool;
}

TEST(CatalogueAttacks, OffsetsOutsideTheFileAreNeverFollowed) {
  const std::string pool("Hello\0Hallo\0", 12);
  struct {
    const char *name;
    std::string file;
  } cases[] = {
      {"key offset past the pool", catalogue(1, {{4000, 6}}, pool)},
      {"translation offset past the pool", catalogue(1, {{0, 4000}}, pool)},
      {"offsets near 2^32", catalogue(2, {{0xFFFFFFF0u, 6}, {0, 0xFFFFFFFFu}}, pool)},
      {"offset to the pool's last byte, unterminated", catalogue(1, {{0, 11}}, std::string("Hello\0Hallo", 11))},
      {"pool without any terminator", catalogue(1, {{0, 2}}, "HelloHallo")},
      {"more entries than the file holds", catalogue(0x10000000u, {{0, 6}}, pool)},
      {"entry count of 2^32 - 1", catalogue(0xFFFFFFFFu, {}, "")},
      {"entries cut in the middle", catalogue(3, {{0, 6}}, "\x01\x00")},
      {"magic only", std::string("\x19\x64\x02\x13", 4)},
  };
  kivo8::test::TempDir dir;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    kivo8::test::PrefHome::write_file(dir.file("bad.cvt"), c.file);
    transtext_table *t = transtext_new_table_nolang(dir.path().c_str(), "bad.cvt");
    if (t == nullptr) continue;
    // Whatever was kept must translate within the file: every probe reads a whole text.
    for (const char *key : {"Hello", "Hallo", "", "H", "ello"}) {
      const char *found = transtext_translate(t, key);
      ASSERT_NE(found, nullptr);
      volatile std::size_t sink = std::strlen(found);
      (void)sink;
    }
    transtext_free(t);
  }
}

// ---- a preference file of one 100,000-character line ----

TEST(PreferenceAttacks, OneHundredThousandCharacterLine) {
  kivo8::test::PrefHome home;
  ASSERT_TRUE(home.ready());
  const std::string huge(100000, 'q');
  struct {
    const char *name;
    std::string content;
  } cases[] = {
      {"the whole file", huge},
      {"a key line", "%network\ntotal=" + huge + "\n"},
      {"a section header", "%" + huge + "\nk=v\n"},
      {"a saved target", "%network\ntotal=1\n1=1,10.0.0.255,255.255.255.0,0.0.0.0,3,1," + huge + "\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    home.put(c.content);
    char small[8];
    (void)lanset_get_preference_string("network", "total", small, sizeof small);
    EXPECT_EQ(std::strlen(small) < sizeof small, true);
    std::vector<char> big(200000);
    (void)lanset_get_preference_string("network", "1", big.data(), static_cast<std::int32_t>(big.size()));

    ifinfo *list = nullptr;
    ifinfo_read_preference(&list);
    for (ifinfo *e = list; e != nullptr; e = e->next) EXPECT_GE(e->count, 0);
    ifinfo_free_list(list);

    // A rewrite keeps the long line whole and adds the new key.
    ASSERT_EQ(lanset_set_preference_string("other", "k", "v"), 0);
    auto after = home.contents();
    ASSERT_TRUE(after.has_value());
    EXPECT_NE(after->find(c.content.substr(0, c.content.find('\n') == std::string::npos ? c.content.size() : c.content.find('\n'))), std::string::npos);
    EXPECT_NE(after->find("%other\nk=v\n"), std::string::npos);
    char value[8];
    ASSERT_EQ(lanset_get_preference_string("other", "k", value, sizeof value), 0);
    EXPECT_STREQ(value, "v");
  }
}

}  // namespace
