/* TCP connections, the HTTP probe, and the address text and arithmetic utilities.
 *
 * Addresses are struct in_addr in network order; order, differences and steps treat
 * them as unsigned 32-bit numbers, first octet most significant. The text readers
 * return 0 and store their result, or -1 and leave the destination unchanged. Nothing
 * here allocates or keeps state, except that make_next_ipaddr reads the global search
 * target list. */
#ifndef KIVO8_TCP_UTILS_H
#define KIVO8_TCP_UTILS_H

#include <netinet/in.h>
#include <stdint.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

/* ---- address text and arithmetic utilities ---- */

KIVO8_API int32_t lanset_ipaddress_decode(const char *text,
                                          struct in_addr *address_ptr) KIVO8_NOEXCEPT;
/* Reads 1 to 3 digits at the start of text; returns the position after them, or null. */
KIVO8_API const char *ip_decode(const char *text, int32_t *value_ptr) KIVO8_NOEXCEPT;
KIVO8_API int32_t lanset_macaddress_decode(const char *text, uint8_t *mac) KIVO8_NOEXCEPT;
KIVO8_API int32_t lanset_hexdigits2digit(char high, char low) KIVO8_NOEXCEPT;
KIVO8_API int32_t lanset_cmp_ipaddr(const struct in_addr *a_ptr,
                                    const struct in_addr *b_ptr) KIVO8_NOEXCEPT;
KIVO8_API uint32_t ip_count_between(const struct in_addr *a_ptr,
                                    const struct in_addr *b_ptr) KIVO8_NOEXCEPT;
KIVO8_API struct in_addr calc_next_ip_address(const struct in_addr *a_ptr) KIVO8_NOEXCEPT;
KIVO8_API void make_next_ipaddr(const struct in_addr *current_ptr,
                                struct in_addr *result_ptr) KIVO8_NOEXCEPT;
KIVO8_API int32_t kivo_check_root(void) KIVO8_NOEXCEPT;

/* ---- end of the address utilities ---- */

/* ---- TCP connection and HTTP probe (added by its owner) ---- */

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

/* ---- end of the TCP connection and HTTP probe ---- */

KIVO8_END_DECLS

#endif
