// Address texts from saved targets, service URLs and user input: any text must be read
// or refused without touching a byte beyond its terminator, and a refused text must leave
// the destination alone. An accepted dotted address must print back to the same value.
#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz_input.h"
#include "kivo8/tcp_utils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  auto text = kivo8::fuzz::exact_text(data, size);

  struct in_addr a;
  a.s_addr = 0xA5A5A5A5u;
  if (lanset_ipaddress_decode(text.get(), &a) == 0) {
    char printed[INET_ADDRSTRLEN];
    struct in_addr back;
    if (inet_ntop(AF_INET, &a, printed, sizeof printed) == nullptr ||
        lanset_ipaddress_decode(printed, &back) != 0 || back.s_addr != a.s_addr)
      std::abort();
  } else if (a.s_addr != 0xA5A5A5A5u) {
    std::abort();
  }

  std::uint8_t mac[8];
  std::memset(mac, 0xEE, sizeof mac);
  int32_t r = lanset_macaddress_decode(text.get(), mac + 1);
  if (mac[0] != 0xEE || mac[7] != 0xEE) std::abort();
  if (r != 0)
    for (std::uint8_t b : mac)
      if (b != 0xEE) std::abort();
  return 0;
}
