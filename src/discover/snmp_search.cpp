// The SNMP search of the discovery engine: GETs (and the SNMPv3 engine-id probe) to every
// broadcast target and every address of every range, paced and matched to their
// requests, and the follow-up GETs that describe a device as soon as it has answered,
// over v1/v2c or, with a user, over SNMPv3.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "discover/describe.h"
#include "discover/searches.h"
#include "discover/snmpv3_probe.h"
#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmpv3/message.h"

namespace kivo::discover {

namespace v3 = kivo8::v3;

namespace {

// The sweep asks every address for these three: enough to tell that it answered.
const Name &scan_name(std::size_t i) { return describe_names()[i == 2 ? 3 : i]; }

constexpr std::size_t kReceiveBuffer = 65536;
// Datagrams read per loop turn, so that a flood cannot keep timers and the deadline from
// being looked at.
constexpr int kReadsPerTurn = 256;
// How long sends rest after the kernel refused one for want of buffers (an on-link sweep
// fills the neighbour table; entries free up as resolutions end).
constexpr auto kNoBufferRest = std::chrono::milliseconds(2);
// On-link addresses with scan requests in flight at most: half the kernel's default
// neighbour table (gc_thresh3, 1,024 entries), so that the sweep's unresolved neighbours
// never push out the entries of the devices that answer, and the kernel never drops a
// request unseen. Counted by address, not by request: an address asked with three
// requests (v1, v2c, the SNMPv3 probe) takes one entry, and counting its requests held a
// /22 on the link to a sixth of the pace the table allows.
constexpr std::size_t kOnLinkInFlight = 512;

// Most names one request asks for: the describe GET's, the sweep's three, or one.
constexpr std::size_t kMostAsked = 16;

// Sweep request ids: bit 30 set, and below it a 30-bit keyed permutation of the request's
// sequence number. Every other request id has bit 30 clear.
constexpr std::uint32_t kScanIdBit = 1u << 30;
constexpr std::uint32_t kScanSeqMask = kScanIdBit - 1;

std::uint32_t feistel_round(std::uint32_t half, std::uint32_t key) {
  std::uint32_t x = (half ^ key) * 0x9E3779B1u;
  x ^= x >> 15;
  return x & 0x7FFFu;
}

std::uint32_t random_word() {
  std::uint32_t w = 0;
  if (::getrandom(&w, sizeof w, 0) != static_cast<ssize_t>(sizeof w))
    w = static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return w;
}

in_addr net(std::uint32_t host) {
  in_addr a{};
  a.s_addr = htonl(host);
  return a;
}

}  // namespace

SnmpSearch::SnmpSearch(std::vector<SnmpTarget> targets, std::int32_t retries,
                       std::int32_t describe_timeout_ms, FollowUps &follow_ups, std::uint16_t port,
                       std::shared_ptr<const kivo8::v3::User> user)
    : targets_(std::move(targets)),
      port_(port),
      retries_(std::clamp(retries, 0, 20)),
      describe_timeout_ms_(describe_timeout_ms),
      follow_ups_(follow_ups),
      user_(std::move(user)) {
  for (const auto &t : targets_)
    if (!t.broadcast) addresses_total_ += std::uint64_t{t.last} - t.first + 1;
  for (auto &k : scan_keys_) k = random_word();
  scan_front_ = random_word();
}

SnmpSearch::~SnmpSearch() = default;

std::uint32_t SnmpSearch::new_reqid() {
  // SNMPv3 message ids are positive 32-bit integers, and ids with bit 30 set are the
  // sweep's: the others take the low 30 bits of the library's sequence.
  std::uint32_t id = 0;
  while (id == 0) id = snmp_get_next_reqid() & kScanSeqMask;
  return id;
}

std::uint32_t SnmpSearch::scan_id(std::uint64_t seq) const {
  auto left = static_cast<std::uint32_t>(seq >> 15) & 0x7FFFu;
  auto right = static_cast<std::uint32_t>(seq) & 0x7FFFu;
  for (std::uint32_t key : scan_keys_) {
    const std::uint32_t next = left ^ feistel_round(right, key);
    left = right;
    right = next;
  }
  return kScanIdBit | (left << 15) | right;
}

SnmpSearch::Scan *SnmpSearch::find_scan(std::uint32_t id) {
  if ((id & ~kScanSeqMask) != kScanIdBit) return nullptr;
  // The permutation run backwards gives the low 30 bits of the sequence number; the ring
  // is far shorter than 2^30, so they place the request in it.
  std::uint32_t left = (id >> 15) & 0x7FFFu;
  std::uint32_t right = id & 0x7FFFu;
  for (auto key = scan_keys_.rbegin(); key != scan_keys_.rend(); ++key) {
    const std::uint32_t previous = right ^ feistel_round(left, *key);
    right = left;
    left = previous;
  }
  const std::uint32_t seq = (left << 15) | right;
  const std::uint64_t offset = (seq - static_cast<std::uint32_t>(scan_front_)) & kScanSeqMask;
  if (offset >= scans_.size()) return nullptr;
  Scan &s = scans_[static_cast<std::size_t>(offset)];
  return s.live ? &s : nullptr;
}

bool SnmpSearch::start(const SearchContext &context, TimePoint now) {
  context_ = context;
  sock_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!sock_) return false;
  int on = 1;
  (void)::setsockopt(sock_.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  // A sweep's answers come in bursts; a large queue keeps them from being lost while the
  // loop is sending. Forcing needs privilege; the plain request is capped by the system.
  int want = 4 << 20;
  if (::setsockopt(sock_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &want, sizeof want) != 0)
    (void)::setsockopt(sock_.get(), SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
  // A datagram to an address on the link waits in the kernel until ARP resolves it, and
  // counts against this socket's send buffer all the while: three seconds for an address
  // where nobody answers. With the default buffer a few hundred of those fill it, and the
  // sweep then sends only as fast as they fail (about a hundred a second, so a /22 on the
  // link did not finish by the deadline). A larger buffer lets a sweep's worth of them
  // wait at once.
  if (::setsockopt(sock_.get(), SOL_SOCKET, SO_SNDBUFFORCE, &want, sizeof want) != 0)
    (void)::setsockopt(sock_.get(), SOL_SOCKET, SO_SNDBUF, &want, sizeof want);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (::bind(sock_.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0)
    return false;
  receive_buffer_.resize(kReceiveBuffer);
  packet_.resize(SNMP_PACKET_SIZE);
  if (user_) v3_scratch_.resize(v3::kMaxMessage);

  for (std::size_t t = 0; t < targets_.size(); ++t) {
    const auto &target = targets_[t];
    if (!target.broadcast) continue;
    for (std::size_t c = 0; c < target.communities.size(); ++c) {
      std::uint32_t reqid = new_reqid();
      pending_[reqid] = Pending{target.first, target.mask, Purpose::kBroadcast, 0,
                                static_cast<std::uint16_t>(t), static_cast<std::uint16_t>(c),
                                {}, target.timeout_ms, false};
      urgent_.push_back(reqid);
    }
  }
  sweep_target_ = 0;
  while (sweep_target_ < targets_.size() &&
         (targets_[sweep_target_].broadcast || targets_[sweep_target_].communities.empty()))
    ++sweep_target_;
  if (sweep_target_ < targets_.size()) sweep_next_ = targets_[sweep_target_].first;
  send_some(now);
  return true;
}

bool SnmpSearch::encode_scan(std::uint32_t reqid, const SnmpTarget &target, std::size_t community) {
  const Community &c = target.communities[community];
  packet_.resize(SNMP_PACKET_SIZE);
  if (c.version == SNMP_VERSION_3) {
    // The engine-id probe: its message id is the request id (below 2^31, as every id of
    // this search is).
    const std::size_t n = snmpv3_discovery_request(static_cast<std::int32_t>(reqid), packet_);
    if (n == 0) return false;
    packet_.resize(n);
    return true;
  }
  if (c.name.empty()) return false;
  std::array<kivo8::snmp::Binding, 3> asked;
  for (std::size_t i = 0; i < asked.size(); ++i) {
    asked[i].name = scan_name(i);
    asked[i].type = SNMP_TYPE_NULL;
  }
  kivo8::snmp::Outgoing m;
  m.version = c.version;
  m.community = {reinterpret_cast<const std::uint8_t *>(c.name.data()), c.name.size()};
  m.type = SNMP_MSG_GET;
  m.request_id = reqid;
  m.bindings = asked;
  const std::size_t length = kivo8::snmp::encode(m, packet_);
  if (length == 0) return false;
  packet_.resize(length);
  return true;
}

bool SnmpSearch::encode(std::uint32_t reqid, const Pending &p) {
  if (p.purpose == Purpose::kBroadcast) return encode_scan(reqid, targets_[p.target], p.community);
  std::int32_t command = SNMP_MSG_GET;
  std::vector<const Name *> names;
  std::int32_t version = 0;
  const std::string *community = nullptr;
  Describe *describe = nullptr;
  {
    auto it = describing_.find(p.address);
    if (it == describing_.end()) return false;
    describe = &it->second;
    version = describe->version;
    community = &describe->community;
    if (p.purpose == Purpose::kPrinterCheck) {
      command = SNMP_MSG_GETNEXT;
      names = {&printer_mib()};
    } else {
      for (const auto &n : describe->names) names.push_back(&n);
    }
  }
  if (names.size() > kMostAsked) return false;
  std::array<kivo8::snmp::Binding, kMostAsked> asked;
  for (std::size_t i = 0; i < names.size(); ++i) {
    asked[i].name = *names[i];
    asked[i].type = SNMP_TYPE_NULL;
  }
  kivo8::snmp::Outgoing m;
  m.type = static_cast<std::uint8_t>(command);
  m.request_id = reqid;
  m.bindings = std::span(asked).first(names.size());
  if (version == SNMP_VERSION_3) return describe != nullptr && encode_v3(reqid, *describe, m);
  if (community->empty()) return false;
  m.version = version;
  m.community = {reinterpret_cast<const std::uint8_t *>(community->data()), community->size()};
  const std::size_t length = kivo8::snmp::encode(m, packet_);
  if (length == 0) return false;
  packet_.resize(length);
  return true;
}

bool SnmpSearch::encode_v3(std::uint32_t reqid, Describe &d, const kivo8::snmp::Outgoing &pdu) {
  if (!user_) return false;
  const v3::User &user = *user_;
  const v3::LocalKeys *keys = nullptr;
  if (user.level != KIVO_SNMPV3_NOAUTH_NOPRIV) {
    keys = keys_.get(user, d.engine.id());
    if (keys == nullptr) return false;
  }
  v3::Outgoing m;
  // The msgID is the request id: one pending entry matches the reply at either layer.
  m.msg_id = static_cast<std::int32_t>(reqid);
  m.flags = v3::kFlagReportable;
  if (user.level >= KIVO_SNMPV3_AUTH_NOPRIV) m.flags |= v3::kFlagAuth;
  if (user.level == KIVO_SNMPV3_AUTH_PRIV) m.flags |= v3::kFlagPriv;
  m.engine_id = d.engine.id();
  m.boots = d.engine.boots;
  m.time = d.engine.now();
  m.user = user.name_view();
  m.context_engine_id = d.engine.id();
  m.keys = keys;
  m.pdu = &pdu;
  const std::size_t length = v3::encode(m, packet_);
  if (length == 0) return false;
  packet_.resize(length);
  return true;
}

SnmpSearch::Sent SnmpSearch::transmit(std::uint32_t reqid, Pending &p, TimePoint now) {
  packet_.resize(SNMP_PACKET_SIZE);
  if (!encode(reqid, p)) return Sent::kFailed;
  const Sent r = send_datagram(p.address, now);
  if (r != Sent::kOk) return r;
  p.sent = true;
  p.expires = now + std::chrono::milliseconds(p.timeout_ms);
  expiries_.emplace(p.expires, reqid);
  return Sent::kOk;
}

SnmpSearch::Sent SnmpSearch::send_datagram(std::uint32_t address, TimePoint now) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_);
  to.sin_addr = net(address);
  ssize_t n = ::sendto(sock_.get(), packet_.data(), packet_.size(), 0,
                       reinterpret_cast<const sockaddr *>(&to), sizeof to);
  if (n < 0) {
    int e = errno;
    if (e == EAGAIN || e == EWOULDBLOCK || e == EINTR) {
      ++deferred_;
      want_write_ = true;
      return Sent::kLater;
    }
    if (e == ENOBUFS || e == ENOMEM) {
      ++deferred_;
      context_.pacer->note_loss(now);
      blocked_until_ = now + kNoBufferRest;
      return Sent::kLater;
    }
    return Sent::kFailed;
  }
  sent_any_ = true;
  context_.book->note_sent();
  return Sent::kOk;
}

void SnmpSearch::send_some(TimePoint now) {
  if (want_write_ || now < blocked_until_) return;
  for (;;) {
    if (urgent_.empty() && resends_.empty() && sweep_target_ >= targets_.size()) return;
    if (!context_.pacer->take_send(now)) return;
    if (urgent_.empty()) {
      if (!send_scan(now)) return;
      continue;
    }
    std::uint32_t reqid = urgent_.front();
    auto it = pending_.find(reqid);
    if (it == pending_.end() || it->second.sent) {
      urgent_.pop_front();
      continue;
    }
    Sent r = transmit(reqid, it->second, now);
    if (r == Sent::kLater) return;
    urgent_.pop_front();
    if (r == Sent::kFailed) {
      Pending p = it->second;
      pending_.erase(it);
      if (p.purpose == Purpose::kDescribe || p.purpose == Purpose::kPrinterCheck)
        finish_stage(p.address, now);
    }
  }
}

bool SnmpSearch::send_scan(TimePoint now) {
  // Addresses that timed out go again before new ones, as a request's retries would.
  Resend next{};
  const bool resend = !resends_.empty();
  if (resend) {
    next = resends_.front();
  } else {
    if (sweep_blocked()) return false;
    next = Resend{static_cast<std::uint32_t>(sweep_next_), static_cast<std::uint16_t>(sweep_target_),
                  static_cast<std::uint8_t>(sweep_community_), static_cast<std::uint8_t>(retries_)};
  }
  const SnmpTarget &target = targets_[next.target];
  const std::uint32_t reqid = scan_id(scan_front_ + scans_.size());
  const Sent r = encode_scan(reqid, target, next.community) ? send_datagram(next.address, now)
                                                            : Sent::kFailed;
  // Refused for now: the same request goes first when sending resumes, never lost.
  if (r == Sent::kLater) return false;
  if (resend) {
    resends_.pop_front();
  } else if (++sweep_community_ >= target.communities.size()) {
    sweep_community_ = 0;
    if (++sweep_next_ > target.last) {
      do {
        ++sweep_target_;
      } while (sweep_target_ < targets_.size() &&
               (targets_[sweep_target_].broadcast || targets_[sweep_target_].communities.empty()));
      if (sweep_target_ < targets_.size()) sweep_next_ = targets_[sweep_target_].first;
    }
  }
  Scan s{};
  s.expires = now + std::chrono::milliseconds(target.timeout_ms);
  s.address = next.address;
  s.target = next.target;
  s.community = next.community;
  s.tries_left = next.tries_left & 0x3Fu;
  s.retried = resend ? 1 : 0;
  s.live = 1;
  // A resent address kept its neighbour entry while it waited.
  if (target.on_link && !resend) ++on_link_requests_[next.address];
  scans_.push_back(s);
  ++scans_live_;
  if (r == Sent::kFailed) scan_ended(scans_.back());
  return true;
}

void SnmpSearch::watched(std::vector<pollfd> &fds) {
  if (!sock_) return;
  fds.push_back({sock_.get(), static_cast<short>(POLLIN | (want_write_ ? POLLOUT : 0)), 0});
}

void SnmpSearch::on_ready(int, short revents, TimePoint now) {
  if ((revents & POLLOUT) != 0) want_write_ = false;
  if ((revents & (POLLIN | POLLERR)) != 0) receive(now);
  send_some(now);
}

std::optional<TimePoint> SnmpSearch::next_wakeup() const {
  std::optional<TimePoint> at;
  if (!expiries_.empty()) at = expiries_.top().first;
  // The oldest sweep request (answered ones leave the front when it is looked at, so an
  // early wake-up only tidies the ring).
  if (!scans_.empty() && (!at || scans_.front().expires < *at)) at = scans_.front().expires;
  bool to_send = !urgent_.empty() || !resends_.empty() ||
                 (sweep_target_ < targets_.size() && !sweep_blocked());
  if (to_send && !want_write_) {
    TimePoint t = std::max(blocked_until_, context_.pacer->next_send(Clock::now()));
    if (!at || t < *at) at = t;
  }
  return at;
}

void SnmpSearch::on_timer(TimePoint now) {
  expire(now);
  send_some(now);
}

bool SnmpSearch::sweep_blocked() const {
  // Only a new address waits: the other requests of an address in flight cost no entry.
  return sweep_target_ < targets_.size() && targets_[sweep_target_].on_link && sweep_community_ == 0 &&
         on_link_requests_.size() >= kOnLinkInFlight;
}

void SnmpSearch::scan_ended(Scan &s) {
  if (!s.live) return;
  s.live = 0;
  --scans_live_;
  if (targets_[s.target].on_link) {
    auto address = on_link_requests_.find(s.address);
    if (address != on_link_requests_.end() && --address->second == 0) on_link_requests_.erase(address);
  }
  if (s.community == 0) context_.book->note_address_done();
}

bool SnmpSearch::done() const {
  return urgent_.empty() && resends_.empty() && sweep_target_ >= targets_.size() &&
         pending_.empty() && scans_live_ == 0 && describe_queue_.empty();
}

void SnmpSearch::expire_scans(TimePoint now) {
  // The ring is in send order. Targets with different time-outs can put a later expiry
  // before an earlier one; that request is then looked at when the one before it expires,
  // late by at most the difference of the time-outs, and nothing is lost.
  while (!scans_.empty() && (!scans_.front().live || scans_.front().expires <= now)) {
    Scan &s = scans_.front();
    if (s.live) {
      if (s.tries_left > 0) {
        // Asked again under a new id; the address keeps its neighbour entry meanwhile.
        s.live = 0;
        --scans_live_;
        resends_.push_back(Resend{s.address, s.target, s.community,
                                  static_cast<std::uint8_t>(s.tries_left - 1)});
      } else {
        scan_ended(s);
      }
    }
    scans_.pop_front();
    ++scan_front_;
  }
}

void SnmpSearch::expire(TimePoint now) {
  expire_scans(now);
  while (!expiries_.empty() && expiries_.top().first <= now) {
    auto [when, reqid] = expiries_.top();
    expiries_.pop();
    auto it = pending_.find(reqid);
    if (it == pending_.end() || !it->second.sent || it->second.expires != when) continue;
    Pending &p = it->second;
    if (p.tries_left > 0) {
      --p.tries_left;
      p.sent = false;
      p.retried = true;
      urgent_.push_back(reqid);
      continue;
    }
    Pending done = p;
    pending_.erase(it);
    if (done.purpose == Purpose::kDescribe || done.purpose == Purpose::kPrinterCheck) {
      // A device that answered and then stayed silent: its answers are being lost.
      context_.pacer->note_loss(now);
      auto d = describing_.find(done.address);
      if (d != describing_.end() && d->second.version == SNMP_VERSION_3) {
        const std::int32_t why = d->second.dropped_code;
        refused(done.address, why != SNMP_ERR_NONE ? why : SNMP_ERR_TIMEOUT);
      }
      finish_stage(done.address, now);
    }
  }
}

void SnmpSearch::receive(TimePoint now) {
  for (int i = 0; i < kReadsPerTurn; ++i) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    ssize_t n = ::recvfrom(sock_.get(), receive_buffer_.data(), receive_buffer_.size(), MSG_TRUNC,
                           reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    // Longer than any datagram can be: cut short, so not decodable.
    if (static_cast<std::size_t>(n) > receive_buffer_.size() || from.sin_family != AF_INET) {
      context_.book->note_dropped();
      continue;
    }
    const std::span<const std::uint8_t> datagram(receive_buffer_.data(), static_cast<std::size_t>(n));
    if (kivo8::snmp::peek_version(datagram) == SNMP_VERSION_3) {
      handle_v3(datagram, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), now);
      continue;
    }
    // Decoded in place, views into the receive buffer: nothing is allocated for a reply.
    kivo8::snmp::Message m;
    if (m.decode(datagram) != kivo8::snmp::CodecError::none || m.type != SNMP_MSG_RESPONSE) {
      context_.book->note_dropped();
      continue;
    }
    handle(m, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), now);
  }
}

