/* SNMP PDUs, variable bindings, response lists and sessions.
 *
 * Ownership: a PDU owns its chain of bindings and its community copy; a binding owns
 * whichever of `name` and `value` does not point into its own inline storage; a response
 * list node owns its PDU. The caller owns what the create functions return and releases it
 * with the matching free function (snmp_free_pdu, snmp_free_pdu_list); every free function
 * does nothing for null. A binding added to a PDU belongs to the PDU.
 *
 * Failures are results: null from the create and add functions (memory exhausted or a
 * refused value type, nothing changed), 1 from the set functions when a block cannot be
 * allocated, -1 from the decoders. mt_res_init must have run before the first PDU is
 * created: request and message ids are handed out under the lock table.
 *
 * Session error codes left in `snmp_session.error` by the message codec: -2 bad or
 * mismatched version, -8 the reply's PDU could not be decoded, held a binding of unknown
 * type or held none, -9 no community to send with. */
#ifndef KIVO8_SNMP_SESS_H
#define KIVO8_SNMP_SESS_H

#include <netinet/in.h>
#include <stdint.h>

#include "asn1.h"
#include "kivo8_export.h"
#include "snmp_comm.h"

/* PDU types (the BER tag of the PDU). */
#define SNMP_MSG_GET 0xA0
#define SNMP_MSG_GETNEXT 0xA1
#define SNMP_MSG_RESPONSE 0xA2
#define SNMP_MSG_SET 0xA3
#define SNMP_MSG_GETBULK 0xA5
#define SNMP_MSG_INFORM 0xA6
#define SNMP_MSG_TRAP2 0xA7

/* Value types (the BER tag of a binding's value). */
#define SNMP_TYPE_INTEGER 0x02
#define SNMP_TYPE_BIT_STR 0x03
#define SNMP_TYPE_OCTET_STR 0x04
#define SNMP_TYPE_NULL 0x05
#define SNMP_TYPE_OBJECT_ID 0x06
#define SNMP_TYPE_IPADDRESS 0x40
#define SNMP_TYPE_COUNTER 0x41
#define SNMP_TYPE_GAUGE 0x42
#define SNMP_TYPE_TIMETICKS 0x43
#define SNMP_TYPE_OPAQUE 0x44
#define SNMP_TYPE_NSAPADDRESS 0x45
#define SNMP_TYPE_COUNTER64 0x46
#define SNMP_TYPE_UINTEGER 0x47
#define SNMP_NOSUCHOBJECT 0x80
#define SNMP_NOSUCHINSTANCE 0x81
#define SNMP_ENDOFMIBVIEW 0x82

#define SNMP_VERSION_1 0
#define SNMP_VERSION_2c 1

/* Inline room of a binding: names of up to 128 sub-identifiers, values of up to 40 bytes. */
#define SNMP_VAR_NAME_STORAGE 128
#define SNMP_VAR_VALUE_STORAGE 40

/* Messages are built and received in buffers of this size. */
#define SNMP_PACKET_SIZE 8192

KIVO8_BEGIN_DECLS

struct udp_session;

typedef struct snmp_var {
  struct snmp_var *next;
  uint32_t *name;
  uint32_t name_length;
  uint8_t type;
  uint8_t *value;
  uint32_t value_length;
  uint32_t name_storage[SNMP_VAR_NAME_STORAGE];
  uint8_t value_storage[SNMP_VAR_VALUE_STORAGE];
} snmp_var;

/* errstat and errindex of -1 mean "not set" and are sent as 0; version -1 means the
 * session's version is used. `community` holds exactly `community_len` bytes, no
 * terminator; with community_len 0 the session's community is copied in on first send. */
typedef struct snmp_pdu {
  int32_t version;
  int32_t command;
  uint32_t reqid;
  uint32_t msgid;
  int32_t errstat;
  int32_t errindex;
  uint8_t *community;
  uint32_t community_len;
  snmp_var *variables;
} snmp_pdu;

/* A list of responses: the first node exists before the first response arrives and is
 * then filled; later responses get nodes appended. */
typedef struct snmp_pdu_list {
  struct snmp_pdu_list *next;
  struct in_addr address;
  snmp_pdu *pdu;
} snmp_pdu_list;

/* `udp` is owned by the session; `community` is not (it points at an entry of a search
 * target's list, or at snmp_comm_null); `version` is 0 (SNMPv1), 1 (SNMPv2c) or -1. */
