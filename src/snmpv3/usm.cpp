// The user-based security model's rules: user keys, engine state, reply judgement.

#include "snmpv3/usm.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/guard.h"
#include "snmp/pdu.h"

namespace kivo8::v3 {

namespace {

// Passwords shorter than this are refused, as RFC 3414 11.2 advises and agents enforce.
constexpr std::size_t kMinPassword = 8;


}  // namespace

namespace {

// A pass phrase's master key, or the master key given in its place (of exactly the
// protocol's digest size).
bool take_key(Auth a, const char *password, const std::uint8_t *given, std::uint32_t given_size,
              Key &ku, std::int32_t &code) noexcept {
  if (password != nullptr) {
    const std::size_t n = std::strlen(password);
    if (n < kMinPassword) {
      code = KIVO_SNMPV3_ERR_OPTIONS;
      return false;
    }
    if (!password_to_key(a, {reinterpret_cast<const std::uint8_t *>(password), n}, ku)) {
      code = KIVO_SNMPV3_ERR_CRYPTO;
      return false;
    }
    return true;
  }
  if (given == nullptr || given_size != digest_size(a) || given_size > kMaxKey) {
    code = KIVO_SNMPV3_ERR_OPTIONS;
    return false;
  }
  ku.wipe();
  std::memcpy(ku.bytes, given, given_size);
  ku.size = given_size;
  return true;
}

}  // namespace

std::int32_t User::set(const kivo_snmpv3_options &given) noexcept {
  // Fields past what an older caller's record holds take their zero value.
  kivo_snmpv3_options o{};
  std::memcpy(&o, &given, std::min<std::size_t>(given.size, sizeof o));
  if (o.user == nullptr) return KIVO_SNMPV3_ERR_OPTIONS;
  name_size = std::strlen(o.user);
  if (name_size == 0 || name_size > kMaxName) return KIVO_SNMPV3_ERR_OPTIONS;
  std::memcpy(name, o.user, name_size);
  if (o.level < KIVO_SNMPV3_NOAUTH_NOPRIV || o.level > KIVO_SNMPV3_AUTH_PRIV)
    return KIVO_SNMPV3_ERR_OPTIONS;
  level = o.level;
  if (level == KIVO_SNMPV3_NOAUTH_NOPRIV) return SNMP_ERR_NONE;
  if (o.auth_protocol < KIVO_SNMPV3_AUTH_MD5 || o.auth_protocol > KIVO_SNMPV3_AUTH_SHA512)
    return KIVO_SNMPV3_ERR_OPTIONS;
  auth = static_cast<Auth>(o.auth_protocol);
  std::int32_t code = SNMP_ERR_NONE;
  if (!take_key(auth, o.auth_password, o.auth_key, o.auth_key_length, ku_auth, code)) return code;
  if (level == KIVO_SNMPV3_AUTH_NOPRIV) return SNMP_ERR_NONE;
  if (o.priv_protocol < KIVO_SNMPV3_PRIV_DES || o.priv_protocol > KIVO_SNMPV3_PRIV_AES256)
    return KIVO_SNMPV3_ERR_OPTIONS;
  priv = static_cast<Priv>(o.priv_protocol);
  if (o.priv_password == nullptr && o.priv_key == nullptr) return KIVO_SNMPV3_ERR_OPTIONS;
  if (o.priv_password != nullptr && std::strlen(o.priv_password) < kMinPassword)
    return KIVO_SNMPV3_ERR_OPTIONS;
  if (!priv_available(priv)) return KIVO_SNMPV3_ERR_CRYPTO;
  // The privacy password goes through the authentication protocol's hash (RFC 3414 A.2).
  if (!take_key(auth, o.priv_password, o.priv_key, o.priv_key_length, ku_priv, code)) return code;
  return SNMP_ERR_NONE;
}

std::int32_t code_of_report(ReportKind kind) noexcept {
  switch (kind) {
    case ReportKind::unsupported_level: return KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL;
    case ReportKind::not_in_time_window: return KIVO_SNMPV3_ERR_NOT_IN_TIME_WINDOW;
    case ReportKind::unknown_user: return KIVO_SNMPV3_ERR_UNKNOWN_USER;
    case ReportKind::unknown_engine: return KIVO_SNMPV3_ERR_UNKNOWN_ENGINE;
    case ReportKind::wrong_digest: return KIVO_SNMPV3_ERR_WRONG_DIGEST;
    case ReportKind::decryption: return KIVO_SNMPV3_ERR_DECRYPTION;
    default: return KIVO_SNMPV3_ERR_REPORT;
  }
}

std::uint32_t EngineState::now() const noexcept {
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - at).count();
  const std::uint64_t t = std::uint64_t{time} + static_cast<std::uint64_t>(std::max<long long>(elapsed, 0));
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(t, 0x7FFFFFFFu));
}

bool EngineState::learn(std::span<const std::uint8_t> id, std::uint32_t b, std::uint32_t t) noexcept {
  if (id.empty() || id.size() > kMaxEngineId) return false;
  std::memcpy(id_bytes, id.data(), id.size());
  id_size = id.size();
  known = true;
  sync(b, t);
  return true;
}

void EngineState::sync(std::uint32_t b, std::uint32_t t) noexcept {
  boots = b;
  time = t;
  at = Clock::now();
}

