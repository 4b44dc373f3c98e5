// The IPP message codec: every value type, the damaged and hostile messages a printer
// (or anyone on the path) can send, and the exact bytes of the request we send.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "ipp/message.h"
#include "support/ipp_craft.h"

namespace kivo8::ipp {
namespace {

namespace c = kivo8::test::ipp;
using c::Bytes;

// An exact-size heap copy, so AddressSanitizer sees any read past the end.
Decode decode_exact(const Bytes &bytes, Message &m) {
  std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[bytes.empty() ? 1 : bytes.size()]);
  if (!bytes.empty()) std::memcpy(copy.get(), bytes.data(), bytes.size());
  return decode(std::span<const std::uint8_t>(copy.get(), bytes.size()), m);
}

TEST(IppDecode, EveryValueTypeOfAResponseIsRead) {
  Message m;
  ASSERT_EQ(decode_exact(c::small_response(), m), Decode::Ok);
  EXPECT_EQ(m.request_id, 7u);
  EXPECT_EQ(m.code, 0);
  EXPECT_EQ(m.find("attributes-charset")->group, kTagOperationGroup);
  EXPECT_EQ(m.find("printer-make-and-model")->first()->text, "Kivo Lab 9");
  EXPECT_EQ(m.find("printer-make-and-model")->group, kTagPrinterGroup);
  EXPECT_EQ(m.find("printer-state")->first()->integer, 3);
  const Attribute *formats = m.find("document-format-supported");
  ASSERT_EQ(formats->values.size(), 2u);
  EXPECT_EQ(formats->values[1].text, "image/pwg-raster");
  EXPECT_EQ(m.find("color-supported")->first()->integer, 1);
  const Bytes odd_boolean = c::cat({c::header(), {0x04}, c::item(0x22, "b", Bytes{0xE4}), {0x03}});
  Message odd;
  ASSERT_EQ(decode_exact(odd_boolean, odd), Decode::Ok);
  EXPECT_EQ(odd.find("b")->first()->integer, 1);
  EXPECT_EQ(m.find("copies-supported")->first()->integer, 1);
  EXPECT_EQ(m.find("copies-supported")->first()->upper, 99);
  const Value *res = m.find("printer-resolution-default")->first();
  EXPECT_EQ(res->xres, 300);
  EXPECT_EQ(res->yres, 600);
  EXPECT_EQ(res->units, 3);
  EXPECT_EQ(m.find("printer-info")->first()->language, "de");
  EXPECT_EQ(m.find("printer-info")->first()->text, "Büro");
  EXPECT_EQ(m.find("printer-current-time")->first()->date[0], 0x07);
  EXPECT_EQ(m.find("printer-alert")->first()->kind(), Kind::OutOfBand);
  const Value *col = m.find("media-col-default")->first();
  ASSERT_EQ(col->members.size(), 2u);
  EXPECT_EQ(col->members[0].name, "media-size");
  const Value &size = col->members[0].values.at(0);
  ASSERT_EQ(size.members.size(), 2u);
  EXPECT_EQ(size.members[1].name, "y-dimension");
  EXPECT_EQ(size.members[1].values.at(0).integer, 29700);
  EXPECT_EQ(col->members[1].values.at(0).text, "stationery");
  EXPECT_EQ(m.data_offset, c::small_response().size());
}

TEST(IppDecode, EncodedMessageDecodesToTheSameBytes) {
  Message m;
  ASSERT_EQ(decode_exact(c::small_response(), m), Decode::Ok);
  std::vector<std::uint8_t> again;
  ASSERT_TRUE(encode(m, again));
  EXPECT_EQ(again, c::small_response());
}

TEST(IppDecode, DamagedMessagesAreRefusedWithTheirReason) {
  const Bytes h = c::header();
  const struct {
    const char *name;
    Bytes bytes;
    Decode want;
  } cases[] = {
      {"header cut short", {2, 0, 0, 0, 0}, Decode::Truncated},
      {"no end tag", c::cat({h, {0x04}, c::int_item(0x21, "a", 1)}), Decode::NoEnd},
      {"reserved delimiter 0x00", c::cat({h, {0x00, 0x03}}), Decode::BadDelimiter},
      {"operation group after the printer group", c::cat({h, {0x04, 0x01, 0x03}}), Decode::BadGroupOrder},
      {"two operation groups", c::cat({h, {0x01}, c::int_item(0x21, "a", 1), {0x01, 0x03}}),
       Decode::BadGroupOrder},
      {"value before any group", c::cat({h, c::int_item(0x21, "a", 1), {0x03}}),
       Decode::ValueOutsideGroup},
      {"additional value first", c::cat({h, {0x04}, c::int_item(0x21, "", 1), {0x03}}),
       Decode::NoPriorAttribute},
      {"additional value after a new group",
       c::cat({h, {0x01}, c::int_item(0x21, "a", 1), {0x04}, c::int_item(0x21, "", 1), {0x03}}),
       Decode::NoPriorAttribute},
      {"additional value after a repeated group",
       c::cat({h, {0x04}, c::int_item(0x21, "a", 1), {0x04}, c::int_item(0x21, "", 1), {0x03}}),
       Decode::NoPriorAttribute},
      {"name length past the end", c::cat({h, {0x04, 0x21, 0xFF, 0xFF, 'a'}}), Decode::Truncated},
      {"value length past the end", c::cat({h, {0x04, 0x21, 0, 1, 'a', 0x7F, 0xFF, 0, 0}}),
       Decode::Truncated},
      {"integer of 3 octets", c::cat({h, {0x04}, c::item(0x21, "a", Bytes{0, 0, 1}), {0x03}}),
       Decode::BadValueLength},
      {"enum of 5 octets", c::cat({h, {0x04}, c::item(0x23, "a", Bytes{0, 0, 0, 0, 1}), {0x03}}),
       Decode::BadValueLength},
      {"boolean of 2 octets", c::cat({h, {0x04}, c::item(0x22, "a", Bytes{0, 1}), {0x03}}),
       Decode::BadValueLength},
      {"dateTime of 10 octets", c::cat({h, {0x04}, c::item(0x31, "a", Bytes(10, 0)), {0x03}}),
       Decode::BadValueLength},
      {"resolution of 8 octets", c::cat({h, {0x04}, c::item(0x32, "a", Bytes(8, 0)), {0x03}}),
       Decode::BadValueLength},
      {"range of 9 octets", c::cat({h, {0x04}, c::item(0x33, "a", Bytes(9, 0)), {0x03}}),
       Decode::BadValueLength},
      {"language length past its value",
       c::cat({h, {0x04}, c::item(0x35, "a", c::cat({c::be16(9), c::str("en")})), {0x03}}),
       Decode::BadValueLength},
      {"text length past its value",
       c::cat({h, {0x04}, c::item(0x35, "a", c::cat({c::be16(2), c::str("en"), c::be16(5), c::str("ab")})), {0x03}}),
       Decode::BadValueLength},
      {"bytes after the text of a textWithLanguage",
       c::cat({h, {0x04}, c::item(0x36, "a", c::cat({c::be16(0), c::be16(1), c::str("ab")})), {0x03}}),
       Decode::TrailingBytes},
      {"extension value shorter than its type code",
       c::cat({h, {0x04}, c::item(0x7F, "a", Bytes{0, 0, 1}), {0x03}}), Decode::BadExtension},
      {"collection never closed", c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::item(0x4A, "", "m"),
                                           c::int_item(0x21, "", 1), {0x03}}),
       Decode::EndInCollection},
      {"collection cut short", c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::item(0x4A, "", "m")}),
       Decode::Truncated},
      {"member value without a member name",
       c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::int_item(0x21, "", 1), c::item(0x37, "", Bytes{}), {0x03}}),
       Decode::BadCollection},
      {"member name without a value",
       c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::item(0x4A, "", "m"), c::item(0x37, "", Bytes{}), {0x03}}),
       Decode::EmptyMember},
      {"begCollection with a value",
       c::cat({h, {0x04}, c::item(0x34, "c", "xx"), c::item(0x37, "", Bytes{}), {0x03}}), Decode::BadValueLength},
      {"empty member name",
       c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::item(0x4A, "", ""), c::int_item(0x21, "", 1),
               c::item(0x37, "", Bytes{}), {0x03}}),
       Decode::BadCollection},
      {"named value inside a collection",
       c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::item(0x4A, "", "m"), c::int_item(0x21, "x", 1),
               c::item(0x37, "", Bytes{}), {0x03}}),
       Decode::BadCollection},
      {"end-of-attributes inside a collection",
       c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::item(0x4A, "", "m"), c::int_item(0x21, "", 1), {0x03, 0x03}}),
       Decode::EndInCollection},
      {"group delimiter inside a collection",
       c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::item(0x4A, "", "m"), c::int_item(0x21, "", 1), {0x04, 0x03}}),
       Decode::BadCollection},
      {"stray endCollection", c::cat({h, {0x04}, c::item(0x37, "", Bytes{}), {0x03}}), Decode::StrayEnd},
      {"stray memberAttrName", c::cat({h, {0x04}, c::item(0x4A, "a", "m"), {0x03}}), Decode::BadCollection},
      {"endCollection with a value",
       c::cat({h, {0x04}, c::item(0x34, "c", Bytes{}), c::item(0x37, "", "x"), {0x03}}), Decode::BadCollection},
      {"10,001 attributes", c::many_attributes(10001), Decode::TooManyAttributes},
      {"100,000 attributes", c::many_attributes(100000), Decode::TooBig},
      {"collections 17 deep", c::nested_collections(17), Decode::TooDeep},
      {"collections 10,000 deep", c::nested_collections(10000), Decode::TooDeep},
  };
  for (const auto &t : cases) {
    SCOPED_TRACE(t.name);
    Message m;
    m.request_id = 99;
    EXPECT_EQ(decode_exact(t.bytes, m), t.want) << decode_text(decode_exact(t.bytes, m));
    EXPECT_TRUE(m.attributes.empty());
  }
}

