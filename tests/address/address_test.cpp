#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

#include "kivo8/ifinfo.h"
#include "kivo8/tcp_utils.h"

namespace {

constexpr uint32_t kUnchanged = 0xA5A5A5A5u;

std::string text_of(struct in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

struct in_addr ip(const char *text) {
  struct in_addr a {};
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}

struct IpCase {
  const char *name;
  std::string text;
  const char *expect;  // null: refused
};

class IpaddressDecode : public testing::TestWithParam<IpCase> {};

TEST_P(IpaddressDecode, Reads) {
  const IpCase &c = GetParam();
  struct in_addr a;
  a.s_addr = kUnchanged;
  int32_t r = lanset_ipaddress_decode(c.text.c_str(), &a);
  if (c.expect == nullptr) {
    EXPECT_EQ(r, -1);
    EXPECT_EQ(a.s_addr, kUnchanged) << "a refused text must leave the address alone";
  } else {
    EXPECT_EQ(r, 0);
    EXPECT_EQ(text_of(a), c.expect);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IpaddressDecode,
    testing::Values(
        IpCase{"plain", "192.168.1.10", "192.168.1.10"},
        IpCase{"zeros", "0.0.0.0", "0.0.0.0"},
        IpCase{"all_ones", "255.255.255.255", "255.255.255.255"},
        IpCase{"leading_zeros_decimal", "001.002.003.004", "1.2.3.4"},
        IpCase{"leading_zero_not_octal", "010.0.0.8", "10.0.0.8"},
        IpCase{"fifteen_chars", "100.200.100.200", "100.200.100.200"},
        IpCase{"octet_256", "256.1.1.1", nullptr},
        IpCase{"last_octet_999", "1.1.1.999", nullptr},
        IpCase{"three_groups", "1.2.3", nullptr},
        IpCase{"trailing_dot", "1.2.3.4.", nullptr},
        IpCase{"double_dot", "1..2.3", nullptr},
        IpCase{"double_dot_seven_chars", "1..2.34", nullptr},
        IpCase{"leading_dot", ".1.2.34", nullptr},
        IpCase{"trailing_space", "1.2.3.4 ", nullptr},
        IpCase{"four_digit_group", "1234.1.1.1", nullptr},
        IpCase{"four_digit_last_group", "1.1.1.1234", nullptr},
        IpCase{"letter", "1.2.3.a", nullptr},
        IpCase{"empty", "", nullptr},
        IpCase{"sixteen_chars", "1.2.3.0004", nullptr},
        IpCase{"too_long", "1.2.3.4.5.6.7.8.9.10", nullptr},
        IpCase{"six_chars", "1.2.34", nullptr},
        IpCase{"minus", "-1.2.3.4", nullptr},
        IpCase{"plus", "+1.2.3.4", nullptr},
        IpCase{"hex", "0x1.2.3.4", nullptr},
        IpCase{"embedded_nul_cuts_text", std::string("1.2.3.4\0" "5", 9), "1.2.3.4"}),
    [](const testing::TestParamInfo<IpCase> &info) { return info.param.name; });

TEST(IpaddressDecodeNull, RefusesNullText) {
  struct in_addr a;
  a.s_addr = kUnchanged;
  EXPECT_EQ(lanset_ipaddress_decode(nullptr, &a), -1);
  EXPECT_EQ(a.s_addr, kUnchanged);
}

TEST(IpDecode, GroupRules) {
  struct {
    const char *text;
    int consumed;  // -1: null result
    int32_t value;
  } cases[] = {{"0", 1, 0},     {"7.", 1, 7},      {"255", 3, 255}, {"256", -1, 0},
               {"999", -1, 0},  {"1234", 3, 123},  {"012x", 3, 12}, {"x1", -1, 0},
               {"", -1, 0},     {".5", -1, 0},     {"25a", 2, 25}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    int32_t v = 77;
    const char *end = ip_decode(c.text, &v);
    if (c.consumed < 0) {
      EXPECT_EQ(end, nullptr);
    } else {
      EXPECT_EQ(end, c.text + c.consumed);
    }
    EXPECT_EQ(v, c.value) << "value starts at 0 and holds what was read";
  }
}

struct MacCase {
  const char *name;
  const char *text;
  bool ok;
};

class MacaddressDecode : public testing::TestWithParam<MacCase> {};

TEST_P(MacaddressDecode, Reads) {
  const MacCase &c = GetParam();
  std::array<uint8_t, 8> mac;
  mac.fill(0xEE);
  int32_t r = lanset_macaddress_decode(c.text, mac.data() + 1);
  if (c.ok) {
    EXPECT_EQ(r, 0);
    std::array<uint8_t, 8> want{0xEE, 0x00, 0x1a, 0x2B, 0xc3, 0xD4, 0xfF, 0xEE};
    EXPECT_EQ(mac, want);
  } else {
    EXPECT_EQ(r, -1);
    for (uint8_t b : mac) EXPECT_EQ(b, 0xEE) << "a refused text must leave mac alone";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, MacaddressDecode,
    testing::Values(MacCase{"colons_lower", "00:1a:2b:c3:d4:ff", true},
                    MacCase{"colons_upper", "00:1A:2B:C3:D4:FF", true},
                    MacCase{"colons_mixed", "00:1a:2B:c3:D4:fF", true},
                    MacCase{"bare_lower", "001a2bc3d4ff", true},
                    MacCase{"bare_upper", "001A2BC3D4FF", true},
                    MacCase{"hyphens", "00-1a-2b-c3-d4-ff", false},
                    MacCase{"single_digit_group", "0:1a:2b:c3:d4:ff", false},
                    MacCase{"single_digit_group_padded", "0:1a:2b:c3:d4:ff0", false},
                    MacCase{"colon_moved", "001:a:2b:c3:d4:ff", false},
                    MacCase{"non_hex", "00:1a:2b:c3:d4:fg", false},
                    MacCase{"bare_non_hex", "001a2bc3d4fg", false},
                    MacCase{"eleven_digits", "001a2bc3d4f", false},
                    MacCase{"thirteen_digits", "001a2bc3d4ff0", false},
                    MacCase{"trailing_colon", "00:1a:2b:c3:d4:ff:", false},
                    MacCase{"empty", "", false},
                    MacCase{"space_inside", "00:1a:2b:c3:d4 ff", false}),
    [](const testing::TestParamInfo<MacCase> &info) { return info.param.name; });

TEST(Hexdigits2digit, NibbleRules) {
  struct {
    char high, low;
    int32_t expect;
  } cases[] = {{'0', '0', 0},    {'f', 'f', 255}, {'F', 'F', 255}, {'A', '5', 0xA5},
               {'9', 'b', 0x9B}, {'1', '0', 16},
               // Characters outside the digits count their code minus 87, reduced to a byte.
               {'g', '0', (16 * ('g' - 87)) & 0xFF}, {'0', 'z', 'z' - 87},
               {'G', 'G', (16 * ('G' - 87) + ('G' - 87)) & 0xFF}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.high << c.low);
    EXPECT_EQ(lanset_hexdigits2digit(c.high, c.low), c.expect);
  }
}

TEST(CmpIpaddr, DifferenceAtFirstDifferingOctet) {
  struct {
    const char *a, *b;
    int32_t expect;
  } cases[] = {{"10.0.0.1", "10.0.1.0", -1},      {"192.168.1.1", "10.0.0.0", 182},
               {"1.2.3.4", "1.2.3.4", 0},         {"0.0.0.0", "255.255.255.255", -255},
               {"10.0.0.255", "10.0.0.0", 255}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
    struct in_addr a = ip(c.a), b = ip(c.b);
    EXPECT_EQ(lanset_cmp_ipaddr(&a, &b), c.expect);
  }
}

TEST(CountBetween, IncludesBothEndsInEitherOrder) {
  struct {
    const char *a, *b;
    uint32_t expect;
  } cases[] = {{"10.0.0.1", "10.0.0.1", 1u},
               {"10.0.0.10", "10.0.0.1", 10u},
               {"10.0.0.1", "10.0.0.10", 10u},
               {"10.0.0.255", "10.0.1.0", 2u},
               {"0.0.0.0", "255.255.255.255", 4294967295u},
               {"255.255.255.255", "0.0.0.0", 4294967295u},
               {"0.0.0.0", "255.255.255.254", 4294967295u},
               {"0.0.0.1", "255.255.255.255", 4294967295u},
               {"127.255.255.255", "128.0.0.0", 2u}};
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " .. " << c.b);
    struct in_addr a = ip(c.a), b = ip(c.b);
    EXPECT_EQ(ip_count_between(&a, &b), c.expect);
  }
}

TEST(NextIpAddress, CarriesAcrossOctets) {
  struct {
    const char *from, *to;
  } cases[] = {{"10.0.0.1", "10.0.0.2"},
               {"10.0.0.255", "10.0.1.0"},
               {"10.255.255.255", "11.0.0.0"},
               {"127.255.255.255", "128.0.0.0"},
               {"255.255.255.255", "0.0.0.0"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.from);
    struct in_addr a = ip(c.from);
    EXPECT_EQ(text_of(calc_next_ip_address(&a)), c.to);
  }
}

class MakeNextIpaddr : public testing::Test {
 protected:
  ~MakeNextIpaddr() override {
    ifinfo_free_list(nullptr);
    ifinfo_init_list(nullptr);
  }
  void add_target(const char *name, const char *bcast, const char *mask) {
    ifinfo *e = ifinfo_new();
    ASSERT_NE(e, nullptr);
    std::snprintf(e->name, sizeof e->name, "%s", name);
    e->id = 1;
    e->addr1 = ip(bcast);
    e->addr2 = ip(mask);
    ifinfo_add(nullptr, e);
  }
  std::string next(const char *current) {
    struct in_addr c = ip(current), r;
    r.s_addr = kUnchanged;
    make_next_ipaddr(&c, &r);
    return text_of(r);
  }
};

TEST_F(MakeNextIpaddr, StepsUpOnlyInsideACoveredSubnet) {
  EXPECT_EQ(next("192.168.1.7"), "192.168.1.6");  // nothing covers it
  add_target("eth0", "192.168.1.255", "255.255.255.0");
  EXPECT_EQ(next("192.168.1.7"), "192.168.1.8");
  EXPECT_EQ(next("192.168.1.254"), "192.168.1.253");
  EXPECT_EQ(next("192.168.1.255"), "192.168.1.254");
  EXPECT_EQ(next("192.168.1.0"), "192.168.1.1");
  EXPECT_EQ(next("192.168.2.7"), "192.168.2.6");
  // The step never leaves the last octet, even where the subnet would go on.
  add_target("", "10.0.255.255", "255.255.0.0");
  EXPECT_EQ(next("10.0.0.255"), "10.0.0.254");
  EXPECT_EQ(next("10.0.0.7"), "10.0.0.8");  // a broadcast entry counts too
  EXPECT_EQ(next("0.0.0.0"), "0.0.0.255");
}

TEST(CheckRoot, AgreesWithTheSystem) {
  int fd = socket(AF_INET, SOCK_RAW, 1);
  int32_t expect = fd >= 0 ? 0 : -1;
  if (fd >= 0) close(fd);
  EXPECT_EQ(kivo_check_root(), expect);
}

TEST(CheckRoot, RefusedWithoutPrivilege) {
  if (geteuid() != 0) {
    EXPECT_EQ(kivo_check_root(), -1);
    return;
  }
  // Drop the privilege in a child so that the test process keeps its own.
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(kivo_check_root() == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
