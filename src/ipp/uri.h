// ipp:// and ipps:// URIs: host, port and resource, and the texts built from them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kivo8::ipp {

struct Uri {
  bool tls = false;
  std::string host;      // without brackets
  bool numeric_host = false;
  bool ipv6 = false;
  std::uint16_t port = 631;
  bool port_given = false;
  std::string resource;  // "" or starting with '/'; query and fragment dropped

  std::string host_header() const;  // host[:port], IPv6 in brackets
  std::string with_resource(std::string_view resource) const;
};

// Refuses other schemes, user info, empty hosts, ports outside 1..65535 and any control
// character or space (the URI goes into an HTTP head and an IPP request).
std::optional<Uri> parse_uri(std::string_view text);

}  // namespace kivo8::ipp