TEST(IppDecode, TheCapsThemselvesAreAccepted) {
  Message m;
  ASSERT_EQ(decode_exact(c::many_attributes(10000), m), Decode::Ok);
  EXPECT_EQ(m.attributes.size(), 10000u);
  ASSERT_EQ(decode_exact(c::nested_collections(16), m), Decode::Ok);
  const Value *v = m.find("deep")->first();
  for (int i = 1; i < 16; ++i) v = &v->members.at(0).values.at(0);
  EXPECT_EQ(v->members.at(0).name, "leaf");
}

TEST(IppDecode, TooManyValuesInOneSetAreRefused) {
  Bytes msg = c::cat({c::header(), {0x04}, c::int_item(0x21, "a", 0)});
  const Bytes more = c::int_item(0x21, "", 0);
  for (std::size_t i = 1; i <= kMaxValues; ++i) msg.insert(msg.end(), more.begin(), more.end());
  msg.push_back(0x03);
  Message m;
  EXPECT_EQ(decode_exact(msg, m), Decode::TooManyValues);
}

TEST(IppDecode, OutOfBandAndUnknownValuesKeepTheirTagAndBytes) {
  const Bytes msg = c::cat({c::header(), {0x04},
                            c::item(0x10, "a", Bytes{}),
                            c::item(0x12, "b", "ignored"),
                            c::item(0x7F, "c", Bytes{0x40, 0, 0, 1, 'x', 'y'}),
                            c::item(0x4B, "d", "raw"), {0x03}, c::str("document")});
  Message m;
  ASSERT_EQ(decode_exact(msg, m), Decode::Ok);
  EXPECT_EQ(m.find("a")->first()->tag, kTagUnsupported);
  EXPECT_EQ(m.find("b")->first()->kind(), Kind::OutOfBand);
  EXPECT_EQ(m.find("b")->first()->text, "ignored");
  EXPECT_EQ(m.find("c")->first()->extension, 0x40000001u);
  EXPECT_EQ(m.find("c")->first()->text, "xy");
  EXPECT_EQ(m.find("d")->first()->kind(), Kind::Opaque);
  EXPECT_EQ(m.find("d")->first()->text, "raw");
  EXPECT_EQ(msg.size() - m.data_offset, 8u);
}