void SnmpSearch::handle(const kivo8::snmp::Message &m, std::uint32_t source, std::uint16_t port,
                        TimePoint now) {
  if (Scan *scan = find_scan(m.request_id)) {
    if (source != scan->address || port != port_ ||
        m.version != targets_[scan->target].communities[scan->community].version) {
      context_.book->note_dropped();
      return;
    }
    context_.book->note_answer();
    // An answer that came only to a retry: the first request or its answer was lost.
    if (scan->retried) context_.pacer->note_loss(now);
    const std::size_t target = scan->target, community = scan->community;
    scan_ended(*scan);
    answered_scan(target, community, false, source);
    return;
  }
  auto it = pending_.find(m.request_id);
  if (it == pending_.end() || !it->second.sent) {
    context_.book->note_dropped();
    return;
  }
  Pending p = it->second;
  if (!from_right_place(p, source, port) || m.version != version_of(p)) {
    context_.book->note_dropped();
    return;
  }
  context_.book->note_answer();
  // An answer that came only to a retry: the first request or its answer was lost.
  if (p.retried) context_.pacer->note_loss(now);
  switch (p.purpose) {
    case Purpose::kBroadcast:
      answered_scan(p.target, p.community, true, source);  // it stays open for more devices
      break;
    case Purpose::kDescribe:
      pending_.erase(it);
      describe_reply(p.address, m, now);
      break;
    case Purpose::kPrinterCheck:
      pending_.erase(it);
      printer_check_reply(p.address, m, now);
      break;
  }
}

