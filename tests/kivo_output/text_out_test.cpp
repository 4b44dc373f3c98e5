// kivo's text module on its own: bytes from outside to UTF-8, terminal-safe
// text, widths and cutting, in a UTF-8 terminal (the C locale counts as one).
#include "text_out.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class TextOut : public ::testing::Test {
 protected:
  void SetUp() override {
    unsetenv("LC_ALL");
    unsetenv("LC_CTYPE");
    setenv("LANG", "C", 1);
    kivo::terminal_setup();
    ASSERT_TRUE(kivo::terminal_is_utf8());
  }
};

TEST_F(TextOut, ValidUtf8IsKeptEveryOtherByteIsLatin1) {
  struct {
    const char *name;
    std::string in;
    std::string out;
  } cases[] = {
      {"ASCII", "Jet 100", "Jet 100"},
      {"two-byte UTF-8", "B\xc3\xbcro", "B\xc3\xbcro"},
      {"four-byte UTF-8", "\xf0\x9f\x96\xa8", "\xf0\x9f\x96\xa8"},
      {"Latin-1 byte", "B\xfcro", "B\xc3\xbcro"},
      {"lone 0xDA at the end", "x\xda", "x\xc3\x9a"},
      {"lead byte before ASCII", "\xda" "A", "\xc3\x9a" "A"},
      {"overlong slash", "\xc0\xaf", "\xc3\x80\xc2\xaf"},
      {"surrogate", "\xed\xa0\x80", "\xc3\xad\xc2\xa0\xc2\x80"},
      {"above U+10FFFF", "\xf4\x90\x80\x80", "\xc3\xb4\xc2\x90\xc2\x80\xc2\x80"},
      {"truncated three-byte", "\xe2\x82", "\xc3\xa2\xc2\x82"},
      {"NUL kept", std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kivo::to_utf8(c.in), c.out);
    EXPECT_EQ(kivo::to_utf8(kivo::to_utf8(c.in)), c.out) << "a second pass changes nothing";
  }
}

TEST_F(TextOut, SafeTextShowsControlsAsEscapes) {
  EXPECT_EQ(kivo::safe_text("\x1b[2J\x1b]0;owned\x07" "Evil\r\n10.95.0.99"),
            "\\x1b[2J\\x1b]0;owned\\x07Evil\\r\\n10.95.0.99");
  EXPECT_EQ(kivo::safe_text("a\tb\x7f\xc2\x9b"), "a\\tb\\x7f\\u009b");
  EXPECT_EQ(kivo::safe_text("\x9b" "31m"), "\\u009b31m") << "a raw C1 byte is Latin-1 C1";
  EXPECT_EQ(kivo::safe_text("B\xfcro"), "B\xc3\xbcro");
}

TEST_F(TextOut, WidthsCountColumnsAndCutsEndInAnEllipsis) {
  EXPECT_EQ(kivo::columns_of("B\xc3\xbcro"), 4u);
  EXPECT_EQ(kivo::columns_of("\xe6\x97\xa5\xe6\x9c\xac"), 4u) << "two wide characters";
  EXPECT_EQ(kivo::columns_of("e\xcc\x81"), 1u) << "a combining accent takes no column";
  EXPECT_EQ(kivo::cut_to("abcdefgh", 8), "abcdefgh");
  EXPECT_EQ(kivo::cut_to("abcdefghi", 8), "abcdefg\xe2\x80\xa6");
  // A wide character that would stand half outside is left out whole.
  EXPECT_EQ(kivo::cut_to("abcdef\xe6\x97\xa5\xe6\x9c\xac", 8), "abcdef\xe2\x80\xa6");
  EXPECT_EQ(kivo::columns_of(kivo::cut_to(std::string(300, 'x'), 50)), 50u);
}

}  // namespace
