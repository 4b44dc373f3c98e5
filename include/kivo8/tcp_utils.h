/* (module header: declarations to come) */
#ifndef KIVO8_TCP_UTILS_H
#define KIVO8_TCP_UTILS_H

#include <stdint.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

/* TCP connections with time-outs and the HTTP probe (src/net/tcp*.cpp).
 *
 * Everything here blocks the calling thread and touches only the descriptor it is given;
 * nothing owns or closes a caller's descriptor. Time-outs are whole seconds; 0 means no
 * wait before the read or write (it may then block). Addresses are in network order,
 * ports ordinary numbers.
 *
 * select_fd: > 0 ready, 0 time-out, -1 error (errno from select/poll).
 * tcp_read: bytes read, 0 at end of stream, -1 on error; errno ETIMEDOUT after a time-out.
 * tcp_write: the count of the last write once everything is written, 0 for a length below
 *   1, -1 on error (ETIMEDOUT after a time-out); never raises SIGPIPE.
 * tcp_parse_http_status_line: the status code 0..999 of "HTTP/<major>.<minor> NNN" at the
 *   start of a terminated text (major at least 1), else -1; null gives -1.
 * connect_timeo: 0 connected; -1 with errno EINTR after `seconds` without an answer, or
 *   with connect's errno. It waits on the socket itself, so it is safe from several threads
 *   and leaves SIGALRM and any pending alarm alone; the socket keeps its blocking mode.
 *   seconds 0 (or below) is a plain connect.
 * connect_alarm: kept for callers that install it as a signal handler; does nothing.
 * tcp_check_http: 0 when a web server at address:port answers "HEAD /" with a status from
 *   200 to 399 within 3 s for the connect and 2 s each for the request and the answer;
 *   -1 otherwise (null address included). */
struct sockaddr;
struct in_addr;

KIVO8_API int32_t select_fd(int32_t fd, int32_t seconds, int32_t for_write) KIVO8_NOEXCEPT;
KIVO8_API int32_t tcp_read(int32_t fd, uint8_t *buffer, int32_t length,
                           int32_t seconds) KIVO8_NOEXCEPT;
KIVO8_API int32_t tcp_write(int32_t fd, const uint8_t *buffer, int32_t length,
                            int32_t seconds) KIVO8_NOEXCEPT;
KIVO8_API int32_t tcp_parse_http_status_line(const char *text) KIVO8_NOEXCEPT;
KIVO8_API void connect_alarm(int32_t signal_number) KIVO8_NOEXCEPT;
KIVO8_API int32_t connect_timeo(int32_t fd, const struct sockaddr *address,
                                uint32_t address_length, int32_t seconds) KIVO8_NOEXCEPT;
KIVO8_API int32_t tcp_check_http(const struct in_addr *address, uint16_t port) KIVO8_NOEXCEPT;

/* End of the TCP block. */

KIVO8_END_DECLS

#endif