bool SnmpSearch::from_right_place(const Pending &p, std::uint32_t source, std::uint16_t port) const {
  return p.purpose == Purpose::kBroadcast ? (source & p.mask) == (p.address & p.mask)
                                          : source == p.address && port == port_;
}

std::int32_t SnmpSearch::version_of(const Pending &p) const {
  if (p.purpose == Purpose::kBroadcast) return targets_[p.target].communities[p.community].version;
  auto d = describing_.find(p.address);
  return d == describing_.end() ? -1 : d->second.version;
}

void SnmpSearch::handle_v3(std::span<const std::uint8_t> datagram, std::uint32_t source, std::uint16_t port,
                           TimePoint now) {
  // The header is decoded once; the probe's Report and a description's reply part only
  // by what their request was.
  v3::Envelope env;
  if (v3::parse_envelope(datagram, env) != v3::CodecError::none || env.msg_id <= 0) {
    context_.book->note_dropped();
    return;
  }
  const auto id = static_cast<std::uint32_t>(env.msg_id);
  if (Scan *scan = find_scan(id)) {
    if (source != scan->address || port != port_ ||
        targets_[scan->target].communities[scan->community].version != SNMP_VERSION_3) {
      context_.book->note_dropped();
      return;
    }
    // A Report that does not read leaves the request waiting, as a stray datagram would.
    if (engine_report(env, scan->target, scan->retried != 0, source, now)) scan_ended(*scan);
    return;
  }
  auto it = pending_.find(id);
  if (it == pending_.end() || !it->second.sent || version_of(it->second) != SNMP_VERSION_3 ||
      !from_right_place(it->second, source, port)) {
    context_.book->note_dropped();
    return;
  }
  if (it->second.purpose == Purpose::kBroadcast)
    (void)engine_report(env, it->second.target, it->second.retried, source, now);
  else
    v3_reply(datagram, env, it, now);
}

