/* The two process-wide catalogues: user-interface messages in the user's language
 * (DIR + language + "/localmsgs.cvt", converted to the display encoding) and model names
 * (DIR + "prdnames.cvt", used as stored). DIR ends with "/".
 *
 * transtext_readfile loads both (a table that cannot be loaded stays null; loading again
 * without transtext_free_tables first keeps the earlier tables allocated, so texts handed
 * out before stay valid). transtext_message and transtext_modelname return a text owned
 * by the table, valid until transtext_free_tables, or the caller's own key when the key
 * or the table is missing (null gives null). Load and free while no other thread
 * translates; lookups may run from several threads at once. */
#ifndef KIVO8_XTEXT_KIVO_H
#define KIVO8_XTEXT_KIVO_H

#include <stdint.h>

#include "kivo8_export.h"

#define TRANS_FILENAME "localmsgs.cvt"
#define MODELNAMES_FILENAME "prdnames.cvt"

KIVO8_BEGIN_DECLS

KIVO8_API void transtext_readfile(const char *dir) KIVO8_NOEXCEPT;
KIVO8_API void transtext_free_tables(void) KIVO8_NOEXCEPT;
KIVO8_API const char *transtext_message(const char *key) KIVO8_NOEXCEPT;
KIVO8_API const char *transtext_modelname(const char *key) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