typedef struct snmp_session {
  struct udp_session *udp;
  int32_t version;
  struct snmp_comm *community;
  int32_t error;
} snmp_session;

/* Identifiers: never 0; after 0xFFFFFFFF comes 2. */
KIVO8_API uint32_t snmp_get_next_reqid(void) KIVO8_NOEXCEPT;
KIVO8_API uint32_t snmp_get_next_msgid(void) KIVO8_NOEXCEPT;

KIVO8_API snmp_pdu *snmp_create_pdu(int32_t command) KIVO8_NOEXCEPT;
KIVO8_API void snmp_free_pdu(snmp_pdu *pdu) KIVO8_NOEXCEPT;

/* `value` points at the value in the type's own form (an int32_t, a uint32_t, a counter64,
 * 4 address bytes, n string bytes, an array of sub-identifiers); `value_length` is its size
 * in bytes. Fixed-size types store their own size (4, or 8 for Counter64). BIT STRING,
 * NsapAddress, UInteger32 and unknown tags are refused. */
KIVO8_API snmp_var *snmp_pdu_add_variable(snmp_pdu *pdu, const uint32_t *name,
                                          uint32_t name_length, int32_t type, const void *value,
                                          uint32_t value_length) KIVO8_NOEXCEPT;
KIVO8_API snmp_var *snmp_add_null_var(snmp_pdu *pdu, const uint32_t *name,
                                      uint32_t name_length) KIVO8_NOEXCEPT;
KIVO8_API int32_t snmp_set_var_objid(snmp_var *var, const uint32_t *name,
                                     uint32_t name_length) KIVO8_NOEXCEPT;
KIVO8_API int32_t snmp_set_var_value(snmp_var *var, const void *value,
                                     uint32_t value_length) KIVO8_NOEXCEPT;
/* Frees one binding; it is not unlinked from its chain. */
KIVO8_API void snmp_free_var(snmp_var *var) KIVO8_NOEXCEPT;
/* Frees the binding and every binding after it. */
KIVO8_API void snmp_free_varbind(snmp_var *var) KIVO8_NOEXCEPT;
KIVO8_API int32_t snmp_varbind_len(const snmp_pdu *pdu) KIVO8_NOEXCEPT;
KIVO8_API uint8_t *snmp_get_octet_str(const snmp_var *var) KIVO8_NOEXCEPT;
KIVO8_API uint32_t *snmp_get_oid(const snmp_var *var) KIVO8_NOEXCEPT;
/* Writes the address's 4 bytes as the sub-identifiers oid[0] to oid[3]. */
KIVO8_API void snmp_set_ip_as_oid(uint32_t *oid, const struct in_addr *address) KIVO8_NOEXCEPT;

KIVO8_API snmp_pdu_list *snmp_create_pdu_list(void) KIVO8_NOEXCEPT;
KIVO8_API void snmp_free_pdu_list(snmp_pdu_list *list) KIVO8_NOEXCEPT;
KIVO8_API int32_t snmp_pdu_list_length(const snmp_pdu_list *list) KIVO8_NOEXCEPT;

/* Decoding of a received PDU element into `pdu` (which the caller created): 0, 1 when a
 * binding carried a value type that is not handled (the binding is kept without a value and
 * "badtype" is printed), -1 on failure (bindings read so far stay in the PDU). */
KIVO8_API int32_t snmp_pdu_parse(snmp_pdu *pdu, const uint8_t *data,
                                 uint32_t *length) KIVO8_NOEXCEPT;
/* Reads one binding: the name into `name` (capacity `*name_length` on entry, count on
 * return), the value's tag, contents length and the position of its tag octet. Returns the
 * position past the value and reduces `*listlength` accordingly; null on failure. */
KIVO8_API const uint8_t *snmp_parse_var_op(const uint8_t *data, uint32_t *name,
                                           uint32_t *name_length, uint8_t *type,
                                           uint32_t *value_length, const uint8_t **value,
                                           uint32_t *listlength) KIVO8_NOEXCEPT;

