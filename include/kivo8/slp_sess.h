/* SLP client: scope lists and their escaping.
 *
 * Ownership: every text that slp_scope_encode, slp_scope_decode and slp_slist_to_scopes
 * return is new and belongs to the caller, who releases it with slp_free_tmp_ptr. A scope
 * list (slp_slist) is named by its first node, null being the empty list; each node owns
 * its name, and slp_free_slist releases the nodes with their names. The free functions
 * ignore null.
 *
 * Null and failures: a null text gives null from the escaping functions and from
 * slp_scopes_to_slist; running out of memory gives null from slp_scope_encode,
 * slp_scope_decode, slp_slist_to_scopes and slp_slist_add (the list then stays as it
 * was), while slp_scopes_to_slist keeps the names it could add. slp_scope_decode prints
 * the two lines "count = N" and "result length = N" on standard output on every call
 * with a text. */
#ifndef KIVO8_SLP_SESS_H
#define KIVO8_SLP_SESS_H

#include <stdint.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

typedef struct slp_slist {
  struct slp_slist *next;
  char *scope;
} slp_slist;

KIVO8_API char *slp_scope_encode(const char *text) KIVO8_NOEXCEPT;
KIVO8_API char *slp_scope_decode(const char *text) KIVO8_NOEXCEPT;
KIVO8_API void slp_free_tmp_ptr(char *text) KIVO8_NOEXCEPT;

/* In place: every ',' becomes '!' (encode) or every '!' becomes ',' (decode). */
KIVO8_API void slp_scope_list_encode(char *text) KIVO8_NOEXCEPT;
KIVO8_API void slp_scope_list_decode(char *text) KIVO8_NOEXCEPT;

KIVO8_API slp_slist *slp_slist_find(slp_slist *first, const char *name) KIVO8_NOEXCEPT;
KIVO8_API slp_slist *slp_slist_add(slp_slist **head_ref, const char *name) KIVO8_NOEXCEPT;
KIVO8_API slp_slist *slp_slist_remove(slp_slist **head_ref, const char *name) KIVO8_NOEXCEPT;
KIVO8_API int32_t slp_slist_count(const slp_slist *first) KIVO8_NOEXCEPT;
KIVO8_API slp_slist *slp_slist_getat(slp_slist *first, int32_t index) KIVO8_NOEXCEPT;
KIVO8_API void slp_free_slist(slp_slist *first) KIVO8_NOEXCEPT;
KIVO8_API slp_slist *slp_scopes_to_slist(const char *text) KIVO8_NOEXCEPT;
KIVO8_API char *slp_slist_to_scopes(const slp_slist *first) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
