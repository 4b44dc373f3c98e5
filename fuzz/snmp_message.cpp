// A received datagram on its way into a PDU, as the session layer decodes it: once with
// no fixed version, once fixed to SNMPv2c. Whatever decodes is encoded again. The same
// bytes go through the internal message type the engine decodes with: it must agree with
// the exported decoder, keep every view inside the datagram, and encode again to the
// bytes the exported encoder writes; the view of the decoded PDU that the blocking status
// read makes (message_of) must hold the same bindings.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "fuzz_input.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu.h"
#include "snmp/pdu_view.h"

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

    kivo8::snmp::Message m;
    const std::span<const std::uint8_t> datagram(in.bytes.get(), in.size);
    const kivo8::snmp::CodecError e = m.decode(datagram, version);
    if ((e == kivo8::snmp::CodecError::none) != (r >= 0)) __builtin_trap();
    // The blocking status read's view of a decoded PDU holds the message's bindings.
    if (e == kivo8::snmp::CodecError::none) {
      kivo8::snmp::Message view;
      if (kivo8::snmp::message_of(*pdu, view) != kivo8::snmp::CodecError::none ||
          view.bindings().size() != m.bindings().size() || view.unknown_types != m.unknown_types)
        __builtin_trap();
      for (std::size_t i = 0; i < m.bindings().size(); ++i) {
        const kivo8::snmp::Binding &a = view.bindings()[i], &b = m.bindings()[i];
        if (!std::ranges::equal(a.name, b.name) || a.type != b.type || a.known != b.known ||
            a.number != b.number || !std::ranges::equal(a.value, b.value) || !std::ranges::equal(a.oid, b.oid))
          __builtin_trap();
      }
    }
    snmp_free_pdu(pdu);
    auto inside = [&](const auto *p, std::size_t n) {
      const auto *b = reinterpret_cast<const std::uint8_t *>(p);
      return n == 0 || (b >= datagram.data() && b + n <= datagram.data() + datagram.size());
    };
    if (!inside(m.community.data(), m.community.size())) __builtin_trap();
    for (const kivo8::snmp::Binding &b : m.bindings()) {
      if (!inside(b.value.data(), b.value.size()) || b.name.size() > 128 || b.oid.size() > 128)
        __builtin_trap();
    }
    if (e == kivo8::snmp::CodecError::none && m.unknown_types == 0) {
      kivo8::snmp::Outgoing out;
      out.version = m.version;
      out.community = m.community;
      out.type = m.type;
      out.request_id = m.request_id;
      out.error_status = m.error_status;
      out.error_index = m.error_index;
      out.bindings = m.bindings();
      std::vector<std::uint8_t> bytes(SNMP_PACKET_SIZE);
      const std::size_t n = kivo8::snmp::encode(out, bytes);
      if (n > bytes.size()) __builtin_trap();
      // What encodes decodes to the same message.
      if (n != 0) {
        kivo8::snmp::Message again;
        if (again.decode({bytes.data(), n}, version) != kivo8::snmp::CodecError::none ||
            again.bindings().size() != m.bindings().size() || again.request_id != m.request_id)
          __builtin_trap();
      }
    }
  }
  return 0;
}
