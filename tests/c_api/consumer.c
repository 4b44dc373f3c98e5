/* A front end written in C: includes everything and calls into the library. */
#include <kivo8/kivo8.h>
#include <stdio.h>

int main(void) {
  if (mt_res_init() != 0) return 1;
  if (mt_res_lock(MT_RES_SNMP, 0) != 0 || mt_res_unlock(MT_RES_SNMP, 0) != 0) return 2;
  mt_res_free();
  puts("consumer ok");
  return 0;
}