bool SnmpSearch::engine_report(const v3::Envelope &env, std::size_t target, bool retried,
                               std::uint32_t source, TimePoint now) {
  auto report = snmpv3_parse_engine_report(env, env.msg_id);
  if (!report) {
    context_.book->note_dropped();
    return false;
  }
  context_.book->note_answer();
  if (retried) context_.pacer->note_loss(now);
  Device *d = context_.book->find_or_add(net(source), kFoundSnmpv3);
  if (d == nullptr) return true;
  if (d->engine_id.empty()) {
    d->engine_id = std::move(report->engine_id);
    d->engine_boots = report->boots;
    d->engine_time = report->time;
  }
  if (d->target == nullptr) d->target = targets_[target].entry;
  context_.book->changed(*d);
  return true;
}

void SnmpSearch::v3_reply(std::span<const std::uint8_t> datagram, const v3::Envelope &env, PendingIt it,
                          TimePoint now) {
  const Pending p = it->second;
  auto d = describing_.find(p.address);
  if (d == describing_.end() || !user_) {
    context_.book->note_dropped();
    return;
  }
  Describe &state = d->second;
  kivo8::snmp::Message pdu;
  const v3::Judged j =
      v3::judge_reply(*user_, state.engine, keys_, false, datagram, env, v3_scratch_, it->first, pdu);
  if (j.drop) {
    // Reported should nothing better come before the request gives up.
    if (j.code != SNMP_ERR_NONE) state.dropped_code = j.code;
    context_.book->note_dropped();
    return;
  }
  context_.book->note_answer();
  if (p.retried) context_.pacer->note_loss(now);
  pending_.erase(it);
  if (j.report == v3::ReportKind::not_in_time_window && !state.resynced) {
    // The engine's clock is learnt from the Report: the same request once more.
    state.resynced = true;
    send_describe(p.address, now);
    return;
  }
  if (j.report != v3::ReportKind::none) {
    refused(p.address, v3::code_of_report(j.report));
    finish_stage(p.address, now);
  } else if (!j.answered) {
    finish_stage(p.address, now);
  } else if (p.purpose == Purpose::kDescribe) {
    describe_reply(p.address, pdu, now);
  } else {
    printer_check_reply(p.address, pdu, now);
  }
}

