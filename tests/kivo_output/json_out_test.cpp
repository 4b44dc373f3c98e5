// kivo's JSON writer on its own: whatever bytes a device sends, the document is valid
// UTF-8 JSON that a strict parser reads back, no control character reaches the output
// raw, and the bytes that are not UTF-8 can be had exactly.
#include "json_out.h"

#include <gtest/gtest.h>

#include <string>

#include "text_out.h"

namespace {

TEST(JsonOut, StringsEscapeEveryControl) {
  struct {
    const char *name;
    std::string in;
    std::string out;
  } cases[] = {
      {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line ends and tab", "a\r\nb\tc", "\"a\\r\\nb\\tc\""},
      {"escape sequence", "\x1b[2J\x07", "\"\\u001b[2J\\u0007\""},
      {"DEL", "\x7f", "\"\\u007f\""},
      {"C1 from UTF-8", "\xc2\x85", "\"\\u0085\""},
      {"C1 from a Latin-1 byte", "\x9b", "\"\\u009b\""},
      {"NUL", std::string("\0", 1), "\"\\u0000\""},
      {"not UTF-8", "\xda", "\"\xc3\x9a\""},
      {"U+00A0 is no control", "\xc2\xa0", "\"\xc2\xa0\""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kivo::json_string(c.in), c.out);
  }
}

// The fault this guards against: nlohmann's writer throws type_error 316 on a string that
// is not UTF-8, which would end kivo with a device's bytes in its record.
TEST(JsonOut, TextsThatAreNotUtf8NeitherThrowNorLoseBytes) {
  struct {
    const char *name;
    std::string in;
    const char *hex;  // nullptr: exact as it stands
  } cases[] = {
      {"ASCII", "Jet 100", nullptr},
      {"UTF-8 umlaut", "B\xc3\xbcro", nullptr},
      {"four-byte UTF-8", "\xf0\x9f\x96\xa8", nullptr},
      {"Latin-1 umlaut", "B\xfcro", "42fc726f"},
      {"lone lead byte and an escape", "\xda\x1b[2J", "da1b5b324a"},
      {"overlong slash", "\xc0\xaf", "c0af"},
      {"encoded surrogate", "\xed\xa0\x80", "eda080"},
      {"truncated sequence at the end", "ok\xe2\x82", "6f6be282"},
      {"NUL inside", std::string("a\0b", 3), nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    kivo::Json doc = {{"text", kivo::json_text(c.in)}};
    auto hex = kivo::exact_bytes(c.in);
    if (hex) doc["exact_bytes"] = {{"text", *hex}};
    std::string dumped;
    ASSERT_NO_THROW(dumped = kivo::json_dump(doc));
    // A strict reader (every string must be UTF-8) takes the document back.
    kivo::Json back;
    ASSERT_NO_THROW(back = kivo::Json::parse(dumped)) << dumped;
    EXPECT_EQ(back["text"].get<std::string>(), kivo::to_utf8(c.in));
    if (c.hex == nullptr) {
      EXPECT_FALSE(hex.has_value());
      EXPECT_EQ(back["text"].get<std::string>(), c.in) << "valid UTF-8 passes as it came";
    } else {
      ASSERT_TRUE(hex.has_value());
      EXPECT_EQ(*hex, c.hex);
    }
    for (std::size_t i = 0; i < dumped.size(); ++i) {
      const auto b = static_cast<unsigned char>(dumped[i]);
      EXPECT_FALSE(b < 0x20 || b == 0x7F) << "raw control at " << i << ": " << dumped;
      if (b == 0xC2 && i + 1 < dumped.size()) {
        EXPECT_FALSE(static_cast<unsigned char>(dumped[i + 1]) <= 0x9F) << "raw C1: " << dumped;
      }
    }
  }
}

TEST(JsonOut, ArraysOneItemToALine) {
  std::FILE *f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  kivo::write_json_lines_array(f, {kivo::Json{{"a", 1}, {"b", {true, nullptr}}}, kivo::Json("x")});
  kivo::write_json_lines_array(f, {});
  std::rewind(f);
  char buf[128] = {};
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  EXPECT_EQ(std::string(buf, n), "[\n  {\"a\": 1, \"b\": [true, null]},\n  \"x\"\n]\n[]\n");
}

}  // namespace
