#include <gtest/gtest.h>

#include <string>

#include "kivo8/tcp_utils.h"

namespace {

struct StatusCase {
  const char *name;
  std::string text;
  int32_t status;
};

class StatusLine : public ::testing::TestWithParam<StatusCase> {};

TEST_P(StatusLine, GivesTheCodeOrMinusOne) {
  const StatusCase &c = GetParam();
  EXPECT_EQ(tcp_parse_http_status_line(c.text.c_str()), c.status) << '"' << c.text << '"';
}

const StatusCase status_cases[] = {
    {"ok", "HTTP/1.0 200 OK", 200},
    {"found", "HTTP/1.1 302 Found", 302},
    {"not_found", "HTTP/1.1 404 Not Found", 404},
    {"major_two", "HTTP/2.0 500", 500},
    {"long_versions_and_status_digits", "HTTP/10.25 2001", 200},
    {"three_digits_at_the_end", "HTTP/1.0 301", 301},
    {"zero_status", "HTTP/1.0 000 nothing", 0},
    {"highest_status", "HTTP/1.1 999", 999},
    {"leading_zero_major", "HTTP/01.0 200", 200},
    {"rest_not_examined", "HTTP/1.0 204garbage\r\n\r\n", 204},
    {"huge_major", "HTTP/99999999999999999999999.0 201", 201},
    {"major_zero", "HTTP/0.9 200 OK", -1},
    {"major_all_zeros", "HTTP/000.1 200", -1},
    {"lower_case", "http/1.0 200", -1},
    {"mixed_case", "Http/1.0 200", -1},
    {"no_dot", "HTTP/1 200", -1},
    {"no_minor_digit", "HTTP/1. 200", -1},
    {"no_major_digit", "HTTP/.1 200", -1},
    {"two_spaces", "HTTP/1.0  200", -1},
    {"tab_for_space", "HTTP/1.0\t200", -1},
    {"two_digits_then_end", "HTTP/1.0 20", -1},
    {"two_digits_then_text", "HTTP/1.0 20x", -1},
    {"sign", "HTTP/1.0 +20", -1},
    {"leading_space", " HTTP/1.0 200", -1},
    {"prefix_only", "HTTP/", -1},
    {"cut_after_minor", "HTTP/1.1", -1},
    {"empty", "", -1},
};

INSTANTIATE_TEST_SUITE_P(Rules, StatusLine, ::testing::ValuesIn(status_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(StatusLineInput, NullGivesMinusOne) { EXPECT_EQ(tcp_parse_http_status_line(nullptr), -1); }

TEST(StatusLineInput, StopsAtTheTerminator) {
  // The digits lie behind the terminator: the parser must not look there.
  const char text[] = "HTTP/1.0 2\0" "00";
  EXPECT_EQ(tcp_parse_http_status_line(text), -1);
}

}  // namespace
