/* SLP client: one SLPv2 Service Request sent by multicast, the Service Replies that
 * answer it, and scope lists with their escaping.
 *
 * Requests: slp_create_session opens a session towards a destination (family 2 only,
 * else null) through a search target; slp_service_request sends one request out of the
 * target's interface and collects every reply of the target's time-out. It returns 0
 * with a reply list in *result_ref (at least one node; a node whose reply is null means
 * nothing decodable came), -1 out of memory, -2 the request could not be sent (also for
 * a null session, target or result_ref), -3 waiting or receiving failed, -99 any other
 * transport failure. After -2, and after -1 for the request buffer, *result_ref is left
 * untouched; after any other failure it is null. The caller frees the list with
 * slp_free_srvreplies and the session with slp_free_session. mt_res_init must have run.
 *
 * Replies: slp_decode_srvreply never reads outside the datagram it is given. A datagram
 * whose header, language tag, error code and URL count do not fit gives null; URL
 * entries are kept while each lies wholly inside the datagram, and the first one that
 * runs past the end ends the list (url_count stays the count the reply announced). A
 * non-zero error code gives a record with no URLs. Each record owns its URL nodes, their
 * entries and texts; a reply list owns its replies.
 *
 * Scope lists, ownership: every text that slp_scope_encode, slp_scope_decode and
 * slp_slist_to_scopes return is new and belongs to the caller, who releases it with
 * slp_free_tmp_ptr. A scope list (slp_slist) is named by its first node, null being the
 * empty list; each node owns its name, and slp_free_slist releases the nodes with their
 * names. All free functions ignore null.
 *
 * Null and failures: a null text gives null from the escaping functions and from
 * slp_scopes_to_slist; running out of memory gives null from slp_scope_encode,
 * slp_scope_decode, slp_slist_to_scopes and slp_slist_add (the list then stays as it
 * was), while slp_scopes_to_slist keeps the names it could add. slp_scope_decode prints
 * the two lines "count = N" and "result length = N" on standard output on every call
 * with a text. */
#ifndef KIVO8_SLP_SESS_H
#define KIVO8_SLP_SESS_H

#include <netinet/in.h>
#include <stdint.h>

#include "ifinfo.h"
#include "kivo8_export.h"
#include "udp_sess.h"

#define SLP_PORT 427
#define SLP_RECV_BUFSIZE 2048
#define SLP_VERSION 2
#define SLP_FUNCT_SRVRQST 1
#define SLP_FLAG_REQUEST_MCAST 0x20
#define SLP_HEADER_FIXED_LEN 14
#define DEFAULT_LANG "en"

KIVO8_BEGIN_DECLS

typedef struct slp_session {
  udp_session *udp; /* owned */
  int32_t version;  /* 2 */
  char lang[8];     /* "en" */
  int32_t hops;     /* multicast time-to-live is hops + 1 */
  int32_t status;   /* 0 */
} slp_session;

typedef struct slp_url_entry {
  uint32_t lifetime; /* seconds */
  char *url;         /* owned, zero-terminated */
} slp_url_entry;

typedef struct slp_url_node {
  struct slp_url_node *next;
  slp_url_entry *entry; /* owned */
} slp_url_node;

typedef struct slp_srvreply {
  uint32_t error;     /* 0: success */
  uint32_t url_count; /* as announced by the reply */
  slp_url_node *urls; /* in the reply's order; null when none was read */
} slp_srvreply;

typedef struct slp_srvreplies {
  struct slp_srvreplies *next;
  struct in_addr address; /* sender of the reply */
  slp_srvreply *reply;    /* owned; null when the node holds none */
} slp_srvreplies;

KIVO8_API slp_srvreply *slp_decode_srvreply(const uint8_t *data, int32_t length) KIVO8_NOEXCEPT;
KIVO8_API slp_srvreplies *slp_create_srvreplies(void) KIVO8_NOEXCEPT;
KIVO8_API void slp_free_srvreply(slp_srvreply *reply) KIVO8_NOEXCEPT;
KIVO8_API void slp_free_srvreplies(slp_srvreplies *first) KIVO8_NOEXCEPT;
/* The URL's host as an address (a dotted quad, or a host name looked up); 0 when none. */
KIVO8_API struct in_addr slp_get_in_addr_from_url(const slp_url_entry *entry) KIVO8_NOEXCEPT;

KIVO8_API slp_session *slp_create_session(int32_t family, const struct in_addr *address_ptr,
                                          const ifinfo *target) KIVO8_NOEXCEPT;
KIVO8_API void slp_free_session(slp_session *session) KIVO8_NOEXCEPT;
KIVO8_API int32_t slp_service_request(slp_session *session, const char *service_type,
                                      const char *scope_list, const ifinfo *target,
                                      slp_srvreplies **result_ref) KIVO8_NOEXCEPT;

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
