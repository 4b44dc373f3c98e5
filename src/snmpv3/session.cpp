// SNMPv3 sessions: engine discovery, time synchronisation, and GET/GETNEXT/walk exchanges.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>

#include "core/alloc.h"
#include "core/guard.h"
#include "core/unique_fd.h"
#include "kivo8/snmpv3.h"
#include "snmp/pdu.h"
#include "snmp/session_internal.h"
#include "snmpv3/crypto.h"
#include "snmpv3/message.h"
#include "snmpv3/usm.h"

using kivo8::v3::Auth;
using kivo8::v3::Priv;
using Clock = std::chrono::steady_clock;

struct kivo_snmpv3_session {
  kivo8::UniqueFd fd;
  sockaddr_in peer{};
  int timeout_ms = 3000;
  int retries = 2;
  kivo8::v3::User user;
  std::uint8_t context_name[kivo8::v3::kMaxName] = {};
  std::size_t context_name_size = 0;
  kivo8::v3::EngineState engine;
  kivo8::v3::KeyCache keys;
  in_addr from{};
};

namespace {

struct PduFree {
  void operator()(snmp_pdu *p) const noexcept { snmp_free_pdu(p); }
};
using PduPtr = std::unique_ptr<snmp_pdu, PduFree>;

// What came back for one request: a response, a Report, or nothing usable.
struct Outcome {
  int32_t code = SNMP_ERR_TIMEOUT;
  PduPtr pdu;
  kivo8::v3::ReportKind report = kivo8::v3::ReportKind::none;
};

bool send_datagram(const kivo_snmpv3_session &s, std::span<const std::uint8_t> bytes) noexcept {
  for (;;) {
    ssize_t n = ::sendto(s.fd.get(), bytes.data(), bytes.size(), 0,
                         reinterpret_cast<const sockaddr *>(&s.peer), sizeof s.peer);
    if (n == static_cast<ssize_t>(bytes.size())) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;
  }
}

// Sends `pdu` (or, for discovery, an empty GET without security) with up to
// retries + 1 transmissions, and waits for the datagram that answers one of them: from
// the agent's address and port, with one of the msgIDs sent. Everything else is dropped.
Outcome exchange(kivo_snmpv3_session &s, const snmp_pdu &pdu, bool discovery) noexcept {
  namespace v3 = kivo8::v3;
  Outcome out;
  const v3::LocalKeys *keys = nullptr;
  if (!discovery && s.user.level != KIVO_SNMPV3_NOAUTH_NOPRIV) {
    keys = kivo8::guarded<const v3::LocalKeys *>(nullptr,
                                                 [&] { return s.keys.get(s.user, s.engine.id()); });
    if (keys == nullptr) {
      out.code = KIVO_SNMPV3_ERR_CRYPTO;
      return out;
    }
  }
  std::int32_t sent_ids[16];
  int sent = 0;
  // A reply that came but could not be taken (wrong digest, undecodable) is reported as
  // such when nothing better arrives; a forger could otherwise not stop us from waiting
  // for the real answer.
  int32_t seen_bad = SNMP_ERR_TIMEOUT;
  const int transmissions = std::min(s.retries + 1, 16);
  std::uint8_t packet[v3::kMaxMessage];
  std::uint8_t scratch[v3::kMaxMessage];
  for (int t = 0; t < transmissions; ++t) {
    v3::Outgoing m;
    m.msg_id = static_cast<std::int32_t>(snmp_get_next_msgid() & 0x7FFFFFFFu);
    m.flags = v3::kFlagReportable;
    m.exported = &pdu;
    if (!discovery) {
      m.engine_id = s.engine.id();
      m.boots = s.engine.boots;
      m.time = s.engine.now();
      m.user = s.user.name_view();
      m.context_engine_id = s.engine.id();
      m.context_name = {s.context_name, s.context_name_size};
      m.keys = keys;
      if (s.user.level >= KIVO_SNMPV3_AUTH_NOPRIV) m.flags |= v3::kFlagAuth;
      if (s.user.level == KIVO_SNMPV3_AUTH_PRIV) m.flags |= v3::kFlagPriv;
    }
    const std::size_t n = v3::encode(m, packet);
    if (n == 0) {
      out.code = SNMP_ERR_OTHER;
      return out;
    }
    sent_ids[sent++] = m.msg_id;
    if (!send_datagram(s, {packet, n})) {
      out.code = SNMP_ERR_SEND;
      return out;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(s.timeout_ms);
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) break;
      pollfd p{s.fd.get(), POLLIN, 0};
      int ready = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0) {
        out.code = SNMP_ERR_RECV;
        return out;
      }
      if (ready == 0) continue;
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      ssize_t got = ::recvfrom(s.fd.get(), packet, sizeof packet, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr *>(&from), &from_len);
      if (got < 0) {
        if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED)
          continue;
        out.code = SNMP_ERR_RECV;
        return out;
      }
      if (from.sin_addr.s_addr != s.peer.sin_addr.s_addr || from.sin_port != s.peer.sin_port)
        continue;
      const std::span<const std::uint8_t> message(packet, static_cast<std::size_t>(got));
      v3::Envelope env;
      if (v3::parse_envelope(message, env) != v3::CodecError::none) {
        seen_bad = SNMP_ERR_DECODE;
        continue;
      }
      bool ours = false;
      for (int i = 0; i < sent; ++i) ours = ours || sent_ids[i] == env.msg_id;
      if (!ours) continue;
      kivo8::snmp::Message reply;
      v3::Judged judged = v3::judge_reply(s.user, s.engine, s.keys, discovery, message, env,
                                          scratch, pdu.reqid, reply);
      if (judged.drop) {
        if (judged.code != SNMP_ERR_NONE) seen_bad = judged.code;
        continue;
      }
      s.from = from.sin_addr;
      out.code = judged.code;
      out.report = judged.report;
      if (judged.answered) {
        // The exported edge: the caller gets the reply as a record of its own.
        out.pdu.reset(_snmp_create_pdu(0));
        if (!out.pdu || kivo8::snmp::fill_pdu(reply, out.pdu.get()) != kivo8::snmp::CodecError::none) {
          out.pdu.reset();
          out.code = SNMP_ERR_NOMEM;
        }
      }
      return out;
    }
  }
  out.code = seen_bad;
  return out;
}