TEST(IppDecode, EveryPrefixOfAValidMessageIsRefusedCleanly) {
  const Bytes full = c::small_response();
  for (std::size_t n = 0; n < full.size(); ++n) {
    SCOPED_TRACE(n);
    Message m;
    const Bytes prefix(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_NE(decode_exact(prefix, m), Decode::Ok);
  }
}

TEST(IppEncode, GetPrinterAttributesRequestHasItsExactBytes) {
  const std::string_view wanted[] = {"printer-name", "printer-state"};
  Message m = get_printer_attributes_request(0x01020304, "ipp://h/ipp/print", "kivo", wanted);
  std::vector<std::uint8_t> bytes;
  ASSERT_TRUE(encode(m, bytes));
  const Bytes want = c::cat({{2, 0, 0x00, 0x0B, 1, 2, 3, 4, 0x01},
                             c::item(0x47, "attributes-charset", "utf-8"),
                             c::item(0x48, "attributes-natural-language", "en"),
                             c::item(0x45, "printer-uri", "ipp://h/ipp/print"),
                             c::item(0x42, "requesting-user-name", "kivo"),
                             c::item(0x44, "requested-attributes", "printer-name"),
                             c::item(0x44, "", "printer-state"), {0x03}});
  EXPECT_EQ(bytes, want);
}

TEST(IppEncode, ValuesTheWireCannotHoldAreRefused) {
  Message m = get_printer_attributes_request(1, std::string(70000, 'u'), "", {});
  std::vector<std::uint8_t> bytes{9};
  EXPECT_FALSE(encode(m, bytes));
  EXPECT_EQ(bytes, std::vector<std::uint8_t>{9});
  m = get_printer_attributes_request(1, "ipp://h/", "", {});
  m.attributes[0].values.clear();
  EXPECT_FALSE(encode(m, bytes));
}

}  // namespace
}  // namespace kivo8::ipp
