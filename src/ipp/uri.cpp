#include "ipp/uri.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace kivo8::ipp {

namespace {

bool starts_with_ci(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<Uri> parse_uri(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return std::nullopt;
  Uri u;
  if (starts_with_ci(text, "ipps://")) {
    u.tls = true;
    text.remove_prefix(7);
  } else if (starts_with_ci(text, "ipp://")) {
    text.remove_prefix(6);
  } else {
    return std::nullopt;
  }
  const std::size_t end = text.find_first_of("/?#");
  std::string_view authority = text.substr(0, end);
  std::string_view rest = end == std::string_view::npos ? std::string_view{} : text.substr(end);
  if (authority.find('@') != std::string_view::npos) return std::nullopt;
  std::string_view port;
  if (!authority.empty() && authority.front() == '[') {
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    u.host = std::string(authority.substr(1, close - 1));
    u.ipv6 = true;
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') return std::nullopt;
      port = after.substr(1);
      u.port_given = true;
    }
  } else {
    const std::size_t colon = authority.find(':');
    u.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) {
      port = authority.substr(colon + 1);
      u.port_given = true;
    }
  }
  if (u.host.empty() || u.host.size() > 255) return std::nullopt;
  if (u.port_given) {
    if (port.empty() || port.size() > 5) return std::nullopt;
    unsigned v = 0;
    for (char c : port) {
      if (c < '0' || c > '9') return std::nullopt;
      v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (v == 0 || v > 65535) return std::nullopt;
    u.port = static_cast<std::uint16_t>(v);
  }
  in6_addr a6{};
  in_addr a4{};
  u.numeric_host = ::inet_pton(AF_INET6, u.host.c_str(), &a6) == 1 || ::inet_pton(AF_INET, u.host.c_str(), &a4) == 1;
  if (u.ipv6 && !u.numeric_host) return std::nullopt;
  const std::size_t cut = rest.find_first_of("?#");
  u.resource = std::string(rest.substr(0, cut));
  return u;
}

std::string Uri::host_header() const {
  // Appended piecewise: g++ 12 at -O2 reports a false -Wrestrict overlap for
  // "literal" + std::string&&.
  std::string h;
  if (ipv6) h += '[';
  h += host;
  if (ipv6) h += ']';
  if (port_given) {
    h += ':';
    h += std::to_string(port);
  }
  return h;
}

std::string Uri::with_resource(std::string_view r) const {
  return std::string(tls ? "ipps://" : "ipp://") + host_header() + std::string(r);
}

}  // namespace kivo8::ipp
