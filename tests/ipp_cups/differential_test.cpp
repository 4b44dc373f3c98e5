// Our IPP decoder and libcups's ippReadIO read the same bytes: they accept and refuse the
// same messages and read the same values, but where we refuse on purpose.
#include <gtest/gtest.h>

#include "support/ipp_craft.h"
#include "support/ipp_cups.h"

namespace kivo8::test::ipp {
namespace {

TEST(IppAgainstLibcups, ValidMessagesAreReadAlike) {
  const std::string_view wanted[] = {"printer-name", "printer-state", "marker-levels"};
  std::vector<std::uint8_t> request;
  ASSERT_TRUE(kivo8::ipp::encode(
      kivo8::ipp::get_printer_attributes_request(5, "ipp://h:631/ipp", "kivo", wanted), request));
  const struct {
    const char *name;
    Bytes bytes;
  } cases[] = {
      {"a response with every value type", small_response()},
      {"our Get-Printer-Attributes request", request},
      {"a thousand attributes", many_attributes(1000)},
      {"collections 10 deep", nested_collections(10)},
      {"two job groups", cat({header(), {0x02}, int_item(0x21, "job-id", 1), {0x02},
                               int_item(0x21, "job-id", 2), {0x03}})},
      {"empty text and empty name", cat({header(), {0x04}, item(0x41, "t", ""), {0x03}})},
      // libcups reads the bytes of a known out-of-band type as text: names compared only.
      {"unassigned out-of-band tag with bytes", cat({header(), {0x04}, item(0x1E, "a", "x"), {0x03}})},
      {"known out-of-band tag with bytes", cat({header(), {0x04}, item(0x12, "a", "x"), {0x03}})},
      // Bytes that, unescaped, would read as a second attribute line in the dumps.
      {"out-of-band bytes with a newline and a group mark",
       cat({header(), {0x04}, item(0x12, "a", "x\nfake g4: t65=y"), {0x03}})},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    kivo8::ipp::Message m;
    ASSERT_EQ(kivo8::ipp::decode(c.bytes, m), kivo8::ipp::Decode::Ok);
    const CupsVerdict theirs = cups_read(c.bytes);
    ASSERT_TRUE(theirs.ok);
    EXPECT_EQ(disagreement(c.bytes), "");
  }
}

TEST(IppAgainstLibcups, DamagedMessagesAreRefusedByBoth) {
  const Bytes h = header();
  const struct {
    const char *name;
    Bytes bytes;
  } cases[] = {
      {"header cut short", {2, 0, 0, 0, 0}},
      {"value length past the end", cat({h, {0x04, 0x21, 0, 1, 'a', 0x7F, 0xFF, 0, 0}})},
      {"name length past the end", cat({h, {0x04, 0x21, 0xFF, 0xFF, 'a'}})},
      {"integer of 3 octets", cat({h, {0x04}, item(0x21, "a", Bytes{0, 0, 1}), {0x03}})},
      {"range of 9 octets", cat({h, {0x04}, item(0x33, "a", Bytes(9, 0)), {0x03}})},
      {"resolution of 8 octets", cat({h, {0x04}, item(0x32, "a", Bytes(8, 0)), {0x03}})},
      {"dateTime of 10 octets", cat({h, {0x04}, item(0x31, "a", Bytes(10, 0)), {0x03}})},
      {"collection cut short", cat({h, {0x04}, item(0x34, "c", Bytes{}), item(0x4A, "", "m")})},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(disagreement(c.bytes), "");
  }
}

// Where we refuse on purpose and libcups reads on, the comparison knows it: each named
// case must be one the comparison accepts, and our verdict must be the one stated.
TEST(IppAgainstLibcups, DeparturesAreTheNamedOnes) {
  const Bytes h = header();
  using kivo8::ipp::Decode;
  const struct {
    const char *name;
    Bytes bytes;
    Decode ours;
  } cases[] = {
      {"bytes after the text of a textWithLanguage",
       cat({h, {0x04}, item(0x35, "a", cat({be16(0), be16(1), str("abcd")})), {0x03}}), Decode::TrailingBytes},
      {"extension value without its type code", cat({h, {0x04}, item(0x7F, "a", Bytes{1}), {0x03}}),
       Decode::BadExtension},
      {"endCollection outside a collection",
       cat({h, {0x04}, int_item(0x21, "a", 1), item(0x37, "", Bytes{}), int_item(0x21, "b", 1), {0x03}}),
       Decode::StrayEnd},
      {"attribute before any group", cat({h, int_item(0x21, "a", 1), {0x03}}), Decode::ValueOutsideGroup},
      {"collection member without a value",
       cat({h, {0x04}, item(0x34, "c", Bytes{}), item(0x4A, "", "m"), item(0x37, "", Bytes{}), {0x03}}),
       Decode::EmptyMember},
      {"end-of-attributes tag inside a collection",
       cat({h, {0x04}, item(0x34, "c", Bytes{}), item(0x4A, "", "m"), int_item(0x21, "", 1), {0x03, 0x03}}),
       Decode::EndInCollection},
      {"collections 17 deep", nested_collections(17), Decode::TooDeep},
      {"10,001 attributes", many_attributes(10001), Decode::TooManyAttributes},
      {"a text of 65,535 octets", cat({h, {0x04}, item(0x41, "a", std::string(65535, 'x')), {0x03}}),
       Decode::Ok},
      {"integer and keyword in one set", cat({h, {0x04}, int_item(0x21, "a", 1), item(0x44, "", "k"), {0x03}}),
       Decode::Ok},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    kivo8::ipp::Message m;
    EXPECT_EQ(kivo8::ipp::decode(c.bytes, m), c.ours);
    EXPECT_NE(cups_read(c.bytes).ok, c.ours == Decode::Ok);
    EXPECT_EQ(disagreement(c.bytes), "");
  }
}

TEST(IppAgainstLibcups, EveryPrefixOfAResponseGetsTheSameVerdict) {
  const Bytes full = small_response();
  for (std::size_t n = 0; n <= full.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(disagreement(std::span(full.data(), n)), "");
  }
}

}  // namespace
}  // namespace kivo8::test::ipp
