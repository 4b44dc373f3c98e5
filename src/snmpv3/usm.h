// The user-based security model's state and rules: the user and its keys, what is known
// of an agent's engine, localised keys cached per engine id, and the judgement of a reply
// (accept, drop, or the Report it carries). Pure: the session layer moves the bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kivo8/snmpv3.h"
#include "snmpv3/crypto.h"
#include "snmpv3/message.h"

namespace kivo8::v3 {

struct User {
  std::uint8_t name[kMaxName] = {};
  std::size_t name_size = 0;
  std::int32_t level = KIVO_SNMPV3_NOAUTH_NOPRIV;
  Auth auth = Auth::none;
  Priv priv = Priv::none;
  // Password-to-key results (not yet localised); the passwords themselves are not kept.
  Key ku_auth;
  Key ku_priv;

  // Checks the options and derives the keys: SNMP_ERR_NONE, KIVO_SNMPV3_ERR_OPTIONS or
  // KIVO_SNMPV3_ERR_CRYPTO.
  std::int32_t set(const kivo_snmpv3_options &o) noexcept;
  std::span<const std::uint8_t> name_view() const noexcept { return {name, name_size}; }
};

struct EngineState {
  using Clock = std::chrono::steady_clock;
  bool known = false;
  std::uint8_t id_bytes[kMaxEngineId] = {};
  std::size_t id_size = 0;
  std::uint32_t boots = 0;
  std::uint32_t time = 0;
  Clock::time_point at{};

  std::span<const std::uint8_t> id() const noexcept { return {id_bytes, id_size}; }
  // The engine's time now, by the time it told us and our own clock since.
  std::uint32_t now() const noexcept;
  // False for an id that is empty or longer than 32 octets.
  bool learn(std::span<const std::uint8_t> id, std::uint32_t boots, std::uint32_t time) noexcept;
  void sync(std::uint32_t boots, std::uint32_t time) noexcept;
  void forget() noexcept { known = false; id_size = 0; boots = time = 0; }
};

// Localised keys per engine id: a walk over many agents with one user localises each
// agent's keys once. Bounded: the oldest entry goes when the cache is full.
class KeyCache {
 public:
  static constexpr std::size_t kEntries = 8;
  // Null when the keys cannot be derived.
  const LocalKeys *get(const User &user, std::span<const std::uint8_t> engine_id);

 private:
  struct Entry {
    std::uint8_t id[kMaxEngineId];
    std::size_t id_size;
    LocalKeys keys;
  };
  std::vector<Entry> entries_;
};

bool derive(const User &user, std::span<const std::uint8_t> engine_id, LocalKeys &out) noexcept;

enum class ReportKind {
  none,
  unsupported_level,
  not_in_time_window,
  unknown_user,
  unknown_engine,
  wrong_digest,
  decryption,
  other,
};

// The kind of Report a PDU of type Report carries, by the name of its first binding
// (usmStats 1.3.6.1.6.3.15.1.1.N.0).
ReportKind report_kind(const kivo8::snmp::Message &pdu) noexcept;
// The KIVO_SNMPV3_ERR_* code of a Report's kind (KIVO_SNMPV3_ERR_REPORT for any other).
std::int32_t code_of_report(ReportKind kind) noexcept;

struct Judged {
  bool drop = true;                 // not an answer to take: keep waiting
  std::int32_t code = SNMP_ERR_NONE;  // with drop: why, reported if nothing better comes
  ReportKind report = ReportKind::none;
  bool answered = false;            // the response is in the caller's Message
};

// Judges a datagram that parsed as an envelope with one of our msgIDs. With `discovery`
// the engine id, boots and time of any Report are learnt. Otherwise a Report gives its
// kind (an authenticated "not in time window" also updates boots and time), and a
// Response is taken only with the user's security level, a digest that verifies and the
// request's id. `scratch` holds at least kMaxMessage bytes; the decoded PDU goes into
// `pdu`, its views pointing into `message` or `scratch`.
Judged judge_reply(const User &user, EngineState &engine, KeyCache &keys, bool discovery,
                   std::span<const std::uint8_t> message, const Envelope &env,
                   std::span<std::uint8_t> scratch, std::uint32_t reqid,
                   kivo8::snmp::Message &pdu) noexcept;

}  // namespace kivo8::v3
