// The SNMPv3 engine-id probe's codec, and description with credentials as a follow-up
// search of the discovery engine.

#include "discover/snmpv3_search.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "core/guard.h"
#include "discover/describe.h"

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
  if (v3::parse_envelope(datagram, env) != v3::CodecError::none || env.msg_id != msg_id ||
      env.engine_id.empty() || (env.flags & v3::kFlagPriv) != 0)
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

Snmpv3Search::Snmpv3Search(const Snmpv3SearchOptions &options) : options_(options) {
  if (options_.credentials || options_.user) {
    if (options_.credentials) setup_code_ = user_.set(*options_.credentials);
    else user_ = *options_.user;
    // The texts were only needed to derive the keys.
    options_.credentials.reset();
    options_.user.reset();
    for (const auto &name : describe_names()) {
      kivo8::snmp::Binding b;
      b.name = name;
      b.type = SNMP_TYPE_NULL;
      describe_bindings_.push_back(b);
    }
  }
}

std::int32_t Snmpv3Search::next_msg_id() {
  // Ids of this search alone: a reply is matched against what this search sent.
  msg_counter_ = msg_counter_ == 0x7FFFFFFFu ? 1 : msg_counter_ + 1;
  return static_cast<std::int32_t>(msg_counter_);
}

bool Snmpv3Search::start(const SearchContext &context, TimePoint now) {
  if (setup_code_ != 0) return false;
  context_ = context;
  fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd_) return false;
  int on = 1;
  (void)setsockopt(fd_.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  // A start that differs per run, so that a late reply to an earlier run is not taken.
  msg_counter_ = static_cast<std::uint32_t>(now.time_since_epoch().count()) & 0x3FFFFFFFu;
  on_timer(now);
  return true;
}

void Snmpv3Search::watched(std::vector<pollfd> &fds) {
  if (fd_) fds.push_back({fd_.get(), POLLIN, 0});
}

