/* IPP: a printer's attributes by Get-Printer-Attributes, over ipp:// or ipps://.
 *
 * kivo_ipp_get_printer_attributes asks the printer at `uri` for its description (make and
 * model, name, info, location, state and reasons, uuid, more-info, document formats, IPP
 * versions, URF and PWG raster resolutions, markers) and hands back a result record. With
 * no resource in the URI ("ipp://host" or "ipp://host:port/") it tries /ipp/print, /ipp
 * and / in turn, keeping the first that answers with IPP.
 *
 * Ownership: *result is set whenever memory allows, on failure too (its `code` and
 * `error` then say why); the caller releases it with kivo_ipp_result_free, which does
 * nothing for null. Every text and array a result points at belongs to the result. Texts
 * are terminated; a value's `text_length` counts its bytes, which the printer sent and
 * which may hold anything, embedded zeros included: escape before showing them.
 *
 * Time: the call blocks for at most options.timeout_ms (default 5,000 ms) in all,
 * whatever the printer does (trickling, stalling in the TLS handshake, endless bodies),
 * plus the host name lookup, which the system resolver bounds (numeric addresses are not
 * looked up). Memory: a response's HTTP header is capped at 16 KiB, its body at 1 MiB,
 * its attributes at 10,000 and collections at 16 levels; anything past a cap fails the
 * call with KIVO_IPP_ETOOBIG or KIVO_IPP_EPROTO.
 *
 * TLS (ipps://): the certificate is not verified unless KIVO_IPP_VERIFY is set (printers
 * present self-signed certificates); its SHA-256 fingerprint is always recorded, so a
 * caller can pin it.
 *
 * Threads: calls on different results and concurrent calls are safe; nothing is shared.
 *
 * Results: KIVO_IPP_OK (0) or a negative KIVO_IPP_E* code. */
#ifndef KIVO8_IPP_H
#define KIVO8_IPP_H

#include <stddef.h>
#include <stdint.h>

#include "kivo8_export.h"

#define KIVO_IPP_OK 0
#define KIVO_IPP_EINVAL (-1)     /* null argument, a URI that is not ipp:// or ipps:// */
#define KIVO_IPP_ENOMEM (-4)     /* memory exhausted */
#define KIVO_IPP_ERESOLVE (-20)  /* the host name did not resolve */
#define KIVO_IPP_ECONNECT (-21)  /* refused, unreachable, reset */
#define KIVO_IPP_ETIMEDOUT (-22) /* the time-out passed first */
#define KIVO_IPP_ETLS (-23)      /* the TLS handshake or stream failed */
#define KIVO_IPP_EVERIFY (-24)   /* the certificate did not verify (KIVO_IPP_VERIFY) */
#define KIVO_IPP_EHTTP (-25)     /* not HTTP, or an HTTP status other than 200 */
#define KIVO_IPP_ETOOBIG (-26)   /* a header or body past the caps */
#define KIVO_IPP_EPROTO (-27)    /* the body is not a valid IPP response */
#define KIVO_IPP_ESTATUS (-28)   /* the printer answered with an IPP error status */

/* options.flags */
#define KIVO_IPP_VERIFY 0x01u /* verify the certificate of an ipps:// printer */

/* Delimiter tags: kivo_ipp_attribute.group */
#define KIVO_IPP_GROUP_OPERATION 0x01
#define KIVO_IPP_GROUP_JOB 0x02
#define KIVO_IPP_GROUP_PRINTER 0x04
#define KIVO_IPP_GROUP_UNSUPPORTED 0x05

/* Value tags: kivo_ipp_value.tag (0x10-0x1F are out-of-band: the tag is the value) */
#define KIVO_IPP_TAG_UNSUPPORTED 0x10
#define KIVO_IPP_TAG_UNKNOWN 0x12
#define KIVO_IPP_TAG_NO_VALUE 0x13
#define KIVO_IPP_TAG_INTEGER 0x21
#define KIVO_IPP_TAG_BOOLEAN 0x22
#define KIVO_IPP_TAG_ENUM 0x23
#define KIVO_IPP_TAG_OCTET_STRING 0x30
#define KIVO_IPP_TAG_DATE_TIME 0x31
#define KIVO_IPP_TAG_RESOLUTION 0x32
#define KIVO_IPP_TAG_RANGE 0x33
#define KIVO_IPP_TAG_COLLECTION 0x34
#define KIVO_IPP_TAG_TEXT_LANG 0x35
#define KIVO_IPP_TAG_NAME_LANG 0x36
#define KIVO_IPP_TAG_TEXT 0x41
#define KIVO_IPP_TAG_NAME 0x42
#define KIVO_IPP_TAG_KEYWORD 0x44
#define KIVO_IPP_TAG_URI 0x45
#define KIVO_IPP_TAG_URI_SCHEME 0x46
#define KIVO_IPP_TAG_CHARSET 0x47
#define KIVO_IPP_TAG_LANGUAGE 0x48
#define KIVO_IPP_TAG_MIME_TYPE 0x49
#define KIVO_IPP_TAG_EXTENSION 0x7F

