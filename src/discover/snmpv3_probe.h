// The SNMPv3 engine-id probe of the SNMP sweep. Every SNMPv3 agent answers a request with
// an empty engine id (and no user) with a Report that carries its engine id, whatever
// users it has: the sweep sends this probe beside its v1/v2c requests, so v3-only devices
// are found without credentials ("snmpv3" in found_by, the engine id in the record). Pure
// codec: the SNMP search moves the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "snmpv3/message.h"

namespace kivo::discover {

// The discovery request: a reportable GET without bindings, no security, empty engine id,
// user and context. Its length, 0 when `out` is too small.
std::size_t snmpv3_discovery_request(std::int32_t msg_id, std::span<std::uint8_t> out) noexcept;

// The engine id that a reply to the discovery request carries: the authoritative engine
// id of its USM parameters, when the message decodes, answers `msg_id` and names an engine
// of 1 to 32 octets. Boots and time come with it.
struct EngineReport {
  std::vector<std::uint8_t> engine_id;
  std::uint32_t boots = 0;
  std::uint32_t time = 0;
};
std::optional<EngineReport> snmpv3_parse_engine_report(std::span<const std::uint8_t> datagram,
                                                       std::int32_t msg_id);
// The same, from a header the caller decoded already.
std::optional<EngineReport> snmpv3_parse_engine_report(const kivo8::v3::Envelope &env, std::int32_t msg_id);

}  // namespace kivo::discover
