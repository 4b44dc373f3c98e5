/* Translation tables loaded from binary catalogue files, and the display encoding.
 *
 * A transtext_table owns its file image, its bucket array and its converted display
 * strings; transtext_free releases all of them (null does nothing). Texts returned by
 * transtext_translate point into the table and stay valid until transtext_free, or are
 * the caller's own key when the key is missing (a null table or key gives the key back,
 * so a null key gives null). Loaders return null for a missing, unreadable or malformed
 * file (entries or strings that do not fit in the file count as malformed) and when
 * memory runs out. Directory texts end with "/" themselves; paths are built in 1024
 * bytes and a path that does not fit gives null.
 *
 * transtext_init picks the language (null, "" and "en" mean none) and reads the display
 * encoding from LANGUAGE, LC_ALL, LC_MESSAGES or LANG. The conversions write at most
 * `room` bytes into `dst`, terminator included, and return `dst`; a text that cannot be
 * converted whole comes back converted as far as possible, then raw. The state behind
 * these functions is process-wide and unguarded: set it up before other threads
 * translate, and convert from one thread at a time. */
#ifndef KIVO8_TRANSTEXT_H
#define KIVO8_TRANSTEXT_H

#include <stdint.h>

#include "kivo8_export.h"

KIVO8_BEGIN_DECLS

/* One pair of the catalogue, in host byte order; offsets count from the string pool
 * (the translation offset from the display strings once they exist). */
typedef struct transtext_entry {
  uint32_t key_offset;
  uint32_t translation_offset;
} transtext_entry;

/* hash_value 0 marks an empty bucket. */
typedef struct transtext_bucket {
  uint32_t hash_value;
  transtext_entry *entry;
} transtext_bucket;

/* buckets has size + 1 records; slot 0 is never used. */
typedef struct transtext_table {
  uint32_t size;
  uint32_t filled;
  transtext_bucket *buckets;
  transtext_entry *entries;
  char *strings;
  char *display_strings;
  uint8_t *image;
} transtext_table;

KIVO8_API transtext_table *transtext_new_table_nolang(const char *dir,
                                                      const char *file) KIVO8_NOEXCEPT;
KIVO8_API const char *transtext_translate(const transtext_table *table,
                                          const char *key) KIVO8_NOEXCEPT;
KIVO8_API void transtext_free(transtext_table *table) KIVO8_NOEXCEPT;
/* The bucket index (1 to size) where `key` with hash `hash` is, or the empty bucket where
 * it would go; 0 for a null or empty table or a null key. */
KIVO8_API uint32_t lookup(const transtext_table *table, const char *key,
                          uint32_t hash) KIVO8_NOEXCEPT;

KIVO8_API void transtext_init(const char *language) KIVO8_NOEXCEPT;
KIVO8_API transtext_table *transtext_new_table(const char *dir, const char *file) KIVO8_NOEXCEPT;
KIVO8_API transtext_table *transtext_new_table_lang(const char *dir, const char *file,
                                                    const char *language) KIVO8_NOEXCEPT;
KIVO8_API char *transtext_to_display(const char *src, char *dst, uint32_t room) KIVO8_NOEXCEPT;
KIVO8_API char *transtext_from_display(const char *src, char *dst, uint32_t room) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
