// Predicates on the front end's device records, and their status updates.
#include "kivo8/device.h"

#include "mt/mt_internal.h"

namespace {

// Status bands, compared as signed numbers.
constexpr int32_t reachable_below = 10;
constexpr int32_t alive_below = 20;
constexpr int32_t terminated_first = 10;
constexpr int32_t terminated_last = 30;

bool _has_info(const device_record *d) { return d->info != nullptr; }
bool _has_target(const device_record *d) { return d->target != nullptr; }
bool _type_is(const device_record *d, int32_t type) { return _has_info(d) && d->info->type == type; }
bool _not_config(const device_record *d) { return d->status == DEVICE_STATUS_NOTCONFIG; }

uint32_t _truth(bool b) { return b ? 1u : 0u; }

}  // namespace

extern "C" KIVO8_API uint32_t device_isStdMibPrinter(const device_record *d) noexcept {
  return _truth(d != nullptr && _type_is(d, DEVICE_TYPE_STDMIB));
}

extern "C" KIVO8_API uint32_t device_isNAB(const device_record *d) noexcept {
  return _truth(d != nullptr && _type_is(d, DEVICE_TYPE_NAB));
}

extern "C" KIVO8_API uint32_t device_isNoSNMP(const device_record *d) noexcept {
  return _truth(d != nullptr && _type_is(d, DEVICE_TYPE_NOSNMP));
}

extern "C" KIVO8_API uint32_t device_is_alive(const device_record *d) noexcept {
  return _truth(d != nullptr && _has_target(d) && (d->status < alive_below || _not_config(d)));
}

extern "C" KIVO8_API uint32_t device_mustbe_alive(const device_record *d) noexcept {
  return _truth(d != nullptr && _has_target(d) && (d->status < reachable_below || _not_config(d)));
}

extern "C" KIVO8_API uint32_t device_isNotConfig(const device_record *d) noexcept {
  return _truth(d != nullptr && (!_has_info(d) || _not_config(d)));
}

extern "C" KIVO8_API uint32_t device_isNotConfigPrinter(const device_record *d) noexcept {
  return _truth(d != nullptr && _has_target(d) && !_has_info(d) && d->status != 6 &&
                d->status != 20 && d->status != 31);
}

extern "C" KIVO8_API uint32_t device_isConnTerminated(const device_record *d) noexcept {
  return _truth(d != nullptr && d->status >= terminated_first && d->status <= terminated_last);
}

extern "C" KIVO8_API uint32_t device_isConnTerminatedPrinter(const device_record *d) noexcept {
  return _truth(device_isConnTerminated(d) && _has_info(d) && d->info->type != DEVICE_TYPE_NAB);
}

extern "C" KIVO8_API uint32_t device_isZarno(const device_record *d) noexcept {
  return _truth(d != nullptr && _has_info(d) && d->info->type != DEVICE_TYPE_STDMIB &&
                !_not_config(d) && _has_target(d));
}

extern "C" KIVO8_API uint32_t device_isZarnoPrinter(const device_record *d) noexcept {
  return _truth(d != nullptr && _has_info(d) && d->info->type != DEVICE_TYPE_STDMIB &&
                d->info->type != DEVICE_TYPE_NAB && _has_target(d));
}

extern "C" KIVO8_API uint32_t device_isPrinter(const device_record *d) noexcept {
  return _truth(d != nullptr && _has_info(d) && d->info->type != DEVICE_TYPE_NAB);
}

extern "C" KIVO8_API uint32_t device_isActivePrinter(const device_record *d) noexcept {
  return _truth(device_isPrinter(d) && device_is_alive(d));
}

extern "C" KIVO8_API uint32_t device_isConnected(const device_record *d) noexcept {
  return _truth(d != nullptr && _has_info(d) && !_not_config(d) && _has_target(d));
}

extern "C" KIVO8_API uint32_t device_isNotUsed(const device_record *d) noexcept {
  return _truth(d != nullptr && d->status == DEVICE_STATUS_NOTUSED);
}

extern "C" KIVO8_API int32_t device_update_status(device_record *device, int32_t status) noexcept {
  if (device == nullptr) return -1;
  kivo8::SlotLock lock(MT_RES_DEVICE, 1);
  device->status = status;
  return 0;
}