/* ---- sessions and requests ---------------------------------------------------------
 * A session binds a UDP transport (owned, aimed at port 161) to one agent with a version
 * and a community (not owned; snmp_comm_null after creation, which cannot encode a
 * request, so the caller points it at an entry of the search target's list). Every call
 * blocks on the caller's thread; a session belongs to one thread at a time.
 *
 * Results are the session codes below (0 success); the codes marked "stored" are also
 * left in `error`. The request PDU given to snmp_send and the response functions stays
 * the caller's. A response PDU or list handed back belongs to the caller, who frees it
 * with snmp_free_pdu / snmp_free_pdu_list. After a failure the result cell is null,
 * except that the two response functions leave it untouched when the request cannot be
 * built or its first send fails (callers set it to null before the call). A null session
 * or result cell gives SNMP_ERR_OTHER and nothing is sent. */

#define SNMP_ERR_NONE 0
#define SNMP_ERR_NOPDU (-1)    /* stored: no PDU; for a walk, no name list */
#define SNMP_ERR_VERSION (-2)  /* stored: no version, or request/reply versions refused */
#define SNMP_ERR_SEND (-3)     /* stored: the request could not be sent */
#define SNMP_ERR_NOMEM (-4)    /* memory exhausted */
#define SNMP_ERR_RECV (-5)     /* waiting for or receiving the reply failed */
#define SNMP_ERR_TIMEOUT (-6)  /* no reply to any transmission */
#define SNMP_ERR_DECODE (-8)   /* stored: the reply could not be decoded or held no binding */
#define SNMP_ERR_NOCOMM (-9)   /* stored: no community to send with */
#define SNMP_ERR_OTHER (-10)   /* stored by snmp_send when a request cannot be encoded;
                                  any other failure */

/* The most variables, and the most bytes of decoded bindings, that snmp_walk gathers
 * before it gives up with SNMP_ERR_OTHER, whichever comes first (kivo_snmp_walk_limits
 * changes them). */
#define KIVO_WALK_MAX_VARIABLES 100000u
#define KIVO_WALK_MAX_BYTES (64ull * 1024u * 1024u)

/* One element of a name list; the list ends with an element whose name_length is 0. */
typedef struct snmp_oid {
  uint32_t *name;
  uint32_t name_length;
} snmp_oid;

struct ifinfo;

/* Null for a family other than 2 (IPv4) or exhausted memory. `address` is the agent's
 * IPv4 address; `target` the search target through which it is reached, or null (its
 * time-out and local address are used). version -1, community snmp_comm_null, retries 2. */
KIVO8_API snmp_session *snmp_create_session(int32_t family, const struct in_addr *address,
                                            const struct ifinfo *target) KIVO8_NOEXCEPT;
/* Closes the transport and frees the record; the community is not freed. */
KIVO8_API void snmp_free_session(snmp_session *session) KIVO8_NOEXCEPT;

/* Encodes and sends the PDU once: its request id, or 0 with the code in `error`. */
KIVO8_API uint32_t snmp_send(snmp_session *session, snmp_pdu *pdu) KIVO8_NOEXCEPT;
/* Sends and waits for one reply, `retries` transmissions of `timeout` seconds each. */
KIVO8_API int32_t snmp_synch_response(snmp_session *session, snmp_pdu *pdu,
                                      snmp_pdu **response_ref) KIVO8_NOEXCEPT;
/* Sends once and collects every reply of the `timeout` window, newest first, one node per
 * decodable reply with its sender's address; undecodable replies are dropped alone. */
KIVO8_API int32_t snmp_asynch_response(snmp_session *session, snmp_pdu *pdu,
                                       snmp_pdu_list **list_ref) KIVO8_NOEXCEPT;
KIVO8_API int32_t snmp_get(snmp_session *session, const snmp_oid *oids,
                           snmp_pdu **response_ref) KIVO8_NOEXCEPT;
KIVO8_API int32_t snmp_getnext(snmp_session *session, const snmp_oid *oids,
                               snmp_pdu **response_ref) KIVO8_NOEXCEPT;
/* Walks the subtrees rooted at the names of `oids` in step. On success *list_ref holds
 * the response of every iteration in order, or null when nothing lay inside. A null or
 * empty name list gives SNMP_ERR_NOPDU; a root of more than 128 sub-identifiers, an agent
 * whose next name does not follow the one asked for, or an error status other than
 * noSuchName gives SNMP_ERR_OTHER. So does a walk that would gather more than
 * KIVO_WALK_MAX_VARIABLES variables (counting one per root and iteration) or more than
 * KIVO_WALK_MAX_BYTES bytes of bindings: no real agent's tree is that large, and an agent whose names keep
 * increasing must not keep a walk, and its memory, growing for ever. A caller that wants
 * the variables as they come, or a limit of its own, walks with snmp_getnext. */
