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

/* ---- end of the TCP connection and HTTP probe ---- */

KIVO8_END_DECLS

#endif
