// The UDP transport: one socket per exchange, a wait for one reply or a window of replies.
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "core/alloc.h"
#include "core/guard.h"
#include "core/unique_fd.h"
#include "kivo8/udp_sess.h"
#include "net/udp_internal.h"

namespace {

// One datagram collected during a window; node and bytes are a single allocation.
struct packet_node {
  packet_node *next;
  udp_session session;  // the session as it stood when the datagram came
  uint32_t length;
  uint8_t data[1];
};

constexpr std::size_t packet_fixed_size = offsetof(packet_node, data);

void packets_add(packet_node **head, const udp_session &session, const uint8_t *bytes,
                 uint32_t length) noexcept {
  std::size_t size = packet_fixed_size + length;
  if (size < sizeof(packet_node)) size = sizeof(packet_node);
  auto *node = static_cast<packet_node *>(kivo8::mem_alloc(size));
  // Out of memory for one datagram: it is dropped and the window goes on.
  if (node == nullptr) return;
  node->session = session;
  node->length = length;
  if (length != 0) std::memcpy(node->data, bytes, length);
  node->next = *head;
  *head = node;
}

void packets_free(packet_node *node) noexcept {
  while (node != nullptr) {
    packet_node *next = node->next;
    kivo8::mem_free(node);
    node = next;
  }
}

// The buffer of one read; freed and cleared from the session on every way out.
class RecvBuffer {
 public:
  explicit RecvBuffer(udp_session *udp) noexcept : udp_(udp) {}
  RecvBuffer(const RecvBuffer &) = delete;
  RecvBuffer &operator=(const RecvBuffer &) = delete;
  ~RecvBuffer() { release(); }
  bool allocate() noexcept {
    release();
    // A zero-sized buffer still gets one byte, so that an allocation of nothing is never
    // mistaken for a failure; the receive call is still limited to recv_buffer_size.
    udp_->recv_buffer = static_cast<uint8_t *>(
        kivo8::mem_alloc(udp_->recv_buffer_size == 0 ? 1 : udp_->recv_buffer_size));
    return udp_->recv_buffer != nullptr;
  }
  void release() noexcept {
    kivo8::mem_free(udp_->recv_buffer);
    udp_->recv_buffer = nullptr;
  }

 private:
  udp_session *udp_;
};

// Closes a socket left from the previous exchange.
void close_socket(udp_sockinfo *info) noexcept {
  if (info->fd >= 0) kivo8::UniqueFd old(info->fd);
  info->fd = -1;
}

struct sockaddr_in ipv4_socket_address(struct in_addr address, uint16_t port) noexcept {
  struct sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr = address;
  return sa;
}

// Steps common to udp_send and udp_sendm once the socket exists and its options are set.
int32_t bind_and_send(udp_session *udp, const uint8_t *data, int32_t length) noexcept {
  udp_sockinfo *info = udp->sockinfo;
  if (::bind(info->fd, reinterpret_cast<const struct sockaddr *>(&info->local),
             sizeof info->local) != 0)
    return UDP_ERR_BIND;
  udp->local_port = ntohs(info->local.sin_port);
  info->remote.sin_port = htons(udp->port);
  std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
  if (n != 0 && data == nullptr) return UDP_ERR_SEND;
  ssize_t sent;
  do {
    sent = ::sendto(info->fd, data, n, 0, reinterpret_cast<const struct sockaddr *>(&info->remote),
                    sizeof info->remote);
  } while (sent < 0 && errno == EINTR);
  return sent < 0 ? UDP_ERR_SEND : UDP_OK;
}

int32_t new_socket(udp_sockinfo *info) noexcept {
  close_socket(info);
  info->fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  return info->fd < 0 ? UDP_ERR_SOCKET : UDP_OK;
}

// timercmp written out, so that it reads the same to every checker as to the compiler.
bool earlier(const struct timeval &a, const struct timeval &b) noexcept {
  return a.tv_sec != b.tv_sec ? a.tv_sec < b.tv_sec : a.tv_usec < b.tv_usec;
}

// select() on the session's one descriptor until `deadline`. A signal that interrupts
// the wait is not a failure: the wait goes on with the time that is left.
int wait_readable_until(int fd, const struct timeval &deadline) noexcept {
  if (fd < 0 || fd >= FD_SETSIZE) return -1;
  for (;;) {
    struct timeval now, wait = {0, 0};
    gettimeofday(&now, nullptr);
    if (earlier(now, deadline)) timersub(&deadline, &now, &wait);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    int r = ::select(fd + 1, &readable, nullptr, nullptr, &wait);
    if (r >= 0 || errno != EINTR) return r;
    gettimeofday(&now, nullptr);
    if (!earlier(now, deadline)) return 0;
  }
}

struct timeval deadline_after(int32_t seconds) noexcept {
  struct timeval deadline;
  gettimeofday(&deadline, nullptr);
  deadline.tv_sec += seconds > 0 ? seconds : 0;
  return deadline;
}

int wait_readable(int fd, int32_t seconds) noexcept {
  return wait_readable_until(fd, deadline_after(seconds));
}

ssize_t receive(udp_session *udp) noexcept {
  udp_sockinfo *info = udp->sockinfo;
  socklen_t from_len = sizeof info->from;
  ssize_t n;
  do {
    from_len = sizeof info->from;
    n = ::recvfrom(info->fd, udp->recv_buffer, udp->recv_buffer_size, 0,
                   reinterpret_cast<struct sockaddr *>(&info->from), &from_len);
  } while (n < 0 && errno == EINTR);
  return n;
}

}  // namespace

