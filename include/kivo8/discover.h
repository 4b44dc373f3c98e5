/* Discovery: every search target searched at once, one record per device.
 *
 * kivo_discover_new makes a handle from a search-target list (any ifinfo list, e.g. the one
 * ifinfo_initwithlocal and ifinfo_read_preference build) and options; kivo_discover_run
 * searches, on the calling thread, in one event loop over non-blocking sockets: SNMP GETs
 * to every broadcast target and every address of every range (paced at the send rate),
 * SLP Service Requests by multicast through every local interface, follow-up GETs that
 * describe each device as soon as it answers, web probes, and (KIVO_DISCOVER_ENDPOINTS)
 * TCP probes of the print ports and an IPP Get-Printer-Attributes of each device found.
 * No thread is started.
 *
 * Ownership: the handle copies the options and communities; the target list stays the
 * caller's and must outlive the handle unchanged (records point at its entries). Records
 * (kivo_discover_device, with every text and list they point at) belong to the handle:
 * valid until kivo_discover_free. A record handed to the device callback is valid only
 * during the call.
 *
 * Time: kivo_discover_run returns by its deadline (options.deadline_ms, or by default the
 * longest target time-out x (retries + 1), plus the describe time-outs and the larger of
 * the web-probe time-out and twice the endpoint time-out),
 * whatever arrives; sooner when nothing is left in flight.
 *
 * Memory: bounded by the addresses in flight and the devices kept (max_devices, default
 * 4,096); devices past the cap and datagrams that match no request are counted in the
 * statistics, not kept.
 *
 * Threads: one handle belongs to one thread, except kivo_discover_cancel, which any thread
 * may call at any time before kivo_discover_free; run then returns KIVO_DISCOVER_CANCELLED
 * promptly with what was found. Callbacks run on the thread inside kivo_discover_run; they
 * may call the library's read-only calls and kivo_discover_cancel, but not run or free the
 * handle. mt_res_init must have run (request ids come from the lock table).
 *
 * Results: KIVO_DISCOVER_OK (0) or a negative KIVO_DISCOVER_E* code; null from
 * kivo_discover_new on a bad argument or exhausted memory. */
#ifndef KIVO8_DISCOVER_H
#define KIVO8_DISCOVER_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include "device.h"
#include "ifinfo.h"
#include "kivo8_export.h"
#include "snmpv3.h"
#include "status.h"

#define KIVO_DISCOVER_OK 0
#define KIVO_DISCOVER_EINVAL (-1)    /* null handle, bad options, run while running */
#define KIVO_DISCOVER_ENOMEM (-4)    /* memory exhausted */
#define KIVO_DISCOVER_ENOSEND (-3)   /* searches to run, but no request could be sent */
#define KIVO_DISCOVER_CANCELLED (-11) /* kivo_discover_cancel was called */

/* Which searches run (options.searches; 0 means all of the first four). */
#define KIVO_DISCOVER_BROADCAST 0x01u
#define KIVO_DISCOVER_RANGES 0x02u
#define KIVO_DISCOVER_SLP 0x04u
#define KIVO_DISCOVER_WEB 0x08u
#define KIVO_DISCOVER_MDNS 0x10u
#define KIVO_DISCOVER_SNMPV3 0x20u
/* Not a search: reads the state and supplies of every device described as a printer
 * (kivo_discover_device.status). */
#define KIVO_DISCOVER_STATUS 0x80u
/* Endpoints of every device found (TCP connects to 631, 9100 and 515, and the DNS-SD
 * print services it announced) and, where it speaks IPP, its Get-Printer-Attributes.
 * Never for a whole range: only for devices another search found. */
#define KIVO_DISCOVER_ENDPOINTS 0x40u

/* SNMP versions to try (options.versions; 0 means SNMPv1). */
#define KIVO_DISCOVER_V1 0x01u
#define KIVO_DISCOVER_V2C 0x02u

/* How a device was found (kivo_discover_device.found_by). */
#define KIVO_DISCOVER_FOUND_BROADCAST 0x01u
#define KIVO_DISCOVER_FOUND_SCAN 0x02u
#define KIVO_DISCOVER_FOUND_SLP 0x04u
#define KIVO_DISCOVER_FOUND_MDNS 0x08u
#define KIVO_DISCOVER_FOUND_SNMPV3 0x10u

/* kivo_discover_device.kind */
#define KIVO_DISCOVER_KIND_UNKNOWN 0       /* description not complete */
#define KIVO_DISCOVER_KIND_PRINTER 1
#define KIVO_DISCOVER_KIND_OTHER 2
#define KIVO_DISCOVER_KIND_PRINTER_NO_SNMP 3

/* kivo_discover_device.web_server */
#define KIVO_DISCOVER_WEB_NOT_PROBED 0
#define KIVO_DISCOVER_WEB_YES 1
#define KIVO_DISCOVER_WEB_NO 2

