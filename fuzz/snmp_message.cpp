// A received datagram on its way into a PDU, as the session layer decodes it: once with
// no fixed version, once fixed to SNMPv2c. Whatever decodes is encoded again.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fuzz_input.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static bool ready = [] {
    // "badtype" lines would flood the fuzzer's output.
    std::freopen("/dev/null", "w", stdout);
    return mt_res_init() == 0;
  }();
  if (!ready || size > SNMP_PACKET_SIZE) return 0;
  kivo8::fuzz::ExactCopy in(data, size);
  for (std::int32_t version : {-1, 1}) {
    snmp_session session{nullptr, version, &snmp_comm_null, 0};
    snmp_pdu *pdu = _snmp_create_pdu(0);
    if (pdu == nullptr) return 0;
    const std::int32_t r = snmp_parse(&session, pdu, in.bytes.get(), static_cast<std::uint32_t>(in.size));
    if (r < -1 || r > 1) __builtin_trap();
    if (r == 0 && pdu->community_len != 0) {
      std::vector<std::uint8_t> out(SNMP_PACKET_SIZE);
      std::uint32_t length = static_cast<std::uint32_t>(out.size());
      // The encoder may refuse what the decoder took (a name like 3.45, an empty bit
      // string), but it must stay inside the buffer either way.
      (void)snmp_build(&session, pdu, out.data(), &length);
      if (length > out.size()) __builtin_trap();
    }
    snmp_free_pdu(pdu);
  }
  return 0;
}
