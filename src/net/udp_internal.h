// Internal to the UDP transport; declared here so that its tests can reach it.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstdint>

#include "kivo8/udp_sess.h"

// A session to `address`:`port` that waits `timeout` seconds and binds its sockets to
// `local` (port 0): udp_open without the search-target record, which only supplies these.
udp_session *_udp_open(struct in_addr address, int32_t port, int32_t timeout,
                       struct in_addr local) noexcept;

// Tells whether a received datagram is the one being waited for.
using udp_wanted = bool (*)(const uint8_t *data, int32_t length, void *context);

// udp_synch_read for a request that expects one answer: datagrams that do not come from the
// session's destination address and port (any sender when `any_sender`, as for a
// broadcast), or that `wanted` turns down, are dropped, and the wait goes on until
// `timeout` seconds after the call. Codes as udp_synch_read's.
int32_t _udp_read_reply(udp_session *udp, bool any_sender, udp_wanted wanted, void *context,
                        udp_callback callback, void *arg1, void *arg2) noexcept;

// result = x - y, microseconds borrowed from the seconds when they would go negative.
void _timeval_subtract(struct timeval *result, const struct timeval *x,
                       const struct timeval *y) noexcept;
