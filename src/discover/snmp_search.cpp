// SNMP searches of the discovery engine: GETs to every broadcast target and every address
// of every range, paced and matched to their requests, and the follow-up GETs that
// describe a device as soon as it has answered.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "discover/describe.h"
#include "discover/searches.h"
#include "discover/snmpv3_search.h"
#include "kivo8/snmp_sess.h"
#include "snmp/message.h"

namespace kivo::discover {

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

in_addr net(std::uint32_t host) {
  in_addr a{};
  a.s_addr = htonl(host);
  return a;
}

}  // namespace

SnmpSearch::SnmpSearch(std::vector<SnmpTarget> targets, std::int32_t retries,
                       std::int32_t describe_timeout_ms, FollowUps &follow_ups, std::uint16_t port)
    : targets_(std::move(targets)),
      port_(port),
      retries_(std::clamp(retries, 0, 20)),
      describe_timeout_ms_(describe_timeout_ms),
      follow_ups_(follow_ups) {
  for (const auto &t : targets_)
    if (!t.broadcast) addresses_total_ += std::uint64_t{t.last} - t.first + 1;
}

SnmpSearch::~SnmpSearch() = default;

std::uint32_t SnmpSearch::new_reqid() {
  // One id space for every request of the search; SNMPv3 message ids are positive
  // 32-bit integers, so ids past that (one in two at most) are skipped.
  std::uint32_t id = snmp_get_next_reqid();
  while (id > 0x7FFFFFFFu) id = snmp_get_next_reqid();
  return id;
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

bool SnmpSearch::encode(std::uint32_t reqid, const Pending &p) {
  std::int32_t command = SNMP_MSG_GET;
  std::vector<const Name *> names;
  std::int32_t version = 0;
  const std::string *community = nullptr;
  if (p.purpose == Purpose::kScan || p.purpose == Purpose::kBroadcast) {
    const Community &c = targets_[p.target].communities[p.community];
    if (c.version == SNMP_VERSION_3) {
      // The engine-id probe: its message id is the request id (kept below 2^31 by
      // new_reqid()).
      const std::size_t n = snmpv3_discovery_request(static_cast<std::int32_t>(reqid), packet_);
      if (n == 0) return false;
      packet_.resize(n);
      return true;
    }
    version = c.version;
    community = &c.name;
    names = {&scan_name(0), &scan_name(1), &scan_name(2)};
  } else {
    auto it = describing_.find(p.address);
    if (it == describing_.end()) return false;
    version = it->second.version;
    community = &it->second.community;
    if (p.purpose == Purpose::kPrinterCheck) {
      command = SNMP_MSG_GETNEXT;
      names = {&printer_mib()};
    } else {
      for (const auto &n : it->second.names) names.push_back(&n);
    }
  }
  if (names.size() > kMostAsked || community->empty()) return false;
  std::array<kivo8::snmp::Binding, kMostAsked> asked;
  for (std::size_t i = 0; i < names.size(); ++i) {
    asked[i].name = *names[i];
    asked[i].type = SNMP_TYPE_NULL;
  }
  kivo8::snmp::Outgoing m;
  m.version = version;
  m.community = {reinterpret_cast<const std::uint8_t *>(community->data()), community->size()};
  m.type = static_cast<std::uint8_t>(command);
  m.request_id = reqid;
  m.bindings = std::span(asked).first(names.size());
  const std::size_t length = kivo8::snmp::encode(m, packet_);
  if (length == 0) return false;
  packet_.resize(length);
  return true;
}

SnmpSearch::Sent SnmpSearch::transmit(std::uint32_t reqid, Pending &p, TimePoint now) {
  packet_.resize(SNMP_PACKET_SIZE);
  if (!encode(reqid, p)) return Sent::kFailed;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port_);
  to.sin_addr = net(p.address);
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
  p.sent = true;
  p.expires = now + std::chrono::milliseconds(p.timeout_ms);
  expiries_.emplace(p.expires, reqid);
  sent_any_ = true;
  context_.book->note_sent();
  return Sent::kOk;
}

