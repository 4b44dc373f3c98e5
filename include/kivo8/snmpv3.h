/* SNMPv3 with the user-based security model: GET, GETNEXT and walks of one agent.
 *
 * A session (kivo_snmpv3_session, opaque) is made by kivo_snmpv3_create from an options
 * record and freed by kivo_snmpv3_free (which does nothing for null). The session owns a
 * UDP socket aimed at the agent, the user's keys (derived from the passwords when the
 * session is made; the passwords themselves are not kept), and what it learnt of the
 * agent's engine (id, boots, time). Keys are wiped from memory when the session is freed.
 * Nothing is sent by kivo_snmpv3_create: the first request discovers the engine id (a
 * request with an empty engine id, answered with a Report) and takes the engine's boots
 * and time from that Report; a later "not in time window" Report makes the request go out
 * once more with the engine's new boots and time.
 *
 * Every call blocks on the caller's thread for at most (retries + 1) x timeout per
 * message it sends (a request may need a discovery exchange and one re-send first);
 * a session belongs to one thread at a time; different sessions may be used from
 * different threads.
 *
 * Results: the SNMP_ERR_* codes of snmp_sess.h (0 success, SNMP_ERR_TIMEOUT when nothing
 * answered, SNMP_ERR_DECODE for a reply that does not decode, SNMP_ERR_NOPDU for a null
 * or empty name list, SNMP_ERR_OTHER for a null session or result cell) and the
 * KIVO_SNMPV3_ERR_* codes below. A response handed back (snmp_pdu, snmp_pdu_list) is the
 * caller's, freed with snmp_free_pdu / snmp_free_pdu_list, and has the same form as the
 * v1/v2c sessions' (version field 3). On failure the result cell is null.
 *
 * Privacy protocols: DES-CBC (RFC 3414; from libcrypto's legacy provider, loaded in a
 * library context of the library's own), AES-128-CFB (RFC 3826), and AES-192/AES-256 as
 * net-snmp's AES-192 and AES-256 do it: a localised key shorter than the cipher key is
 * extended by the Blumenthal draft's rule, Kul || H(Kul) || ..., with the authentication
 * protocol's hash. The agents that use Reeder's extension (Cisco's) call theirs
 * differently and are not supported. */
#ifndef KIVO8_SNMPV3_H
#define KIVO8_SNMPV3_H

#include <netinet/in.h>
#include <stdint.h>

#include "kivo8_export.h"
#include "snmp_sess.h"

#define SNMP_VERSION_3 3

/* Security levels. */
#define KIVO_SNMPV3_NOAUTH_NOPRIV 1
#define KIVO_SNMPV3_AUTH_NOPRIV 2
#define KIVO_SNMPV3_AUTH_PRIV 3

/* Authentication protocols (0: none). */
#define KIVO_SNMPV3_AUTH_MD5 1    /* HMAC-MD5-96 */
#define KIVO_SNMPV3_AUTH_SHA 2    /* HMAC-SHA-96 */
#define KIVO_SNMPV3_AUTH_SHA224 3 /* HMAC-SHA-224 truncated to 16 octets (RFC 7860) */
#define KIVO_SNMPV3_AUTH_SHA256 4 /* ... SHA-256, 24 octets */
#define KIVO_SNMPV3_AUTH_SHA384 5 /* ... SHA-384, 32 octets */
#define KIVO_SNMPV3_AUTH_SHA512 6 /* ... SHA-512, 48 octets */

/* Privacy protocols (0: none). */
#define KIVO_SNMPV3_PRIV_DES 1
#define KIVO_SNMPV3_PRIV_AES 2 /* AES-128 */
#define KIVO_SNMPV3_PRIV_AES192 3
#define KIVO_SNMPV3_PRIV_AES256 4

/* Result codes beyond snmp_sess.h's. The first six are the agent's error Reports. */
#define KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL (-20) /* usmStatsUnsupportedSecLevels */
#define KIVO_SNMPV3_ERR_NOT_IN_TIME_WINDOW (-21) /* usmStatsNotInTimeWindows, also after
                                                    the one re-send */
#define KIVO_SNMPV3_ERR_UNKNOWN_USER (-22)      /* usmStatsUnknownUserNames */
#define KIVO_SNMPV3_ERR_UNKNOWN_ENGINE (-23)    /* usmStatsUnknownEngineIDs, also after a
                                                   new discovery; or no engine id learnt */
#define KIVO_SNMPV3_ERR_WRONG_DIGEST (-24)      /* usmStatsWrongDigests: wrong auth password */
#define KIVO_SNMPV3_ERR_DECRYPTION (-25)        /* usmStatsDecryptionErrors: wrong priv
                                                   password; or a reply we cannot decrypt */
#define KIVO_SNMPV3_ERR_AUTH_REPLY (-26)  /* a reply without the security level asked for
                                             or whose digest does not verify */
#define KIVO_SNMPV3_ERR_OPTIONS (-27)     /* options refused: unknown level or protocol, a
                                             password shorter than 8 octets, a user or
                                             context name over 32 octets */
#define KIVO_SNMPV3_ERR_CRYPTO (-28)      /* libcrypto lacks the protocol (DES without the
                                             legacy provider) or failed */