/* kivo_discover_endpoint.scheme */
#define KIVO_ENDPOINT_IPP 1
#define KIVO_ENDPOINT_IPPS 2
#define KIVO_ENDPOINT_SOCKET 3
#define KIVO_ENDPOINT_LPD 4

/* Why the device callback is called. */
#define KIVO_DISCOVER_EVENT_FOUND 1    /* a device first seen */
#define KIVO_DISCOVER_EVENT_COMPLETE 2 /* its description complete (again when a later
                                          answer, e.g. SNMP after SLP, started more) */

KIVO8_BEGIN_DECLS

typedef struct kivo_discover kivo_discover;

typedef struct kivo_discover_txt {
  const char *key;
  const char *value;
} kivo_discover_txt;

/* A DNS-SD service a device announced. */
typedef struct kivo_discover_service {
  const char *instance;
  const char *type;
  const char *host;
  uint16_t port;
  const char *const *addresses; /* IPv4 and IPv6 addresses as text */
  uint32_t address_count;
  const kivo_discover_txt *txt;
  uint32_t txt_count;
} kivo_discover_service;

/* One way to print to a device. */
typedef struct kivo_discover_endpoint {
  int32_t scheme;     /* KIVO_ENDPOINT_* */
  uint16_t port;
  const char *uri;    /* "ipp://10.0.0.5:631/ipp/print", "socket://10.0.0.5:9100", ... */
  int32_t from_dnssd; /* 1: announced over DNS-SD, 0: found by a TCP probe */
} kivo_discover_endpoint;

/* One device. Texts are never null (empty when unknown) and carry the bytes the device
 * sent, cut to at most 1,024 bytes. */
typedef struct kivo_discover_device {
  struct in_addr address;
  uint32_t found_by;          /* KIVO_DISCOVER_FOUND_* bits */
  int32_t snmp_version;       /* 0 SNMPv1, 1 SNMPv2c, 3 SNMPv3, -1 no SNMP answer */
  const char *community;      /* the community that answered */
  const char *sys_descr;
  const char *sys_object_id;  /* dotted */
  const char *sys_name;
  const char *hr_device_type; /* dotted */
  const char *hr_device_descr;
  const char *printer_name;   /* prtGeneralPrinterName */
  const char *device_id;      /* IEEE 1284 device id used */
  const char *device_id_mfg;
  const char *device_id_mdl;
  const char *device_id_cmd;
  const char *make;
  const char *model;
  const char *product_name;   /* what a person expects to read as the device's name */
  int32_t kind;               /* KIVO_DISCOVER_KIND_* */
  int32_t web_server;         /* KIVO_DISCOVER_WEB_* */
  const char *const *slp_urls;
  uint32_t slp_url_count;
  const uint8_t *engine_id;   /* SNMPv3 authoritative engine id; null when none */
  uint32_t engine_id_length;
  const kivo_discover_service *services;
  uint32_t service_count;
  device_record *record;      /* the device_record of the device; owned by the handle */
  /* With options.snmpv3: why that user could not describe the device, 0 when it did (or
   * was not asked to). The agent's Report as a KIVO_SNMPV3_ERR_* code (UNKNOWN_USER,
   * WRONG_DIGEST for a wrong authentication pass phrase, DECRYPTION for a wrong privacy
   * one, UNSUPPORTED_LEVEL ...), KIVO_SNMPV3_ERR_AUTH_REPLY for replies that did not
   * verify, or SNMP_ERR_TIMEOUT when nothing came back. kivo_snmpv3_strerror names it. */
  int32_t snmpv3_error;
  /* null unless KIVO_DISCOVER_STATUS and the device is a printer that answered SNMP, or
   * (with KIVO_DISCOVER_ENDPOINTS) gave its state or markers over IPP; see the sources
   * in status.h. Owned by the handle (never kivo_status_free it) */
  const kivo_status *status;
  /* Filled by the endpoint search (KIVO_DISCOVER_ENDPOINTS); texts below that may be null
   * are null when unknown. Best first: ipps, ipp, socket, lpd. */
  const kivo_discover_endpoint *endpoints;
  uint32_t endpoint_count;
  int32_t driverless;            /* 1 prints without a driver (IPP 2.0 and PWG raster or
                                    PDF), 0 not, -1 unknown (no IPP answer) */
  const char *printer_uuid;      /* printer-uuid, null when none */
  const char *ipp_make_and_model; /* printer-make-and-model, null when none */
  const char *ipp_location;      /* printer-location, null when none */
  int32_t ipp_state;             /* printer-state: 3 idle, 4 processing, 5 stopped; 0 unknown */
  const char *ipp_state_reasons; /* comma-separated keywords, null when none */
  const char *tls_fingerprint;   /* SHA-256 of the IPPS certificate as hex, null when none
                                    (the certificate is not verified) */
} kivo_discover_device;