int32_t discover(kivo_snmpv3_session &s) noexcept {
  PduPtr probe(_snmp_create_pdu(SNMP_MSG_GET));
  if (!probe) return SNMP_ERR_NOMEM;
  probe->reqid = snmp_get_next_reqid();
  Outcome o = exchange(s, *probe, true);
  if (o.code != SNMP_ERR_NONE && o.report == kivo8::v3::ReportKind::none) return o.code;
  // Whatever Report the agent sent, judge_reply took its engine id, boots and time.
  return s.engine.known ? SNMP_ERR_NONE : KIVO_SNMPV3_ERR_UNKNOWN_ENGINE;
}

// One request with discovery before it when needed, one re-send after a "not in time
// window" Report and one new discovery after an "unknown engine id" Report: at most four
// exchanges, whatever the agent keeps answering.
int32_t request(kivo_snmpv3_session &s, snmp_pdu &pdu, snmp_pdu **response_ref) noexcept {
  using kivo8::v3::ReportKind;
  bool resynced = false, rediscovered = false;
  for (;;) {
    if (!s.engine.known) {
      int32_t code = discover(s);
      if (code != SNMP_ERR_NONE) return code;
    }
    Outcome o = exchange(s, pdu, false);
    if (o.report == ReportKind::not_in_time_window && !resynced) {
      resynced = true;
      continue;
    }
    if (o.report == ReportKind::unknown_engine && !rediscovered) {
      rediscovered = true;
      s.engine.forget();
      continue;
    }
    if (o.report != ReportKind::none) return kivo8::v3::code_of_report(o.report);
    if (o.code != SNMP_ERR_NONE) return o.code;
    if (!o.pdu) return SNMP_ERR_DECODE;
    *response_ref = o.pdu.release();
    return SNMP_ERR_NONE;
  }
}

int32_t get_like(kivo_snmpv3_session *s, int32_t command, const snmp_oid *oids,
                 snmp_pdu **response_ref) noexcept {
  if (s == nullptr || response_ref == nullptr) return SNMP_ERR_OTHER;
  *response_ref = nullptr;
  if (oids == nullptr || oids[0].name_length == 0) return SNMP_ERR_NOPDU;
  PduPtr pdu(_snmp_request_pdu(command, oids));
  if (!pdu) return SNMP_ERR_NOMEM;
  return request(*s, *pdu, response_ref);
}

