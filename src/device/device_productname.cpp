// The name under which the front end shows a device.
#include "kivo8/device.h"
#include "kivo8/xtext_kivo.h"

extern "C" KIVO8_API const char *device_get_productname(const device_record *device) noexcept {
  if (device == nullptr) return nullptr;
  const char *unknown = transtext_message("Unknown");
  if (device->info == nullptr) return unknown;
  // A standard-MIB printer reports a name meant for people already.
  if (device_isStdMibPrinter(device)) return device->product;
  if (device_isNAB(device)) return transtext_message("DA Unit");
  if (device_isNoSNMP(device)) return transtext_message("SNMP Disabled Device");
  return transtext_modelname(device->product);
}
