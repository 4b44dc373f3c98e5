/* Shared resource locks: a fixed table of 5 groups x 4 plain POSIX mutexes.
 *
 * The library uses five slots (see the MT_RES_* groups below, index 1 or 2); the other
 * fifteen belong to the front end. mt_res_init must run once before anything locks;
 * mt_res_free once at shut-down with no slot held. A (group, index) pair outside the
 * table yields 14 (EFAULT) and touches nothing. Slots are never nested inside the
 * library. */
#ifndef KIVO8_MT_SUPPORT_H
#define KIVO8_MT_SUPPORT_H

#include <pthread.h>
#include <stdint.h>

#include "kivo8_export.h"

#define MT_RES_SNMP 0
#define MT_RES_DEVICE 1
#define MT_RES_IFINFO 3
#define MT_RES_SLP 4

#define MT_RES_GROUPS 5
#define MT_RES_INDICES 4

KIVO8_BEGIN_DECLS

KIVO8_API int32_t mt_res_init(void) KIVO8_NOEXCEPT;
KIVO8_API void mt_res_free(void) KIVO8_NOEXCEPT;
KIVO8_API int32_t mt_res_init_mutex(pthread_mutex_t *mutex) KIVO8_NOEXCEPT;
KIVO8_API int32_t mt_res_destroy_mutex(int32_t group, int32_t index) KIVO8_NOEXCEPT;
KIVO8_API int32_t mt_res_lock(int32_t group, int32_t index) KIVO8_NOEXCEPT;
KIVO8_API int32_t mt_res_unlock(int32_t group, int32_t index) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
