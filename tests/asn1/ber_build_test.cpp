// Encoders: exact bytes for the boundary values, refusals, and that no builder writes a
// byte outside the slice it was given.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kivo8/asn1.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Builder = std::function<std::uint8_t *(std::uint8_t *, std::uint32_t *)>;

// Runs a builder on a slice in the middle of a marked buffer: the bytes around the slice
// must stay untouched, the result must sit right after what was written and the count
// must drop by exactly that much.
std::optional<Bytes> build_guarded(const Builder &build, std::uint32_t room = 64) {
  constexpr std::size_t kGuard = 16;
  constexpr std::uint8_t kMark = 0xA5;
  std::vector<std::uint8_t> buffer(kGuard + room + kGuard, kMark);
  std::uint8_t *slice = buffer.data() + kGuard;
  std::uint32_t left = room;
  std::uint8_t *end = build(slice, &left);
  for (std::size_t i = 0; i < kGuard; ++i) {
    EXPECT_EQ(buffer[i], kMark) << "byte " << i << " before the slice was written";
    EXPECT_EQ(buffer[kGuard + room + i], kMark) << "byte " << i << " after the slice was written";
  }
  if (end == nullptr) return std::nullopt;
  EXPECT_GE(end, slice);
  EXPECT_LE(end, slice + room);
  EXPECT_EQ(left, room - static_cast<std::uint32_t>(end - slice));
  return Bytes(slice, end);
}

// Every encoding must also fail cleanly, and stay inside its slice, when the room is one
// byte short of what it needs.
void expect_exact_room(const Builder &build, std::size_t size) {
  for (std::uint32_t room = 0; room < size; ++room) {
    SCOPED_TRACE(testing::Message() << "room " << room);
    EXPECT_FALSE(build_guarded(build, room).has_value());
  }
  EXPECT_TRUE(build_guarded(build, static_cast<std::uint32_t>(size)).has_value());
}

TEST(BerBuildInt, MinimalTwosComplement) {
  struct {
    std::int32_t value;
    Bytes expected;
  } cases[] = {
      {0, {0x02, 0x01, 0x00}},
      {-1, {0x02, 0x01, 0xFF}},
      {127, {0x02, 0x01, 0x7F}},
      {128, {0x02, 0x02, 0x00, 0x80}},
      {-128, {0x02, 0x01, 0x80}},
      {-129, {0x02, 0x02, 0xFF, 0x7F}},
      {255, {0x02, 0x02, 0x00, 0xFF}},
      {256, {0x02, 0x02, 0x01, 0x00}},
      {32767, {0x02, 0x02, 0x7F, 0xFF}},
      {32768, {0x02, 0x03, 0x00, 0x80, 0x00}},
      {-32768, {0x02, 0x02, 0x80, 0x00}},
      {-32769, {0x02, 0x03, 0xFF, 0x7F, 0xFF}},
      {0x7FFFFF, {0x02, 0x03, 0x7F, 0xFF, 0xFF}},
      {0x800000, {0x02, 0x04, 0x00, 0x80, 0x00, 0x00}},
      {INT32_MAX, {0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}},
      {INT32_MIN, {0x02, 0x04, 0x80, 0x00, 0x00, 0x00}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value);
    Builder b = [&](std::uint8_t *d, std::uint32_t *n) { return asn_build_int(d, n, 0x02, &c.value, 4); };
    EXPECT_EQ(build_guarded(b), c.expected);
    expect_exact_room(b, c.expected.size());
  }
}

TEST(BerBuildInt, RefusesOtherSizesAndNullArguments) {
  std::int32_t v = 5;
  std::uint8_t buf[16];
  std::uint32_t n = sizeof buf;
  for (std::uint32_t size : {0u, 1u, 2u, 8u}) EXPECT_EQ(asn_build_int(buf, &n, 0x02, &v, size), nullptr);
  EXPECT_EQ(asn_build_int(buf, &n, 0x02, nullptr, 4), nullptr);
  EXPECT_EQ(asn_build_int(nullptr, &n, 0x02, &v, 4), nullptr);
  EXPECT_EQ(asn_build_int(buf, nullptr, 0x02, &v, 4), nullptr);
  std::uint32_t u = 5;
  EXPECT_EQ(asn_build_unsigned_int(buf, &n, 0x41, &u, 8), nullptr);
  counter64 c{0, 5};
  EXPECT_EQ(asn_build_unsigned_int64(buf, &n, 0x46, &c, 4), nullptr);
}

