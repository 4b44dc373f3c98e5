// Lock-table pairs from the outside world: any pair must be refused or served, never crash.
#include <cstdint>
#include <cstring>

#include "kivo8/mt_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static bool ready = mt_res_init() == 0;
  if (!ready || size < 8) return 0;
  int32_t group, index;
  std::memcpy(&group, data, 4);
  std::memcpy(&index, data + 4, 4);
  if (mt_res_lock(group, index) == 0) mt_res_unlock(group, index);
  return 0;
}
