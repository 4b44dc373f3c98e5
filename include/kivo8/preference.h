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
 * the key. Every set replaces the whole file in one step (written to a temporary file
 * "kivo2.pref~" + a suffix unique to the writer, synced, renamed over the file, directory
 * synced): after a failure or a crash the file holds either its old or its new content, and
 * a failed set leaves no temporary file (one left by a killed writer is removed by the next
 * set). A section, key or value holding a carriage return or line feed, and a key beginning
 * with "%", is refused (-1), since it would change the file's structure. A new file is
 * created with mode 0600 less the creation mask; a rewritten file keeps its permission bits.
 *
 * Writers, threads or processes, may run at the same time: each set reads, changes and
 * replaces the file while it holds the store's write lock, an advisory flock() on the file
 * "kivo2.pref.lock" beside it, so no set loses another's change. A set waits for the lock
 * as long as another writer holds it (each holds it for one change). The kernel drops the
 * lock of a process that dies, so a killed writer never blocks the next. Gets take no lock:
 * they see the old or the new file, never a part of one.
 *
 * kivo_preference_lock takes that lock for the calling thread, so that a caller's own read,
 * change and save (say, of the saved search targets) happen as one against other writers;
 * the sets and saves the same thread makes while it holds the lock go ahead without waiting.
 * It blocks while another thread or process holds the lock; 0 once held, -1 when no
 * preference directory is set or the lock file cannot be opened or locked. Holds nest: each
 * successful kivo_preference_lock needs one kivo_preference_unlock, which returns -1 when
 * the thread holds no lock. The hold belongs to the thread (another thread's sets wait for
 * it) and ends at the latest with the thread or the process; the lock file is opened with
 * close-on-exec, and a child made by fork() while the lock is held shares the hold. */
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
KIVO8_API int32_t kivo_preference_lock(void) KIVO8_NOEXCEPT;
KIVO8_API int32_t kivo_preference_unlock(void) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
