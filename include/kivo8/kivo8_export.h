/* Export and language glue shared by every public header.
 *
 * KIVO8_API marks the names that the shared library exports; everything else is
 * built with hidden visibility. KIVO8_NOEXCEPT lets the same declarations promise
 * C++ callers that no exception ever leaves the library, while staying valid C99. */
#ifndef KIVO8_KIVO8_EXPORT_H
#define KIVO8_KIVO8_EXPORT_H

#if defined(KIVO8_BUILDING_LIBRARY)
#define KIVO8_API __attribute__((visibility("default")))
#else
#define KIVO8_API
#endif

#ifdef __cplusplus
#define KIVO8_NOEXCEPT noexcept
#define KIVO8_BEGIN_DECLS extern "C" {
#define KIVO8_END_DECLS }
#else
#define KIVO8_NOEXCEPT
#define KIVO8_BEGIN_DECLS
#define KIVO8_END_DECLS
#endif

#endif