int32_t exchange_v3(void *context, snmp_pdu *request_pdu, snmp_pdu **response) noexcept {
  auto *s = static_cast<kivo_snmpv3_session *>(context);
  *response = nullptr;
  return request(*s, *request_pdu, response);
}

in_addr address_v3(void *context) noexcept { return static_cast<kivo_snmpv3_session *>(context)->from; }

int32_t create(const in_addr &address, const kivo_snmpv3_options &o, kivo_snmpv3_session *&out) noexcept {
  // Fields past what an older caller's record holds take their zero value.
  kivo_snmpv3_options opt{};
  std::memcpy(&opt, &o, std::min<std::size_t>(o.size, sizeof opt));
  void *block = kivo8::mem_alloc(sizeof(kivo_snmpv3_session));
  if (block == nullptr) return SNMP_ERR_NOMEM;
  std::unique_ptr<kivo_snmpv3_session, void (*)(kivo_snmpv3_session *)> s(
      new (block) kivo_snmpv3_session, kivo_snmpv3_free);
  int32_t code = s->user.set(opt);
  if (code != SNMP_ERR_NONE) return code;
  if (opt.context_name != nullptr) {
    const std::size_t n = std::strlen(opt.context_name);
    if (n > kivo8::v3::kMaxName) return KIVO_SNMPV3_ERR_OPTIONS;
    std::memcpy(s->context_name, opt.context_name, n);
    s->context_name_size = n;
  }
  s->timeout_ms = opt.timeout_ms == 0 ? 3000 : static_cast<int>(std::min<uint32_t>(opt.timeout_ms, 600000));
  s->retries = opt.retries < 0 ? 2 : std::min(opt.retries, 15);
  s->peer.sin_family = AF_INET;
  s->peer.sin_addr = address;
  s->peer.sin_port = htons(opt.port == 0 ? 161 : opt.port);
  s->fd.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!s->fd) return SNMP_ERR_SEND;
  out = s.release();
  return SNMP_ERR_NONE;
}

}  // namespace

SnmpExchange _snmpv3_exchange_of(kivo_snmpv3_session *session) noexcept {
  return {exchange_v3, address_v3, session};
}

extern "C" KIVO8_API kivo_snmpv3_session *kivo_snmpv3_create(const struct in_addr *address,
                                                              const kivo_snmpv3_options *options,
                                                              int32_t *code) noexcept {
  int32_t result = KIVO_SNMPV3_ERR_OPTIONS;
  kivo_snmpv3_session *s = nullptr;
  if (address != nullptr && options != nullptr && options->size >= sizeof(uint32_t) * 2)
    result = kivo8::guarded(SNMP_ERR_NOMEM, [&] { return create(*address, *options, s); });
  if (code != nullptr) *code = result;
  return result == SNMP_ERR_NONE ? s : nullptr;
}

extern "C" KIVO8_API int32_t kivo_snmpv3_password_to_key(int32_t auth_protocol, const char *password,
                                                         uint8_t *key, uint32_t *key_length) noexcept {
  using kivo8::v3::Auth;
  if (password == nullptr || key == nullptr || key_length == nullptr) return SNMP_ERR_OTHER;
  if (auth_protocol < KIVO_SNMPV3_AUTH_MD5 || auth_protocol > KIVO_SNMPV3_AUTH_SHA512)
    return KIVO_SNMPV3_ERR_OPTIONS;
  const auto a = static_cast<Auth>(auth_protocol);
  const std::size_t n = std::strlen(password);
  if (n < 8) return KIVO_SNMPV3_ERR_OPTIONS;
  if (*key_length < kivo8::v3::digest_size(a)) return SNMP_ERR_OTHER;
  kivo8::v3::Key ku;
  if (!kivo8::v3::password_to_key(a, {reinterpret_cast<const std::uint8_t *>(password), n}, ku))
    return KIVO_SNMPV3_ERR_CRYPTO;
  std::memcpy(key, ku.bytes, ku.size);
  *key_length = static_cast<uint32_t>(ku.size);
  return SNMP_ERR_NONE;
}

