/* UDP datagram transport over IPv4.
 *
 * A udp_session holds one destination, an optional local interface to send from, a
 * time-out and the socket of the current exchange; it owns its udp_sockinfo. Per
 * exchange: one send (udp_send / udp_sendm, each on a new socket, so a late reply to an
 * earlier transmission is never read), then one read (udp_synch_read / udp_asynch_read)
 * with recv_buffer_size set beforehand. udp_close ends the session.
 *
 * Every function returns one of the UDP_* codes below (0 success). udp_open returns null
 * for a family other than 2 or exhausted memory. The callback gets the datagram's bytes
 * and, for udp_asynch_read, a copy of the session as it stood when the datagram came
 * (its from_address is the sender); both are valid only during the call. The callback's
 * result is ignored. */
#ifndef KIVO8_UDP_SESS_H
#define KIVO8_UDP_SESS_H

#include <netinet/in.h>
#include <stdint.h>

#include "ifinfo.h"
#include "kivo8_export.h"

#define UDP_OK 0
#define UDP_ERR_SELECT 1
#define UDP_ERR_SEND 2
#define UDP_ERR_RECV 3
#define UDP_ERR_SOCKET 4
#define UDP_ERR_BIND 5
#define UDP_ERR_TIMEOUT 6
#define UDP_ERR_NOMEM 7
#define UDP_ERR_SOCKOPT 8

/* flags bit 0: the destination is a broadcast address */
#define UDP_FLAG_BROADCAST 1u

KIVO8_BEGIN_DECLS

typedef struct udp_sockinfo {
  int32_t fd; /* -1 when no socket is open */
  struct sockaddr_in remote;
  struct sockaddr_in local;
  struct sockaddr_in from;
} udp_sockinfo;

typedef struct udp_session {
  int32_t timeout; /* seconds: wait of udp_synch_read, window of udp_asynch_read */
  int32_t retries; /* transmissions of a synchronous request (read by the layers above) */
  uint32_t flags;
  int32_t family; /* always 2 */
  struct in_addr address;
  struct in_addr from_address; /* sender of the datagram received last */
  uint16_t port;
  uint16_t local_port;
  uint32_t recv_buffer_size;
  uint8_t *recv_buffer; /* non-null only inside a read */
  udp_sockinfo *sockinfo;
} udp_session;

typedef int32_t (*udp_callback)(udp_session *udp, uint8_t *data, int32_t length, void *arg1,
                                void *arg2);

KIVO8_API udp_session *udp_open(int32_t family, const struct in_addr *address, int32_t port,
                                const ifinfo *target) KIVO8_NOEXCEPT;
KIVO8_API int32_t udp_close(udp_session *udp) KIVO8_NOEXCEPT;
KIVO8_API int32_t udp_send(udp_session *udp, const uint8_t *data,
                           int32_t length) KIVO8_NOEXCEPT;
KIVO8_API int32_t udp_sendm(udp_session *udp, const uint8_t *data, int32_t length,
                            const struct in_addr *interface_address,
                            int32_t hops) KIVO8_NOEXCEPT;
KIVO8_API int32_t udp_synch_read(udp_session *udp, udp_callback callback, void *arg1,
                                 void *arg2) KIVO8_NOEXCEPT;
KIVO8_API int32_t udp_asynch_read(udp_session *udp, udp_callback callback, void *arg1,
                                  void *arg2) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
