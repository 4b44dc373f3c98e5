// The neighbouring address of a device: the next one when a local interface or broadcast
// entry of the target list covers it, else the one before. It reads the global target
// list, so it lives with the list rather than with the address arithmetic.
#include <netinet/in.h>

#include <cstdint>

#include "kivo8/ifinfo.h"
#include "kivo8/tcp_utils.h"

extern "C" {

KIVO8_API void make_next_ipaddr(const struct in_addr *current_ptr,
                                struct in_addr *result_ptr) noexcept {
  if (current_ptr == nullptr || result_ptr == nullptr) return;
  struct in_addr next = *current_ptr;
  auto *octets = reinterpret_cast<uint8_t *>(&next.s_addr);
  uint8_t last = octets[3];
  octets[3] = static_cast<uint8_t>(last + 1);
  if (octets[3] != 255 && octets[3] != 0 && ifinfo_getif_ex(nullptr, &next) != nullptr) {
    *result_ptr = next;
    return;
  }
  octets[3] = static_cast<uint8_t>(last - 1);
  *result_ptr = next;
}

}  // extern "C"