bool derive(const User &user, std::span<const std::uint8_t> engine_id, LocalKeys &out) noexcept {
  out.auth = user.auth;
  out.priv = user.priv;
  if (user.auth == Auth::none) return true;
  if (!localize(user.auth, user.ku_auth, engine_id, out.auth_key)) return false;
  if (user.priv == Priv::none) return true;
  Key kul;
  return localize(user.auth, user.ku_priv, engine_id, kul) &&
         priv_key(user.auth, user.priv, kul, out.priv_key);
}

const LocalKeys *KeyCache::get(const User &user, std::span<const std::uint8_t> engine_id) {
  if (engine_id.size() > kMaxEngineId) return nullptr;
  for (const Entry &e : entries_)
    if (e.id_size == engine_id.size() && std::memcmp(e.id, engine_id.data(), e.id_size) == 0)
      return &e.keys;
  if (entries_.size() >= kEntries) entries_.erase(entries_.begin());
  Entry &e = entries_.emplace_back();
  std::memcpy(e.id, engine_id.data(), engine_id.size());
  e.id_size = engine_id.size();
  if (!derive(user, engine_id, e.keys)) {
    entries_.pop_back();
    return nullptr;
  }
  return &e.keys;
}

ReportKind report_kind(const kivo8::snmp::Message &pdu) noexcept {
  static constexpr std::uint32_t usm_stats[9] = {1, 3, 6, 1, 6, 3, 15, 1, 1};
  const auto bindings = pdu.bindings();
  if (bindings.empty() || bindings[0].name.size() < 10 ||
      std::memcmp(bindings[0].name.data(), usm_stats, sizeof usm_stats) != 0)
    return ReportKind::other;
  switch (bindings[0].name[9]) {
    case 1: return ReportKind::unsupported_level;
    case 2: return ReportKind::not_in_time_window;
    case 3: return ReportKind::unknown_user;
    case 4: return ReportKind::unknown_engine;
    case 5: return ReportKind::wrong_digest;
    case 6: return ReportKind::decryption;
    default: return ReportKind::other;
  }
}

Judged judge_reply(const User &user, EngineState &engine, KeyCache &keys, bool discovery,
                   std::span<const std::uint8_t> message, const Envelope &env,
                   std::span<std::uint8_t> scratch, std::uint32_t reqid,
                   kivo8::snmp::Message &pdu) noexcept {
  Judged j;
  const bool auth = (env.flags & kFlagAuth) != 0;
  const LocalKeys *local = nullptr;
  if (auth && !discovery) {
    // Only our own engine's keys can check a digest; a digest under another engine id is
    // nobody we talk to.
    if (!engine.known || env.engine_id.size() != engine.id_size ||
        std::memcmp(env.engine_id.data(), engine.id_bytes, engine.id_size) != 0 ||
        user.auth == Auth::none) {
      j.code = KIVO_SNMPV3_ERR_AUTH_REPLY;
      return j;
    }
    local = guarded<const LocalKeys *>(nullptr, [&] { return keys.get(user, engine.id()); });
    if (local == nullptr || verify(message, env, *local) != CodecError::none) {
      j.code = KIVO_SNMPV3_ERR_AUTH_REPLY;
      return j;
    }
  } else if (auth) {
    // A discovery reply has no business being authenticated; its engine id is what we
    // want, and a digest we cannot check adds nothing.
  }
  Scoped scoped;
  const CodecError e = open_scoped(env, auth ? local : nullptr, scratch, pdu, scoped);
  if (e != CodecError::none) {
    j.code = e == CodecError::decrypt || e == CodecError::no_keys ? KIVO_SNMPV3_ERR_DECRYPTION
                                                                   : SNMP_ERR_DECODE;
    return j;
  }
  if (discovery) {
    // Any answer that names an engine ends the discovery (usually the Report
    // usmStatsUnknownEngineIDs).
    if (!engine.learn(env.engine_id, env.boots, env.time)) {
      j.code = SNMP_ERR_DECODE;
      return j;
    }
    j.drop = false;
    return j;
  }
  if (pdu.type == kPduReport) {
    j.drop = false;
    j.report = report_kind(pdu);
    if (j.report == ReportKind::not_in_time_window && local != nullptr)
      engine.sync(env.boots, env.time);
    j.code = KIVO_SNMPV3_ERR_REPORT;
    return j;
  }
  if (pdu.type != SNMP_MSG_RESPONSE) return j;
  // The level is judged before the request id: a plain reply to an authenticated request
  // is refused as such whatever it claims to answer.
  const bool want_auth = user.level >= KIVO_SNMPV3_AUTH_NOPRIV;
  const bool want_priv = user.level == KIVO_SNMPV3_AUTH_PRIV;
  if (want_auth != auth || want_priv != ((env.flags & kFlagPriv) != 0)) {
    j.code = KIVO_SNMPV3_ERR_AUTH_REPLY;
    return j;
  }
  if (pdu.request_id != reqid) return j;
  // An authenticated reply moves our idea of the engine's clock forward (RFC 3414 3.2
  // step 7b), never backward.
  if (local != nullptr &&
      (env.boots > engine.boots || (env.boots == engine.boots && env.time > engine.now())))
    engine.sync(env.boots, env.time);
  j.drop = false;
  j.answered = true;
  return j;
}

}  // namespace kivo8::v3