void SnmpSearch::refused(std::uint32_t address, std::int32_t code) {
  Device *device = context_.book->find(net(address));
  if (device == nullptr || device->snmpv3_error != 0) return;
  // Recorded only: the end of the description then completes the device, and the front
  // end hears why.
  device->snmpv3_error = code;
}

void SnmpSearch::answered_scan(std::size_t target_index, std::size_t community, bool broadcast,
                               std::uint32_t source) {
  const SnmpTarget &target = targets_[target_index];
  Device *d = context_.book->find_or_add(net(source), broadcast ? kFoundBroadcast : kFoundScan);
  if (d == nullptr) return;
  if (d->snmp_version < 0) {
    d->snmp_version = target.communities[community].version;
    d->community = target.communities[community].name;
    if (d->target == nullptr || (d->found_by & kFoundSnmpv3) != 0) d->target = target.entry;
  }
  context_.book->changed(*d);
}

bool SnmpSearch::follow_up(const Device &device, TimePoint now) {
  const bool community = device.snmp_version == SNMP_VERSION_1 || device.snmp_version == SNMP_VERSION_2c;
  const bool v3 = user_ != nullptr && !device.engine_id.empty();
  const std::uint32_t a = ntohl(device.address.s_addr);
  if ((!community && !v3) || describing_.count(a) != 0) return false;
  describing_[a];
  describe_queue_.push_back(a);
  admit(now);
  return true;
}

