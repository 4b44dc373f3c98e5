// Timed waits, reads, writes and connects on a caller's TCP descriptor.
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>

#include "kivo8/tcp_utils.h"

namespace {

// Above FD_SETSIZE an fd_set would be written out of bounds, so such descriptors are
// watched with poll instead, counting ready sets the way select does.
int32_t _wait_with_poll(int fd, int32_t seconds, bool for_write) noexcept {
  pollfd p{};
  p.fd = fd;
  p.events = static_cast<short>((for_write ? POLLOUT : POLLIN) | POLLPRI);
  long long ms = static_cast<long long>(seconds) * 1000;
  int rc = ::poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
  if (rc <= 0) return rc;
  if (p.revents & POLLNVAL) {
    errno = EBADF;
    return -1;
  }
  short ready_mask = for_write ? (POLLOUT | POLLERR) : (POLLIN | POLLHUP | POLLERR);
  return ((p.revents & ready_mask) ? 1 : 0) + ((p.revents & POLLPRI) ? 1 : 0);
}

// One wait before a read or write: 1 ready, -1 failed (errno set, ETIMEDOUT on time-out).
// A signal during the wait starts the wait over.
int _wait_ready(int fd, int32_t seconds, bool for_write) noexcept {
  for (;;) {
    int32_t rc = select_fd(fd, seconds, for_write ? 1 : 0);
    if (rc > 0) return 1;
    if (rc == 0) {
      errno = ETIMEDOUT;
      return -1;
    }
    if (errno != EINTR) return -1;
  }
}

// Puts the descriptor's file status flags back however the connect ended, without
// disturbing the errno that the caller is about to see.
class FlagsRestorer {
 public:
  FlagsRestorer(int fd, int flags) noexcept : fd_(fd), flags_(flags) {}
  ~FlagsRestorer() {
    int saved = errno;
    (void)::fcntl(fd_, F_SETFL, flags_);
    errno = saved;
  }
  FlagsRestorer(const FlagsRestorer &) = delete;
  FlagsRestorer &operator=(const FlagsRestorer &) = delete;

 private:
  int fd_;
  int flags_;
};

}  // namespace

extern "C" KIVO8_API int32_t select_fd(int32_t fd, int32_t seconds, int32_t for_write) noexcept {
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  if (fd >= FD_SETSIZE) return _wait_with_poll(fd, seconds, for_write != 0);
  fd_set io, ex;
  FD_ZERO(&io);
  FD_ZERO(&ex);
  FD_SET(fd, &io);
  FD_SET(fd, &ex);
  timeval tv{};
  tv.tv_sec = seconds;
  tv.tv_usec = 0;
  return ::select(fd + 1, for_write ? nullptr : &io, for_write ? &io : nullptr, &ex, &tv);
}

extern "C" KIVO8_API int32_t tcp_read(int32_t fd, uint8_t *buffer, int32_t length,
                                      int32_t seconds) noexcept {
  if (length < 0) {
    errno = EINVAL;
    return -1;
  }
  for (;;) {
    if (seconds != 0 && _wait_ready(fd, seconds, false) < 0) return -1;
    ssize_t n = ::read(fd, buffer, static_cast<size_t>(length));
    if (n < 0 && errno == EINTR) continue;
    return static_cast<int32_t>(n);
  }
}

// A socket is written with send(MSG_NOSIGNAL): a peer that has already reset the
// connection must give EPIPE, not a SIGPIPE that ends the front end. Other descriptors
// (pipes, files) fall back to write.
static ssize_t _write_some(int fd, const uint8_t *bytes, size_t n) noexcept {
  ssize_t rc = ::send(fd, bytes, n, MSG_NOSIGNAL);
  if (rc < 0 && errno == ENOTSOCK) rc = ::write(fd, bytes, n);
  return rc;
}

extern "C" KIVO8_API int32_t tcp_write(int32_t fd, const uint8_t *buffer, int32_t length,
                                       int32_t seconds) noexcept {
  if (length < 1) return 0;
  size_t left = static_cast<size_t>(length);
  const uint8_t *p = buffer;
  ssize_t last = 0;
  while (left > 0) {
    if (seconds != 0 && _wait_ready(fd, seconds, true) < 0) return -1;
    last = _write_some(fd, p, left);
    if (last < 0 && errno == EINTR) continue;
    if (last <= 0) return static_cast<int32_t>(last);
    p += last;
    left -= static_cast<size_t>(last);
  }
  return static_cast<int32_t>(last);
}

extern "C" KIVO8_API void connect_alarm(int32_t signal_number) noexcept { (void)signal_number; }

extern "C" KIVO8_API int32_t connect_timeo(int32_t fd, const struct sockaddr *address,
                                           uint32_t address_length, int32_t seconds) noexcept {
  if (seconds <= 0) return ::connect(fd, address, address_length);

  // The time-out is a wait on this socket alone: no process-wide alarm, so connects in
  // several threads cannot cut each other short, and the caller's SIGALRM stays its own.
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return -1;
  FlagsRestorer restore(fd, flags);
  if (!(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;

  if (::connect(fd, address, address_length) == 0) return 0;
  if (errno != EINPROGRESS) return -1;

  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now());
    if (left.count() <= 0) {
      // Callers tell a time-out by EINTR, as when an alarm interrupted the connect.
      errno = EINTR;
      return -1;
    }
    pollfd p{};
    p.fd = fd;
    p.events = POLLOUT;
    long long ms = left.count() + 1;  // round up so the wait never ends just short
    int rc = ::poll(&p, 1, ms > INT_MAX ? INT_MAX : static_cast<int>(ms));
    if (rc < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (rc == 0) continue;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return -1;
    if (err != 0) {
      errno = err;
      return -1;
    }
    return 0;
  }
}
