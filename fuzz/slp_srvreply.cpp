// Service Replies come from anyone on the network: the decoder must stay inside the
// datagram whatever its lengths and counts claim, and the URL helper must cope with
// whatever text a reply carried.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "kivo8/slp_sess.h"
#include "kivo8/tcp_utils.h"
#include "slp/slp_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  if (size > 4096) return 0;
  kivo8::fuzz::ExactCopy in(data, size);
  slp_srvreply *reply = slp_decode_srvreply(in.bytes.get(), static_cast<int32_t>(size));
  if (reply != nullptr) {
    uint32_t n = 0;
    for (slp_url_node *node = reply->urls; node != nullptr; node = node->next) {
      ++n;
      // Only dotted quads: a name lookup per input would make the fuzzer crawl.
      if (const char *host = std::strstr(node->entry->url, "://")) {
        std::string quad(host + 3, std::strcspn(host + 3, ":"));
        struct in_addr a;
        if (lanset_ipaddress_decode(quad.c_str(), &a) == 0 &&
            slp_get_in_addr_from_url(node->entry).s_addr != a.s_addr)
          __builtin_trap();
      }
    }
    if (n > reply->url_count || (reply->error != 0 && n != 0)) __builtin_trap();
    slp_free_srvreply(reply);
  }
  return 0;
}