extern "C" KIVO8_API void kivo_snmpv3_free(kivo_snmpv3_session *session) noexcept {
  if (session == nullptr) return;
  session->~kivo_snmpv3_session();
  kivo8::mem_free(session);
}

extern "C" KIVO8_API int32_t kivo_snmpv3_get(kivo_snmpv3_session *session, const snmp_oid *oids,
                                             snmp_pdu **response_ref) noexcept {
  return get_like(session, SNMP_MSG_GET, oids, response_ref);
}

extern "C" KIVO8_API int32_t kivo_snmpv3_getnext(kivo_snmpv3_session *session,
                                                 const snmp_oid *oids,
                                                 snmp_pdu **response_ref) noexcept {
  return get_like(session, SNMP_MSG_GETNEXT, oids, response_ref);
}

extern "C" KIVO8_API int32_t kivo_snmpv3_walk(kivo_snmpv3_session *session, const snmp_oid *oids,
                                              snmp_pdu_list **list_ref) noexcept {
  if (session == nullptr || list_ref == nullptr) return SNMP_ERR_OTHER;
  return _snmp_walk_with({exchange_v3, address_v3, session}, oids, nullptr, false, list_ref);
}

extern "C" KIVO8_API int32_t kivo_snmpv3_bulkwalk(kivo_snmpv3_session *session,
                                                  const snmp_oid *oids,
                                                  const kivo_walk_options *options,
                                                  snmp_pdu_list **list_ref) noexcept {
  if (session == nullptr) {
    if (list_ref != nullptr) *list_ref = nullptr;
    return SNMP_ERR_OTHER;
  }
  kivo_walk_options defaults;
  return _snmp_walk_with({exchange_v3, address_v3, session}, oids,
                         _snmp_bulk_defaults(options, defaults), true, list_ref);
}

extern "C" KIVO8_API int32_t kivo_snmpv3_engine_id(const kivo_snmpv3_session *session,
                                                   uint8_t *engine_id, uint32_t *length) noexcept {
  if (session == nullptr || engine_id == nullptr || length == nullptr) return SNMP_ERR_OTHER;
  if (!session->engine.known) return KIVO_SNMPV3_ERR_UNKNOWN_ENGINE;
  const auto id = session->engine.id();
  if (*length < id.size()) return SNMP_ERR_OTHER;
  std::memcpy(engine_id, id.data(), id.size());
  *length = static_cast<uint32_t>(id.size());
  return SNMP_ERR_NONE;
}

extern "C" KIVO8_API int32_t kivo_snmpv3_discover(kivo_snmpv3_session *session) noexcept {
  if (session == nullptr) return SNMP_ERR_OTHER;
  return discover(*session);
}

extern "C" KIVO8_API const char *kivo_snmpv3_strerror(int32_t code) noexcept {
  switch (code) {
    case SNMP_ERR_NONE: return "success";
    case SNMP_ERR_NOPDU: return "no request or no names";
    case SNMP_ERR_VERSION: return "version refused";
    case SNMP_ERR_SEND: return "the request could not be sent";
    case SNMP_ERR_NOMEM: return "memory exhausted";
    case SNMP_ERR_RECV: return "receiving the reply failed";
    case SNMP_ERR_TIMEOUT: return "no reply (timeout)";
    case SNMP_ERR_DECODE: return "the reply could not be decoded";
    case SNMP_ERR_NOCOMM: return "no community";
    case KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL: return "unsupported security level";
    case KIVO_SNMPV3_ERR_NOT_IN_TIME_WINDOW: return "not in time window";
    case KIVO_SNMPV3_ERR_UNKNOWN_USER: return "unknown user name";
    case KIVO_SNMPV3_ERR_UNKNOWN_ENGINE: return "unknown engine id";
    case KIVO_SNMPV3_ERR_WRONG_DIGEST: return "authentication failure (wrong digest)";
    case KIVO_SNMPV3_ERR_DECRYPTION: return "decryption error";
    case KIVO_SNMPV3_ERR_AUTH_REPLY: return "reply without the requested security";
    case KIVO_SNMPV3_ERR_OPTIONS: return "invalid SNMPv3 options";
    case KIVO_SNMPV3_ERR_CRYPTO: return "cryptographic protocol unavailable";
    case KIVO_SNMPV3_ERR_REPORT: return "error report from the agent";
    default: return "failure";
  }
}
