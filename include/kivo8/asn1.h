/* BER (X.690) elements as SNMP uses them, on caller-owned byte buffers.
 *
 * Nothing here allocates. The identifier octet ("type") of every element is the caller's
 * argument, so the same functions write and read INTEGER, Counter32, the PDU tags and so on.
 *
 * Build functions take the position to write at (`data`) and the number of bytes still
 * free from there (`*datalength`). They return the position just past what they wrote and
 * reduce `*datalength` by the bytes written; on failure they return null, `*datalength` is
 * then not to be relied on and the buffer may hold partly written bytes.
 *
 * Parse functions take the position of an element's identifier octet and the number of
 * valid bytes from there (`*datalength`); they store the identifier octet in `*type`,
 * return the position just past the element and reduce `*datalength` by the element's
 * whole size. asn_parse_header and asn_parse_sequence instead return the position of the
 * contents and set `*datalength` to the contents length. Null means failure: a null
 * argument, the high-tag-number form, malformed length octets (indefinite form, more than
 * four octets), contents running past `*datalength`, a value too large for its size, a
 * capacity too small. No parser reads outside the `*datalength` bytes it was given.
 *
 * The value-size argument must be 4 for the 32-bit integer functions and 8 for the 64-bit
 * ones. Object identifiers hold at most 128 sub-identifiers. */
#ifndef KIVO8_ASN1_H
#define KIVO8_ASN1_H

#include <stdint.h>

#include "kivo8_export.h"

#define ASN_INTEGER 0x02
#define ASN_BIT_STR 0x03
#define ASN_OCTET_STR 0x04
#define ASN_NULL 0x05
#define ASN_OBJECT_ID 0x06
#define ASN_SEQUENCE 0x30

/* The largest object identifier that is encoded or decoded, in sub-identifiers. */
#define ASN_MAX_OID_LEN 128

KIVO8_BEGIN_DECLS

/* An unsigned 64-bit counter as two 32-bit words, most significant first. */
typedef struct counter64 {
  uint32_t high;
  uint32_t low;
} counter64;

KIVO8_API uint8_t *asn_build_header(uint8_t *data, uint32_t *datalength, uint8_t type,
                                    uint32_t length) KIVO8_NOEXCEPT;
/* Shortest form: one octet below 0x80, 0x81 nn up to 0xFF, 0x82 nn nn up to 0xFFFF;
 * longer lengths are refused (null). */
KIVO8_API uint8_t *asn_build_length(uint8_t *data, uint32_t *datalength,
                                    uint32_t length) KIVO8_NOEXCEPT;
/* Always four bytes: type, 0x82 and the length in two octets (length up to 0xFFFF). */
KIVO8_API uint8_t *asn_build_sequence(uint8_t *data, uint32_t *datalength, uint8_t type,
                                      uint32_t length) KIVO8_NOEXCEPT;
KIVO8_API uint8_t *asn_build_int(uint8_t *data, uint32_t *datalength, uint8_t type,
                                 const int32_t *intp, uint32_t intsize) KIVO8_NOEXCEPT;
KIVO8_API uint8_t *asn_build_unsigned_int(uint8_t *data, uint32_t *datalength, uint8_t type,
                                          const uint32_t *intp, uint32_t intsize) KIVO8_NOEXCEPT;
KIVO8_API uint8_t *asn_build_unsigned_int64(uint8_t *data, uint32_t *datalength, uint8_t type,
                                            const counter64 *cp, uint32_t size) KIVO8_NOEXCEPT;
/* A null `string` writes `strlength` zero bytes. */
KIVO8_API uint8_t *asn_build_string(uint8_t *data, uint32_t *datalength, uint8_t type,
                                    const uint8_t *string, uint32_t strlength) KIVO8_NOEXCEPT;
/* At most 128 sub-identifiers; the second must not exceed 40. */
KIVO8_API uint8_t *asn_build_objid(uint8_t *data, uint32_t *datalength, uint8_t type,
                                   const uint32_t *objid, uint32_t objidlength) KIVO8_NOEXCEPT;
KIVO8_API uint8_t *asn_build_null(uint8_t *data, uint32_t *datalength,
                                  uint8_t type) KIVO8_NOEXCEPT;
/* The first byte is the count of unused bits (0 to 7); an empty string is refused. */
KIVO8_API uint8_t *asn_build_bitstring(uint8_t *data, uint32_t *datalength, uint8_t type,
                                       const uint8_t *string, uint32_t strlength) KIVO8_NOEXCEPT;

/* `data` points at the first length octet. This one has no count argument: it reads the
 * first octet and then only the 1 to 4 further octets that the long form announces, so the
 * caller must have those bytes (five bytes, or the whole length field) readable. */
KIVO8_API const uint8_t *asn_parse_length(const uint8_t *data, uint32_t *length) KIVO8_NOEXCEPT;
KIVO8_API const uint8_t *asn_parse_header(const uint8_t *data, uint32_t *datalength,
                                          uint8_t *type) KIVO8_NOEXCEPT;
KIVO8_API const uint8_t *asn_parse_sequence(const uint8_t *data, uint32_t *datalength,
                                            uint8_t *type, uint8_t expected_type) KIVO8_NOEXCEPT;
/* 1 to 4 contents octets, sign-extended. */
KIVO8_API const uint8_t *asn_parse_int(const uint8_t *data, uint32_t *datalength, uint8_t *type,
                                       int32_t *intp, uint32_t intsize) KIVO8_NOEXCEPT;
/* Up to 5 contents octets, a fifth only behind a leading 0x00. */
KIVO8_API const uint8_t *asn_parse_unsigned_int(const uint8_t *data, uint32_t *datalength,
                                                uint8_t *type, uint32_t *intp,
                                                uint32_t intsize) KIVO8_NOEXCEPT;
/* Up to 9 contents octets, a ninth only behind a leading 0x00. */
KIVO8_API const uint8_t *asn_parse_unsigned_int64(const uint8_t *data, uint32_t *datalength,
                                                  uint8_t *type, counter64 *cp,
                                                  uint32_t size) KIVO8_NOEXCEPT;
/* `*strlength` is the capacity on entry and the contents length on return; a NUL is stored
 * after the contents when the capacity leaves room for it. */
KIVO8_API const uint8_t *asn_parse_string(const uint8_t *data, uint32_t *datalength,
                                          uint8_t *type, uint8_t *string,
                                          uint32_t *strlength) KIVO8_NOEXCEPT;
/* `*objidlength` is the capacity in sub-identifiers on entry (at least 2) and the count on
 * return. Empty contents give the count 1 with the first two slots 0. */
KIVO8_API const uint8_t *asn_parse_objid(const uint8_t *data, uint32_t *datalength,
                                         uint8_t *type, uint32_t *objid,
                                         uint32_t *objidlength) KIVO8_NOEXCEPT;
KIVO8_API const uint8_t *asn_parse_null(const uint8_t *data, uint32_t *datalength,
                                        uint8_t *type) KIVO8_NOEXCEPT;
KIVO8_API const uint8_t *asn_parse_bitstring(const uint8_t *data, uint32_t *datalength,
                                             uint8_t *type, uint8_t *string,
                                             uint32_t *strlength) KIVO8_NOEXCEPT;

/* Framing of a message received in pieces: the whole length of the SEQUENCE that starts at
 * `packet`, 0 when more bytes are needed to tell, -1 when the bytes cannot start a message
 * (not a SEQUENCE, or malformed length octets). */
KIVO8_API int32_t asn_check_packet(const uint8_t *packet, int32_t length) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