void Snmpv3Search::send_describe(Describe &d, TimePoint now) {
  const v3::LocalKeys *keys = user_.level == KIVO_SNMPV3_NOAUTH_NOPRIV
                                  ? nullptr
                                  : keys_.get(user_, d.engine.id());
  if (user_.level != KIVO_SNMPV3_NOAUTH_NOPRIV && keys == nullptr) {
    finish(d);
    return;
  }
  d.msg_id = next_msg_id();
  d.reqid = static_cast<std::uint32_t>(d.msg_id);
  kivo8::snmp::Outgoing pdu;
  pdu.type = SNMP_MSG_GET;
  pdu.request_id = d.reqid;
  pdu.bindings = describe_bindings_;
  v3::Outgoing m;
  m.msg_id = d.msg_id;
  m.flags = v3::kFlagReportable;
  if (user_.level >= KIVO_SNMPV3_AUTH_NOPRIV) m.flags |= v3::kFlagAuth;
  if (user_.level == KIVO_SNMPV3_AUTH_PRIV) m.flags |= v3::kFlagPriv;
  m.engine_id = d.engine.id();
  m.boots = d.engine.boots;
  m.time = d.engine.now();
  m.user = user_.name_view();
  m.context_engine_id = d.engine.id();
  m.keys = keys;
  m.pdu = &pdu;
  std::uint8_t packet[v3::kMaxMessage];
  const std::size_t n = v3::encode(m, packet);
  --d.transmissions_left;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = d.address;
  to.sin_port = htons(options_.port);
  if (n != 0 && ::sendto(fd_.get(), packet, n, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
                    static_cast<ssize_t>(n)) {
    if (context_.book != nullptr) context_.book->note_sent();
  }
  describe_by_id_[d.msg_id] = &d;
  d.waiting = true;
  d.due = now + options_.timeout;
}

bool Snmpv3Search::describe(in_addr address, std::span<const std::uint8_t> engine_id,
                            std::uint32_t boots, std::uint32_t time) {
  if (describe_bindings_.empty() || engine_id.empty() || engine_id.size() > v3::kMaxEngineId) return false;
  auto d = std::make_unique<Describe>();
  d->address = address;
  d->engine.learn(engine_id, boots, time);
  d->transmissions_left = std::max(options_.retries, 0) + 1;
  d->due = TimePoint{};
  describes_.push_back(std::move(d));
  return true;
}

void Snmpv3Search::finish(Describe &d) {
  if (d.finished) return;
  d.finished = true;
  if (follow_ups_ != nullptr) follow_ups_->follow_up_done(d.address);
}

void Snmpv3Search::described(Describe &d, const kivo8::snmp::Message &pdu) {
  Device *device = context_.book != nullptr ? context_.book->find(d.address) : nullptr;
  if (device == nullptr) return;
  bool printer = false;
  for (const kivo8::snmp::Binding &b : pdu.bindings()) printer = apply_binding(*device, b) || printer;
  if (printer) device->kind = Kind::kPrinter;
  // A device that answered v1/v2c as well keeps the version and community it answered
  // with; the names are the same.
  if (device->snmp_version < 0) device->snmp_version = SNMP_VERSION_3;
  context_.book->changed(*device);
}

void Snmpv3Search::refused(Describe &d, std::int32_t code) {
  Device *device = context_.book != nullptr ? context_.book->find(d.address) : nullptr;
  if (device == nullptr || device->snmpv3_error != 0) return;
  // Recorded only: finish() then completes the device, and the front end hears why.
  device->snmpv3_error = code;
}

void Snmpv3Search::receive(TimePoint now) {
  std::uint8_t packet[v3::kMaxMessage];
  std::uint8_t scratch[v3::kMaxMessage];
  // A bounded number of datagrams per wake-up: a flood cannot keep the loop here.
  for (int i = 0; i < 256; ++i) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t got = ::recvfrom(fd_.get(), packet, sizeof packet, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &from_len);
    if (got < 0) return;
    const std::span<const std::uint8_t> datagram(packet, static_cast<std::size_t>(got));
    v3::Envelope env;
    if (from.sin_port != htons(options_.port) ||
        v3::parse_envelope(datagram, env) != v3::CodecError::none) {
      if (context_.book != nullptr) context_.book->note_dropped();
      continue;
    }
    auto dit = describe_by_id_.find(env.msg_id);
    if (dit == describe_by_id_.end() || from.sin_addr.s_addr != dit->second->address.s_addr) {
      if (context_.book != nullptr) context_.book->note_dropped();
      continue;
    }
    Describe &d = *dit->second;
    kivo8::snmp::Message pdu;
    v3::Judged j = v3::judge_reply(user_, d.engine, keys_, false, datagram, env, scratch, d.reqid, pdu);
    if (j.drop) {
      // Reported should nothing better come before the describe gives up.
      if (j.code != SNMP_ERR_NONE) d.dropped_code = j.code;
      if (context_.book != nullptr) context_.book->note_dropped();
      continue;
    }
    describe_by_id_.erase(dit);
    d.waiting = false;
    if (j.report == v3::ReportKind::not_in_time_window && !d.resynced) {
      d.resynced = true;
      ++d.transmissions_left;
      d.due = now;
      continue;
    }
    if (j.report != v3::ReportKind::none)
      refused(d, v3::code_of_report(j.report));
    else if (j.answered)
      described(d, pdu);
    finish(d);
  }
}

void Snmpv3Search::on_ready(int fd, short revents, TimePoint now) {
  if (fd == fd_.get() && (revents & POLLIN) != 0) receive(now);
}

void Snmpv3Search::on_timer(TimePoint now) {
  if (!fd_) return;
  std::size_t in_flight = 0;
  for (const auto &d : describes_) in_flight += d->waiting ? 1 : 0;
  for (auto &dp : describes_) {
    Describe &d = *dp;
    if (d.finished || d.due > now) continue;
    if (d.waiting) {
      d.waiting = false;
      describe_by_id_.erase(d.msg_id);
      --in_flight;
      if (d.transmissions_left <= 0) {
        refused(d, d.dropped_code != SNMP_ERR_NONE ? d.dropped_code : SNMP_ERR_TIMEOUT);
        finish(d);
        continue;
      }
    }
    if (in_flight >= options_.max_describing) continue;
    if (context_.pacer != nullptr && !context_.pacer->take_send(now)) {
      d.due = context_.pacer->next_send(now);
      continue;
    }
    send_describe(d, now);
    if (d.waiting) ++in_flight;
  }
}

std::optional<TimePoint> Snmpv3Search::next_wakeup() const {
  std::optional<TimePoint> next;
  auto consider = [&](TimePoint t) {
    if (!next || t < *next) next = t;
  };
  for (const auto &d : describes_)
    if (!d->finished) consider(d->due);
  return next;
}

bool Snmpv3Search::done() const {
  return std::all_of(describes_.begin(), describes_.end(), [](const auto &d) { return d->finished; });
}

}  // namespace kivo::discover
