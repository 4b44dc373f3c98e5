// A device record's SNMP session: the agent at the device's address, through its search target.
#include "kivo8/snmp_wrapper.h"

#include <sys/socket.h>

extern "C" KIVO8_API snmp_session *snmp_create_session_wrapper(
    const device_record *device) noexcept {
  if (device == nullptr) return nullptr;
  return snmp_create_session(AF_INET, &device->address, device->target);
}