void SnmpSearch::send_some(TimePoint now) {
  if (want_write_ || now < blocked_until_) return;
  for (;;) {
    if (urgent_.empty() && sweep_target_ >= targets_.size()) return;
    if (!context_.pacer->take_send(now)) return;
    if (!urgent_.empty()) {
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
        retire(it);
        if (p.purpose == Purpose::kScan && p.community == 0) context_.book->note_address_done();
        if (p.purpose == Purpose::kDescribe || p.purpose == Purpose::kPrinterCheck)
          finish_describe(p.address);
      }
      continue;
    }
    if (sweep_blocked()) return;
    const SnmpTarget &target = targets_[sweep_target_];
    std::uint32_t reqid = new_reqid();
    auto address = static_cast<std::uint32_t>(sweep_next_);
    if (target.on_link) ++on_link_requests_[address];
    auto &p = pending_[reqid];
    p = Pending{address, 0xFFFFFFFFu, Purpose::kScan, static_cast<std::uint8_t>(retries_),
                static_cast<std::uint16_t>(sweep_target_), sweep_community_, {}, target.timeout_ms,
                false};
    if (++sweep_community_ >= target.communities.size()) {
      sweep_community_ = 0;
      if (++sweep_next_ > target.last) {
        do {
          ++sweep_target_;
        } while (sweep_target_ < targets_.size() &&
                 (targets_[sweep_target_].broadcast || targets_[sweep_target_].communities.empty()));
        if (sweep_target_ < targets_.size()) sweep_next_ = targets_[sweep_target_].first;
      }
    }
    Sent r = transmit(reqid, p, now);
    if (r == Sent::kLater) {
      // Refused for now: it goes first when sending resumes, never lost.
      urgent_.push_front(reqid);
      return;
    }
    if (r == Sent::kFailed) {
      if (p.community == 0) context_.book->note_address_done();
      retire(pending_.find(reqid));
    }
  }
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
  bool to_send = !urgent_.empty() || (sweep_target_ < targets_.size() && !sweep_blocked());
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

void SnmpSearch::retire(std::unordered_map<std::uint32_t, Pending>::iterator it) {
  if (it == pending_.end()) return;
  if (it->second.purpose == Purpose::kScan && targets_[it->second.target].on_link) {
    auto address = on_link_requests_.find(it->second.address);
    if (address != on_link_requests_.end() && --address->second == 0) on_link_requests_.erase(address);
  }
  pending_.erase(it);
}

bool SnmpSearch::done() const {
  return urgent_.empty() && sweep_target_ >= targets_.size() && pending_.empty();
}

