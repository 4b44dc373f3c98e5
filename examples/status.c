/* status: reads one printer's state and supplies with kivo_status_read and prints them.
 *
 *   status HOST [COMMUNITY [PORT]]
 *
 * Device texts are printed with every byte outside printable ASCII as \xHH, so that no
 * device can move the cursor or fake a line. Exit status: 0 the printer answered, 1 it
 * did not (or an error), 2 bad arguments. */
#include <arpa/inet.h>
#include <kivo8/kivo8.h>
#include <stdio.h>
#include <stdlib.h>

static void print_text(const char *label, const kivo_status_text *t) {
  uint32_t i;
  printf("%-10s ", label);
  if (t->data == NULL) {
    puts("-");
    return;
  }
  for (i = 0; i < t->length; ++i) {
    unsigned char c = (unsigned char)t->data[i];
    if (c >= 0x20 && c < 0x7f && c != '\\')
      putchar(c);
    else
      printf("\\x%02x", c);
  }
  putchar('\n');
}

static const char *or_number(const char *name, int32_t value, char *buffer, size_t size) {
  if (name != NULL) return name;
  if (value == KIVO_STATUS_ABSENT) return "-";
  snprintf(buffer, size, "%d", (int)value);
  return buffer;
}

int main(int argc, char **argv) {
  struct in_addr address;
  const char *community = argc > 2 ? argv[2] : "vellum";
  long port = 161;
  snmp_comm *communities = NULL;
  snmp_session *session = NULL;
  kivo_status *status = NULL;
  char b1[16], b2[16];
  int result = 1, bit;
  int32_t rc;
  uint32_t i;

  if (argc < 2 || argc > 4 || inet_pton(AF_INET, argv[1], &address) != 1) {
    fprintf(stderr, "usage: status IPV4-ADDRESS [COMMUNITY [PORT]]\n");
    return 2;
  }
  if (argc > 3) {
    char *end = NULL;
    port = strtol(argv[3], &end, 10);
    if (*end != '\0' || port < 1 || port > 65535) {
      fprintf(stderr, "status: bad port '%s'\n", argv[3]);
      return 2;
    }
  }
  if (mt_res_init() != 0) return 1;
  /* The session points at the community list without owning it. */
  if (snmp_comm_add(&communities, community) == NULL) goto done;
  session = snmp_create_session(AF_INET, &address, NULL);
  if (session == NULL) goto done;
  session->version = SNMP_VERSION_2c;
  session->community = communities;
  session->udp->port = (uint16_t)port;
  session->udp->timeout = 2;

  rc = kivo_status_read(session, &status); /* blocks: one request per table row */
  if (rc != SNMP_ERR_NONE) {
    fprintf(stderr, "status: %s did not answer (%s)\n", argv[1], kivo_snmpv3_strerror(rc));
    goto done;
  }
  printf("%-10s %s\n", "state",
         or_number(kivo_status_printer_status_name(status->printer_status),
                   status->printer_status, b1, sizeof b1));
  printf("%-10s %s\n", "device",
         or_number(kivo_status_device_status_name(status->device_status),
                   status->device_status, b1, sizeof b1));
  printf("%-10s", "errors");
  if (!status->errors_given) printf(" -");
  for (bit = 0; bit < KIVO_STATUS_ERROR_BITS; ++bit)
    if (status->errors & (1u << bit)) printf(" %s", kivo_status_error_name(bit));
  putchar('\n');
  for (i = 0; i < status->supply_count; ++i) {
    const kivo_status_supply *s = &status->supplies[i];
    print_text("supply", &s->description);
    printf("%-10s %s, %s", "",
           or_number(kivo_status_type_name(s->type), s->type, b1, sizeof b1),
           or_number(kivo_status_class_name(s->supply_class), s->supply_class, b2, sizeof b2));
    if (s->percent >= 0)
      printf(", %d%%%s", (int)s->percent, s->level_is_space_remaining ? " space left" : "");
    else if (s->level == KIVO_STATUS_LEVEL_SOME_REMAINING)
      printf(", some remaining");
    else
      printf(", level unknown");
    putchar('\n');
  }
  for (i = 0; i < status->alert_count; ++i) {
    const kivo_status_alert *a = &status->alerts[i];
    printf("%-10s %s %s\n", "alert",
           or_number(kivo_status_severity_name(a->severity), a->severity, b1, sizeof b1),
           or_number(kivo_status_code_name(a->code), a->code, b2, sizeof b2));
    print_text("", &a->description);
  }
  if (status->page_count >= 0) printf("%-10s %lld\n", "pages", (long long)status->page_count);
  print_text("serial", &status->serial);
  printf("%-10s %s\n", "mac", status->mac[0] != '\0' ? status->mac : "-");
  result = 0;

done:
  kivo_status_free(status); /* null is ignored */
  snmp_free_session(session);
  snmp_comm_free(&communities);
  mt_res_free();
  return result;
}
