// Status reads of the printers the engine found, carried in its loop.
#include "discover/status_search.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "kivo8/snmp_sess.h"
#include "kivo8/snmpv3.h"
#include "snmp/message.h"
#include "snmp/session_internal.h"
#include "snmpv3/message.h"

namespace kivo::discover {

namespace v3 = kivo8::v3;
using kivo8::status::Command;
using kivo8::status::Reader;

namespace {

constexpr std::size_t kReceiveBuffer = 65536;
// Datagrams read per loop turn: a flood cannot keep timers and the deadline from being
// looked at.
constexpr int kReadsPerTurn = 256;

std::uint32_t new_id() {
  // One id space for v1/v2c request ids and SNMPv3 message ids, which must be positive
  // 32-bit integers.
  std::uint32_t id = snmp_get_next_reqid();
  while (id == 0 || id > 0x7FFFFFFFu) id = snmp_get_next_reqid();
  return id;
}

// What a blocking session reports for a reply of `length` bytes that decoded as `d`: a
// reply longer than its receive buffer arrives cut and does not decode; one without
// bindings or with a value type the decoder does not know is a decoding failure too.
// The reader then takes the same turn whichever way the reply came.
std::int32_t code_of_reply(std::size_t length, const kivo8::snmp::Decoded &d, bool bindings) {
  if (length > SNMP_PACKET_SIZE) return SNMP_ERR_DECODE;
  const kivo8::snmp::Codes c = kivo8::snmp::codes_of(d, true, bindings);
  if (c.error != SNMP_ERR_NONE) return c.error;
  return c.result == 0 ? SNMP_ERR_NONE : SNMP_ERR_DECODE;
}

}  // namespace

struct StatusSearch::Read {
  Read(in_addr a, bool bulk) : address(a), reader(a.s_addr, bulk) {}
  in_addr address;
  std::int32_t version = SNMP_VERSION_1;
  std::string community;
  v3::EngineState engine;
  bool resynced = false;
  Reader reader;
  // The ids of every transmission of the request out: an answer to an earlier one that
  // comes late still counts, as it does for a session that waits on.
  std::vector<std::uint32_t> ids;
  int transmissions_left = 0;   // of the request the reader names now
  TimePoint due{};              // its time-out while `waiting`, else when it may go out
  bool waiting = false;
  bool finished = false;
};

StatusSearch::StatusSearch(const StatusSearchOptions &options, FollowUps &follow_ups)
    : options_(options), follow_ups_(follow_ups) {
  options_.transmissions = std::max(options_.transmissions, 1);
  options_.max_reading = std::max<std::size_t>(options_.max_reading, 1);
  if (options_.user) user_ = std::make_unique<v3::User>(*options_.user);
  options_.user.reset();
}

StatusSearch::~StatusSearch() = default;

bool StatusSearch::start(const SearchContext &context, TimePoint) {
  context_ = context;
  fd_.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd_) return false;
  int want = 1 << 20;
  (void)::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &want, sizeof want);
  packet_.resize(SNMP_PACKET_SIZE);
  receive_buffer_.resize(kReceiveBuffer);
  scratch_.resize(v3::kMaxMessage);
  return true;
}

bool StatusSearch::follow_up(const Device &device, TimePoint) {
  if (device.kind != Kind::kPrinter || !fd_) return false;
  // Tables are read by GETBULK where the version that described the device has it.
  auto r = std::make_unique<Read>(device.address, device.snmp_version != SNMP_VERSION_1);
  if (device.snmp_version == SNMP_VERSION_1 || device.snmp_version == SNMP_VERSION_2c) {
    r->version = device.snmp_version;
    r->community = device.community;
  } else if (device.snmp_version == SNMP_VERSION_3 && user_ &&
             r->engine.learn(device.engine_id, device.engine_boots, device.engine_time)) {
    r->version = SNMP_VERSION_3;
  } else {
    return false;
  }
  r->transmissions_left = options_.transmissions;
  queue_.push_back(std::move(r));
  return true;
}

void StatusSearch::watched(std::vector<pollfd> &fds) {
  if (fd_) fds.push_back({fd_.get(), POLLIN, 0});
}

void StatusSearch::on_ready(int, short revents, TimePoint now) {
  if ((revents & (POLLIN | POLLERR)) != 0) receive(now);
}

