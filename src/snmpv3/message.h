// SNMPv3 messages (RFC 3412) with the user-based security model's parameters (RFC 3414),
// encoded and decoded on the bounded byte reader and writer and the BER element helpers.
// Pure: no sockets. The PDU inside the scoped PDU goes through the library's one message
// type (snmp::Message and its encoder), so v3 reads values exactly as v1 and v2c do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "kivo8/snmp_sess.h"
#include "snmp/pdu_view.h"
#include "snmpv3/crypto.h"

namespace kivo8::v3 {

// msgFlags bits.
inline constexpr std::uint8_t kFlagAuth = 0x01;
inline constexpr std::uint8_t kFlagPriv = 0x02;
inline constexpr std::uint8_t kFlagReportable = 0x04;

inline constexpr std::int32_t kModelUsm = 3;
inline constexpr std::uint8_t kPduReport = 0xA8;

// Engine ids are 5 to 32 octets (RFC 3411); the decoder refuses longer ones, the empty
// one is the discovery request's. User names at most 32 octets, context names likewise.
inline constexpr std::size_t kMaxEngineId = 32;
inline constexpr std::size_t kMaxName = 32;
// The salt of both privacy protocols is 8 octets.
inline constexpr std::size_t kSaltSize = 8;
// The largest message sent or accepted.
inline constexpr std::size_t kMaxMessage = SNMP_PACKET_SIZE;

enum class CodecError {
  none,
  malformed,       // not a well-formed SNMPv3 message
  version,         // msgVersion other than 3
  model,           // a security model other than USM
  flags,           // privacy without authentication, or a flags octet of another size
  too_long,        // an engine id, user or context name longer than allowed
  no_keys,         // an authenticated or encrypted message, but no key to check it with
  wrong_digest,    // the HMAC does not match
  decrypt,         // the encrypted scoped PDU cannot be decrypted or did not decode
  pdu,             // the PDU inside could not be decoded
  encode,          // the message does not fit or a key is missing while encoding
};

// What the USM parameters and the message header say, as views into the datagram.
struct Envelope {
  std::int32_t msg_id = 0;
  std::int32_t max_size = 0;
  std::uint8_t flags = 0;
  std::span<const std::uint8_t> engine_id;
  std::uint32_t boots = 0;
  std::uint32_t time = 0;
  std::span<const std::uint8_t> user;
  std::span<const std::uint8_t> auth_params;
  std::span<const std::uint8_t> priv_params;
  // Where the authentication parameters lie in the datagram, for the digest check.
  std::size_t auth_offset = 0;
  // The scoped PDU, plain or (flags & kFlagPriv) the encrypted octets.
  std::span<const std::uint8_t> data;
};

// Reads the message down to the scoped PDU; nothing is checked cryptographically.
CodecError parse_envelope(std::span<const std::uint8_t> message, Envelope &out) noexcept;

// Keys as localised for one engine id.
struct LocalKeys {
  Auth auth = Auth::none;
  Priv priv = Priv::none;
  Key auth_key;  // Kul of the authentication protocol
  Key priv_key;  // the cipher key (DES: key and pre-IV), extended when needed
  // libcrypto contexts set up with these keys on first use.
  mutable Prepared prepared;
};

// Checks the digest of an authenticated message (a constant-time comparison).
CodecError verify(std::span<const std::uint8_t> message, const Envelope &env,
                  const LocalKeys &keys) noexcept;

struct Scoped {
  std::span<const std::uint8_t> context_engine_id;
  std::span<const std::uint8_t> context_name;
};

// Decrypts when needed (into `scratch`, at least env.data.size() bytes) and decodes the
// scoped PDU, its PDU into `pdu`. The views in `scoped` and in `pdu` point into the
// message or into `scratch`.
CodecError open_scoped(const Envelope &env, const LocalKeys *keys, std::span<std::uint8_t> scratch,
                       kivo8::snmp::Message &pdu, Scoped &scoped) noexcept;

struct Outgoing {
  std::int32_t msg_id = 0;
  std::int32_t max_size = kMaxMessage;
  std::uint8_t flags = 0;  // auth/priv bits must agree with `keys`
  std::span<const std::uint8_t> engine_id;
  std::uint32_t boots = 0;
  std::uint32_t time = 0;
  std::span<const std::uint8_t> user;
  std::span<const std::uint8_t> context_engine_id;
  std::span<const std::uint8_t> context_name;
  const LocalKeys *keys = nullptr;
  // The PDU: the library's own (its version and community are not used), or, from the
  // exported session layer, an exported one whose unset (-1) errstat or errindex goes
  // out as 0.
  const kivo8::snmp::Outgoing *pdu = nullptr;
  const snmp_pdu *exported = nullptr;
};

// Encodes, encrypts and signs the message into `out`; its length, 0 on failure.
std::size_t encode(const Outgoing &m, std::span<std::uint8_t> out) noexcept;

}  // namespace kivo8::v3
