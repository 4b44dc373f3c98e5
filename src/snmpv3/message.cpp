// SNMPv3 message encoding and decoding with the user-based security model.

#include "snmpv3/message.h"

#include <openssl/crypto.h>

#include <cstring>

#include "asn1/ber.h"
#include "core/bytes.h"
#include "kivo8/asn1.h"
#include "kivo8/snmpv3.h"
#include "snmp/message.h"

namespace kivo8::v3 {

namespace {

// An INTEGER by the library's one INTEGER rule (ber::Element::integer), advancing `r`;
// `r` fails with it.
bool take_int(ByteReader &r, std::int32_t &value) noexcept {
  auto e = ber::read_element(r);
  auto v = e && e->type == ASN_INTEGER ? e->integer() : std::nullopt;
  if (!v) return r.skip(r.left() + 1);
  value = *v;
  return true;
}

// A value of 0 to 2^31-1, which every integer of the v3 header and USM parameters is.
bool take_uint31(ByteReader &r, std::uint32_t &value) noexcept {
  std::int32_t v = 0;
  if (!take_int(r, v) || v < 0) return false;
  value = static_cast<std::uint32_t>(v);
  return true;
}

std::optional<std::span<const std::uint8_t>> take_octets(ByteReader &r) noexcept {
  auto e = ber::read_element(r);
  if (!e || e->type != ASN_OCTET_STR) return std::nullopt;
  return e->contents.rest();
}

std::optional<ByteReader> take_sequence(ByteReader &r) noexcept {
  auto e = ber::read_element(r);
  if (!e || e->type != ASN_SEQUENCE) return std::nullopt;
  return e->contents;
}

bool put_int(ByteWriter &w, std::int32_t v) noexcept { return ber::write_integer(w, ASN_INTEGER, v); }

bool put_octets(ByteWriter &w, std::span<const std::uint8_t> bytes) noexcept {
  return ber::write_header(w, ASN_OCTET_STR, static_cast<std::uint32_t>(bytes.size())) &&
         w.put(bytes);
}

}  // namespace

CodecError parse_envelope(std::span<const std::uint8_t> message, Envelope &out) noexcept {
  ByteReader whole(message);
  auto msg = take_sequence(whole);
  if (!msg) return CodecError::malformed;
  std::int32_t version = 0;
  if (!take_int(*msg, version)) return CodecError::malformed;
  if (version != 3) return CodecError::version;

  auto global = take_sequence(*msg);
  if (!global || !take_int(*global, out.msg_id) || !take_int(*global, out.max_size))
    return CodecError::malformed;
  auto flags = take_octets(*global);
  std::int32_t model = 0;
  if (!flags || !take_int(*global, model)) return CodecError::malformed;
  if (out.msg_id < 0 || out.max_size < 484) return CodecError::malformed;
  if (flags->size() != 1) return CodecError::flags;
  out.flags = (*flags)[0];
  // Privacy without authentication is an invalid combination (RFC 3412 7.2 step 5).
  if ((out.flags & (kFlagAuth | kFlagPriv)) == kFlagPriv) return CodecError::flags;
  if (model != kModelUsm) return CodecError::model;

  auto params_octets = take_octets(*msg);
  if (!params_octets) return CodecError::malformed;
  ByteReader params_outer(*params_octets);
  auto params = take_sequence(params_outer);
  if (!params) return CodecError::malformed;
  auto engine = take_octets(*params);
  if (!engine || !take_uint31(*params, out.boots) || !take_uint31(*params, out.time))
    return CodecError::malformed;
  auto user = take_octets(*params);
  if (!user) return CodecError::malformed;
  // The authentication parameters' offset inside the datagram: the digest is checked
  // over the whole message with these octets zeroed.
  auto auth = take_octets(*params);
  auto priv = take_octets(*params);
  if (!auth || !priv) return CodecError::malformed;
  if (engine->size() > kMaxEngineId || user->size() > kMaxName) return CodecError::too_long;
  out.engine_id = *engine;
  out.user = *user;
  out.auth_params = *auth;
  out.priv_params = *priv;
  out.auth_offset = static_cast<std::size_t>(auth->data() - message.data());

  const auto before = msg->rest();
  auto data = ber::read_element(*msg);
  if (!data) return CodecError::malformed;
  const bool encrypted = (out.flags & kFlagPriv) != 0;
  if (encrypted ? data->type != ASN_OCTET_STR : data->type != ASN_SEQUENCE)
    return CodecError::malformed;
  // Encrypted: the octets to decrypt. Plain: the whole scoped PDU element, header
  // included, so that open_scoped reads it as it reads a decrypted one.
  out.data = encrypted ? data->contents.rest() : before.first(before.size() - msg->left());
  return CodecError::none;
}


CodecError verify(std::span<const std::uint8_t> message, const Envelope &env,
                  const LocalKeys &keys) noexcept {
  const std::size_t n = mac_size(keys.auth);
  if (n == 0 || keys.auth_key.size == 0) return CodecError::no_keys;
  if (env.auth_params.size() != n || message.size() > kMaxMessage ||
      env.auth_offset + n > message.size())
    return CodecError::wrong_digest;
  std::uint8_t copy[kMaxMessage];
  std::memcpy(copy, message.data(), message.size());
  std::memset(copy + env.auth_offset, 0, n);
  std::uint8_t mac[kMaxKey];
  if (!hmac(keys.auth, keys.auth_key, {copy, message.size()}, {mac, n}, &keys.prepared))
    return CodecError::wrong_digest;
  return CRYPTO_memcmp(mac, env.auth_params.data(), n) == 0 ? CodecError::none
                                                            : CodecError::wrong_digest;
}

CodecError open_scoped(const Envelope &env, const LocalKeys *keys, std::span<std::uint8_t> scratch,
                       kivo8::snmp::Message &pdu, Scoped &scoped) noexcept {
  std::span<const std::uint8_t> plain = env.data;
  const bool encrypted = (env.flags & kFlagPriv) != 0;
  if (encrypted) {
    if (keys == nullptr || keys->priv == Priv::none || keys->priv_key.size == 0)
      return CodecError::no_keys;
    if (env.priv_params.size() != kSaltSize || scratch.size() < env.data.size())
      return CodecError::decrypt;
    if (!decrypt(keys->priv, keys->priv_key, env.boots, env.time, env.priv_params, env.data,
                 scratch, &keys->prepared))
      return CodecError::decrypt;
    plain = scratch.first(env.data.size());
  }
  // A decrypted scoped PDU that does not decode is a decryption error (RFC 3414 3.2
  // step 8b): with the wrong key the octets are noise. DES padding after the element is
  // allowed.
  const CodecError bad = encrypted ? CodecError::decrypt : CodecError::malformed;
  ByteReader r(plain);
  auto seq = take_sequence(r);
  if (!seq) return bad;
  auto engine = take_octets(*seq);
  auto name = take_octets(*seq);
  if (!engine || !name) return bad;
  if (engine->size() > kMaxEngineId || name->size() > kMaxName) return CodecError::too_long;
  scoped.context_engine_id = *engine;
  scoped.context_name = *name;
  const auto rest = seq->rest();
  if (rest.empty() || rest.size() > kMaxMessage) return CodecError::pdu;
  // The internal decoder, not the documented adapter: the SNMPv3 layer never prints.
  ByteReader inner(rest);
  if (pdu.decode_pdu(inner) != kivo8::snmp::CodecError::none) return CodecError::pdu;
  pdu.version = SNMP_VERSION_3;
  return CodecError::none;
}

std::size_t encode(const Outgoing &m, std::span<std::uint8_t> out) noexcept {
  if ((m.pdu == nullptr) == (m.exported == nullptr)) return 0;
  const bool auth = (m.flags & kFlagAuth) != 0;
  const bool priv = (m.flags & kFlagPriv) != 0;
  if (priv && !auth) return 0;
  if (auth && (m.keys == nullptr || m.keys->auth_key.size == 0)) return 0;
  if (priv && (m.keys->priv == Priv::none || m.keys->priv_key.size == 0)) return 0;
  if (m.engine_id.size() > kMaxEngineId || m.user.size() > kMaxName ||
      m.context_engine_id.size() > kMaxEngineId || m.context_name.size() > kMaxName)
    return 0;

  // The scoped PDU first, into a scratch buffer: encrypted, it travels as the contents of
  // an OCTET STRING whose length is known only afterwards.
  std::uint8_t scoped_buf[kMaxMessage];
  ByteWriter sw(scoped_buf, sizeof scoped_buf);
  ber::HeaderSlot scoped_slot;
  scoped_slot.reserve(sw);
  put_octets(sw, m.context_engine_id);
  put_octets(sw, m.context_name);
  if (sw.failed()) return 0;
  bool written = false;
  if (m.pdu != nullptr) {
    written = kivo8::snmp::write_pdu(sw, *m.pdu);
  } else {
    snmp_pdu copy = *m.exported;
    if (copy.errstat == -1) copy.errstat = 0;
    if (copy.errindex == -1) copy.errindex = 0;
    written = kivo8::snmp::write_exported_pdu(sw, &copy);
  }
  if (!written || !scoped_slot.fill(sw, ASN_SEQUENCE)) return 0;

  std::uint8_t salt[kSaltSize] = {};
  std::uint8_t enc_buf[kMaxMessage + 8];
  std::span<const std::uint8_t> data = sw.written();
  if (priv) {
    next_salt(salt);
    // DES: the salt is the engine boots and a local counter (RFC 3414 8.1.1.1).
    if (m.keys->priv == Priv::des) {
      salt[0] = std::uint8_t(m.boots >> 24);
      salt[1] = std::uint8_t(m.boots >> 16);
      salt[2] = std::uint8_t(m.boots >> 8);
      salt[3] = std::uint8_t(m.boots);
    }
    const std::size_t n = encrypt(m.keys->priv, m.keys->priv_key, m.boots, m.time,
                                  std::span<const std::uint8_t, 8>(salt, 8), data,
                                  {enc_buf, sizeof enc_buf}, &m.keys->prepared);
    OPENSSL_cleanse(scoped_buf, sw.pos());
    if (n == 0) return 0;
    data = {enc_buf, n};
  }

  const std::size_t mac_n = auth ? mac_size(m.keys->auth) : 0;
  ByteWriter w(out);
  ber::HeaderSlot msg_slot, global_slot, params_octets_slot, params_slot;
  msg_slot.reserve(w);
  put_int(w, 3);
  global_slot.reserve(w);
  put_int(w, m.msg_id);
  put_int(w, m.max_size);
  const std::uint8_t flags = m.flags;
  put_octets(w, {&flags, 1});
  put_int(w, kModelUsm);
  global_slot.fill(w, ASN_SEQUENCE);
  params_octets_slot.reserve(w);
  params_slot.reserve(w);
  put_octets(w, m.engine_id);
  put_int(w, static_cast<std::int32_t>(m.boots & 0x7FFFFFFFu));
  put_int(w, static_cast<std::int32_t>(m.time & 0x7FFFFFFFu));
  put_octets(w, m.user);
  ber::write_header(w, ASN_OCTET_STR, static_cast<std::uint32_t>(mac_n));
  const std::size_t mac_at = w.pos();
  auto mac_slot = w.reserve(mac_n);
  if (mac_slot && mac_n != 0) std::memset(mac_slot->data(), 0, mac_n);
  put_octets(w, priv ? std::span<const std::uint8_t>(salt, kSaltSize)
                     : std::span<const std::uint8_t>{});
  params_slot.fill(w, ASN_SEQUENCE);
  params_octets_slot.fill(w, ASN_OCTET_STR);
  if (priv)
    put_octets(w, data);
  else
    w.put(data);
  if (w.failed() || !msg_slot.fill(w, ASN_SEQUENCE)) return 0;
  if (auth) {
    std::uint8_t mac[kMaxKey];
    if (!hmac(m.keys->auth, m.keys->auth_key, w.written(), {mac, mac_n}, &m.keys->prepared)) return 0;
    std::memcpy(out.data() + mac_at, mac, mac_n);
  }
  return w.pos();
}

}  // namespace kivo8::v3