std::optional<TimePoint> StatusSearch::next_wakeup() const {
  std::optional<TimePoint> at;
  if (!queue_.empty() && reading_.size() < options_.max_reading) at = Clock::now();
  for (const auto &r : reading_)
    if (!r->finished && (!at || r->due < *at)) at = r->due;
  return at;
}

void StatusSearch::on_timer(TimePoint now) {
  while (!queue_.empty() && reading_.size() < options_.max_reading) {
    reading_.push_back(std::move(queue_.front()));
    queue_.pop_front();
    reading_.back()->due = now;
  }
  // Indexes, not iterators: an answer of a time-out may finish a read, never add one.
  for (std::size_t i = 0; i < reading_.size(); ++i) {
    Read &r = *reading_[i];
    if (r.finished || r.due > now) continue;
    if (r.waiting) {
      r.waiting = false;
      if (r.transmissions_left <= 0) {
        answered(r, SNMP_ERR_TIMEOUT, nullptr, now);
        if (r.finished) continue;
      }
    }
    if (!context_.pacer->take_send(now)) {
      r.due = context_.pacer->next_send(now);
      continue;
    }
    send(r, now);
  }
  std::erase_if(reading_, [](const auto &r) { return r->finished; });
}

bool StatusSearch::encode(Read &r, std::uint32_t id) {
  const kivo8::status::Request *request = r.reader.request();
  const std::int32_t command = request->command == Command::get       ? SNMP_MSG_GET
                               : request->command == Command::getnext ? SNMP_MSG_GETNEXT
                                                                       : SNMP_MSG_GETBULK;
  if (request->names.empty()) return false;
  bindings_.clear();
  for (const auto &n : request->names) {
    kivo8::snmp::Binding b;
    b.name = n;
    b.type = SNMP_TYPE_NULL;
    bindings_.push_back(b);
  }
  kivo8::snmp::Outgoing pdu;
  pdu.type = static_cast<std::uint8_t>(command);
  pdu.request_id = id;
  pdu.bindings = bindings_;
  if (request->command == Command::getbulk) {
    pdu.error_status = 0;  // non-repeaters
    pdu.error_index = static_cast<std::int32_t>(request->max_repetitions);
  }
  packet_.resize(SNMP_PACKET_SIZE);
  if (r.version == SNMP_VERSION_3) {
    const v3::LocalKeys *keys = user_->level == KIVO_SNMPV3_NOAUTH_NOPRIV
                                    ? nullptr
                                    : keys_.get(*user_, r.engine.id());
    if (user_->level != KIVO_SNMPV3_NOAUTH_NOPRIV && keys == nullptr) return false;
    v3::Outgoing m;
    m.msg_id = static_cast<std::int32_t>(id);
    m.flags = v3::kFlagReportable;
    if (user_->level >= KIVO_SNMPV3_AUTH_NOPRIV) m.flags |= v3::kFlagAuth;
    if (user_->level == KIVO_SNMPV3_AUTH_PRIV) m.flags |= v3::kFlagPriv;
    m.engine_id = r.engine.id();
    m.boots = r.engine.boots;
    m.time = r.engine.now();
    m.user = user_->name_view();
    m.context_engine_id = r.engine.id();
    m.keys = keys;
    m.pdu = &pdu;
    const std::size_t n = v3::encode(m, packet_);
    packet_.resize(n);
    return n != 0;
  }
  if (r.community.empty()) return false;
  pdu.version = r.version;
  pdu.community = {reinterpret_cast<const std::uint8_t *>(r.community.data()), r.community.size()};
  const std::size_t length = kivo8::snmp::encode(pdu, packet_);
  packet_.resize(length);
  return length != 0;
}

