// A received SNMPv3 datagram through the v3 decoder: the envelope, the plain scoped PDU
// as discovery reads it, and the authenticated and encrypted paths with a fixed user's keys.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "snmp/pdu.h"
#include "snmpv3/message.h"
#include "snmpv3/usm.h"

namespace {

using namespace kivo8::v3;

// The seeds' user at net-snmp's snmpd: pass phrases authpass123 / privpass123. Which
// hash was used shows in the length of the digest; the privacy protocol is tried by the
// input's last octet, so every cipher's path is reached.
User make_user(Auth auth, Priv priv) {
  User u;
  kivo_snmpv3_options o{};
  o.size = sizeof o;
  o.user = "usha";
  o.level = KIVO_SNMPV3_AUTH_PRIV;
  o.auth_protocol = static_cast<int32_t>(auth);
  o.auth_password = "authpass123";
  o.priv_protocol = static_cast<int32_t>(priv);
  o.priv_password = "privpass123";
  if (u.set(o) != 0) __builtin_trap();
  return u;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static bool ready = [] {
    std::freopen("/dev/null", "w", stdout);
    return mt_res_init() == 0;
  }();
  static User users[7][5];
  static bool users_made = false;
  if (!ready || size > kMaxMessage) return 0;
  if (!users_made) {
    for (int a = 1; a < 7; ++a)
      for (int p = 1; p < 5; ++p) users[a][p] = make_user(static_cast<Auth>(a), static_cast<Priv>(p));
    users_made = true;
  }
  kivo8::fuzz::ExactCopy in(data, size);
  const std::span<const std::uint8_t> message(in.bytes.get(), in.size);
  Envelope env;
  if (parse_envelope(message, env) != CodecError::none) return 0;
  if (env.auth_offset + env.auth_params.size() > message.size()) __builtin_trap();

  std::vector<std::uint8_t> scratch(kMaxMessage);
  // Discovery: no keys at all.
  {
    User nobody;
    EngineState engine;
    KeyCache cache;
    kivo8::snmp::Message pdu;
    (void)judge_reply(nobody, engine, cache, true, message, env, scratch, 0, pdu);
    if (engine.known && (engine.id_size == 0 || engine.id_size > kMaxEngineId)) __builtin_trap();
  }
  // Authenticated: the digest is checked with the keys localised to the message's own
  // engine id; the scoped PDU is decrypted whether or not the digest holds, so that the
  // decryption and PDU paths see fuzzed bytes too.
  Auth auth = Auth::none;
  for (int a = 1; a < 7; ++a)
    if (mac_size(static_cast<Auth>(a)) == env.auth_params.size()) auth = static_cast<Auth>(a);
  if (auth == Auth::sha1 && (size & 1)) auth = Auth::md5;
  if (auth == Auth::none) auth = Auth::sha1;
  const int priv = 1 + data[size - 1] % 4;
  const User &user = users[static_cast<int>(auth)][priv];
  LocalKeys keys;
  if (!derive(user, env.engine_id, keys)) return 0;
  (void)verify(message, env, keys);
  {
    kivo8::snmp::Message pdu;
    Scoped scoped;
    if (open_scoped(env, &keys, scratch, pdu, scoped) == CodecError::none) {
      // Every view of the decoded PDU lies inside the message or the scratch buffer.
      for (const kivo8::snmp::Binding &b : pdu.bindings())
        if (!b.value.empty() && (b.value.data() < scratch.data() ||
                                 b.value.data() + b.value.size() > scratch.data() + scratch.size()) &&
            (b.value.data() < message.data() || b.value.data() + b.value.size() > message.data() + message.size()))
          __builtin_trap();
    }
  }
  {
    EngineState engine;
    engine.learn(env.engine_id, 1, 1);
    KeyCache cache;
    kivo8::snmp::Message pdu;
    (void)judge_reply(user, engine, cache, false, message, env, scratch, 0, pdu);
  }
  return 0;
}