void SnmpSearch::admit(TimePoint now) {
  // Not re-entered: a description that ends at once makes room through here too.
  if (admitting_) return;
  admitting_ = true;
  while (!describe_queue_.empty() && describing_now_ < kMaxDescribing) {
    const std::uint32_t a = describe_queue_.front();
    describe_queue_.pop_front();
    ++describing_now_;
    next_stage(a, now);
  }
  admitting_ = false;
}

void SnmpSearch::next_stage(std::uint32_t address, TimePoint now) {
  auto it = describing_.find(address);
  if (it == describing_.end()) return;
  Describe &d = it->second;
  // What is known of the device now: an answer or an engine id may have come since the
  // description started.
  const Device *device = context_.book->find(net(address));
  const bool community = device != nullptr && (device->snmp_version == SNMP_VERSION_1 ||
                                                device->snmp_version == SNMP_VERSION_2c);
  if (community && !d.community_tried) {
    d.community_tried = true;
    d.version = device->snmp_version;
    d.community = device->community;
  } else if (device != nullptr && user_ && !d.v3_tried &&
             d.engine.learn(device->engine_id, device->engine_boots, device->engine_time)) {
    d.v3_tried = true;
    d.version = SNMP_VERSION_3;
    d.resynced = false;
    d.dropped_code = SNMP_ERR_NONE;
  } else {
    describing_.erase(it);
    --describing_now_;
    follow_ups_.follow_up_done(net(address));
    admit(now);
    return;
  }
  d.names = describe_names();
  d.tries_left = static_cast<std::uint8_t>(std::max(retries_, 1));
  send_describe(address, now);
}

