// The SNMPv1/v2c message codec as the session layer uses it (library-internal).
//
// Inside, one encoder and one decoder work on the bounded writer and reader and the BER
// element functions of asn1/ber.h, and report what went wrong as a CodecError. The
// pointer-and-count functions below them are adapters for the specified interface: each
// turns a CodecError into the specified result and session code through codes_of().
//
// Builders follow the BER cursor convention: they take the position to write at and the
// count of free bytes, return the position past what they wrote (null on failure) and
// reduce the count. Parsers take the position of an element and the count of valid bytes
// from there; nothing is read outside those bytes.
#pragma once

#include <cstdint>
#include <span>

#include "core/bytes.h"
#include "kivo8/snmp_sess.h"

// Community names longer than this are refused by the decoder.
inline constexpr std::uint32_t kSnmpMaxCommunity = 256;

namespace kivo8::snmp {

enum class CodecError {
  none,
  // Encoding.
  no_community,  // neither the PDU nor the session has a community
  unencodable,   // does not fit, unknown value type, a name that cannot be written
  // Decoding, in the order in which a message is read.
  header,         // message SEQUENCE or version unreadable
  version,        // version refused: not 0 or 1, or not the session's fixed one
  community,      // community unreadable or longer than its room
  pdu,            // PDU header, request id, error status or index, binding list
  binding,        // a binding's header, name or value header; a name of over 128 arcs
  value,          // a value that its type's reader refuses
  // Either way.
  no_memory,
};

// The decoder itself never writes anywhere: a value type it does not handle is counted
// here, and only the adapters of the documented interface print their "badtype" lines
// (print_unknown_types). The discovery engine and the SNMPv3 layer decode through the
// functions below and stay silent.
struct Decoded {
  CodecError error = CodecError::none;
  bool unknown_type = false;  // a binding's value type is not handled; decoding went on
  std::uint32_t unknown_types = 0;  // how many bindings had such a type
};

// The "badtype" line, once for each binding of a type the decoder does not handle, on
// standard output: what the documented decoders print.
void print_unknown_types(const Decoded &d) noexcept;

// The whole received message into `pdu` (created empty by the caller). `fixed_version`
// is the session's version, or -1 to take 0 or 1 from the message. Bindings read before a
// failure stay in the PDU; the caller frees it in every case.
Decoded decode_message(std::span<const std::uint8_t> bytes, std::int32_t fixed_version,
                       snmp_pdu *pdu) noexcept;

// The PDU element at the front of `r` into `pdu`.
Decoded decode_pdu(ByteReader &r, snmp_pdu *pdu) noexcept;

// The request id of a datagram, read as far as it goes: whether a reply answers a request
// is decided by this alone, before the reply is decoded.
bool peek_request_id(std::span<const std::uint8_t> bytes, std::uint32_t *reqid) noexcept;

// The whole message into `out`: its length, or 0 with the reason in `*error`. The first
// encoding copies the session's community into the PDU and turns an unset errstat or
// errindex into 0.
std::uint32_t encode_message(const snmp_session *session, snmp_pdu *pdu,
                             std::span<std::uint8_t> out, CodecError *error) noexcept;

class Message;

// The exported edge of the SNMPv3 session layer: a whole decoded message into `pdu`
// (created empty by the caller, who frees it in every case), its values stored as
// snmp_parse stores them; and an exported PDU written by the one encoder (an unset
// errstat or errindex as it is, -1).
CodecError fill_pdu(const Message &m, snmp_pdu *pdu) noexcept;
bool write_exported_pdu(ByteWriter &w, const snmp_pdu *pdu) noexcept;

// The other way, for code inside the library that reads a reply a blocking session's
// exchange handed over as a PDU: `m` views the PDU's bindings where the PDU holds them
// (it must outlive `m`), numbers taken from their value bytes as the encoder takes them;
// the arcs of OID values are copied into `m`. A binding of a type the decoder does not
// read comes as the decoder leaves one, counted in `m.unknown_types`; so every PDU the
// decoders fill comes back as the message it was made from. `value` when a binding's
// value bytes are missing or of the wrong size for its type, `no_memory` when `m`
// cannot hold the bindings.
CodecError message_of(const snmp_pdu &pdu, Message &m) noexcept;

// What the specified decoder reports for `d`: its result (0, 1 or -1) and the session's
// `error` (0, -2 or -8), for a session with a fixed version or not.
struct Codes {
  std::int32_t result;
  std::int32_t error;
};
Codes codes_of(const Decoded &d, bool fixed_version, bool has_bindings) noexcept;

}  // namespace kivo8::snmp

// One binding: 0x30 header, name, value encoded by `type`. An unknown type fails.
std::uint8_t *snmp_build_var_op(std::uint8_t *data, const std::uint32_t *name,
                                const std::uint32_t *name_length, std::uint8_t type,
                                std::uint32_t value_length, const std::uint8_t *value,
                                std::uint32_t *listlength) noexcept;

// The PDU element: header tagged with the PDU's command, request id, error status and
// index as the PDU holds them, and the binding list in chain order.
std::uint8_t *snmp_pdu_build(snmp_pdu *pdu, std::uint8_t *data, std::uint32_t *length) noexcept;

// The whole message into `packet`. `*length` is the buffer's size on entry and the
// message's length on success. 0, or -1: -9 in the session's `error` when neither the PDU
// nor the session has a community; a message that does not fit leaves `error` alone.
std::int32_t snmp_build(snmp_session *session, snmp_pdu *pdu, std::uint8_t *packet,
                        std::uint32_t *length) noexcept;

// Message header, version (into pdu->version) and community (capacity `*community_len`
// on entry, length on return). Returns the position of the PDU element and leaves in
// `*length` the bytes of the message that follow it.
const std::uint8_t *snmp_comstr_parse(const std::uint8_t *data, std::uint32_t *length,
                                      std::uint8_t *community, std::uint32_t *community_len,
                                      snmp_pdu *pdu) noexcept;

// The version number inside the message, or -2 when the header or version is unreadable.
std::int32_t snmp_parse_version(const std::uint8_t *data, std::uint32_t length) noexcept;

// Decodes a received datagram into `pdu` (created empty by the caller, e.g. with
// _snmp_create_pdu(0)). 0 on success, 1 when a binding had a value type that is not
// handled, -1 on failure; the session's `error` becomes 0, -2 or -8 as described in
// snmp_sess.h. The caller frees the PDU in every case.
std::int32_t snmp_parse(snmp_session *session, snmp_pdu *pdu, const std::uint8_t *data,
                        std::uint32_t length) noexcept;
