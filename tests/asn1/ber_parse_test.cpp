// Decoders: values, refusals, and that no parser reads outside the bytes it is given.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kivo8/asn1.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// The bytes in a heap block of exactly their size, so that AddressSanitizer reports the
// first byte read past them.
struct Exact {
  explicit Exact(const Bytes &b) : data(new std::uint8_t[b.empty() ? 1 : b.size()]), size(b.size()) {
    if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
  }
  std::unique_ptr<std::uint8_t[]> data;
  std::uint32_t size;
};

// Checks the cursor convention of a successful parse: the result points just past the
// element and the count dropped by the element's size.
void expect_consumed(const Exact &in, const std::uint8_t *end, std::uint32_t left, std::size_t element) {
  ASSERT_NE(end, nullptr);
  EXPECT_EQ(end, in.data.get() + element);
  EXPECT_EQ(left, in.size - element);
}

TEST(BerParseInt, ValuesAndRefusals) {
  struct {
    const char *name;
    Bytes in;
    std::optional<std::int32_t> value;
  } cases[] = {
      {"zero", {0x02, 0x01, 0x00}, 0},
      {"minus one", {0x02, 0x01, 0xFF}, -1},
      {"-128", {0x02, 0x01, 0x80}, -128},
      {"128", {0x02, 0x02, 0x00, 0x80}, 128},
      {"-129", {0x02, 0x02, 0xFF, 0x7F}, -129},
      {"INT32_MIN", {0x02, 0x04, 0x80, 0x00, 0x00, 0x00}, INT32_MIN},
      {"INT32_MAX", {0x02, 0x04, 0x7F, 0xFF, 0xFF, 0xFF}, INT32_MAX},
      {"non-minimal is read", {0x02, 0x03, 0x00, 0x00, 0x05}, 5},
      {"long-form length", {0x02, 0x81, 0x01, 0x07}, 7},
      {"any tag", {0x41, 0x01, 0x07}, 7},
      {"trailing bytes ignored", {0x02, 0x01, 0x07, 0xEE}, 7},
      {"five octets", {0x02, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}, std::nullopt},
      {"empty contents", {0x02, 0x00}, std::nullopt},
      {"contents past the data", {0x02, 0x02, 0x01}, std::nullopt},
      {"only the identifier", {0x02}, std::nullopt},
      {"nothing", {}, std::nullopt},
      {"indefinite length", {0x02, 0x80, 0x01, 0x00, 0x00}, std::nullopt},
      {"five length octets", {0x02, 0x85, 0, 0, 0, 0, 1, 7}, std::nullopt},
      {"length octets cut", {0x02, 0x82, 0x00}, std::nullopt},
      {"huge length", {0x02, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}, std::nullopt},
      {"high tag number", {0x1F, 0x01, 0x01}, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.in);
    std::uint32_t left = in.size;
    std::uint8_t type = 0;
    std::int32_t v = 12345;
    const std::uint8_t *end = asn_parse_int(in.data.get(), &left, &type, &v, 4);
    if (!c.value) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    EXPECT_EQ(v, *c.value);
    EXPECT_EQ(type, c.in[0]);
    const std::size_t trailing = std::string(c.name) == "trailing bytes ignored" ? 1 : 0;
    expect_consumed(in, end, left, c.in.size() - trailing);
  }
}

TEST(BerParseInt, SizeMustBeFourAndArgumentsPresent) {
  Exact in({0x02, 0x01, 0x05});
  std::uint32_t left = in.size;
  std::uint8_t type;
  std::int32_t v;
  EXPECT_EQ(asn_parse_int(in.data.get(), &left, &type, &v, 8), nullptr);
  EXPECT_EQ(asn_parse_int(in.data.get(), &left, &type, nullptr, 4), nullptr);
  EXPECT_EQ(asn_parse_int(in.data.get(), &left, nullptr, &v, 4), nullptr);
  EXPECT_EQ(asn_parse_int(in.data.get(), nullptr, &type, &v, 4), nullptr);
  EXPECT_EQ(asn_parse_int(nullptr, &left, &type, &v, 4), nullptr);
}

