// Helpers shared by the SLP client's files and reachable from its tests. They keep C
// linkage so that the symbol check can see they never leave the shared library (the
// library is built with hidden visibility and none of these carries KIVO8_API).
#pragma once

#include <cstddef>
#include <cstdint>

#include "kivo8/slp_sess.h"

extern "C" {

// Big-endian numbers of 1 to 4 bytes; any other width reads 0 and writes nothing.
uint32_t get_int_from_bytes(const uint8_t *bytes, int32_t width) noexcept;
void set_int_into_bytes(uint32_t value, uint8_t *bytes, int32_t width) noexcept;

// Size of the header that make_slp_header writes for this session: 14 + tag length.
int32_t header_length(const slp_session *session) noexcept;
// Where the body of a received message starts (14 + its tag length), or -1 when the
// `length` bytes do not hold the 14 fixed header bytes.
int32_t get_header_length(const uint8_t *message, std::size_t length) noexcept;
// The length field of a message that this library built (at least 5 bytes).
void set_packet_length(const slp_session *session, uint8_t *message, int32_t body_length) noexcept;
uint32_t get_packet_length(const uint8_t *message) noexcept;
// Writes a header at `buffer` (room for header_length bytes) and returns its length.
int32_t make_slp_header(const slp_session *session, uint8_t *buffer, int32_t function_id,
                        int32_t multicast) noexcept;
// A complete Service Request, exactly as long as its own length field says; the caller
// frees it with kivo8::mem_free. Null when memory runs out.
uint8_t *build_srvrqst(const slp_session *session, const char *service_type,
                       const char *scope_list) noexcept;

// The URL entry that starts at `entry`, of which `available` bytes may be read: its URL
// length, or -1 when the fixed part does not fit; and the position of the entry after
// it, or null when the entry with its authentication blocks does not lie wholly inside.
int32_t get_url_length(const uint8_t *entry, std::size_t available) noexcept;
const uint8_t *get_next_url_entry(const uint8_t *entry, std::size_t available) noexcept;

// Transaction ids, guarded by the lock slot (MT_RES_SLP, 1).
uint32_t slp_get_next_xid(void) noexcept;
// Test aid: sets the counter so that the next id is `value` + 1 (or 2 on a wrap).
void _slp_set_xid(uint32_t value) noexcept;
int32_t slp_srvreply_asynch_callback(udp_session *udp, uint8_t *data, int32_t length,
                                     void *session, void *head) noexcept;

// Replaces every byte equal to `from` (never the zero byte) by `to`, up to the terminator.
void str_char_replace(char *text, char from, char to) noexcept;
// 1 for the bytes that a scope name must carry escaped, 0 for plain ones.
int32_t slp_is_reserved_char(char c) noexcept;
// The byte that two hexadecimal digits spell; 0 when either is not a hexadecimal digit.
char slp_unescape(char high, char low) noexcept;
}
