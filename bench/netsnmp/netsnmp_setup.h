// Start-up shared by the net-snmp programs: the library initialised without reading MIB
// files, configuration or persistent state, so that nothing but the workload is measured.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "common/snmp_workload.h"

namespace bench {

inline void netsnmp_start() {
  setenv("MIBS", "", 1);
  setenv("SNMPCONFPATH", "/nonexistent", 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  init_snmp("kivo8bench");
}

// The workload's response bindings in net-snmp's record, the same for the SNMPv1/v2c and
// the SNMPv3 programs.
inline void add_workload_value(netsnmp_pdu *response, const oid *name, std::size_t length, std::uint8_t type) {
  long integer = kIntValue;
  oid object[16];
  for (std::uint32_t k = 0; k < kOidValueLength; ++k) object[k] = kOidValue[k];
  struct counter64 c64;
  c64.high = kCounter64High;
  c64.low = kCounter64Low;
  u_long counter = kCounterValue, ticks = kTicksValue;
  const void *value = nullptr;
  std::size_t size = 0;
  switch (type) {
    case kInteger: value = &integer; size = sizeof integer; break;
    case kOctets: value = kText; size = sizeof kText - 1; break;
    case kObjectId: value = object; size = kOidValueLength * sizeof(oid); break;
    case kCounter32: value = &counter; size = sizeof counter; break;
    case kTimeTicks: value = &ticks; size = sizeof ticks; break;
    case kIpAddress: value = kAddressValue; size = 4; break;
    case kCounter64: value = &c64; size = sizeof c64; break;
  }
  if (snmp_pdu_add_variable(response, name, length, type, value, size) == nullptr) std::abort();
}

// The workload's ten names into the request, with their values into the response.
inline void add_workload(netsnmp_pdu *request, netsnmp_pdu *response) {
  for (int i = 0; i < 10; ++i) {
    oid name[16];
    const Name &n = kNames[i];
    for (std::uint32_t k = 0; k < n.length; ++k) name[k] = n.subids[k];
    snmp_add_null_var(request, name, n.length);
    add_workload_value(response, name, n.length, kTypes[i]);
  }
}

// snmp_build writes the message from the end of the buffer backwards; where it starts, or
// null when it failed.
inline const u_char *netsnmp_encode(netsnmp_session &session, u_char *&buffer, std::size_t &buffer_size,
                                    netsnmp_pdu *pdu, std::size_t *length) {
  std::size_t offset = 0;
  if (snmp_build(&buffer, &buffer_size, &offset, &session, pdu) != 0) return nullptr;
  *length = offset;
  return buffer + buffer_size - offset;
}

}  // namespace bench