KIVO8_API int32_t snmp_walk(snmp_session *session, const snmp_oid *oids,
                            snmp_pdu_list **list_ref) KIVO8_NOEXCEPT;
/* Sets, for every later snmp_walk of the process, the most variables and the most bytes
 * of decoded bindings (their records and values, counted as they are kept) that a walk
 * may gather; 0 for either keeps its default (KIVO_WALK_MAX_VARIABLES,
 * KIVO_WALK_MAX_BYTES). Safe from any thread; a walk already running keeps the limits it
 * started with. Returns 0. */
KIVO8_API int32_t kivo_snmp_walk_limits(uint32_t max_variables, uint64_t max_bytes) KIVO8_NOEXCEPT;

/* ---- walks by GETBULK -----------------------------------------------------------------
 * kivo_snmp_bulkwalk walks like snmp_walk (the same roots in step, the same ends, errors
 * and limits) but asks with GetBulkRequest on an SNMPv2c session: each request asks, for
 * every root, up to `max_repetitions` names after the last one it gave, so that a walk
 * takes a few requests instead of one per variable. An SNMPv1 session (or max_repetitions
 * 0) walks by GETNEXT. Whatever count of rows the agent sends back (fewer or more than
 * asked), the walk takes the rows that lie inside the subtrees, in order, and asks again
 * after the last; a tooBig answer (or one too large to decode) halves max_repetitions and
 * asks again, down to 1, after which the walk fails with SNMP_ERR_OTHER, or
 * SNMP_ERR_DECODE for a reply that does not decode.
 *
 * On success without a callback, *list_ref holds one node per response, each holding only
 * the bindings the walk took, one row after another (a row is one binding per root, in
 * root order), or null when nothing lay inside. With a callback, nothing is gathered:
 * each response is handed to the callback as it comes (the PDU stays the library's and
 * lives until the callback returns), list_ref may be null, and a callback that returns
 * non-zero ends the walk, which then succeeds. A failure after some responses went to
 * the callback is still a failure. Blocks on the caller's thread, at most `retries`
 * transmissions of `timeout` per request; the callback runs on that thread. */

#define KIVO_WALK_DEFAULT_REPETITIONS 10u

typedef int32_t (*kivo_walk_callback)(void *context, const snmp_pdu *response);

/* `size` is sizeof(kivo_walk_options) as the caller knows it; fields past it take their
 * defaults. A null options record means all defaults; a size under 4, or a null list_ref
 * without a callback, gives SNMP_ERR_OTHER and nothing is sent. */
typedef struct kivo_walk_options {
  uint32_t size;
  uint32_t max_repetitions;     /* rows per request; 0: GETNEXT (default: 10) */
  kivo_walk_callback callback;  /* null: responses gathered into *list_ref */
  void *context;                /* handed to the callback */
  uint32_t flags;               /* KIVO_WALK_* flags below, or 0 */
} kivo_walk_options;

/* The exception value (endOfMibView, noSuchObject, noSuchInstance) that ends a walk of one
 * root inside its subtree is handed over as the walk's last binding, as net-snmp's walk
 * tools print it; without the flag the walk ends without it. */
#define KIVO_WALK_KEEP_END 1u

KIVO8_API int32_t kivo_snmp_bulkwalk(snmp_session *session, const snmp_oid *oids,
                                     const kivo_walk_options *options,
                                     snmp_pdu_list **list_ref) KIVO8_NOEXCEPT;

/* Read callbacks handed to the UDP transport by the two response functions: arg1 is the
 * session, arg2 the response PDU (synch) or the response list (asynch). */
KIVO8_API int32_t snmp_synch_callback(struct udp_session *udp, uint8_t *data, int32_t length,
                                      void *session, void *pdu) KIVO8_NOEXCEPT;
KIVO8_API int32_t snmp_asynch_callback(struct udp_session *udp, uint8_t *data, int32_t length,
                                       void *session, void *list) KIVO8_NOEXCEPT;

/* ---- end of sessions and requests -------------------------------------------------- */

KIVO8_END_DECLS

#endif
