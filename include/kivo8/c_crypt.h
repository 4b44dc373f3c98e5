/* Byte scrambling of text files under a 32-bit key, and a line reader that unscrambles.
 *
 * The caller owns the buffer, the stream and the position counter (one per file, starting
 * where the scrambling started, normally 0; every byte advances it by one unless the key is
 * 0, which passes bytes through unchanged). Bytes are signed 8-bit characters; results are
 * returned as signed 8-bit values widened to an int. A null counter is read as position 0
 * and nothing is advanced. c_fgets returns buf holding one line without its line end, or
 * null at end of file (or on a read error, or a null buffer or stream) before any byte of
 * the call. c_fopen opens for reading in binary mode (null on failure); c_fclose returns
 * fclose's result (EOF for a null stream). */
#ifndef KIVO8_C_CRYPT_H
#define KIVO8_C_CRYPT_H

#include <stdint.h>
#include <stdio.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

KIVO8_API uint32_t c_makekey(const char *text) KIVO8_NOEXCEPT;
KIVO8_API int32_t c_rotateleft(int8_t byte, int32_t count) KIVO8_NOEXCEPT;
KIVO8_API int32_t c_encode(int8_t byte, uint32_t key, int32_t *counter) KIVO8_NOEXCEPT;
KIVO8_API int32_t c_decode(int8_t byte, uint32_t key, int32_t *counter) KIVO8_NOEXCEPT;
KIVO8_API char *c_fgets(char *buf, uint32_t size, FILE *stream, uint32_t key,
                        int32_t *counter) KIVO8_NOEXCEPT;
KIVO8_API FILE *c_fopen(const char *path) KIVO8_NOEXCEPT;
KIVO8_API int32_t c_fclose(FILE *stream) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
