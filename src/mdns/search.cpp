// Sockets and timing of the multicast DNS search; the decoding is the collector's.
#include "mdns/search.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace kivo8::mdns {

namespace {

constexpr std::uint16_t kMdnsPort = 5353;
// A datagram can be as long as UDP allows; a shorter buffer would cut it and the decoder
// would then refuse a reply that was whole.
constexpr std::size_t kMaxDatagram = 65536;
// Datagrams read from one socket per readable() call, so that a flooding sender on one
// interface cannot keep the others waiting.
constexpr int kReadsPerCall = 64;

std::uint32_t default_group() { return htonl(0xE00000FB); }  // 224.0.0.251

}  // namespace

std::int64_t monotonic_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::vector<std::uint32_t> local_interfaces() {
  std::vector<std::uint32_t> out;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0 ||
        (i->ifa_flags & IFF_MULTICAST) == 0)
      continue;
    const std::uint32_t a = reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr;
    if (std::find(out.begin(), out.end(), a) == out.end()) out.push_back(a);
  }
  freeifaddrs(list);
  return out;
}

Search::Search(const SearchOptions &options) : options_(options), collector_(options.limits) {
  if (options_.group == 0) options_.group = default_group();
}

bool Search::start(std::int64_t now_ms) {
  end_ms_ = now_ms + options_.window_ms;
  repeat_at_ = now_ms + std::min(options_.repeat_ms, options_.window_ms / 2);
  followup_at_ = now_ms + options_.limits.settle_ms;
  const auto interfaces = options_.interfaces.empty() ? local_interfaces() : options_.interfaces;
  for (std::uint32_t address : interfaces) {
    UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) continue;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = address;
    local.sin_port = 0;
    in_addr iface{};
    iface.s_addr = address;
    // Link-local multicast must leave with TTL 255; responders may drop anything else.
    const int ttl = 255;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0 ||
        ::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0 ||
        ::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
      continue;
    sockets_.push_back(std::move(fd));
  }
  stats_.interfaces = sockets_.size();
  if (sockets_.empty()) return false;
  for (const DnsName &name : browse_names())
    send_all({{name, static_cast<std::uint16_t>(RrType::PTR), kClassIn}});
  flush(now_ms);
  return true;
}

std::vector<int> Search::fds() const {
  std::vector<int> out;
  for (const auto &fd : sockets_) out.push_back(fd.get());
  return out;
}

void Search::send_all(const std::vector<Question> &questions) {
  std::array<std::uint8_t, 1500> buf;
  auto size = encode_query(questions, buf);
  if (!size) return;
  for (std::size_t i = 0; i < sockets_.size(); ++i) outbox_.push_back({i, {buf.begin(), buf.begin() + static_cast<long>(*size)}});
}

void Search::flush(std::int64_t now_ms) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = options_.group;
  to.sin_port = htons(options_.port);
  while (!outbox_.empty()) {
    if (gate_ && !gate_(now_ms)) return;
    const Outgoing &out = outbox_.front();
    ssize_t n;
    do {
      n = ::sendto(sockets_[out.socket].get(), out.bytes.data(), out.bytes.size(), 0,
                   reinterpret_cast<const sockaddr *>(&to), sizeof to);
    } while (n < 0 && errno == EINTR);
    // A full send queue is not worth waiting for: the query goes once more anyway.
    if (n == static_cast<ssize_t>(out.bytes.size())) ++stats_.queries_sent;
    else ++stats_.send_errors;
    outbox_.pop_front();
  }
}

void Search::readable(int fd, std::int64_t now_ms) {
  static thread_local std::array<std::uint8_t, kMaxDatagram> buf;
  for (int i = 0; i < kReadsPerCall; ++i) {
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t n = ::recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: drained; anything else: nothing more to read now either
    }
    if (from.sin_family != AF_INET) continue;
    if (ntohs(from.sin_port) != kMdnsPort) {
      ++stats_.wrong_port;
      continue;
    }
    ++stats_.replies;
    collector_.feed(std::span<const std::uint8_t>(buf.data(), static_cast<std::size_t>(n)),
                    from.sin_addr.s_addr, now_ms);
  }
}

void Search::tick(std::int64_t now_ms) {
  if (now_ms >= end_ms_) return;
  flush(now_ms);
  if (!repeated_ && now_ms >= repeat_at_) {
    repeated_ = true;
    for (const DnsName &name : browse_names())
      send_all({{name, static_cast<std::uint16_t>(RrType::PTR), kClassIn}});
  }
  if (now_ms >= followup_at_) {
    for (const auto &questions : collector_.followups(now_ms)) send_all(questions);
    followup_at_ = now_ms + std::max<std::int64_t>(options_.limits.settle_ms / 2, 10);
  }
  flush(now_ms);
}

std::int64_t Search::next_due_ms() const {
  std::int64_t due = end_ms_;
  // Datagrams held back by the send gate: look again shortly.
  if (!outbox_.empty()) due = std::min(due, monotonic_ms() + 5);
  if (!repeated_) due = std::min(due, repeat_at_);
  if (collector_.incomplete()) due = std::min(due, followup_at_);
  return due;
}

std::vector<Device> run_search(const SearchOptions &options, Counters *counters, SearchStats *stats) {
  Search search(options);
  std::int64_t now = monotonic_ms();
  if (search.start(now)) {
    std::vector<pollfd> fds;
    for (int fd : search.fds()) fds.push_back({fd, POLLIN, 0});
    while (!search.finished(now = monotonic_ms())) {
      const std::int64_t wait = std::max<std::int64_t>(0, search.next_due_ms() - now);
      const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<std::int64_t>(wait, 1000)));
      now = monotonic_ms();
      if (ready > 0)
        for (auto &p : fds)
          if (p.revents != 0) search.readable(p.fd, now);
      search.tick(now);
    }
  }
  auto devices = search.collector().devices();
  if (counters != nullptr) *counters = search.collector().counters();
  if (stats != nullptr) *stats = search.stats();
  return devices;
}

}  // namespace kivo8::mdns
