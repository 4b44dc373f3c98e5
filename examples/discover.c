/* Finds the printers around this host: every local interface (broadcast and SLP), the
 * saved search targets, and any address ranges given on the command line, all searched
 * at once by the library's discovery engine. Prints each device as it is described, then
 * the run's figures.
 *
 *   discover [--rate N] [--timeout MS] [--retries N] [--no-web] [FIRST-LAST ...]
 *
 * Build: cc discover.c $(pkg-config --cflags --libs kivo8) */
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <kivo8/kivo8.h>

static const char *kind_word(int32_t kind) {
  switch (kind) {
    case KIVO_DISCOVER_KIND_PRINTER: return "printer";
    case KIVO_DISCOVER_KIND_PRINTER_NO_SNMP: return "printer without SNMP";
    case KIVO_DISCOVER_KIND_OTHER: return "other device";
    default: return "unknown";
  }
}

/* Called on this thread, inside kivo_discover_run, once a device's description is done. */
static void on_device(int32_t event, const kivo_discover_device *d, void *user) {
  char address[INET_ADDRSTRLEN];
  (void)user;
  if (event != KIVO_DISCOVER_EVENT_COMPLETE) return;
  inet_ntop(AF_INET, &d->address, address, sizeof address);
  printf("%-15s  %-30s  %-20s  web: %s  found by:%s%s%s\n", address,
         d->product_name[0] != '\0' ? d->product_name : "(no name)", kind_word(d->kind),
         d->web_server == KIVO_DISCOVER_WEB_YES  ? "yes"
         : d->web_server == KIVO_DISCOVER_WEB_NO ? "no"
                                                 : "-",
         (d->found_by & KIVO_DISCOVER_FOUND_BROADCAST) ? " broadcast" : "",
         (d->found_by & KIVO_DISCOVER_FOUND_SCAN) ? " scan" : "",
         (d->found_by & KIVO_DISCOVER_FOUND_SLP) ? " slp" : "");
  fflush(stdout);
}

/* Adds the range FIRST-LAST to the list; 0, or -1 when the text is not one. */
static int add_range(ifinfo **head, const char *text) {
  char first[INET_ADDRSTRLEN], *dash;
  struct in_addr a, b;
  ifinfo *entry;
  dash = strchr(text, '-');
  if (dash == NULL || (size_t)(dash - text) >= sizeof first) return -1;
  memcpy(first, text, (size_t)(dash - text));
  first[dash - text] = '\0';
  if (inet_pton(AF_INET, first, &a) != 1 || inet_pton(AF_INET, dash + 1, &b) != 1) return -1;
  entry = ifinfo_new();
  if (entry == NULL) return -1;
  entry->id = 10000; /* the ids of address ranges */
  entry->addr1 = a;
  entry->addr2 = b;
  snmp_comm_add(&entry->comms, "vellum");
  ifinfo_add(head, entry);
  return 0;
}

int main(int argc, char **argv) {
  ifinfo *targets = NULL;
  kivo_discover_options options;
  kivo_discover_stats stats;
  kivo_discover *search;
  int32_t rc;
  int i;

  if (mt_res_init() != 0) {
    fprintf(stderr, "discover: cannot set up the lock table\n");
    return 1;
  }
  /* The host's interfaces, then the targets saved in ~/.kivo (if any). */
  ifinfo_initwithlocal(&targets);
  ifinfo_read_preference(&targets);

  kivo_discover_options_init(&options);
  options.on_device = on_device;
  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--rate") == 0 && i + 1 < argc) {
      options.rate = (uint32_t)strtoul(argv[++i], NULL, 10);
    } else if (strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
      options.timeout_ms = (int32_t)strtol(argv[++i], NULL, 10);
    } else if (strcmp(argv[i], "--retries") == 0 && i + 1 < argc) {
      options.retries = (int32_t)strtol(argv[++i], NULL, 10);
    } else if (strcmp(argv[i], "--no-web") == 0) {
      options.searches = KIVO_DISCOVER_BROADCAST | KIVO_DISCOVER_RANGES | KIVO_DISCOVER_SLP;
    } else if (add_range(&targets, argv[i]) != 0) {
      fprintf(stderr, "discover: '%s' is neither an option nor a range FIRST-LAST\n", argv[i]);
      ifinfo_free_list(targets);
      return 2;
    }
  }

  search = kivo_discover_new(targets, &options);
  if (search == NULL) {
    fprintf(stderr, "discover: cannot set up the search\n");
    ifinfo_free_list(targets);
    return 1;
  }
  rc = kivo_discover_run(search);
  kivo_discover_get_stats(search, &stats);
  printf("%u devices in %llu ms; %llu requests sent, %llu answers, %llu datagrams and "
         "%llu devices dropped, %llu sends deferred%s\n",
         stats.devices, (unsigned long long)stats.elapsed_ms,
         (unsigned long long)stats.requests_sent, (unsigned long long)stats.answers,
         (unsigned long long)stats.datagrams_dropped, (unsigned long long)stats.devices_dropped,
         (unsigned long long)stats.sends_deferred,
         stats.deadline_reached ? "; the deadline ended the run" : "");
  kivo_discover_free(search);
  ifinfo_free_list(targets);
  if (rc != KIVO_DISCOVER_OK) {
    fprintf(stderr, "discover: the search failed (%d)\n", (int)rc);
    return 1;
  }
  return 0;
}
