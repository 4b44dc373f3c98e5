#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "kivo8/common_utils.h"

namespace {

TEST(RemoveTailnl, CutsAtTheFirstLineEnd) {
  struct {
    const char *in, *out;
  } cases[] = {{"abc\n", "abc"}, {"abc\r\n", "abc"}, {"abc", "abc"},   {"", ""},
               {"\n", ""},       {"a\rb\n", "a"},    {"a\nb", "a"},     {"\r\r\n\n", ""}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.in);
    char buf[16];
    std::strcpy(buf, c.in);
    remove_tailnl(buf);
    EXPECT_STREQ(buf, c.out);
  }
  remove_tailnl(nullptr);
}

TEST(NextToken, SplitsFieldsWithEscapesAndStopsWhenTheBufferIsFull) {
  struct {
    const char *name, *src;
    uint32_t size;
    const char *field;
    std::size_t advance;  // characters of src consumed
  } cases[] = {
      {"escaped comma", "a\\,b,c", 10, "a,b", 5},
      {"escaped backslash", "a\\\\b,c", 10, "a\\b", 5},
      {"last field", "abc", 10, "abc", 3},
      {"empty field", ",x", 10, "", 1},
      {"empty source", "", 10, "", 0},
      {"backslash at the end", "ab\\", 10, "ab", 3},
      {"any escaped character is literal", "\\x\\!", 10, "x!", 4},
      {"size 1 copies nothing", "abc,d", 1, "", 0},
      {"full buffer stops inside the field", "abcdef,g", 4, "abc", 3},
      {"full buffer stops before the comma", "abc,d", 4, "abc", 3},
      {"escape counts one place", "\\,\\,\\,x", 3, ",,", 4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    char buf[32];
    std::memset(buf, 'Z', sizeof buf);
    const char *rest = next_token(c.src, buf + 8, c.size);
    EXPECT_STREQ(buf + 8, c.field);
    EXPECT_EQ(std::size_t(rest - c.src), c.advance);
    // Guard bytes around the window given as the buffer.
    for (int i = 0; i < 8; ++i) EXPECT_EQ(buf[i], 'Z');
    for (std::size_t i = 8 + c.size; i < sizeof buf; ++i) EXPECT_EQ(buf[i], 'Z') << i;
  }
}

TEST(NextToken, WalksAWholeLine) {
  const char *p = "1,a\\,b,,c\\\\";
  const char *expected[] = {"1", "a,b", "", "c\\"};
  char buf[16];
  for (const char *e : expected) {
    ASSERT_NE(*p, '\0');
    p = next_token(p, buf, sizeof buf);
    EXPECT_STREQ(buf, e);
  }
  EXPECT_EQ(*p, '\0');
  char untouched = 'U';
  EXPECT_EQ(next_token(p, &untouched, 0), p);
  EXPECT_EQ(untouched, 'U');
  EXPECT_EQ(next_token(nullptr, buf, 4), nullptr);
}

TEST(NameCopyWithEncode, EscapesAndRefusesHalfAnEscape) {
  struct {
    const char *name, *src;
    int32_t size;
    const char *out;
    int32_t result;
  } cases[] = {
      {"comma escaped", "a,b", 10, "a\\,b", 4},
      {"escape would take the last place", "a,b", 3, "", -1},
      {"escape fits exactly", "a,", 4, "a\\,", 3},
      {"backslash escaped", "a\\b", 10, "a\\\\b", 4},
      {"plain characters truncated", "abcdef", 4, "abc", 3},
      {"escape after the buffer is full is dropped", "abc,", 4, "abc", 3},
      {"empty source", "", 10, "", 0},
      {"size 1", "abc", 1, "", 0},
      {"size 0", "abc", 0, nullptr, -1},
      {"negative size", "abc", -3, nullptr, -1},
      {"only escapes", ",,\\", 7, "\\,\\,\\\\", 6},
      {"only escapes, one place short", ",,\\", 6, "", -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    char buf[32];
    std::memset(buf, 'Z', sizeof buf);
    EXPECT_EQ(name_copy_with_encode(buf + 8, c.src, c.size), c.result);
    if (c.out != nullptr)
      EXPECT_STREQ(buf + 8, c.out);
    else
      EXPECT_EQ(buf[8], 'Z');  // a size below 1 writes nothing
    for (int i = 0; i < 8; ++i) EXPECT_EQ(buf[i], 'Z');
    for (std::size_t i = 8 + std::size_t(std::max(c.size, 0)); i < sizeof buf; ++i)
      EXPECT_EQ(buf[i], 'Z') << i;
  }
  char buf[4];
  EXPECT_EQ(name_copy_with_encode(nullptr, "a", 4), -1);
  EXPECT_EQ(name_copy_with_encode(buf, nullptr, 4), -1);
}

TEST(NameCopyWithEncode, NextTokenReadsBackWhatItWrote) {
  const char *names[] = {"plain", "a,b", "back\\slash", ",\\,", "\\", "end,"};
  for (const char *name : names) {
    SCOPED_TRACE(name);
    char encoded[64], decoded[64];
    ASSERT_GE(name_copy_with_encode(encoded, name, sizeof encoded), 0);
    std::string line = std::string(encoded) + ",next";
    const char *rest = next_token(line.c_str(), decoded, sizeof decoded);
    EXPECT_STREQ(decoded, name);
    EXPECT_STREQ(rest, "next");
  }
}

}  // namespace
