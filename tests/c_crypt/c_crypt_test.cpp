#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "kivo8/c_crypt.h"
#include "support/peers.h"

namespace {

TEST(CryptKey, DerivedFromTheTextBackToFront) {
  struct {
    const char *text;
    uint32_t key;
  } cases[] = {
      {"", 0},
      {"A", 65},
      {"\xff", 0xFFFFFFFFu},  // a byte from 0x80 up counts as negative
      {"\x80", 0xFFFFFF80u},
      {"AB", 66u * 37u + 65u},
      {"abc", (99u * 37u + 98u) * 37u + 97u},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c_makekey(c.text), c.key);
  }
  // Long texts wrap modulo 2^32 rather than overflow.
  std::string long_text(100, 'z');
  uint32_t k = 0;
  for (char ch : long_text) k = k * 37u + uint32_t(ch);
  EXPECT_EQ(c_makekey(long_text.c_str()), k);
  EXPECT_EQ(c_makekey(nullptr), 0u);
}

TEST(CryptRotate, RotatesEightBits) {
  struct {
    uint8_t in;
    int32_t count;
    int32_t out;
  } cases[] = {{0x81, 1, 0x03}, {0x81, 0, int8_t(0x81)}, {0x81, 8, int8_t(0x81)},
               {0x01, 7, int8_t(0x80)}, {0xF0, 4, 0x0F}, {0x12, 3, int8_t(0x90)},
               {0x81, 9, 0x03}};  // out of range: taken modulo 8
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.in) << " by " << c.count);
    EXPECT_EQ(c_rotateleft(int8_t(c.in), c.count), c.out);
  }
}

TEST(CryptBytes, KnownValuesAndKeyZero) {
  const uint32_t key = 0x04030201;
  int32_t counter = 0;
  // Position 0: no rotation, mask = key byte 3 ^ key byte 1.
  EXPECT_EQ(c_encode('A', key, &counter), 0x41 ^ 0x04 ^ 0x02);
  EXPECT_EQ(counter, 1);
  // Position 1: rotate by 1, mask = byte 2 ^ byte 0.
  EXPECT_EQ(c_encode(int8_t(0x81), key, &counter), 0x03 ^ 0x03 ^ 0x01);
  EXPECT_EQ(counter, 2);
  counter = 9;  // rotation 1, pair 2: bytes 1 and 3
  EXPECT_EQ(c_encode(0x40, key, &counter), int8_t(0x80 ^ 0x02 ^ 0x04));

  for (int b = -128; b < 128; ++b) {
    counter = 5;
    EXPECT_EQ(c_encode(int8_t(b), 0, &counter), b);
    EXPECT_EQ(c_decode(int8_t(b), 0, &counter), b);
    EXPECT_EQ(counter, 5);
  }
}

TEST(CryptBytes, DecodeUndoesEncodeAndThePatternRepeatsEvery56Bytes) {
  std::mt19937 rng(7);
  for (int round = 0; round < 50; ++round) {
    const uint32_t key = rng() | 1;
    const int32_t start = int32_t(rng() % 100000);
    std::vector<int8_t> plain(200);
    for (auto &b : plain) b = int8_t(rng());
    int32_t enc = start, dec = start;
    std::vector<int8_t> scrambled;
    for (int8_t b : plain) scrambled.push_back(int8_t(c_encode(b, key, &enc)));
    for (std::size_t i = 0; i < plain.size(); ++i)
      ASSERT_EQ(c_decode(scrambled[i], key, &dec), plain[i]) << "round " << round << " byte " << i;
    EXPECT_EQ(enc, start + 200);
    EXPECT_EQ(dec, start + 200);
    for (int32_t p = 0; p < 56; ++p) {
      int32_t a = start + p, b = start + p + 56;
      EXPECT_EQ(c_encode(0x5a, key, &a), c_encode(0x5a, key, &b));
    }
  }
}

TEST(CryptBytes, OddCountersStayInsideTheTable) {
  // A counter that went negative or past 2^31 - 1 must still pick a valid mask.
  for (int32_t start : {-1, INT32_MIN, INT32_MAX, -7}) {
    int32_t c = start;
    const int32_t e = c_encode(0x33, 0xA5A5A5A5u, &c);
    int32_t d = start;
    EXPECT_EQ(c_decode(int8_t(e), 0xA5A5A5A5u, &d), 0x33);
  }
  EXPECT_EQ(c_decode(c_encode(0x33, 0xA5A5A5A5u, nullptr), 0xA5A5A5A5u, nullptr), 0x33);
}