void StatusSearch::send(Read &r, TimePoint now) {
  const std::uint32_t id = new_id();
  if (!encode(r, id)) {
    // A request that cannot be made is refused like one the device refused.
    answered(r, SNMP_ERR_OTHER, nullptr, now);
    return;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr = r.address;
  to.sin_port = htons(options_.port);
  // A send the kernel refuses (no buffer now) counts as a transmission lost: the time-out
  // sends it again, as it would for a datagram lost on the way.
  if (::sendto(fd_.get(), packet_.data(), packet_.size(), 0, reinterpret_cast<sockaddr *>(&to),
               sizeof to) == static_cast<ssize_t>(packet_.size()))
    context_.book->note_sent();
  else if (errno == ENOBUFS || errno == EAGAIN)
    context_.pacer->note_loss(now);
  --r.transmissions_left;
  r.ids.push_back(id);
  r.waiting = true;
  r.due = now + options_.timeout;
  by_id_[id] = &r;
}

void StatusSearch::receive(TimePoint now) {
  for (int i = 0; i < kReadsPerTurn; ++i) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(fd_.get(), receive_buffer_.data(), receive_buffer_.size(), MSG_TRUNC,
                                 reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (static_cast<std::size_t>(n) > receive_buffer_.size() || from.sin_family != AF_INET ||
        from.sin_port != htons(options_.port)) {
      context_.book->note_dropped();
      continue;
    }
    take({receive_buffer_.data(), static_cast<std::size_t>(n)}, from, now);
  }
  std::erase_if(reading_, [](const auto &r) { return r->finished; });
}

void StatusSearch::take(std::span<const std::uint8_t> datagram, const sockaddr_in &from,
                        TimePoint now) {
  const bool is_v3 = kivo8::snmp::peek_version(datagram) == SNMP_VERSION_3;
  std::uint32_t id = 0;
  v3::Envelope env;
  if (is_v3) {
    if (v3::parse_envelope(datagram, env) == v3::CodecError::none && env.msg_id > 0)
      id = static_cast<std::uint32_t>(env.msg_id);
  } else if (!kivo8::snmp::peek_request_id(datagram, &id)) {
    id = 0;
  }
  auto it = by_id_.find(id);
  if (id == 0 || it == by_id_.end() || it->second->address.s_addr != from.sin_addr.s_addr ||
      is_v3 != (it->second->version == SNMP_VERSION_3)) {
    context_.book->note_dropped();
    return;
  }
  Read &r = *it->second;
  // The datagram is decoded once, into a message that views it; the reader copies out
  // what it keeps before the next datagram is received over it.
  kivo8::snmp::Message reply;
  if (!is_v3) {
    std::int32_t rc = SNMP_ERR_DECODE;
    if (datagram.size() <= SNMP_PACKET_SIZE) {
      kivo8::snmp::Decoded d;
      d.error = reply.decode(datagram, r.version);
      d.unknown_types = reply.unknown_types;
      d.unknown_type = reply.unknown_types != 0;
      if (d.error == kivo8::snmp::CodecError::none && reply.type != SNMP_MSG_RESPONSE) {
        context_.book->note_dropped();
        return;
      }
      rc = code_of_reply(datagram.size(), d, !reply.bindings().empty());
    }
    context_.book->note_answer();
    answered(r, rc, rc == SNMP_ERR_NONE ? &reply : nullptr, now);
    return;
  }
  // SNMPv3: a reply the session could not hold whole does not decode there either.
  std::int32_t rc = SNMP_ERR_DECODE;
  bool answer = false;
  if (datagram.size() <= v3::kMaxMessage) {
    v3::Judged j = v3::judge_reply(*user_, r.engine, keys_, false, datagram, env, scratch_, id, reply);
    if (j.drop) {
      context_.book->note_dropped();
      return;
    }
    if (j.report == v3::ReportKind::not_in_time_window && !r.resynced) {
      // The engine's clock is learnt from the Report: the same request once more.
      forget(r);
      r.resynced = true;
      ++r.transmissions_left;
      r.due = now;
      return;
    }
    answer = j.answered;
    if (j.report != v3::ReportKind::none) rc = KIVO_SNMPV3_ERR_REPORT;
    else if (answer) rc = !reply.bindings().empty() ? SNMP_ERR_NONE : SNMP_ERR_DECODE;
  }
  context_.book->note_answer();
  answered(r, rc, rc == SNMP_ERR_NONE && answer ? &reply : nullptr, now);
}

void StatusSearch::forget(Read &r) {
  for (std::uint32_t id : r.ids) by_id_.erase(id);
  r.ids.clear();
  r.waiting = false;
}

void StatusSearch::answered(Read &r, std::int32_t rc, const kivo8::snmp::Message *response,
                            TimePoint now) {
  forget(r);
  r.reader.answer(rc, response);
  if (r.reader.finished()) {
    finish(r);
    return;
  }
  r.transmissions_left = options_.transmissions;
  r.due = now;
}

void StatusSearch::finish(Read &r) {
  r.finished = true;
  forget(r);
  if (r.reader.result() == SNMP_ERR_NONE)
    if (Device *d = context_.book->find(r.address)) d->status = r.reader.status();
  follow_ups_.follow_up_done(r.address);
}

}  // namespace kivo::discover