KIVO8_BEGIN_DECLS

typedef struct kivo_ipp_options {
  uint32_t size;       /* sizeof(kivo_ipp_options): fields past it are taken as 0 */
  uint32_t timeout_ms; /* 0: 5,000 */
  uint32_t flags;      /* KIVO_IPP_VERIFY */
  const char *user;    /* requesting-user-name; null: none sent */
} kivo_ipp_options;

struct kivo_ipp_attribute;
struct kivo_status; /* status.h */

/* One value; which fields mean something depends on `tag`. */
typedef struct kivo_ipp_value {
  uint32_t tag;        /* a value tag; for tag 0x7F, `extension` is the type code */
  uint32_t extension;
  int32_t integer;     /* integer, enum, boolean (0/1); lower bound of a range */
  int32_t upper;       /* range */
  int32_t xres, yres;  /* resolution */
  uint8_t units;       /* resolution: 3 per inch, 4 per centimetre */
  uint8_t date[11];    /* dateTime as sent */
  const char *text;    /* strings, octetString and unknown types: the bytes as sent */
  uint32_t text_length;
  const char *language; /* textWithLanguage, nameWithLanguage; "" otherwise */
  const struct kivo_ipp_attribute *members; /* collection */
  uint32_t member_count;
} kivo_ipp_value;

typedef struct kivo_ipp_attribute {
  const char *name;
  uint32_t group; /* KIVO_IPP_GROUP_*; 0 for a collection member */
  const kivo_ipp_value *values;
  uint32_t value_count;
} kivo_ipp_attribute;

typedef struct kivo_ipp_result {
  int32_t code;               /* KIVO_IPP_OK or KIVO_IPP_E* */
  const char *error;          /* the failure in words; "" on success */
  const char *uri;            /* the URI that answered (or was tried last) */
  int32_t http_status;        /* 0 when no HTTP answer came */
  int32_t ipp_status;         /* status-code of the IPP response; -1 when none */
  uint8_t version_major, version_minor;
  int32_t tls;                /* 1 when ipps:// */
  int32_t tls_verified;       /* 1 when the certificate verified (KIVO_IPP_VERIFY) */
  const char *tls_sha256;     /* peer certificate's SHA-256, 64 hex digits; "" if none */
  const kivo_ipp_attribute *attributes; /* every group in message order */
  uint32_t attribute_count;
} kivo_ipp_result;

KIVO8_API int32_t kivo_ipp_get_printer_attributes(const char *uri,
                                                  const kivo_ipp_options *options,
                                                  kivo_ipp_result **result) KIVO8_NOEXCEPT;
KIVO8_API void kivo_ipp_result_free(kivo_ipp_result *result) KIVO8_NOEXCEPT;

/* The printer's state and markers from a result that answered (code KIVO_IPP_OK), as a
 * status record of status.h whose every part says KIVO_STATUS_SOURCE_IPP: printer-state
 * as printer_status and ipp_state, printer-state-reasons as error bits (the rest in
 * ipp_reasons), one supply per marker (see "Status from IPP" in the API document).
 * *status_ref gets a record the caller releases with kivo_status_free; it is null on
 * failure. KIVO_IPP_OK, KIVO_IPP_EINVAL for a null argument or a result without an
 * answer, KIVO_IPP_ENOMEM. Does not block; nothing in the record points into the result. */
KIVO8_API int32_t kivo_ipp_status(const kivo_ipp_result *result,
                                  struct kivo_status **status_ref) KIVO8_NOEXCEPT;

/* The first attribute named `name` (outside collections), or null. */
KIVO8_API const kivo_ipp_attribute *kivo_ipp_find(const kivo_ipp_result *result,
                                                  const char *name) KIVO8_NOEXCEPT;

/* 1 when the result says the printer prints without a driver: document-format-supported
 * holds image/pwg-raster or application/pdf, and ipp-versions-supported 2.0 or later;
 * 0 otherwise (null included). */
KIVO8_API int32_t kivo_ipp_driverless(const kivo_ipp_result *result) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
