#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "core/alloc.h"
#include "core/bytes.h"

namespace {

using kivo8::ByteReader;
using kivo8::ByteWriter;

TEST(ByteReader, StaysFailedAfterTheFirstOverrun) {
  const std::uint8_t data[] = {0x01, 0x02, 0x03};
  ByteReader r(data, sizeof data);
  EXPECT_EQ(r.be16(), 0x0102);
  EXPECT_FALSE(r.be16().has_value());
  EXPECT_TRUE(r.failed());
  // The one byte that was left is no longer readable either.
  EXPECT_FALSE(r.u8().has_value());
  EXPECT_EQ(r.left(), 0u);
}

TEST(ByteReader, ChildCannotReadPastItsParent) {
  const std::uint8_t data[] = {0xAA, 0xBB, 0xCC, 0xDD};
  ByteReader r(data, sizeof data);
  auto child = r.child(2);
  ASSERT_TRUE(child);
  EXPECT_EQ(child->be16(), 0xAABB);
  EXPECT_FALSE(child->u8());
  EXPECT_EQ(r.be16(), 0xCCDD);
  EXPECT_FALSE(r.child(1));
}

TEST(ByteReader, HugeLengthsFailWithoutWrapping) {
  const std::uint8_t data[] = {0x00};
  ByteReader r(data, sizeof data);
  EXPECT_FALSE(r.take(SIZE_MAX));
  ByteReader empty(nullptr, 0);
  EXPECT_FALSE(empty.u8());
}

TEST(ByteWriter, NeverWritesPastItsSliceAndStaysFailed) {
  std::array<std::uint8_t, 16> buf;
  buf.fill(0xEE);
  ByteWriter w(buf.data() + 4, 8);
  EXPECT_TRUE(w.be32(0x01020304));
  EXPECT_TRUE(w.be24(0x050607));
  EXPECT_FALSE(w.be16(0x0809));
  EXPECT_TRUE(w.failed());
  EXPECT_FALSE(w.u8(0));
  for (int i : {0, 1, 2, 3, 11, 12, 13, 14, 15}) EXPECT_EQ(buf[i], 0xEE) << i;
  EXPECT_EQ(buf[4], 0x01);
  EXPECT_EQ(buf[10], 0x07);
}

TEST(ByteWriter, ReservedHeaderIsFilledAfterwards) {
  std::uint8_t buf[8] = {};
  ByteWriter w(buf, sizeof buf);
  auto header = w.reserve(2);
  ASSERT_TRUE(header);
  w.le32(0x11223344);
  (*header)[0] = 0x30;
  (*header)[1] = std::uint8_t(w.pos() - 2);
  EXPECT_EQ(std::vector<std::uint8_t>(buf, buf + w.pos()),
            (std::vector<std::uint8_t>{0x30, 0x04, 0x44, 0x33, 0x22, 0x11}));
}

TEST(AllocHook, FailsTheNthAndOptionallyEveryLaterAllocation) {
  using namespace kivo8;
  alloc_testing::fail_nth(2);
  void *a = mem_alloc(4), *b = mem_alloc(4), *c = mem_alloc(4);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_TRUE(alloc_testing::injected());
  mem_free(a);
  mem_free(c);
  alloc_testing::fail_nth(1, true);
  EXPECT_EQ(mem_strdup("x"), nullptr);
  EXPECT_EQ(mem_calloc(1, 1), nullptr);
  alloc_testing::reset();
  char *s = mem_strdup("ok");
  EXPECT_STREQ(s, "ok");
  mem_free(s);
}

}  // namespace