class ScrambledFile : public ::testing::Test {
 protected:
  // Writes `plain` scrambled with `key` from counter 0, as the files are produced.
  std::string write(const std::string &plain, uint32_t key) {
    std::string path = dir.file("data.enc");
    FILE *f = std::fopen(path.c_str(), "wb");
    int32_t counter = 0;
    for (char ch : plain) std::fputc(c_encode(int8_t(ch), key, &counter) & 0xFF, f);
    std::fclose(f);
    return path;
  }
  // Reads every line with a buffer of `size`; the counter must match the bytes consumed.
  std::vector<std::string> read(const std::string &path, uint32_t key, uint32_t size) {
    std::vector<std::string> lines;
    FILE *f = c_fopen(path.c_str());
    EXPECT_NE(f, nullptr);
    if (f == nullptr) return lines;
    std::vector<char> buf(size + 1, 'Z');
    int32_t counter = 0;
    while (c_fgets(buf.data(), size, f, key, &counter) != nullptr) {
      lines.emplace_back(buf.data());
      EXPECT_EQ(buf[size], 'Z');
      if (key != 0) {
        EXPECT_EQ(long(counter), std::ftell(f));
      }
    }
    EXPECT_EQ(c_fclose(f), 0);
    return lines;
  }
  kivo8::test::TempDir dir;
};

TEST_F(ScrambledFile, LinesComeBackForEveryKeyAndBufferSize) {
  std::string long_line;
  for (int i = 0; i < 150; ++i) long_line += char('a' + i % 26);
  struct {
    const char *name;
    std::string plain;
    uint32_t size;
    std::vector<std::string> lines;
  } cases[] = {
      {"short lines", "one\ntwo\n", 64, {"one", "two"}},
      {"longer than 56 bytes", long_line + "\nend\n", 256, {long_line, "end"}},
      {"line longer than the buffer comes in pieces", "abcdefghij\nk\n", 4,
       {"abc", "def", "ghi", "j", "k"}},
      {"CRLF gives an empty line after each", "a\r\nb\r\n", 64, {"a", "", "b", ""}},
      {"partial last line", "a\nlast", 64, {"a", "last"}},
      {"empty lines", "\n\nx\n", 64, {"", "", "x"}},
      {"a full buffer leaves the line end for the next call", "ab\n", 2, {"a", "b", ""}},
  };
  for (uint32_t key : {0u, c_makekey("printer"), 0xFFFFFFFFu, 1u}) {
    for (const auto &c : cases) {
      SCOPED_TRACE(testing::Message() << c.name << ", key " << key);
      EXPECT_EQ(read(write(c.plain, key), key, c.size), c.lines);
    }
  }
}

TEST_F(ScrambledFile, SmallBuffersAndEndOfFile) {
  const std::string path = write("xyz\n", 42);
  FILE *f = c_fopen(path.c_str());
  ASSERT_NE(f, nullptr);
  int32_t counter = 0;
  char buf[8] = "ZZZZZZZ";
  EXPECT_EQ(c_fgets(buf, 0, f, 42, &counter), buf);
  EXPECT_STREQ(buf, "ZZZZZZZ");
  EXPECT_EQ(c_fgets(buf, 1, f, 42, &counter), buf);
  EXPECT_STREQ(buf, "");
  EXPECT_EQ(counter, 0);
  EXPECT_EQ(std::ftell(f), 0);
  EXPECT_EQ(c_fgets(buf, sizeof buf, f, 42, &counter), buf);
  EXPECT_STREQ(buf, "xyz");
  EXPECT_EQ(c_fgets(buf, sizeof buf, f, 42, &counter), nullptr);
  EXPECT_EQ(c_fgets(buf, sizeof buf, nullptr, 42, &counter), nullptr);
  EXPECT_EQ(c_fclose(f), 0);
  EXPECT_EQ(c_fopen(dir.file("missing").c_str()), nullptr);
  EXPECT_EQ(c_fclose(nullptr), EOF);
}

TEST_F(ScrambledFile, AByteThatUnscramblesToZeroEndsTheStringButCounts) {
  const std::string path = write(std::string("ab\0cd\nz\n", 8), 99);
  FILE *f = c_fopen(path.c_str());
  ASSERT_NE(f, nullptr);
  int32_t counter = 0;
  char buf[16];
  ASSERT_NE(c_fgets(buf, sizeof buf, f, 99, &counter), nullptr);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(counter, 6);
  ASSERT_NE(c_fgets(buf, sizeof buf, f, 99, &counter), nullptr);
  EXPECT_STREQ(buf, "z");
  c_fclose(f);
}

}  // namespace
