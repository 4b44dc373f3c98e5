// The neighbour table reader on its own: complete entries only, anything else skipped.
#include "neighbours.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Neighbours, CompleteEntriesOnlyWhateverTheLinesHold) {
  const std::string head = "IP address       HW type     Flags       HW address            Mask     Device\n";
  struct {
    const char *name;
    std::string line;
    const char *mac;  // nullptr: not taken
  } cases[] = {
      {"complete", "10.81.0.2        0x1         0x2         0E:65:24:06:e2:48     *        br0\n", "0e:65:24:06:e2:48"},
      {"incomplete (no answer to ARP)", "10.81.0.9        0x1         0x0         00:00:00:00:00:00     *        br0\n", nullptr},
      {"permanent and complete", "10.81.0.3        0x1         0x6         5a:f2:43:7f:ff:39     *        br0\n", "5a:f2:43:7f:ff:39"},
      {"address too short", "10.81.0          0x1         0x2         5a:f2:43:7f:ff:39     *        br0\n", nullptr},
      {"hardware address cut", "10.81.0.4        0x1         0x2         5a:f2:43:7f:ff        *        br0\n", nullptr},
      {"flags not hexadecimal", "10.81.0.5        0x1         2           5a:f2:43:7f:ff:39     *        br0\n", nullptr},
      {"fields missing", "10.81.0.6 0x1\n", nullptr},
      {"a colon out of place", "10.81.0.7        0x1         0x2         5af2:43:7f:ff:39:     *        br0\n", nullptr},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    auto table = kivo::parse_neighbours(head + c.line);
    if (c.mac == nullptr) {
      EXPECT_TRUE(table.empty());
    } else {
      ASSERT_EQ(table.size(), 1u);
      EXPECT_EQ(table.begin()->second, c.mac);
    }
  }
  // The headings line is never an entry, and an empty table is none.
  EXPECT_TRUE(kivo::parse_neighbours("10.81.0.2 0x1 0x2 0e:65:24:06:e2:48 * br0\n").empty());
  EXPECT_TRUE(kivo::parse_neighbours("").empty());
  auto two = kivo::parse_neighbours(head + cases[0].line + cases[2].line);
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ(two.at((10u << 24) | (81u << 16) | 2u), "0e:65:24:06:e2:48");
}

}  // namespace
