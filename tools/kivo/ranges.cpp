#include "ranges.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>

#include "common.h"

namespace kivo {

namespace {

std::string not_a_range(const std::string &text) {
  return subst(tr("'{1}' is not of the form FIRST-LAST or ADDRESS/BITS"), {text});
}

bool digits_only(const std::string &s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `text` could be a host name (RFC 1123 letters, digits, '-', '.'), so that a
// line of a hosts file that is none is said to be malformed rather than not found.
bool looks_like_host_name(const std::string &text) {
  if (text.empty() || text.size() > 253) return false;
  const bool name_chars = std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_';
  });
  // A name has a letter somewhere and does not end in a digit (no top-level domain
  // does): "10.0.0" or "10.0.0.1-10.0.0" are malformed addresses, not names.
  const bool letter = std::any_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
  return name_chars && letter && !digits_only(std::string(1, text.back()));
}

// Every IPv4 address of a host name, in host order, without repeats.
std::vector<std::uint32_t> addresses_of(const std::string &name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *found = nullptr;
  std::vector<std::uint32_t> out;
  if (getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return out;
  std::unique_ptr<addrinfo, void (*)(addrinfo *)> owned(found, freeaddrinfo);
  for (const addrinfo *a = found; a != nullptr && out.size() < 64; a = a->ai_next) {
    if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
    sockaddr_in sin{};
    std::memcpy(&sin, a->ai_addr, sizeof sin);
    const std::uint32_t v = ntohl(sin.sin_addr.s_addr);
    if (std::find(out.begin(), out.end(), v) == out.end()) out.push_back(v);
  }
  return out;
}

}  // namespace

std::optional<Range> parse_range(const std::string &text, bool single_allowed, std::string &error) {
  const auto dash = text.find('-');
  const auto slash = text.find('/');
  if (dash != std::string::npos) {
    auto a = parse_ipv4(text.substr(0, dash));
    auto b = parse_ipv4(text.substr(dash + 1));
    if (!a || !b) {
      error = not_a_range(text);
      return std::nullopt;
    }
    Range r{ntohl(a->s_addr), ntohl(b->s_addr)};
    if (r.first > r.last) {
      error = subst(tr("'{1}' ends before it starts"), {text});
      return std::nullopt;
    }
    return r;
  }
  if (slash != std::string::npos) {
    auto a = parse_ipv4(text.substr(0, slash));
    const std::string bits = text.substr(slash + 1);
    const int n = digits_only(bits) && bits.size() <= 2 ? std::stoi(bits) : -1;
    if (!a || n < 0 || n > 32) {
      error = not_a_range(text);
      return std::nullopt;
    }
    const std::uint32_t mask = n == 0 ? 0 : ~std::uint32_t{0} << (32 - n);
    const std::uint32_t base = ntohl(a->s_addr) & mask;
    return Range{base, base | ~mask};
  }
  if (single_allowed) {
    if (auto a = parse_ipv4(text)) return Range{ntohl(a->s_addr), ntohl(a->s_addr)};
    error = subst(tr("'{1}' is not an IPv4 address, FIRST-LAST or ADDRESS/BITS"), {text});
    return std::nullopt;
  }
  error = not_a_range(text);
  return std::nullopt;
}

Range checked_range(const CommandErrors &errors, const std::string &text, bool single_allowed,
                    std::uint64_t largest) {
  std::string error;
  auto r = parse_range(text, single_allowed, error);
  if (!r) errors.fail(subst(tr("the range {1}"), {error}));
  if (r->size() > largest)
    errors.fail(subst(tr("the range '{1}' holds more than {2} addresses"),
                      {text, std::to_string(largest)}));
  return *r;
}

std::vector<Range> read_hosts_file(const CommandErrors &errors, const std::string &path,
                                   std::uint64_t largest) {
  std::ifstream file;
  std::istream *in = &std::cin;
  if (path != "-") {
    file.open(path);
    if (!file) errors.fail(subst(tr("cannot read the hosts file '{1}'"), {path}));
    in = &file;
  }
  std::vector<Range> found;
  std::string line;
  for (int number = 1; std::getline(*in, line); ++number) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    const auto begin = line.find_first_not_of(" \t\r");
    if (begin == std::string::npos) continue;
    const auto end = line.find_last_not_of(" \t\r");
    const std::string item = line.substr(begin, end - begin + 1);
    const std::string where = path + ":" + std::to_string(number) + ": ";
    std::string error;
    auto r = parse_range(item, true, error);
    if (!r && looks_like_host_name(item)) {
      const auto addresses = addresses_of(item);
      if (addresses.empty())
        errors.fail(where + subst(tr("cannot find the host '{1}' (no IPv4 address)"), {item}));
      for (std::uint32_t a : addresses) found.push_back({a, a});
      continue;
    }
    if (!r) errors.fail(where + error);
    if (r->size() > largest)
      errors.fail(where + subst(tr("the range '{1}' holds more than {2} addresses"),
                                {item, std::to_string(largest)}));
    found.push_back(*r);
  }
  std::sort(found.begin(), found.end(), [](const Range &a, const Range &b) { return a.first < b.first; });
  std::vector<Range> merged;
  for (const Range &r : found) {
    if (!merged.empty() && (merged.back().last == 0xFFFFFFFFu || r.first <= merged.back().last + 1)) {
      merged.back().last = std::max(merged.back().last, r.last);
      continue;
    }
    merged.push_back(r);
  }
  return merged;
}

std::string range_text(const Range &range) {
  const std::uint64_t size = range.size();
  const bool power = (size & (size - 1)) == 0;
  if (power && (range.first & static_cast<std::uint32_t>(size - 1)) == 0 && size > 1) {
    int bits = 32;
    for (std::uint64_t s = size; s > 1; s >>= 1) --bits;
    in_addr a{htonl(range.first)};
    return ipv4_text(a) + "/" + std::to_string(bits);
  }
  in_addr a{htonl(range.first)}, b{htonl(range.last)};
  return range.first == range.last ? ipv4_text(a) : ipv4_text(a) + "-" + ipv4_text(b);
}

}  // namespace kivo
