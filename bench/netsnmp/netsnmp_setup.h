// Start-up shared by the net-snmp programs: the library initialised without reading MIB
// files, configuration or persistent state, so that nothing but the workload is measured.
#pragma once

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdlib>

namespace bench {

inline void netsnmp_start() {
  setenv("MIBS", "", 1);
  setenv("SNMPCONFPATH", "/nonexistent", 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  init_snmp("kivo8bench");
}

}  // namespace bench