void _timeval_subtract(struct timeval *result, const struct timeval *x,
                       const struct timeval *y) noexcept {
  result->tv_sec = x->tv_sec - y->tv_sec;
  result->tv_usec = x->tv_usec - y->tv_usec;
  if (result->tv_usec < 0) {
    result->tv_usec += 1000000;
    result->tv_sec -= 1;
  }
}

udp_session *_udp_open(struct in_addr address, int32_t port, int32_t timeout,
                       struct in_addr local) noexcept {
  auto *udp = kivo8::mem_new<udp_session>();
  if (udp == nullptr) return nullptr;
  auto *info = kivo8::mem_new<udp_sockinfo>();
  if (info == nullptr) {
    kivo8::mem_free(udp);
    return nullptr;
  }
  udp->family = AF_INET;
  udp->address = address;
  udp->port = static_cast<uint16_t>(port);
  udp->flags = 0;
  udp->recv_buffer = nullptr;
  udp->recv_buffer_size = 0;
  udp->timeout = timeout;
  info->remote = ipv4_socket_address(address, udp->port);
  info->local = ipv4_socket_address(local, 0);
  info->fd = -1;
  udp->sockinfo = info;
  return udp;
}

int32_t _udp_read_reply(udp_session *udp, bool any_sender, udp_wanted wanted, void *context,
                        udp_callback callback, void *arg1, void *arg2) noexcept {
  if (udp == nullptr || udp->sockinfo == nullptr) return UDP_ERR_SELECT;
  udp_sockinfo *info = udp->sockinfo;
  const struct timeval deadline = deadline_after(udp->timeout);
  RecvBuffer buffer(udp);
  for (;;) {
    int ready = wait_readable_until(info->fd, deadline);
    if (ready == 0) return UDP_ERR_TIMEOUT;
    if (ready < 0) return UDP_ERR_SELECT;
    if (udp->recv_buffer == nullptr && !buffer.allocate()) return UDP_ERR_NOMEM;
    ssize_t n = receive(udp);
    if (n < 0) return UDP_ERR_RECV;
    // Anyone who can guess the socket's port can send to it: only the destination's own
    // address and port may answer, and only with what the caller waits for.
    const bool from_destination = info->from.sin_addr.s_addr == info->remote.sin_addr.s_addr &&
                                  info->from.sin_port == info->remote.sin_port;
    if (!any_sender && !from_destination) continue;
    if (wanted != nullptr && !wanted(udp->recv_buffer, static_cast<int32_t>(n), context)) continue;
    udp->from_address = info->from.sin_addr;
    if (callback != nullptr)
      kivo8::guarded_void([&] {
        callback(udp, udp->recv_buffer, static_cast<int32_t>(n), arg1, arg2);
      });
    return UDP_OK;
  }
}

