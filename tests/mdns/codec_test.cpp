// The DNS message codec: the attacks a reply can carry, the boundaries of names, and the
// exact bytes of the queries we send.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>

#include "mdns/dns_message.h"
#include "support/dns_attacks.h"
#include "support/dns_craft.h"

namespace kivo8::mdns {
namespace {

namespace d = kivo8::test::dns;
using d::Bytes;
using d::label_of;
using d::name_of_size;
using d::ten_thousand_answers;

// The decoder gets an exact-size heap copy, so AddressSanitizer sees any read past the end.
std::optional<Message> decode_exact(const Bytes &bytes, DecodeError *error = nullptr) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[bytes.empty() ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  return decode_message(std::span<const std::uint8_t>(copy.get(), bytes.size()), error);
}

TEST(DnsDecode, AttackFixturesAreRefusedWhole) {
  for (const auto &c : test::dns::attack_cases()) {
    SCOPED_TRACE(c.name);
    DecodeError error = DecodeError::None;
    EXPECT_FALSE(decode_exact(c.message, &error).has_value());
    EXPECT_EQ(error, c.error);
  }
}

TEST(DnsDecode, NameOf255OctetsIsTheLongestAccepted) {
  const Bytes msg = d::cat({d::header(d::kResponse, 1, 0), d::question(name_of_size(255), 1)});
  auto m = decode_exact(msg);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->questions.at(0).name.wire_size(), 255u);
}

TEST(DnsDecode, TenThousandAnswersInOneMessageAreReadWithinItsBounds) {
  const Bytes msg = ten_thousand_answers();
  auto m = decode_exact(msg);
  ASSERT_TRUE(m.has_value());
  ASSERT_EQ(m->records.size(), 10000u);
  EXPECT_EQ(m->records[9999].ptr.text(), "p09999._ipp._tcp.local");
}

TEST(DnsDecode, PointerChainsLongerThanTheBoundAreRefused) {
  // 70 one-label names, each pointing at the one before: a lawful but absurd chain.
  Bytes msg = d::header(d::kResponse, 71, 0);
  msg = d::cat({msg, d::question(d::name("z"), 1)});
  std::size_t prev = 12;
  for (int i = 0; i < 70; ++i) {
    const std::size_t here = msg.size();
    msg = d::cat({msg, d::question(d::name_then_pointer("", static_cast<std::uint16_t>(prev)), 1)});
    prev = here;
  }
  DecodeError error = DecodeError::None;
  EXPECT_FALSE(decode_exact(msg, &error).has_value());
  EXPECT_EQ(error, DecodeError::BadName);
}

TEST(DnsDecode, CompressedReplyGivesEveryField) {
  // Owner "_ipp._tcp.local" at 12; instance "Lab Printer" + pointer; SRV target
  // "lab.local" sharing "local" by pointer; TXT; A and AAAA.
  Bytes msg = d::cat({d::header(0x8400, 0, 5, 0, 0, 0x1234), d::name("_ipp._tcp.local")});
  const std::uint16_t type_at = 12, local_at = 12 + 1 + 4 + 1 + 4;
  msg = d::cat({msg, {0, 12, 0, 1, 0, 0, 0x11, 0x94}});
  Bytes inst = d::name_then_pointer("Lab Printer", type_at);
  msg = d::cat({msg, {0, static_cast<std::uint8_t>(inst.size())}, inst});
  const std::uint16_t inst_at = static_cast<std::uint16_t>(msg.size() - inst.size());
  const Bytes host = d::name_then_pointer("lab", local_at);
  msg = d::cat({msg, d::rr(d::name_then_pointer("", inst_at), d::kSrv, d::srv(631, host), 0x8001)});
  const std::uint16_t host_at = static_cast<std::uint16_t>(msg.size() - host.size());
  msg = d::cat({msg, d::rr(d::name_then_pointer("", inst_at), d::kTxt, d::txt({"txtvers=1", "ty=Lab 1", ""}), 0x8001),
                d::rr(d::name_then_pointer("", host_at), d::kA, d::a(10, 1, 2, 3), 0x8001),
                d::rr(d::name_then_pointer("", host_at), d::kAaaa,
                      {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, 0x8001)});
  auto m = decode_exact(msg);
  ASSERT_TRUE(m.has_value());
  EXPECT_EQ(m->id, 0x1234);
  EXPECT_TRUE(m->is_response());
  ASSERT_EQ(m->records.size(), 5u);
  EXPECT_EQ(m->answers, 5u);
  EXPECT_EQ(m->records[0].ptr.text(), "Lab Printer._ipp._tcp.local");
  EXPECT_EQ(m->records[1].name.text(), "Lab Printer._ipp._tcp.local");
  EXPECT_EQ(m->records[1].klass, 1) << "the cache-flush bit is not part of the class";
  EXPECT_EQ(m->records[1].srv.port, 631);
  EXPECT_EQ(m->records[1].srv.target.text(), "lab.local");
  EXPECT_EQ(m->records[2].txt, (std::vector<std::string>{"txtvers=1", "ty=Lab 1", ""}));
  EXPECT_EQ(std::memcmp(m->records[3].addr, "\x0a\x01\x02\x03", 4), 0);
  EXPECT_EQ(m->records[4].name.key(), "lab.local");
}

TEST(DnsDecode, EveryPrefixOfAReplyFailsCleanly) {
  const Bytes msg = d::printer_reply("Front Desk", "_ipp._tcp.local", "desk.local", 631,
                                     {"txtvers=1", "ty=Desk Model 5", "pdl=application/pdf"}, d::a(10, 9, 8, 7));
  ASSERT_TRUE(decode_exact(msg).has_value());
  for (std::size_t n = 0; n < msg.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_FALSE(decode_exact(Bytes(msg.begin(), msg.begin() + static_cast<long>(n))).has_value());
  }
}

TEST(DnsDecode, LabelsKeepDotsAndCompareWithoutAsciiCase) {
  const Bytes msg = d::cat({d::header(d::kResponse, 1, 0), {5, 'A', '.', 'b', '\\', 'C'}, d::name("Local"), {0, 1, 0, 1}});
  auto m = decode_exact(msg);
  ASSERT_TRUE(m.has_value());
  const DnsName &n = m->questions.at(0).name;
  ASSERT_EQ(n.labels.size(), 2u);
  EXPECT_EQ(n.labels[0], "A.b\\C");
  EXPECT_EQ(n.text(), "A\\.b\\\\C.Local");
  EXPECT_EQ(n.key(), "a\\.b\\\\c.local");
  DnsName other;
  other.labels = {"a.B\\c", "LOCAL"};
  EXPECT_TRUE(same_name(n, other));
}

TEST(DnsEncode, OneShotQueryBytes) {
  std::uint8_t buf[64];
  auto n = encode_query({{DnsName::parse("_ipp._tcp.local"), 12, 1}}, buf);
  ASSERT_TRUE(n.has_value());
  const Bytes expected = d::cat({d::header(0, 1, 0), d::question(d::name("_ipp._tcp.local"), 12)});
  EXPECT_EQ(Bytes(buf, buf + *n), expected);
}

TEST(DnsEncode, RefusesWhatCannotBeSent) {
  std::uint8_t buf[600];
  DnsName long_label;
  long_label.labels = {std::string(64, 'x'), "local"};
  EXPECT_FALSE(encode_query({{long_label, 1, 1}}, buf).has_value());
  DnsName long_name;
  for (int i = 0; i < 5; ++i) long_name.labels.push_back(std::string(60, 'y'));
  EXPECT_FALSE(encode_query({{long_name, 1, 1}}, buf).has_value());
  EXPECT_FALSE(encode_query({{DnsName::parse("_ipp._tcp.local"), 12, 1}}, std::span<std::uint8_t>(buf, 20)).has_value());
}

}  // namespace
}  // namespace kivo8::mdns
