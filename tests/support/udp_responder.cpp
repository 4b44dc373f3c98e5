// The scripted UDP responder's thread: receive, ask the handler, send its replies.
#include "support/udp_responder.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace kivo8::test {

UdpResponder::UdpResponder(Handler handler, const std::string &address, int port,
                           const std::string &netns)
    : handler_(std::move(handler)) {
  fd_ = udp_socket_in(netns);
  if (fd_ < 0) {
    ADD_FAILURE() << "cannot create the responder's socket";
    return;
  }
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  sockaddr_in a = socket_address(address, port);
  socklen_t alen = sizeof a;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &alen) != 0) {
    ADD_FAILURE() << "cannot bind the responder to " << address << ":" << port;
    close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

UdpResponder::~UdpResponder() {
  stop_ = true;
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

std::vector<double> UdpResponder::arrival_times() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_;
}

bool UdpResponder::wait_received(int n, double seconds) {
  return wait_until(seconds, [&] { return received_.load() >= n; });
}

bool UdpResponder::sleep_ms(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_.load(); });
}

void UdpResponder::run() {
  std::vector<std::uint8_t> buf(65536);
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from),
                         &flen);
    if (n < 0) continue;
    int index = received_.load();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      arrivals_.push_back(now_seconds());
    }
    ++received_;
    craft::Bytes request(buf.begin(), buf.begin() + n);
    for (const Reply &reply : handler_(request, index)) {
      if (reply.delay_ms > 0 && !sleep_ms(reply.delay_ms)) return;
      if (sendto(fd_, reply.bytes.data(), reply.bytes.size(), 0,
                 reinterpret_cast<sockaddr *>(&from), flen) >= 0)
        ++sent_;
    }
  }
}

}  // namespace kivo8::test