#define KIVO_SNMPV3_ERR_REPORT (-29)      /* any other Report */

KIVO8_BEGIN_DECLS

/* Set `size` to sizeof(kivo_snmpv3_options); fields added later go at the end and take
 * their zero value for callers built against an older header. Texts are NUL-terminated
 * and only read during kivo_snmpv3_create. */
typedef struct kivo_snmpv3_options {
  uint32_t size;
  const char *user;          /* security name, 1 to 32 octets */
  int32_t level;             /* KIVO_SNMPV3_NOAUTH_NOPRIV ... AUTH_PRIV */
  int32_t auth_protocol;     /* KIVO_SNMPV3_AUTH_*, needed from authNoPriv on */
  const char *auth_password; /* at least 8 octets */
  int32_t priv_protocol;     /* KIVO_SNMPV3_PRIV_*, needed for authPriv */
  const char *priv_password; /* at least 8 octets */
  const char *context_name;  /* null: the default context "" */
  uint16_t port;             /* 0: 161 */
  uint32_t timeout_ms;       /* per transmission; 0: 3000 */
  int32_t retries;           /* re-sends after the first transmission; <0: 2 */
  /* Master keys (RFC 3414's Ku, as kivo_snmpv3_password_to_key derives them with
   * auth_protocol's hash, also for the privacy key) to use instead of pass phrases, so
   * that a program can keep keys rather than pass phrases. A key is used when its pass
   * phrase is null; its length must be the digest size of auth_protocol (16 MD5, 20 SHA,
   * 28 SHA-224, 32 SHA-256, 48 SHA-384, 64 SHA-512). Only read during kivo_snmpv3_create
   * (and kivo_discover_new). */
  const uint8_t *auth_key;
  uint32_t auth_key_length;
  const uint8_t *priv_key;
  uint32_t priv_key_length;
} kivo_snmpv3_options;

typedef struct kivo_snmpv3_session kivo_snmpv3_session;

/* Null on failure, with the reason in *code when `code` is not null (KIVO_SNMPV3_ERR_OPTIONS,
 * KIVO_SNMPV3_ERR_CRYPTO, SNMP_ERR_NOMEM, SNMP_ERR_SEND when no socket can be had).
 * Deriving the keys hashes a megabyte per password: a few milliseconds. */
KIVO8_API kivo_snmpv3_session *kivo_snmpv3_create(const struct in_addr *address,
                                                   const kivo_snmpv3_options *options,
                                                   int32_t *code) KIVO8_NOEXCEPT;
KIVO8_API void kivo_snmpv3_free(kivo_snmpv3_session *session) KIVO8_NOEXCEPT;

KIVO8_API int32_t kivo_snmpv3_get(kivo_snmpv3_session *session, const snmp_oid *oids,
                                  snmp_pdu **response_ref) KIVO8_NOEXCEPT;
KIVO8_API int32_t kivo_snmpv3_getnext(kivo_snmpv3_session *session, const snmp_oid *oids,
                                      snmp_pdu **response_ref) KIVO8_NOEXCEPT;
/* Walks as snmp_walk does, with the same results and list. */
KIVO8_API int32_t kivo_snmpv3_walk(kivo_snmpv3_session *session, const snmp_oid *oids,
                                   snmp_pdu_list **list_ref) KIVO8_NOEXCEPT;

/* The agent's engine id as learnt by the last exchange: copies up to *length octets
 * (capacity on entry, the id's length on return; 32 is always enough). 0, or
 * KIVO_SNMPV3_ERR_UNKNOWN_ENGINE when none was learnt yet, SNMP_ERR_OTHER for nulls or a
 * capacity too small. Discovery alone (nothing else sent) is kivo_snmpv3_discover. */
KIVO8_API int32_t kivo_snmpv3_engine_id(const kivo_snmpv3_session *session, uint8_t *engine_id,
                                        uint32_t *length) KIVO8_NOEXCEPT;
/* Runs the engine-id discovery exchange only (no credentials needed); 0 once the agent
 * answered with its engine id. */
KIVO8_API int32_t kivo_snmpv3_discover(kivo_snmpv3_session *session) KIVO8_NOEXCEPT;

/* The master key (RFC 3414 A.2's Ku: the pass phrase repeated to a megabyte and hashed)
 * of `password` for `auth_protocol` (KIVO_SNMPV3_AUTH_*), written to `key`: *key_length
 * is the capacity on entry (64 is always enough) and the key's length on return (the
 * protocol's digest size). A privacy pass phrase is turned into its key the same way,
 * with the authentication protocol. Blocks for the hashing (a few milliseconds); no
 * state; any thread. 0; KIVO_SNMPV3_ERR_OPTIONS for an unknown protocol or a pass
 * phrase shorter than 8 octets; KIVO_SNMPV3_ERR_CRYPTO when libcrypto fails;
 * SNMP_ERR_OTHER for nulls or a capacity too small. */
KIVO8_API int32_t kivo_snmpv3_password_to_key(int32_t auth_protocol, const char *password,
                                              uint8_t *key, uint32_t *key_length) KIVO8_NOEXCEPT;

/* A short English text for any code of this header or snmp_sess.h; never null; static. */
KIVO8_API const char *kivo_snmpv3_strerror(int32_t code) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
