// SLP search of the discovery engine: one multicast Service Request through each local
// interface, and the URLs of every Service Reply that answers it within its time-out.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/alloc.h"
#include "discover/searches.h"
#include "kivo8/slp_sess.h"
#include "slp/slp_internal.h"

namespace kivo::discover {

namespace {

constexpr std::size_t kReceiveBuffer = 65536;
constexpr int kReadsPerTurn = 256;
constexpr char kSlpGroup[] = "239.255.255.253";

struct FreeBytes {
  void operator()(std::uint8_t *p) const { kivo8::mem_free(p); }
};
struct FreeReply {
  void operator()(slp_srvreply *r) const { slp_free_srvreply(r); }
};

}  // namespace

SlpSearch::SlpSearch(std::vector<SlpInterface> interfaces, std::string service_type)
    : interfaces_(std::move(interfaces)), service_type_(std::move(service_type)) {}

bool SlpSearch::start(const SearchContext &context, TimePoint now) {
  context_ = context;
  receive_buffer_.resize(kReceiveBuffer);
  in_addr group{};
  inet_pton(AF_INET, kSlpGroup, &group);
  for (const SlpInterface &i : interfaces_) {
    kivo8::UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd) continue;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) != 0) continue;
    (void)::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_IF, &i.local, sizeof i.local);
    int ttl = std::clamp(i.hops + 1, 1, 255);
    (void)::setsockopt(fd.get(), IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    slp_session session{};
    session.version = SLP_VERSION;
    session.hops = i.hops;
    std::memcpy(session.lang, DEFAULT_LANG, sizeof DEFAULT_LANG);
    std::unique_ptr<std::uint8_t, FreeBytes> request(
        build_srvrqst(&session, service_type_.c_str(), i.scopes.c_str()));
    if (!request) continue;
    std::uint32_t length = get_packet_length(request.get());
    auto xid = static_cast<std::uint16_t>(get_int_from_bytes(request.get() + 10, 2));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(SLP_PORT);
    to.sin_addr = group;
    if (!context_.pacer->take_send(now)) {
      // The first sends of a run are never paced away: the bucket starts full.
    }
    if (::sendto(fd.get(), request.get(), length, 0, reinterpret_cast<const sockaddr *>(&to),
                 sizeof to) < 0)
      continue;
    sent_any_ = true;
    context_.book->note_sent();
    sockets_.push_back(
        Socket{std::move(fd), xid, now + std::chrono::milliseconds(i.timeout_ms), i.entry, true});
  }
  return sent_any_;
}

void SlpSearch::watched(std::vector<pollfd> &fds) {
  for (const Socket &s : sockets_)
    if (s.open) fds.push_back({s.fd.get(), POLLIN, 0});
}

void SlpSearch::on_ready(int fd, short, TimePoint) {
  for (Socket &s : sockets_) {
    if (!s.open || s.fd.get() != fd) continue;
    for (int i = 0; i < kReadsPerTurn; ++i) {
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      ssize_t n = ::recvfrom(fd, receive_buffer_.data(), receive_buffer_.size(), MSG_TRUNC,
                             reinterpret_cast<sockaddr *>(&from), &from_len);
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (static_cast<std::size_t>(n) > receive_buffer_.size() || n < SLP_HEADER_FIXED_LEN ||
          get_int_from_bytes(receive_buffer_.data() + 10, 2) != s.xid) {
        context_.book->note_dropped();
        continue;
      }
      std::unique_ptr<slp_srvreply, FreeReply> reply(
          slp_decode_srvreply(receive_buffer_.data(), static_cast<std::int32_t>(n)));
      if (!reply || reply->error != 0) {
        context_.book->note_dropped();
        continue;
      }
      context_.book->note_answer();
      for (const slp_url_node *u = reply->urls; u != nullptr; u = u->next) {
        if (u->entry == nullptr) continue;
        in_addr a = slp_get_in_addr_from_url(u->entry);
        if (a.s_addr == 0) a = from.sin_addr;
        Device *d = context_.book->find_or_add(a, kFoundSlp);
        if (d == nullptr) continue;
        if (d->target == nullptr) d->target = s.entry;
        std::string url = u->entry->url != nullptr ? u->entry->url : "";
        if (url.size() > kMaxText) url.resize(kMaxText);
        if (!url.empty() && d->slp_urls.size() < kMaxListItems &&
            std::find(d->slp_urls.begin(), d->slp_urls.end(), url) == d->slp_urls.end())
          d->slp_urls.push_back(url);
        context_.book->changed(*d);
      }
    }
  }
}

std::optional<TimePoint> SlpSearch::next_wakeup() const {
  std::optional<TimePoint> at;
  for (const Socket &s : sockets_)
    if (s.open && (!at || s.ends < *at)) at = s.ends;
  return at;
}

void SlpSearch::on_timer(TimePoint now) {
  for (Socket &s : sockets_)
    if (s.open && s.ends <= now) {
      s.open = false;
      s.fd.reset();
    }
}

bool SlpSearch::done() const {
  return std::none_of(sockets_.begin(), sockets_.end(), [](const Socket &s) { return s.open; });
}

}  // namespace kivo::discover
