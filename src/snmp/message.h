// The SNMPv1/v2c message codec as the session layer uses it (library-internal).
//
// Builders follow the BER cursor convention: they take the position to write at and the
// count of free bytes, return the position past what they wrote (null on failure) and
// reduce the count. Parsers take the position of an element and the count of valid bytes
// from there; nothing is read outside those bytes.
#pragma once

#include <cstdint>

#include "kivo8/snmp_sess.h"

// Community names longer than this are refused by the decoder.
inline constexpr std::uint32_t kSnmpMaxCommunity = 256;

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
// The first encoding copies the session's community into the PDU and turns an unset
// errstat/errindex into 0.
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
