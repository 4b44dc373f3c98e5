// Address text and arithmetic: IPv4 and MAC addresses read from text, compared, counted
// and stepped, and the raw-socket check.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "core/unique_fd.h"
#include "kivo8/tcp_utils.h"

namespace {

// The C locale's classes, spelled out so that no locale set by the front end can widen
// them.
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }
bool is_xdigit(char c) noexcept {
  return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

uint32_t host_order(const struct in_addr *a) noexcept { return ntohl(a->s_addr); }

struct in_addr from_host_order(uint32_t v) noexcept {
  struct in_addr a {};
  a.s_addr = htonl(v);
  return a;
}

}  // namespace

extern "C" {

KIVO8_API const char *ip_decode(const char *text, int32_t *value_ptr) noexcept {
  if (text == nullptr || value_ptr == nullptr) return nullptr;
  *value_ptr = 0;
  if (!is_digit(text[0])) return nullptr;
  int32_t value = 0;
  int used = 0;
  while (used < 3 && is_digit(text[used])) {
    value = value * 10 + (text[used] - '0');
    ++used;
  }
  if (value >= 256) return nullptr;
  *value_ptr = value;
  return text + used;
}

KIVO8_API int32_t lanset_ipaddress_decode(const char *text, struct in_addr *address_ptr) noexcept {
  if (text == nullptr || address_ptr == nullptr) return -1;
  // strnlen: a text longer than the longest address is refused without reading it all.
  std::size_t len = strnlen(text, 16);
  if (len < 7 || len > 15) return -1;
  int dots = 0, digits = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (text[i] == '.')
      ++dots;
    else if (is_digit(text[i]))
      ++digits;
    else
      return -1;
  }
  if (dots != 3 || digits < 4 || digits > 12) return -1;

  uint32_t value = 0;
  const char *p = text;
  for (int group = 0; group < 4; ++group) {
    int32_t octet = 0;
    p = ip_decode(p, &octet);
    if (p == nullptr) return -1;
    value = value << 8 | static_cast<uint32_t>(octet);
    if (group < 3) {
      if (*p != '.') return -1;
      ++p;
    }
  }
  if (*p != '\0') return -1;
  *address_ptr = from_host_order(value);
  return 0;
}

KIVO8_API int32_t lanset_hexdigits2digit(char high, char low) noexcept {
  auto nibble = [](char c) -> int32_t {
    if (is_digit(c)) return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return static_cast<int32_t>(static_cast<unsigned char>(c)) - 87;
  };
  return static_cast<int32_t>(static_cast<uint32_t>(16 * nibble(high) + nibble(low)) & 0xFFu);
}

KIVO8_API int32_t lanset_macaddress_decode(const char *text, uint8_t *mac) noexcept {
  if (text == nullptr || mac == nullptr) return -1;
  std::size_t len = strnlen(text, 18);
  uint8_t octets[6];
  if (len == 17) {
    for (std::size_t i = 0; i < 6; ++i) {
      const char *pair = text + 3 * i;
      if (!is_xdigit(pair[0]) || !is_xdigit(pair[1])) return -1;
      if (i < 5 && pair[2] != ':') return -1;
      octets[i] = static_cast<uint8_t>(lanset_hexdigits2digit(pair[0], pair[1]));
    }
  } else if (len == 12) {
    for (std::size_t i = 0; i < 6; ++i) {
      const char *pair = text + 2 * i;
      if (!is_xdigit(pair[0]) || !is_xdigit(pair[1])) return -1;
      octets[i] = static_cast<uint8_t>(lanset_hexdigits2digit(pair[0], pair[1]));
    }
  } else {
    return -1;
  }
  std::memcpy(mac, octets, sizeof octets);
  return 0;
}

KIVO8_API int32_t lanset_cmp_ipaddr(const struct in_addr *a_ptr,
                                    const struct in_addr *b_ptr) noexcept {
  const auto *a = reinterpret_cast<const uint8_t *>(&a_ptr->s_addr);
  const auto *b = reinterpret_cast<const uint8_t *>(&b_ptr->s_addr);
  for (int i = 0; i < 4; ++i)
    if (a[i] != b[i]) return static_cast<int32_t>(a[i]) - static_cast<int32_t>(b[i]);
  return 0;
}

KIVO8_API uint32_t ip_count_between(const struct in_addr *a_ptr,
                                    const struct in_addr *b_ptr) noexcept {
  uint32_t a = host_order(a_ptr), b = host_order(b_ptr);
  uint32_t diff = a > b ? a - b : b - a;
  // The whole address space holds one more address than 32 bits can count.
  return diff == 0xFFFFFFFFu ? diff : diff + 1;
}

KIVO8_API struct in_addr calc_next_ip_address(const struct in_addr *a_ptr) noexcept {
  return from_host_order(host_order(a_ptr) + 1u);
}

KIVO8_API int32_t kivo_check_root(void) noexcept {
  kivo8::UniqueFd fd(::socket(AF_INET, SOCK_RAW, 1));
  return fd.valid() ? 0 : -1;
}

}  // extern "C"