TEST(BerBuildUnsigned, LeadingZeroOnlyWhenTheTopBitIsSet) {
  struct {
    std::uint32_t value;
    Bytes expected;
  } cases[] = {
      {0, {0x41, 0x01, 0x00}},
      {0x7F, {0x41, 0x01, 0x7F}},
      {0x80, {0x41, 0x02, 0x00, 0x80}},
      {0xFFFF, {0x41, 0x03, 0x00, 0xFF, 0xFF}},
      {0x7FFFFFFF, {0x41, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}},
      {0x80000000, {0x41, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}},
      {0xFFFFFFFF, {0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value);
    Builder b = [&](std::uint8_t *d, std::uint32_t *n) {
      return asn_build_unsigned_int(d, n, 0x41, &c.value, 4);
    };
    EXPECT_EQ(build_guarded(b), c.expected);
    expect_exact_room(b, c.expected.size());
  }
}

TEST(BerBuildUnsigned64, TrimsAcrossBothWordsAndLeadsBit63WithZero) {
  struct {
    counter64 value;
    Bytes expected;
  } cases[] = {
      {{0, 0}, {0x46, 0x01, 0x00}},
      {{0, 0x80}, {0x46, 0x02, 0x00, 0x80}},
      {{0, 0xFFFFFFFF}, {0x46, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}},
      {{1, 0}, {0x46, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}},
      {{0x7FFFFFFF, 0xFFFFFFFF}, {0x46, 0x08, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {{0x80000000, 0}, {0x46, 0x09, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 0}},
      {{0xFFFFFFFF, 0xFFFFFFFF}, {0x46, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.value.high << ":" << c.value.low);
    Builder b = [&](std::uint8_t *d, std::uint32_t *n) {
      return asn_build_unsigned_int64(d, n, 0x46, &c.value, 8);
    };
    EXPECT_EQ(build_guarded(b), c.expected);
    expect_exact_room(b, c.expected.size());
  }
}

TEST(BerBuildLength, ShortestOfThreeForms) {
  struct {
    std::uint32_t length;
    std::optional<Bytes> expected;
  } cases[] = {
      {0, Bytes{0x00}},
      {0x7F, Bytes{0x7F}},
      {0x80, Bytes{0x81, 0x80}},
      {0xFF, Bytes{0x81, 0xFF}},
      {0x100, Bytes{0x82, 0x01, 0x00}},
      {0xFFFF, Bytes{0x82, 0xFF, 0xFF}},
      {0x10000, std::nullopt},
      {0xFFFFFFFF, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.length);
    Builder b = [&](std::uint8_t *d, std::uint32_t *n) { return asn_build_length(d, n, c.length); };
    EXPECT_EQ(build_guarded(b), c.expected);
    if (c.expected) expect_exact_room(b, c.expected->size());
    Builder h = [&](std::uint8_t *d, std::uint32_t *n) { return asn_build_header(d, n, 0x04, c.length); };
    auto header = build_guarded(h);
    if (c.expected) {
      Bytes with_tag{0x04};
      with_tag.insert(with_tag.end(), c.expected->begin(), c.expected->end());
      EXPECT_EQ(header, with_tag);
      expect_exact_room(h, with_tag.size());
    } else {
      EXPECT_FALSE(header.has_value());
    }
  }
}

TEST(BerBuildSequence, AlwaysFourBytes) {
  EXPECT_EQ(build_guarded([](std::uint8_t *d, std::uint32_t *n) { return asn_build_sequence(d, n, 0x30, 5); }),
            (Bytes{0x30, 0x82, 0x00, 0x05}));
  EXPECT_EQ(build_guarded([](std::uint8_t *d, std::uint32_t *n) { return asn_build_sequence(d, n, 0xA2, 0x1234); }),
            (Bytes{0xA2, 0x82, 0x12, 0x34}));
  expect_exact_room([](std::uint8_t *d, std::uint32_t *n) { return asn_build_sequence(d, n, 0x30, 0); }, 4);
  // Two length octets cannot carry more.
  EXPECT_FALSE(build_guarded([](std::uint8_t *d, std::uint32_t *n) {
                 return asn_build_sequence(d, n, 0x30, 0x10000);
               }).has_value());
}

TEST(BerBuildString, CopiesBytesOrWritesZerosForNull) {
  const std::uint8_t text[] = {'a', 'b', 'c'};
  Builder b = [&](std::uint8_t *d, std::uint32_t *n) { return asn_build_string(d, n, 0x04, text, 3); };
  EXPECT_EQ(build_guarded(b), (Bytes{0x04, 0x03, 'a', 'b', 'c'}));
  expect_exact_room(b, 5);
  EXPECT_EQ(build_guarded([](std::uint8_t *d, std::uint32_t *n) { return asn_build_string(d, n, 0x44, nullptr, 2); }),
            (Bytes{0x44, 0x02, 0x00, 0x00}));
  EXPECT_EQ(build_guarded([](std::uint8_t *d, std::uint32_t *n) { return asn_build_string(d, n, 0x04, nullptr, 0); }),
            (Bytes{0x04, 0x00}));
  Bytes big(300, 'x');
  auto long_form = build_guarded(
      [&](std::uint8_t *d, std::uint32_t *n) { return asn_build_string(d, n, 0x04, big.data(), 300); }, 400);
  ASSERT_TRUE(long_form);
  EXPECT_EQ(Bytes(long_form->begin(), long_form->begin() + 4), (Bytes{0x04, 0x82, 0x01, 0x2C}));
  EXPECT_EQ(long_form->size(), 304u);
}

TEST(BerBuildObjid, KnownEncodings) {
  struct {
    const char *name;
    std::vector<std::uint32_t> oid;
    std::optional<Bytes> expected;
  } cases[] = {
      {"sysDescr", {1, 3, 6, 1, 2, 1, 1, 1, 0}, Bytes{0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00}},
      {"empty", {}, Bytes{0x06, 0x01, 0x00}},
      {"one arc", {2}, Bytes{0x06, 0x01, 0x50}},
      // The first two arcs share one value as X.690 writes it: 0 and 1 take a second arc
      // below 40, 2 any second arc (1.40 would read back as 2.0, 3.1 as 2.41).
      {"second arc 39 under 0", {0, 39}, Bytes{0x06, 0x01, 0x27}},
      {"second arc 40 under 1", {1, 40}, std::nullopt},
      {"second arc 41 under 1", {1, 41}, std::nullopt},
      {"second arc 40 under 2", {2, 40}, Bytes{0x06, 0x01, 0x78}},
      {"2.999", {2, 999}, Bytes{0x06, 0x02, 0x88, 0x37}},
      {"2.594390768", {2, 594390768}, Bytes{0x06, 0x05, 0x82, 0x9B, 0xB6, 0xDE, 0x40}},
      {"largest second arc under 2", {2, 0xFFFFFFFFu - 80}, Bytes{0x06, 0x05, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
      {"second arc under 2 beyond 32 bits", {2, 0xFFFFFFFFu - 79}, std::nullopt},
      {"first arc 3", {3, 1}, std::nullopt},
      {"lone first arc 3", {3}, std::nullopt},
      {"127 and 128", {1, 3, 127, 128}, Bytes{0x06, 0x04, 0x2B, 0x7F, 0x81, 0x00}},
      {"16383 and 16384", {1, 3, 16383, 16384}, Bytes{0x06, 0x06, 0x2B, 0xFF, 0x7F, 0x81, 0x80, 0x00}},
      {"2^21", {1, 3, 0x1FFFFF, 0x200000},
       Bytes{0x06, 0x08, 0x2B, 0xFF, 0xFF, 0x7F, 0x81, 0x80, 0x80, 0x00}},
      {"2^28 needs five octets", {1, 3, 0x10000000}, Bytes{0x06, 0x06, 0x2B, 0x81, 0x80, 0x80, 0x80, 0x00}},
      {"2^32-1", {1, 3, 0xFFFFFFFF}, Bytes{0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
      {"first arc beyond 32 bits", {0xFFFFFFFF, 0}, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Builder b = [&](std::uint8_t *d, std::uint32_t *n) {
      return asn_build_objid(d, n, 0x06, c.oid.data(), static_cast<std::uint32_t>(c.oid.size()));
    };
    EXPECT_EQ(build_guarded(b), c.expected);
    if (c.expected) expect_exact_room(b, c.expected->size());
  }
}

TEST(BerBuildObjid, AtMost128SubIdentifiers) {
  std::vector<std::uint32_t> oid(129, 7);
  oid[0] = 1;
  oid[1] = 3;
  auto build = [&](std::uint32_t count) {
    return build_guarded(
        [&](std::uint8_t *d, std::uint32_t *n) { return asn_build_objid(d, n, 0x06, oid.data(), count); }, 256);
  };
  auto full = build(128);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->size(), 2u + 127u);
  EXPECT_FALSE(build(129).has_value());
  std::uint8_t buf[8];
  std::uint32_t n = sizeof buf;
  EXPECT_EQ(asn_build_objid(buf, &n, 0x06, nullptr, 3), nullptr);
}

TEST(BerBuildNullAndBitString, ShapesAndRefusals) {
  EXPECT_EQ(build_guarded([](std::uint8_t *d, std::uint32_t *n) { return asn_build_null(d, n, 0x05); }),
            (Bytes{0x05, 0x00}));
  EXPECT_EQ(build_guarded([](std::uint8_t *d, std::uint32_t *n) { return asn_build_null(d, n, 0x82); }),
            (Bytes{0x82, 0x00}));
  expect_exact_room([](std::uint8_t *d, std::uint32_t *n) { return asn_build_null(d, n, 0x05); }, 2);

  struct {
    const char *name;
    Bytes bits;
    std::optional<Bytes> expected;
  } cases[] = {
      {"no unused bits", {0x00, 0xF0}, Bytes{0x03, 0x02, 0x00, 0xF0}},
      {"seven unused bits", {0x07, 0x80}, Bytes{0x03, 0x02, 0x07, 0x80}},
      {"only the count", {0x00}, Bytes{0x03, 0x01, 0x00}},
      {"eight unused bits", {0x08, 0x00}, std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Builder b = [&](std::uint8_t *d, std::uint32_t *n) {
      return asn_build_bitstring(d, n, 0x03, c.bits.data(), static_cast<std::uint32_t>(c.bits.size()));
    };
    EXPECT_EQ(build_guarded(b), c.expected);
    if (c.expected) {
      expect_exact_room(b, c.expected->size());
    } else {
      // Refused before anything is written.
      Bytes buf(8, 0xA5);
      std::uint32_t n = 8;
      EXPECT_EQ(b(buf.data(), &n), nullptr);
      EXPECT_EQ(buf, Bytes(8, 0xA5));
    }
  }
}

}  // namespace