void SnmpSearch::send_describe(std::uint32_t address, TimePoint) {
  auto it = describing_.find(address);
  if (it == describing_.end()) return;
  const Describe &d = it->second;
  std::uint32_t reqid = new_reqid();
  Purpose purpose = d.names.empty() ? Purpose::kPrinterCheck : Purpose::kDescribe;
  pending_[reqid] = Pending{address, 0xFFFFFFFFu, purpose, d.tries_left, 0, 0, {},
                            describe_timeout_ms_, false};
  urgent_.push_back(reqid);
}

void SnmpSearch::describe_reply(std::uint32_t address, const kivo8::snmp::Message &m, TimePoint now) {
  auto it = describing_.find(address);
  if (it == describing_.end()) return;
  auto &state = it->second;
  if (m.error_status != 0) {
    // An SNMPv1 agent refuses the whole request for one name it lacks: ask again
    // without that name (at most once per name).
    auto index = static_cast<std::size_t>(m.error_index);
    if (m.error_status == 2 && index >= 1 && index <= state.names.size()) {
      state.names.erase(state.names.begin() + static_cast<std::ptrdiff_t>(index - 1));
      if (!state.names.empty()) {
        send_describe(address, now);
        return;
      }
    }
    state.names.clear();
    send_describe(address, now);  // the printer check
    return;
  }
  Device *d = context_.book->find(net(address));
  if (d == nullptr) {
    finish_stage(address, now);
    return;
  }
  bool printer = false;
  for (const kivo8::snmp::Binding &b : m.bindings()) printer = apply_binding(*d, b) || printer;
  // A device that answered v1/v2c keeps the version and community it answered with; one
  // that SNMPv3 alone describes is a v3 device.
  if (d->snmp_version < 0) d->snmp_version = state.version;
  if (printer) {
    d->kind = Kind::kPrinter;
    context_.book->changed(*d);
    finish_stage(address, now);
    return;
  }
  context_.book->changed(*d);
  state.names.clear();
  send_describe(address, now);
}

void SnmpSearch::printer_check_reply(std::uint32_t address, const kivo8::snmp::Message &m, TimePoint now) {
  // The Printer-MIB without a printer name (older agents): any variable below it.
  const Name &mib = printer_mib();
  const auto bindings = m.bindings();
  bool printer = m.error_status == 0 && !bindings.empty() && bindings[0].name.size() > mib.size() &&
                 std::equal(mib.begin(), mib.end(), bindings[0].name.begin()) &&
                 bindings[0].type != SNMP_ENDOFMIBVIEW;
  if (printer) {
    if (Device *d = context_.book->find(net(address))) {
      d->kind = Kind::kPrinter;
      context_.book->changed(*d);
    }
  }
  finish_stage(address, now);
}

void SnmpSearch::finish_stage(std::uint32_t address, TimePoint now) {
  if (describing_.count(address) != 0) next_stage(address, now);
}

}  // namespace kivo::discover
