// Library-internal access to the lock table.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "kivo8/mt_support.h"

// The slot's mutex, or null when the pair names no slot (negative values included).
pthread_mutex_t *_mt_res(int32_t group, int32_t index) noexcept;

namespace kivo8 {

// Holds one slot for a scope. The library never holds two slots at once and never calls
// out of its module while holding one, so this stays a plain scoped lock.
class SlotLock {
 public:
  SlotLock(int32_t group, int32_t index) noexcept : group_(group), index_(index) {
    (void)mt_res_lock(group_, index_);
  }
  ~SlotLock() { (void)mt_res_unlock(group_, index_); }
  SlotLock(const SlotLock &) = delete;
  SlotLock &operator=(const SlotLock &) = delete;

 private:
  int32_t group_;
  int32_t index_;
};

}  // namespace kivo8