void SnmpSearch::expire(TimePoint now) {
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
    retire(it);
    if (done.purpose == Purpose::kScan && done.community == 0) context_.book->note_address_done();
    if (done.purpose == Purpose::kDescribe || done.purpose == Purpose::kPrinterCheck) {
      // A device that answered and then stayed silent: its answers are being lost.
      context_.pacer->note_loss(now);
      finish_describe(done.address);
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
      engine_report(datagram, ntohl(from.sin_addr.s_addr), ntohs(from.sin_port));
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
  auto it = pending_.find(m.request_id);
  if (it == pending_.end() || !it->second.sent) {
    context_.book->note_dropped();
    return;
  }
  Pending p = it->second;
  bool from_right_place =
      p.purpose == Purpose::kBroadcast
          ? (source & p.mask) == (p.address & p.mask)
          : source == p.address && port == port_;
  std::int32_t version = -1;
  if (p.purpose == Purpose::kScan || p.purpose == Purpose::kBroadcast) {
    version = targets_[p.target].communities[p.community].version;
  } else if (auto d = describing_.find(p.address); d != describing_.end()) {
    version = d->second.version;
  }
  if (!from_right_place || m.version != version) {
    context_.book->note_dropped();
    return;
  }
  context_.book->note_answer();
  // An answer that came only to a retry: the first request or its answer was lost.
  if (p.retried) context_.pacer->note_loss(now);
  switch (p.purpose) {
    case Purpose::kBroadcast:
      answered_scan(p, m, source);  // the request stays open for more devices
      break;
    case Purpose::kScan:
      retire(it);
      if (p.community == 0) context_.book->note_address_done();
      answered_scan(p, m, source);
      break;
    case Purpose::kDescribe:
      pending_.erase(it);
      describe_reply(p.address, m, now);
      break;
    case Purpose::kPrinterCheck:
      pending_.erase(it);
      printer_check_reply(p.address, m);
      break;
  }
}

void SnmpSearch::engine_report(std::span<const std::uint8_t> datagram, std::uint32_t source,
                               std::uint16_t port) {
  kivo8::v3::Envelope env;
  if (kivo8::v3::parse_envelope(datagram, env) != kivo8::v3::CodecError::none || env.msg_id <= 0) {
    context_.book->note_dropped();
    return;
  }
  auto it = pending_.find(static_cast<std::uint32_t>(env.msg_id));
  if (it == pending_.end() || !it->second.sent ||
      (it->second.purpose != Purpose::kScan && it->second.purpose != Purpose::kBroadcast) ||
      targets_[it->second.target].communities[it->second.community].version != SNMP_VERSION_3) {
    context_.book->note_dropped();
    return;
  }
  Pending p = it->second;
  const bool from_right_place = p.purpose == Purpose::kBroadcast
                                    ? (source & p.mask) == (p.address & p.mask)
                                    : source == p.address && port == port_;
  auto report = from_right_place ? snmpv3_parse_engine_report(datagram, env.msg_id) : std::nullopt;
  if (!report) {
    context_.book->note_dropped();
    return;
  }
  context_.book->note_answer();
  if (p.retried) context_.pacer->note_loss(Clock::now());
  if (p.purpose == Purpose::kScan) {
    retire(it);
    if (p.community == 0) context_.book->note_address_done();
  }
  Device *d = context_.book->find_or_add(net(source), kFoundSnmpv3);
  if (d == nullptr) return;
  if (d->engine_id.empty()) {
    d->engine_id = std::move(report->engine_id);
    d->engine_boots = report->boots;
    d->engine_time = report->time;
  }
  if (d->target == nullptr) d->target = targets_[p.target].entry;
  context_.book->changed(*d);
}

void SnmpSearch::answered_scan(const Pending &p, const kivo8::snmp::Message &, std::uint32_t source) {
  const SnmpTarget &target = targets_[p.target];
  Device *d = context_.book->find_or_add(
      net(source), p.purpose == Purpose::kBroadcast ? kFoundBroadcast : kFoundScan);
  if (d == nullptr) return;
  if (d->snmp_version < 0) {
    d->snmp_version = target.communities[p.community].version;
    d->community = target.communities[p.community].name;
    if (d->target == nullptr || (d->found_by & kFoundSnmpv3) != 0) d->target = target.entry;
  }
  context_.book->changed(*d);
}

void SnmpSearch::describe(in_addr address, std::int32_t version, const std::string &community) {
  std::uint32_t a = ntohl(address.s_addr);
  if (describing_.count(a) != 0) return;
  auto &d = describing_[a];
  d.version = version;
  d.community = community;
  d.names = describe_names();
  d.tries_left = static_cast<std::uint8_t>(std::max(retries_, 1));
  send_describe(a, Clock::now());
}

bool SnmpSearch::follow_up(const Device &device, TimePoint) {
  if (device.snmp_version != SNMP_VERSION_1 && device.snmp_version != SNMP_VERSION_2c) return false;
  describe(device.address, device.snmp_version, device.community);
  return true;
}

void SnmpSearch::send_describe(std::uint32_t address, TimePoint) {
  std::uint32_t reqid = new_reqid();
  auto &d = describing_[address];
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
    finish_describe(address);
    return;
  }
  bool printer = false;
  for (const kivo8::snmp::Binding &b : m.bindings()) printer = apply_binding(*d, b) || printer;
  if (printer) {
    d->kind = Kind::kPrinter;
    context_.book->changed(*d);
    finish_describe(address);
    return;
  }
  context_.book->changed(*d);
  state.names.clear();
  send_describe(address, now);
}

void SnmpSearch::printer_check_reply(std::uint32_t address, const kivo8::snmp::Message &m) {
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
  finish_describe(address);
}

void SnmpSearch::finish_describe(std::uint32_t address) {
  if (describing_.erase(address) == 0) return;
  follow_ups_.follow_up_done(net(address));
}

}  // namespace kivo::discover
