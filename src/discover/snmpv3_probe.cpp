// The SNMPv3 engine-id probe's codec.
#include "discover/snmpv3_probe.h"

#include "kivo8/snmp_sess.h"
#include "snmp/pdu_view.h"

namespace kivo::discover {

namespace v3 = kivo8::v3;

std::size_t snmpv3_discovery_request(std::int32_t msg_id, std::span<std::uint8_t> out) noexcept {
  kivo8::snmp::Outgoing pdu;
  pdu.type = SNMP_MSG_GET;
  pdu.request_id = static_cast<std::uint32_t>(msg_id);
  v3::Outgoing m;
  m.msg_id = msg_id;
  m.flags = v3::kFlagReportable;
  m.pdu = &pdu;
  return v3::encode(m, out);
}

std::optional<EngineReport> snmpv3_parse_engine_report(std::span<const std::uint8_t> datagram,
                                                       std::int32_t msg_id) {
  v3::Envelope env;
  if (v3::parse_envelope(datagram, env) != v3::CodecError::none) return std::nullopt;
  return snmpv3_parse_engine_report(env, msg_id);
}

std::optional<EngineReport> snmpv3_parse_engine_report(const v3::Envelope &env, std::int32_t msg_id) {
  if (env.msg_id != msg_id || env.engine_id.empty() || (env.flags & v3::kFlagPriv) != 0)
    return std::nullopt;
  // The scoped PDU must decode too: a datagram that only looks like a v3 header up to
  // its USM parameters does not make a device.
  kivo8::snmp::Message pdu;
  v3::Scoped scoped;
  std::uint8_t scratch[1];
  if (v3::open_scoped(env, nullptr, {scratch, 0}, pdu, scoped) != v3::CodecError::none)
    return std::nullopt;
  EngineReport r;
  r.engine_id.assign(env.engine_id.begin(), env.engine_id.end());
  r.boots = env.boots;
  r.time = env.time;
  return r;
}

}  // namespace kivo::discover
