/* printer_status: reads one printer's status over SNMPv2c through libkivo8's exported
 * interface — its description, the Host Resources device and printer status, and the
 * Printer-MIB names of its printers.
 *
 *   printer_status HOST [COMMUNITY [PORT]]
 *
 * Exit status: 0 the printer answered, 1 it did not (or an error), 2 bad arguments. */
#include <arpa/inet.h>
#include <kivo8/kivo8.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* Object identifiers as the library takes them: arrays of sub-identifiers. */
static const uint32_t sys_descr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
static const uint32_t hr_device_descr[] = {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 3, 1};
static const uint32_t hr_device_status[] = {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 5, 1};
static const uint32_t hr_printer_status[] = {1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 1, 1};
/* prtGeneralPrinterName, one row per printer of the device. */
static const uint32_t prt_general_printer_name[] = {1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 16};

#define COUNT(a) ((uint32_t)(sizeof(a) / sizeof((a)[0])))

static const char *device_status_text(int32_t v) {
  static const char *const names[] = {"?", "unknown", "running", "warning", "testing", "down"};
  return v >= 1 && v <= 5 ? names[v] : "?";
}

static const char *printer_status_text(int32_t v) {
  static const char *const names[] = {"?", "other", "unknown", "idle", "printing", "warmup"};
  return v >= 1 && v <= 5 ? names[v] : "?";
}

/* Prints one binding's value: a string, an integer with its meaning, or why there is none. */
static void print_value(const char *label, const snmp_var *var, const char *(*meaning)(int32_t)) {
  printf("%-16s ", label);
  if (var == NULL) {
    puts("(no answer)");
  } else if (var->type == SNMP_TYPE_OCTET_STR && var->value != NULL) {
    printf("%.*s\n", (int)var->value_length, (const char *)var->value);
  } else if (var->type == SNMP_TYPE_INTEGER && var->value != NULL && var->value_length == 4) {
    int32_t v;
    memcpy(&v, var->value, sizeof v);
    if (meaning != NULL)
      printf("%s (%d)\n", meaning(v), (int)v);
    else
      printf("%d\n", (int)v);
  } else if (var->type == SNMP_NOSUCHOBJECT || var->type == SNMP_NOSUCHINSTANCE) {
    puts("(not supported by this device)");
  } else {
    printf("(value of type 0x%02x)\n", var->type);
  }
}

int main(int argc, char **argv) {
  if (argc < 2 || argc > 4) {
    fprintf(stderr, "usage: printer_status HOST [COMMUNITY [PORT]]\n");
    return 2;
  }
  struct in_addr address;
  if (inet_pton(AF_INET, argv[1], &address) != 1) {
    fprintf(stderr, "printer_status: '%s' is not an IPv4 address\n", argv[1]);
    return 2;
  }
  const char *community = argc > 2 ? argv[2] : "vellum";
  long port = 161;
  if (argc > 3) {
    char *end = NULL;
    port = strtol(argv[3], &end, 10);
    if (*argv[3] == '\0' || *end != '\0' || port < 1 || port > 65535) {
      fprintf(stderr, "printer_status: bad port '%s'\n", argv[3]);
      return 2;
    }
  }

  /* Request ids are handed out under the library's lock table. */
  if (mt_res_init() != 0) return 1;
  int status = 1;

  /* The session does not own its community entry: the list must outlive the session. */
  snmp_comm *communities = NULL;
  snmp_session *session = NULL;
  if (snmp_comm_add(&communities, community) == NULL) goto done;
  session = snmp_create_session(AF_INET, &address, NULL);
  if (session == NULL) goto done;
  session->version = SNMP_VERSION_2c;
  session->community = communities;
  session->udp->port = (uint16_t)port;
  session->udp->timeout = 2; /* seconds per transmission; two transmissions */

  /* One GET for the scalars. The name list ends with an entry of length 0. */
  const snmp_oid names[] = {
      {(uint32_t *)sys_descr, COUNT(sys_descr)},
      {(uint32_t *)hr_device_descr, COUNT(hr_device_descr)},
      {(uint32_t *)hr_device_status, COUNT(hr_device_status)},
      {(uint32_t *)hr_printer_status, COUNT(hr_printer_status)},
      {NULL, 0},
  };
  snmp_pdu *response = NULL;
  int32_t rc = snmp_get(session, names, &response);
  if (rc != SNMP_ERR_NONE) {
    fprintf(stderr, "printer_status: %s did not answer (code %d)\n", argv[1], (int)rc);
    goto done;
  }
  const snmp_var *vars[4] = {NULL, NULL, NULL, NULL};
  int n = 0;
  for (const snmp_var *v = response->variables; v != NULL && n < 4; v = v->next) vars[n++] = v;
  print_value("sysDescr", vars[0], NULL);
  print_value("hrDeviceDescr", vars[1], NULL);
  print_value("hrDeviceStatus", vars[2], device_status_text);
  print_value("hrPrinterStatus", vars[3], printer_status_text);
  snmp_free_pdu(response);

  /* A walk of the printer-name column: one response per row, in a list we free. */
  const snmp_oid column[] = {
      {(uint32_t *)prt_general_printer_name, COUNT(prt_general_printer_name)},
      {NULL, 0},
  };
  snmp_pdu_list *rows = NULL;
  rc = snmp_walk(session, column, &rows);
  if (rc != SNMP_ERR_NONE) {
    fprintf(stderr, "printer_status: the walk of the printer names failed (code %d)\n", (int)rc);
    goto done;
  }
  int printers = 0;
  for (const snmp_pdu_list *row = rows; row != NULL; row = row->next) {
    if (row->pdu == NULL) continue;
    for (const snmp_var *v = row->pdu->variables; v != NULL; v = v->next) {
      char label[32];
      snprintf(label, sizeof label, "printer %u", (unsigned)v->name[v->name_length - 1]);
      print_value(label, v, NULL);
      ++printers;
    }
  }
  if (printers == 0) puts("printer names     (none: no Printer-MIB)");
  snmp_free_pdu_list(rows);
  status = 0;

done:
  snmp_free_session(session); /* null is ignored */
  snmp_comm_free(&communities);
  mt_res_free();
  return status;
}
