// The HTTP probe: is there a web server at this address and port?
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "core/unique_fd.h"
#include "kivo8/tcp_utils.h"

namespace {

// The request line and three line ends, sent without a terminator.
constexpr char http_head_request[] = "HEAD / HTTP/1.0\r\n\r\n\r\n";
constexpr int32_t http_head_request_length = sizeof http_head_request - 1;
static_assert(http_head_request_length == 21);

constexpr int32_t connect_seconds = 3;
constexpr int32_t io_seconds = 2;
constexpr int32_t answer_buffer = 4096;

}  // namespace

extern "C" KIVO8_API int32_t tcp_check_http(const struct in_addr *address,
                                            uint16_t port) noexcept {
  if (address == nullptr) return -1;
  kivo8::UniqueFd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!sock) return -1;

  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = 0;
  if (::bind(sock.get(), reinterpret_cast<const sockaddr *>(&local), sizeof local) < 0) return -1;

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_addr = *address;
  peer.sin_port = htons(port);
  if (connect_timeo(sock.get(), reinterpret_cast<const sockaddr *>(&peer), sizeof peer,
                    connect_seconds) != 0)
    return -1;

  if (tcp_write(sock.get(), reinterpret_cast<const uint8_t *>(http_head_request),
                http_head_request_length, io_seconds) <= 0)
    return -1;

  // One byte short of the buffer, so the terminator always fits behind the answer.
  char answer[answer_buffer];
  int32_t n = tcp_read(sock.get(), reinterpret_cast<uint8_t *>(answer), answer_buffer - 1,
                       io_seconds);
  if (n <= 0) return -1;
  answer[n] = '\0';

  int32_t status = tcp_parse_http_status_line(answer);
  return status >= 200 && status < 400 ? 0 : -1;
}
