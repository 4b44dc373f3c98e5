/* The per-user preference file: sections ("%" + name lines) of key=value lines, kept in
 * $HOME/.kivo/kivo2.pref.
 *
 * lanset_set_preference_dir must succeed (0) before any get or set; it fails (-1) and leaves
 * the directory empty when HOME is unset or empty, when the paths would not fit in 1024
 * bytes, when $HOME/.kivo is anything but a real directory (a symbolic link included), or
 * when it cannot be created. lanset_get_preference_dir returns the library's own buffer
 * (empty until set); the caller must not free or change it.
 *
 * Every other function returns 0 on success and -1 on failure. A get copies at most
 * length - 1 characters of the value into the caller's buffer, zero-fills the rest of the
 * `length` bytes and leaves the buffer untouched on failure. A set with a null value removes
 * the key. Every set replaces the whole file in one step (written to "kivo2.pref~", synced,
 * renamed over the file, directory synced): after a failure or a crash the file holds either
 * its old or its new content, and a failed set leaves no temporary file. A section, key or
 * value holding a carriage return or line feed, and a key beginning with "%", is refused
 * (-1), since it would change the file's structure. A new file is created with mode 0600 less the creation mask; a rewritten
 * file keeps its permission bits. Not thread-safe: callers serialise writes. */
#ifndef KIVO8_PREFERENCE_H
#define KIVO8_PREFERENCE_H

#include <stdint.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

KIVO8_API int32_t lanset_set_preference_dir(void) KIVO8_NOEXCEPT;
KIVO8_API const char *lanset_get_preference_dir(void) KIVO8_NOEXCEPT;
KIVO8_API int32_t lanset_get_preference_string(const char *section, const char *key, char *buffer,
                                               int32_t length) KIVO8_NOEXCEPT;
KIVO8_API int32_t lanset_set_preference_string(const char *section, const char *key,
                                               const char *value) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
