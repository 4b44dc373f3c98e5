/* A C program linked against the static archive: a saved target line read and written
 * back pulls in code that needs the C++ runtime, which the link must bring along. */
#include <arpa/inet.h>
#include <kivo8/kivo8.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  if (mt_res_init() != 0) return 1;
  ifinfo *entry = ifinfo_new();
  if (entry == NULL) return 2;
  entry->id = 10001;
  inet_pton(AF_INET, "10.9.8.1", &entry->addr1);
  inet_pton(AF_INET, "10.9.8.20", &entry->addr2);
  if (snmp_comm_add(&entry->comms, "ink") == NULL) return 3;
  char line[256];
  if (ifinfo_toline(entry, line, (int32_t)sizeof line) != 0) return 4;
  ifinfo *again = ifinfo_new_with(line);
  if (again == NULL || ifinfo_get_type(again) != IFINFO_RANGE || again->id != 10001) return 5;
  char second[256];
  if (ifinfo_toline(again, second, (int32_t)sizeof second) != 0 || strcmp(line, second) != 0)
    return 6;
  ifinfo_free(again);
  ifinfo_free(entry);
  mt_res_free();
  printf("static consumer ok: %s\n", line);
  return 0;
}
