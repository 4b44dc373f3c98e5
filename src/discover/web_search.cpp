// Web probes of the discovery engine: a HEAD request to port 80 of each device found,
// with non-blocking connects and a bound on how many are open at once.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "discover/searches.h"
#include "kivo8/tcp_utils.h"

namespace kivo::discover {

namespace {

constexpr char kHead[] = "HEAD / HTTP/1.0\r\n\r\n";

}  // namespace

WebSearch::WebSearch(std::int32_t timeout_ms, std::uint32_t in_flight, FollowUps &follow_ups)
    : timeout_ms_(timeout_ms), in_flight_(std::max<std::uint32_t>(in_flight, 1)), follow_ups_(follow_ups) {}

bool WebSearch::start(const SearchContext &context, TimePoint) {
  context_ = context;
  return true;
}

void WebSearch::probe(in_addr address, TimePoint now) {
  queue_.push_back(address);
  open_more(now);
}

void WebSearch::open_more(TimePoint now) {
  while (!queue_.empty() && probes_.size() < in_flight_) {
    in_addr a = queue_.front();
    queue_.pop_front();
    auto p = std::make_unique<Probe>();
    p->address = a;
    p->ends = now + std::chrono::milliseconds(timeout_ms_);
    p->fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(80);
    to.sin_addr = a;
    if (!p->fd || (::connect(p->fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 &&
                   errno != EINPROGRESS)) {
      if (Device *d = context_.book->find(a)) d->web = Web::kNo;
      follow_ups_.follow_up_done(a);
      continue;
    }
    probes_.push_back(std::move(p));
  }
}

void WebSearch::watched(std::vector<pollfd> &fds) {
  for (const auto &p : probes_)
    fds.push_back({p->fd.get(), static_cast<short>(p->connected ? POLLIN : POLLOUT), 0});
}

void WebSearch::finish(std::size_t index, bool yes) {
  in_addr a = probes_[index]->address;
  probes_.erase(probes_.begin() + static_cast<std::ptrdiff_t>(index));
  if (Device *d = context_.book->find(a)) d->web = yes ? Web::kYes : Web::kNo;
  follow_ups_.follow_up_done(a);
}

void WebSearch::on_ready(int fd, short revents, TimePoint now) {
  for (std::size_t i = 0; i < probes_.size(); ++i) {
    Probe &p = *probes_[i];
    if (p.fd.get() != fd) continue;
    if (!p.connected) {
      int error = 0;
      socklen_t len = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0 ||
          (revents & (POLLERR | POLLHUP)) != 0) {
        finish(i, false);
        break;
      }
      // A short request on a fresh connection: the send buffer takes it whole.
      if (::send(fd, kHead, sizeof kHead - 1, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof kHead - 1)) {
        finish(i, false);
        break;
      }
      p.connected = true;
      break;
    }
    ssize_t n = ::recv(fd, p.answer + p.got, sizeof p.answer - 1 - p.got, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
    if (n > 0) p.got += static_cast<std::size_t>(n);
    p.answer[p.got] = '\0';
    // The status line is in the first bytes; the rest of the answer is not wanted.
    if (n <= 0 || p.got >= 16 || std::strchr(p.answer, '\n') != nullptr) {
      std::int32_t status = tcp_parse_http_status_line(p.answer);
      finish(i, status >= 200 && status < 400);
    }
    break;
  }
  open_more(now);
}

std::optional<TimePoint> WebSearch::next_wakeup() const {
  std::optional<TimePoint> at;
  for (const auto &p : probes_)
    if (!at || p->ends < *at) at = p->ends;
  return at;
}

void WebSearch::on_timer(TimePoint now) {
  for (std::size_t i = 0; i < probes_.size();) {
    if (probes_[i]->ends <= now) {
      finish(i, false);
    } else {
      ++i;
    }
  }
  open_more(now);
}

}  // namespace kivo::discover