typedef struct kivo_discover_progress {
  uint64_t requests_sent;
  uint64_t addresses_done;
  uint64_t addresses_total;   /* addresses of all ranges */
  uint64_t answers;
  uint64_t devices;
} kivo_discover_progress;

typedef struct kivo_discover_stats {
  uint64_t requests_sent;
  uint64_t answers;
  uint64_t datagrams_dropped; /* matched no request outstanding, or undecodable */
  uint64_t devices_dropped;   /* answered past max_devices */
  uint64_t sends_deferred;    /* refused by the kernel (ENOBUFS, EAGAIN) and sent again */
  uint32_t devices;
  int32_t deadline_reached;   /* 1 when the run ended at its deadline */
  uint64_t elapsed_ms;
} kivo_discover_stats;

typedef void (*kivo_discover_progress_fn)(const kivo_discover_progress *progress,
                                          void *user);
typedef void (*kivo_discover_device_fn)(int32_t event, const kivo_discover_device *device,
                                        void *user);

/* Set `size` to sizeof(kivo_discover_options) and everything else to 0 for the defaults
 * (kivo_discover_options_init does both). Fields past `size` are read as 0. */
typedef struct kivo_discover_options {
  uint32_t size;
  uint32_t searches;               /* KIVO_DISCOVER_* bits; 0: broadcast|ranges|slp|web */
  uint32_t versions;               /* KIVO_DISCOVER_V1|V2C; 0: V1 */
  const char *const *communities;  /* extra communities tried everywhere; copied */
  uint32_t community_count;
  int32_t timeout_ms;              /* per request; 0: each target's own time-out */
  int32_t retries;                 /* resends after a silent time-out; -1 or 0: none */
  uint32_t rate;                   /* packets per second; 0: the default (10,000) */
  uint32_t max_devices;            /* 0: 4,096 */
  int32_t deadline_ms;             /* overall; 0: derived from the time-outs */
  int32_t describe_timeout_ms;     /* follow-up GETs; 0: the request time-out */
  int32_t web_timeout_ms;          /* web probes; 0: 2,000 */
  uint32_t web_in_flight;          /* 0: 64 */
  const char *slp_service_type;    /* null: "service:printer" */
  const char *slp_scopes;          /* null: the SLP targets', else "DEFAULT" */
  kivo_discover_progress_fn progress;
  kivo_discover_device_fn on_device;
  void *user;
  /* SNMPv3 user that describes the agents the SNMPv3 search finds (authenticated GETs,
   * encrypted for authPriv); null: they are found only. Read during kivo_discover_new
   * only: the keys are derived there and the pass phrases not kept. Its port, time-out,
   * retries and context name are not used (the search's own apply). */
  const kivo_snmpv3_options *snmpv3;
  /* The endpoint search: the time-out of each TCP connect and of each IPP exchange (0:
   * 2,000), and how many connects and exchanges are open at once (0: 32). */
  int32_t endpoint_timeout_ms;
  uint32_t endpoint_in_flight;
} kivo_discover_options;

KIVO8_API void kivo_discover_options_init(kivo_discover_options *options) KIVO8_NOEXCEPT;
/* Null targets stands for the library's global list; null options for the defaults. */
KIVO8_API kivo_discover *kivo_discover_new(ifinfo *targets,
                                           const kivo_discover_options *options) KIVO8_NOEXCEPT;
/* Searches until nothing is left in flight, the deadline, or a cancel. Once per handle. */
KIVO8_API int32_t kivo_discover_run(kivo_discover *handle) KIVO8_NOEXCEPT;
/* Any thread; safe while run is running on another thread and before free. */
KIVO8_API void kivo_discover_cancel(kivo_discover *handle) KIVO8_NOEXCEPT;
/* Devices found, sorted by address; records valid until kivo_discover_free. */
KIVO8_API uint32_t kivo_discover_count(const kivo_discover *handle) KIVO8_NOEXCEPT;
KIVO8_API const kivo_discover_device *kivo_discover_get(const kivo_discover *handle,
                                                         uint32_t index) KIVO8_NOEXCEPT;
KIVO8_API int32_t kivo_discover_get_stats(const kivo_discover *handle,
                                          kivo_discover_stats *stats) KIVO8_NOEXCEPT;
/* Adds every record to the group of all devices (device_groups_init must have run): 0,
 * or -1 when there is no such group. The records leave the group on kivo_discover_free. */
KIVO8_API int32_t kivo_discover_fill_group(kivo_discover *handle) KIVO8_NOEXCEPT;
/* Null is ignored. */
KIVO8_API void kivo_discover_free(kivo_discover *handle) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