TEST(BerParseUnsigned, ThirtyTwoAndSixtyFourBits) {
  struct {
    const char *name;
    Bytes in;
    std::optional<std::uint32_t> value;
  } cases32[] = {
      {"zero", {0x41, 0x01, 0x00}, 0u},
      {"0x80", {0x41, 0x02, 0x00, 0x80}, 0x80u},
      {"all ones with leading zero", {0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu},
      {"four octets with top bit", {0x41, 0x04, 0xFF, 0xFF, 0xFF, 0xFE}, 0xFFFFFFFEu},
      {"one octet with top bit sign-extends", {0x41, 0x01, 0x80}, 0xFFFFFF80u},
      {"five octets not led by zero", {0x41, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}, std::nullopt},
      {"six octets", {0x41, 0x06, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}, std::nullopt},
      {"empty", {0x41, 0x00}, std::nullopt},
      {"cut", {0x41, 0x05, 0x00, 0xFF}, std::nullopt},
  };
  for (const auto &c : cases32) {
    SCOPED_TRACE(c.name);
    Exact in(c.in);
    std::uint32_t left = in.size, v = 7;
    std::uint8_t type;
    const std::uint8_t *end = asn_parse_unsigned_int(in.data.get(), &left, &type, &v, 4);
    if (!c.value) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    EXPECT_EQ(v, *c.value);
    expect_consumed(in, end, left, c.in.size());
  }

  struct {
    const char *name;
    Bytes in;
    std::optional<counter64> value;
  } cases64[] = {
      {"zero", {0x46, 0x01, 0x00}, counter64{0, 0}},
      {"bit 63 behind zero", {0x46, 0x09, 0x00, 0x80, 0, 0, 0, 0, 0, 0, 1}, counter64{0x80000000, 1}},
      {"all ones", {0x46, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       counter64{0xFFFFFFFF, 0xFFFFFFFF}},
      {"five octets", {0x46, 0x05, 0x01, 0x02, 0x03, 0x04, 0x05}, counter64{0x01, 0x02030405}},
      {"nine not led by zero", {0x46, 0x09, 0x01, 0, 0, 0, 0, 0, 0, 0, 0}, std::nullopt},
      {"ten octets", {0x46, 0x0A, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, std::nullopt},
      {"empty", {0x46, 0x00}, std::nullopt},
  };
  for (const auto &c : cases64) {
    SCOPED_TRACE(c.name);
    Exact in(c.in);
    std::uint32_t left = in.size;
    counter64 v{7, 7};
    std::uint8_t type;
    const std::uint8_t *end = asn_parse_unsigned_int64(in.data.get(), &left, &type, &v, 8);
    if (!c.value) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    EXPECT_EQ(v.high, c.value->high);
    EXPECT_EQ(v.low, c.value->low);
    expect_consumed(in, end, left, c.in.size());
  }
  Exact in({0x46, 0x01, 0x00});
  std::uint32_t left = in.size;
  counter64 v;
  std::uint8_t type;
  EXPECT_EQ(asn_parse_unsigned_int64(in.data.get(), &left, &type, &v, 4), nullptr);
}

TEST(BerParseString, CapacityAndTerminator) {
  struct {
    const char *name;
    Bytes in;
    std::uint32_t capacity;
    std::optional<std::string> value;
    bool terminated;
  } cases[] = {
      {"room for the terminator", {0x04, 0x03, 'a', 'b', 'c'}, 8, "abc", true},
      {"capacity equals contents", {0x04, 0x03, 'a', 'b', 'c'}, 3, "abc", false},
      {"capacity too small", {0x04, 0x03, 'a', 'b', 'c'}, 2, std::nullopt, false},
      {"empty", {0x04, 0x00}, 4, "", true},
      {"empty, no room", {0x04, 0x00}, 0, "", false},
      {"contents past the data", {0x04, 0x04, 'a', 'b', 'c'}, 8, std::nullopt, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.in);
    std::uint32_t left = in.size;
    std::uint8_t type;
    Bytes out(c.capacity + 4, 0xA5);
    std::uint32_t length = c.capacity;
    const std::uint8_t *end = asn_parse_string(in.data.get(), &left, &type, out.data(), &length);
    if (!c.value) {
      EXPECT_EQ(end, nullptr);
      EXPECT_EQ(out, Bytes(c.capacity + 4, 0xA5));
      continue;
    }
    expect_consumed(in, end, left, c.in.size());
    EXPECT_EQ(length, c.value->size());
    EXPECT_EQ(std::string(out.begin(), out.begin() + length), *c.value);
    EXPECT_EQ(out[length], c.terminated ? 0x00 : 0xA5);
    // Nothing beyond the capacity is ever touched.
    for (std::size_t i = c.capacity; i < out.size(); ++i) EXPECT_EQ(out[i], 0xA5) << i;
  }
}

TEST(BerParseBitString, CountOfUnusedBitsChecked) {
  struct {
    const char *name;
    Bytes in;
    std::uint32_t capacity;
    bool ok;
  } cases[] = {
      {"plain", {0x03, 0x02, 0x00, 0xF0}, 4, true},
      {"seven unused", {0x03, 0x02, 0x07, 0x80}, 2, true},
      {"eight unused", {0x03, 0x02, 0x08, 0x80}, 4, false},
      {"empty", {0x03, 0x00}, 4, false},
      {"capacity too small", {0x03, 0x02, 0x00, 0xF0}, 1, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.in);
    std::uint32_t left = in.size;
    std::uint8_t type;
    Bytes out(c.capacity, 0xA5);
    std::uint32_t length = c.capacity;
    const std::uint8_t *end = asn_parse_bitstring(in.data.get(), &left, &type, out.data(), &length);
    if (!c.ok) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    expect_consumed(in, end, left, c.in.size());
    EXPECT_EQ(Bytes(out.begin(), out.begin() + length), Bytes(c.in.begin() + 2, c.in.end()));
  }
}

TEST(BerParseObjid, ValuesSplitAndRefusals) {
  struct {
    const char *name;
    Bytes in;
    std::uint32_t capacity;
    std::optional<std::vector<std::uint32_t>> value;
  } cases[] = {
      {"sysDescr", {0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00}, 128,
       std::vector<std::uint32_t>{1, 3, 6, 1, 2, 1, 1, 1, 0}},
      {"empty contents", {0x06, 0x00}, 128, std::vector<std::uint32_t>{0}},
      {"first value 0", {0x06, 0x01, 0x00}, 128, std::vector<std::uint32_t>{0, 0}},
      {"first value 39", {0x06, 0x01, 39}, 128, std::vector<std::uint32_t>{0, 39}},
      {"first value 40", {0x06, 0x01, 40}, 128, std::vector<std::uint32_t>{1, 0}},
      {"first value 80", {0x06, 0x01, 80}, 128, std::vector<std::uint32_t>{2, 0}},
      {"first value 119", {0x06, 0x01, 119}, 128, std::vector<std::uint32_t>{2, 39}},
      // 80 and above all belong to the arc 2, as X.690 reads them.
      {"first value 120", {0x06, 0x01, 0x78}, 128, std::vector<std::uint32_t>{2, 40}},
      {"2.999", {0x06, 0x02, 0x88, 0x37}, 128, std::vector<std::uint32_t>{2, 999}},
      {"print server ifSpecific 2.594390768", {0x06, 0x05, 0x82, 0x9B, 0xB6, 0xDE, 0x40}, 128,
       std::vector<std::uint32_t>{2, 594390768}},
      {"first value 2^32-1", {0x06, 0x05, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, 128,
       std::vector<std::uint32_t>{2, 0xFFFFFFFFu - 80}},
      {"2^28", {0x06, 0x06, 0x2B, 0x81, 0x80, 0x80, 0x80, 0x00}, 128,
       std::vector<std::uint32_t>{1, 3, 0x10000000}},
      {"2^32-1", {0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}, 128,
       std::vector<std::uint32_t>{1, 3, 0xFFFFFFFF}},
      {"capacity ends decoding", {0x06, 0x04, 0x2B, 0x06, 0x01, 0x02}, 3, std::vector<std::uint32_t>{1, 3, 6}},
      {"2^32 is too big", {0x06, 0x06, 0x2B, 0x90, 0x80, 0x80, 0x80, 0x00}, 128, std::nullopt},
      {"six octets", {0x06, 0x07, 0x2B, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 128, std::nullopt},
      {"truncated sub-identifier", {0x06, 0x03, 0x2B, 0x06, 0x81}, 128, std::nullopt},
      {"truncated first value", {0x06, 0x01, 0x81}, 128, std::nullopt},
      {"contents past the data", {0x06, 0x05, 0x2B, 0x06}, 128, std::nullopt},
      {"capacity below two", {0x06, 0x01, 0x2B}, 1, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.in);
    std::uint32_t left = in.size;
    std::uint8_t type;
    std::vector<std::uint32_t> out(c.capacity + 2, 0xDEADBEEF);
    std::uint32_t count = c.capacity;
    const std::uint8_t *end = asn_parse_objid(in.data.get(), &left, &type, out.data(), &count);
    EXPECT_EQ(out[c.capacity], 0xDEADBEEFu) << "wrote past the capacity";
    if (!c.value) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    expect_consumed(in, end, left, c.in.size());
    ASSERT_EQ(count, c.value->size());
    EXPECT_EQ(std::vector<std::uint32_t>(out.begin(), out.begin() + count), *c.value);
    if (c.in.size() == 2) {
      EXPECT_EQ(out[1], 0u);
    }
  }
}

TEST(BerParseHeader, ContentsPositionAndLength) {
  struct {
    const char *name;
    Bytes in;
    std::optional<std::uint32_t> header;  // size of identifier and length octets
  } cases[] = {
      {"short", {0x30, 0x02, 0x05, 0x00}, 2u},
      {"one length octet", {0x30, 0x81, 0x02, 0x05, 0x00}, 3u},
      {"four length octets", {0x30, 0x84, 0x00, 0x00, 0x00, 0x02, 0x05, 0x00}, 6u},
      {"any class", {0xA2, 0x00}, 2u},
      {"contents past data", {0x30, 0x03, 0x05, 0x00}, std::nullopt},
      {"indefinite", {0x30, 0x80, 0x05, 0x00, 0x00, 0x00}, std::nullopt},
      {"five length octets", {0x30, 0x85, 0, 0, 0, 0, 0}, std::nullopt},
      {"high tag number", {0x3F, 0x00}, std::nullopt},
      {"length octets missing", {0x30, 0x82, 0x00}, std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.in);
    std::uint32_t left = in.size;
    std::uint8_t type = 0;
    const std::uint8_t *contents = asn_parse_header(in.data.get(), &left, &type);
    if (!c.header) {
      EXPECT_EQ(contents, nullptr);
      continue;
    }
    EXPECT_EQ(contents, in.data.get() + *c.header);
    EXPECT_EQ(left, in.size - *c.header);
    EXPECT_EQ(type, c.in[0]);
    left = in.size;
    EXPECT_EQ(asn_parse_sequence(in.data.get(), &left, &type, c.in[0]), contents);
    left = in.size;
    EXPECT_EQ(asn_parse_sequence(in.data.get(), &left, &type, c.in[0] ^ 0x01), nullptr);
  }
}

TEST(BerParseLength, FormsAndRefusals) {
  struct {
    Bytes in;
    std::optional<std::uint32_t> length;
    std::size_t used;
  } cases[] = {
      {{0x00, 0, 0, 0, 0}, 0u, 1},
      {{0x7F, 0, 0, 0, 0}, 0x7Fu, 1},
      {{0x81, 0x80, 0, 0, 0}, 0x80u, 2},
      {{0x82, 0x01, 0x00, 0, 0}, 0x100u, 3},
      {{0x84, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFu, 5},
      {{0x80, 0, 0, 0, 0}, std::nullopt, 0},
      {{0x85, 0, 0, 0, 0, 0}, std::nullopt, 0},
      {{0xFF, 0, 0, 0, 0}, std::nullopt, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << int(c.in[0]));
    // Only the announced octets are readable: the rest of the block is cut off.
    Exact in(Bytes(c.in.begin(), c.in.begin() + (c.length ? c.used : 1)));
    std::uint32_t length = 0;
    const std::uint8_t *end = asn_parse_length(in.data.get(), &length);
    if (!c.length) {
      EXPECT_EQ(end, nullptr);
      continue;
    }
    EXPECT_EQ(end, in.data.get() + c.used);
    EXPECT_EQ(length, *c.length);
  }
  std::uint32_t length;
  EXPECT_EQ(asn_parse_length(nullptr, &length), nullptr);
}

TEST(BerParseNull, ZeroLengthOnly) {
  struct {
    Bytes in;
    bool ok;
  } cases[] = {
      {{0x05, 0x00}, true}, {{0x82, 0x00}, true},       {{0x05, 0x01, 0x00}, false},
      {{0x05, 0x80}, false}, {{0x05, 0x81, 0x00}, true}, {{0x05}, false},
  };
  for (const auto &c : cases) {
    Exact in(c.in);
    std::uint32_t left = in.size;
    std::uint8_t type;
    const std::uint8_t *end = asn_parse_null(in.data.get(), &left, &type);
    EXPECT_EQ(end != nullptr, c.ok);
    if (c.ok) expect_consumed(in, end, left, c.in.size());
  }
}

TEST(BerCheckPacket, Framing) {
  struct {
    const char *name;
    Bytes in;
    std::int32_t length;
    std::int32_t expected;
  } cases[] = {
      {"one byte", {0x30}, 1, 0},
      {"no bytes", {}, 0, 0},
      {"not a sequence", {0x04, 0x02, 0, 0}, 4, -1},
      {"short form", {0x30, 0x05}, 2, 7},
      {"long form", {0x30, 0x82, 0x01, 0x00}, 4, 0x104},
      {"long form, octets missing", {0x30, 0x82, 0x01}, 3, 0},
      {"one length octet", {0x30, 0x81, 0x90}, 3, 0x93},
      {"four length octets", {0x30, 0x84, 0x00, 0x01, 0x00, 0x00}, 6, 0x10006},
      {"indefinite", {0x30, 0x80, 0, 0}, 4, -1},
      {"five length octets", {0x30, 0x85, 0, 0, 0, 0, 1}, 7, -1},
      {"length beyond 31 bits", {0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF}, 6, -1},
      {"negative count", {0x30, 0x05}, -1, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Exact in(c.in);
    EXPECT_EQ(asn_check_packet(in.data.get(), c.length), c.expected);
  }
}

// Every parser, handed each prefix of a valid element, must refuse it (nothing can be
// read past the prefix; the exact-size blocks let AddressSanitizer see any attempt).
TEST(BerTruncation, EveryPrefixOfEveryElementIsRefused) {
  const Bytes elements[] = {
      {0x02, 0x04, 0x80, 0x00, 0x00, 0x00},
      {0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF},
      {0x46, 0x09, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
      {0x04, 0x81, 0x03, 'a', 'b', 'c'},
      {0x03, 0x02, 0x00, 0xF0},
      {0x06, 0x06, 0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F},
      {0x05, 0x82, 0x00, 0x00},
  };
  for (const auto &full : elements) {
    for (std::size_t n = 0; n < full.size(); ++n) {
      SCOPED_TRACE(testing::Message() << "tag " << int(full[0]) << " prefix " << n);
      Exact in(Bytes(full.begin(), full.begin() + n));
      std::uint8_t type;
      std::uint32_t left = in.size;
      std::int32_t i32;
      std::uint32_t u32;
      counter64 c64;
      std::uint8_t bytes[16];
      std::uint32_t oid[16];
      std::uint32_t cap;
      EXPECT_EQ(asn_parse_header(in.data.get(), &left, &type), nullptr);
      left = in.size;
      EXPECT_EQ(asn_parse_int(in.data.get(), &left, &type, &i32, 4), nullptr);
      left = in.size;
      EXPECT_EQ(asn_parse_unsigned_int(in.data.get(), &left, &type, &u32, 4), nullptr);
      left = in.size;
      EXPECT_EQ(asn_parse_unsigned_int64(in.data.get(), &left, &type, &c64, 8), nullptr);
      left = in.size, cap = sizeof bytes;
      EXPECT_EQ(asn_parse_string(in.data.get(), &left, &type, bytes, &cap), nullptr);
      left = in.size, cap = sizeof bytes;
      EXPECT_EQ(asn_parse_bitstring(in.data.get(), &left, &type, bytes, &cap), nullptr);
      left = in.size, cap = 16;
      EXPECT_EQ(asn_parse_objid(in.data.get(), &left, &type, oid, &cap), nullptr);
      left = in.size;
      EXPECT_EQ(asn_parse_null(in.data.get(), &left, &type), nullptr);
    }
  }
}

// Whatever the bytes claim, `*datalength` bounds the element: a complete element in a
// larger buffer is refused when the count given is one byte short.
TEST(BerTruncation, CountBoundsTheElementEvenWhenMoreBytesFollow) {
  const Bytes full = {0x04, 0x03, 'a', 'b', 'c', 0x00, 0x00};
  std::uint8_t out[8];
  std::uint8_t type;
  std::uint32_t left = 4, cap = sizeof out;
  EXPECT_EQ(asn_parse_string(full.data(), &left, &type, out, &cap), nullptr);
  left = 5, cap = sizeof out;
  EXPECT_NE(asn_parse_string(full.data(), &left, &type, out, &cap), nullptr);
  EXPECT_EQ(left, 0u);
}

// What the builders write, the parsers read back, across the value ranges.
TEST(BerRoundTrip, IntegersAndIdentifiers) {
  const std::int64_t samples[] = {0, 1, -1, 127, 128, -128, -129, 255, 256, 65535, 65536,
                                  0x7FFFFF, 0x800000, INT32_MAX, INT32_MIN, 0xFFFFFFFFLL, 0x80000000LL};
  for (std::int64_t s : samples) {
    SCOPED_TRACE(s);
    std::uint8_t buf[16];
    std::uint32_t room = sizeof buf, left;
    std::uint8_t type;
    const auto i = static_cast<std::int32_t>(static_cast<std::uint32_t>(s));
    const auto u = static_cast<std::uint32_t>(s);
    std::uint8_t *end = asn_build_int(buf, &room, 0x02, &i, 4);
    ASSERT_NE(end, nullptr);
    left = static_cast<std::uint32_t>(end - buf);
    std::int32_t i_back;
    ASSERT_NE(asn_parse_int(buf, &left, &type, &i_back, 4), nullptr);
    EXPECT_EQ(i_back, i);
    room = sizeof buf;
    end = asn_build_unsigned_int(buf, &room, 0x42, &u, 4);
    left = static_cast<std::uint32_t>(end - buf);
    std::uint32_t u_back;
    ASSERT_NE(asn_parse_unsigned_int(buf, &left, &type, &u_back, 4), nullptr);
    EXPECT_EQ(u_back, u);
    const counter64 c{u, ~u};
    room = sizeof buf;
    end = asn_build_unsigned_int64(buf, &room, 0x46, &c, 8);
    left = static_cast<std::uint32_t>(end - buf);
    counter64 c_back;
    ASSERT_NE(asn_parse_unsigned_int64(buf, &left, &type, &c_back, 8), nullptr);
    EXPECT_EQ(c_back.high, c.high);
    EXPECT_EQ(c_back.low, c.low);
  }
  std::vector<std::uint32_t> oid(128);
  for (std::uint32_t i = 0; i < 128; ++i) oid[i] = i < 2 ? (i == 0 ? 1 : 3) : (0xFFFFFFFFu >> (i % 32));
  std::uint8_t buf[1024];
  std::uint32_t room = sizeof buf;
  std::uint8_t *end = asn_build_objid(buf, &room, 0x06, oid.data(), 128);
  ASSERT_NE(end, nullptr);
  std::uint32_t left = static_cast<std::uint32_t>(end - buf), count = 128;
  std::uint8_t type;
  std::vector<std::uint32_t> back(128);
  ASSERT_NE(asn_parse_objid(buf, &left, &type, back.data(), &count), nullptr);
  EXPECT_EQ(count, 128u);
  EXPECT_EQ(back, oid);
}

}  // namespace
