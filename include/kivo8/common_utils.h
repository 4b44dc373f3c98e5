/* Small text utilities for preference lines and their comma-separated values.
 *
 * The caller owns every buffer. remove_tailnl cuts a string in place at its first carriage
 * return or line feed. next_token copies one comma-separated field (backslash escapes a
 * comma or a backslash) into a buffer of `size` bytes, always terminated, and returns the
 * position where the next field begins (or the terminator); a null src or dst, or a size of
 * 0, copies nothing and returns src. name_copy_with_encode writes src into dst with a
 * backslash before every comma and every backslash and returns the number of characters
 * written (terminator not counted), or -1 when size is below 1, an argument is null, or an
 * escape pair would not fit (dst is then empty); plain characters that do not fit are
 * dropped. */
#ifndef KIVO8_COMMON_UTILS_H
#define KIVO8_COMMON_UTILS_H

#include <stdint.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

KIVO8_API void remove_tailnl(char *s) KIVO8_NOEXCEPT;
KIVO8_API const char *next_token(const char *src, char *dst, uint32_t size) KIVO8_NOEXCEPT;
KIVO8_API int32_t name_copy_with_encode(char *dst, const char *src, int32_t size) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
