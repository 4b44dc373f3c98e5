// Helpers shared by the SLP client's files and reachable from its tests. They keep C
// linkage so that the symbol check can see they never leave the shared library (the
// library is built with hidden visibility and none of these carries KIVO8_API).
#pragma once

#include <cstdint>

#include "kivo8/slp_sess.h"

extern "C" {

// Replaces every byte equal to `from` (never the zero byte) by `to`, up to the terminator.
void str_char_replace(char *text, char from, char to) noexcept;
// 1 for the bytes that a scope name must carry escaped, 0 for plain ones.
int32_t slp_is_reserved_char(char c) noexcept;
// The byte that two hexadecimal digits spell; 0 when either is not a hexadecimal digit.
char slp_unescape(char high, char low) noexcept;
}
