// The host of a service URL as an IPv4 address, by a name lookup when it is not an address:
// kept apart from the wire decoder, which never blocks.
#include <netdb.h>

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "core/alloc.h"
#include "core/guard.h"
#include "kivo8/slp_sess.h"
#include "kivo8/tcp_utils.h"

namespace {

// The first IPv4 address of a host name, by the reentrant lookup: several search threads
// may resolve reply URLs at once.
std::optional<struct in_addr> lookup_host(const char *name) {
  std::vector<char> scratch(1024);
  struct hostent host;
  struct hostent *found = nullptr;
  int herr = 0;
  for (;;) {
    int rc = gethostbyname_r(name, &host, scratch.data(), scratch.size(), &found, &herr);
    if (rc == ERANGE && scratch.size() < 65536) {
      scratch.resize(scratch.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr) return std::nullopt;
    break;
  }
  if (found->h_addrtype != AF_INET || found->h_length != 4 || found->h_addr_list == nullptr ||
      found->h_addr_list[0] == nullptr)
    return std::nullopt;
  struct in_addr address;
  std::memcpy(&address, found->h_addr_list[0], 4);
  return address;
}

}  // namespace

extern "C" {

KIVO8_API struct in_addr slp_get_in_addr_from_url(const slp_url_entry *entry) noexcept {
  struct in_addr result;
  result.s_addr = 0;
  if (entry == nullptr || entry->url == nullptr) return result;
  const char *scheme_end = std::strstr(entry->url, "://");
  if (scheme_end == nullptr) return result;
  std::unique_ptr<char, decltype(&kivo8::mem_free)> host(kivo8::mem_strdup(scheme_end + 3),
                                                         &kivo8::mem_free);
  if (host == nullptr) return result;
  // Only a colon ends the host: a path after it stays and goes to the name lookup.
  if (char *colon = std::strchr(host.get(), ':')) *colon = '\0';
  struct in_addr address;
  if (lanset_ipaddress_decode(host.get(), &address) == 0) return address;
  return kivo8::guarded(result, [&] { return lookup_host(host.get()).value_or(result); });
}

}  // extern "C"
