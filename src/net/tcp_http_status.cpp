// The status line of an HTTP answer: "HTTP/<major>.<minor> NNN".
#include "kivo8/tcp_utils.h"

namespace {

bool _is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace

extern "C" KIVO8_API int32_t tcp_parse_http_status_line(const char *text) noexcept {
  if (text == nullptr) return -1;
  const char *p = text;
  for (const char *prefix = "HTTP/"; *prefix != '\0'; ++prefix, ++p)
    if (*p != *prefix) return -1;

  // The major version is only compared with 1, so its value is never built up: any
  // non-zero digit makes it at least 1, and no number of digits can overflow.
  if (!_is_digit(*p)) return -1;
  bool major_at_least_one = false;
  for (; _is_digit(*p); ++p) major_at_least_one = major_at_least_one || *p != '0';
  if (*p++ != '.') return -1;
  if (!_is_digit(*p)) return -1;
  while (_is_digit(*p)) ++p;
  if (*p++ != ' ') return -1;
  if (!major_at_least_one) return -1;

  int32_t status = 0;
  for (int i = 0; i < 3; ++i, ++p) {
    if (!_is_digit(*p)) return -1;
    status = status * 10 + (*p - '0');
  }
  return status;
}
