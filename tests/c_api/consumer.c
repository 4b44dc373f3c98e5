/* A front end written in C: includes everything and calls into the library. */
#include <kivo8/kivo8.h>
#include <stdio.h>

int main(void) {
  if (mt_res_init() != 0) return 1;
  if (mt_res_lock(MT_RES_SNMP, 0) != 0 || mt_res_unlock(MT_RES_SNMP, 0) != 0) return 2;
  {
    /* SNMPv3 options are refused before anything is sent; no libcrypto header needed. */
    kivo_snmpv3_options o = {0};
    struct in_addr lo;
    int32_t code = 0;
    lo.s_addr = htonl(INADDR_LOOPBACK);
    o.size = sizeof o;
    o.user = "";
    if (kivo_snmpv3_create(&lo, &o, &code) != NULL || code != KIVO_SNMPV3_ERR_OPTIONS) return 3;
    if (kivo_snmpv3_strerror(code)[0] == '\0') return 4;
  }
  /* Status records: freeing null is allowed; enumeration names are static texts. */
  kivo_status_free(NULL);
  if (kivo_status_type_name(3) == NULL || kivo_status_read(NULL, NULL) != SNMP_ERR_OTHER) return 5;
  mt_res_free();
  puts("consumer ok");
  return 0;
}
