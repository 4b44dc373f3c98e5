// The process-wide table of twenty mutexes that guards the library's shared counters and cursors.
#include "kivo8/mt_support.h"

#include <cerrno>

#include "mt/mt_internal.h"

namespace {
// Zero-filled static storage; usable only after mt_res_init, which the front end owns.
pthread_mutex_t s_res[MT_RES_GROUPS][MT_RES_INDICES];
}  // namespace

pthread_mutex_t *_mt_res(int32_t group, int32_t index) noexcept {
  if (group < 0 || group >= MT_RES_GROUPS || index < 0 || index >= MT_RES_INDICES) return nullptr;
  return &s_res[group][index];
}

extern "C" KIVO8_API int32_t mt_res_init_mutex(pthread_mutex_t *mutex) noexcept {
  if (mutex == nullptr) return EINVAL;
  return pthread_mutex_init(mutex, nullptr);
}

extern "C" KIVO8_API int32_t mt_res_init(void) noexcept {
  // Table order, stopping at the first failure: the slots before it stay usable.
  for (int32_t group = 0; group < MT_RES_GROUPS; ++group)
    for (int32_t index = 0; index < MT_RES_INDICES; ++index)
      if (int32_t rc = mt_res_init_mutex(_mt_res(group, index)); rc != 0) return rc;
  return 0;
}

extern "C" KIVO8_API int32_t mt_res_destroy_mutex(int32_t group, int32_t index) noexcept {
  pthread_mutex_t *m = _mt_res(group, index);
  return m == nullptr ? EFAULT : pthread_mutex_destroy(m);
}

extern "C" KIVO8_API void mt_res_free(void) noexcept {
  for (int32_t g = 0; g < MT_RES_GROUPS; ++g)
    for (int32_t i = 0; i < MT_RES_INDICES; ++i) (void)mt_res_destroy_mutex(g, i);
}

extern "C" KIVO8_API int32_t mt_res_lock(int32_t group, int32_t index) noexcept {
  pthread_mutex_t *m = _mt_res(group, index);
  return m == nullptr ? EFAULT : pthread_mutex_lock(m);
}

extern "C" KIVO8_API int32_t mt_res_unlock(int32_t group, int32_t index) noexcept {
  pthread_mutex_t *m = _mt_res(group, index);
  return m == nullptr ? EFAULT : pthread_mutex_unlock(m);
}