extern "C" {

KIVO8_API udp_session *udp_open(int32_t family, const struct in_addr *address, int32_t port,
                                const ifinfo *target) noexcept {
  if (family != AF_INET || address == nullptr) return nullptr;
  struct in_addr any {};
  any.s_addr = htonl(INADDR_ANY);
  return _udp_open(*address, port, target != nullptr ? target->count : 2,
                   target != nullptr ? target->addr : any);
}

KIVO8_API int32_t udp_close(udp_session *udp) noexcept {
  if (udp == nullptr) return 0;
  if (udp->sockinfo != nullptr) close_socket(udp->sockinfo);
  kivo8::mem_free(udp->recv_buffer);
  kivo8::mem_free(udp->sockinfo);
  kivo8::mem_free(udp);
  return 0;
}

KIVO8_API int32_t udp_send(udp_session *udp, const uint8_t *data, int32_t length) noexcept {
  if (udp == nullptr || udp->sockinfo == nullptr) return UDP_ERR_SOCKET;
  udp_sockinfo *info = udp->sockinfo;
  if (int32_t r = new_socket(info); r != UDP_OK) return r;
  if ((udp->flags & UDP_FLAG_BROADCAST) != 0) {
    int on = 1;
    if (::setsockopt(info->fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
      return UDP_ERR_SOCKOPT;
  }
  return bind_and_send(udp, data, length);
}

KIVO8_API int32_t udp_sendm(udp_session *udp, const uint8_t *data, int32_t length,
                            const struct in_addr *interface_address, int32_t hops) noexcept {
  if (udp == nullptr || udp->sockinfo == nullptr) return UDP_ERR_SOCKET;
  if (interface_address == nullptr) return UDP_ERR_SOCKOPT;
  udp_sockinfo *info = udp->sockinfo;
  info->local = ipv4_socket_address(*interface_address, 0);
  if (int32_t r = new_socket(info); r != UDP_OK) return r;
  auto ttl = static_cast<unsigned char>(hops + 1);
  if (::setsockopt(info->fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0)
    return UDP_ERR_SOCKOPT;
  struct in_addr iface = *interface_address;
  if (::setsockopt(info->fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) != 0)
    return UDP_ERR_SOCKOPT;
  return bind_and_send(udp, data, length);
}

KIVO8_API int32_t udp_synch_read(udp_session *udp, udp_callback callback, void *arg1,
                                 void *arg2) noexcept {
  if (udp == nullptr || udp->sockinfo == nullptr) return UDP_ERR_SELECT;
  int ready = wait_readable(udp->sockinfo->fd, udp->timeout);
  if (ready == 0) return UDP_ERR_TIMEOUT;
  if (ready < 0) return UDP_ERR_SELECT;
  RecvBuffer buffer(udp);
  if (!buffer.allocate()) return UDP_ERR_NOMEM;
  ssize_t n = receive(udp);
  if (n < 0) return UDP_ERR_RECV;
  udp->from_address = udp->sockinfo->from.sin_addr;
  if (callback != nullptr)
    kivo8::guarded_void([&] {
      callback(udp, udp->recv_buffer, static_cast<int32_t>(n), arg1, arg2);
    });
  return UDP_OK;
}

KIVO8_API int32_t udp_asynch_read(udp_session *udp, udp_callback callback, void *arg1,
                                  void *arg2) noexcept {
  if (udp == nullptr || udp->sockinfo == nullptr) return UDP_ERR_SELECT;
  RecvBuffer buffer(udp);
  if (!buffer.allocate()) return UDP_ERR_NOMEM;
  struct timeval start;
  gettimeofday(&start, nullptr);

  packet_node *collected = nullptr;
  auto discard = [&] { packets_free(collected); };
  int32_t remaining = udp->timeout;
  while (remaining > 0) {
    int ready = wait_readable(udp->sockinfo->fd, remaining);
    if (ready == 0) break;
    if (ready < 0) {
      discard();
      return UDP_ERR_SELECT;
    }
    ssize_t n = receive(udp);
    if (n < 0) {
      discard();
      return UDP_ERR_RECV;
    }
    udp->from_address = udp->sockinfo->from.sin_addr;
    packets_add(&collected, *udp, udp->recv_buffer, static_cast<uint32_t>(n));
    struct timeval now, elapsed;
    gettimeofday(&now, nullptr);
    _timeval_subtract(&elapsed, &now, &start);
    remaining = udp->timeout - static_cast<int32_t>(elapsed.tv_sec);
  }

  // Newest first: the list was built by putting each arrival at its head.
  while (collected != nullptr) {
    packet_node *node = collected;
    collected = node->next;
    if (callback != nullptr)
      kivo8::guarded_void([&] {
        callback(&node->session, node->data, static_cast<int32_t>(node->length), arg1, arg2);
      });
    kivo8::mem_free(node);
  }
  return UDP_OK;
}

}  // extern "C"
