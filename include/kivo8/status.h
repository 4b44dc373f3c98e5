/* Printer state and supplies read over SNMP from the Printer MIB (RFC 3805) and the Host
 * Resources MIB (RFC 2790).
 *
 * Ownership: kivo_status_read and kivo_status_read_v3 hand back one kivo_status record
 * that owns everything it points at (its arrays of supplies, alerts and display lines and
 * every text inside them); the caller releases it, whole, with kivo_status_free, which
 * does nothing for null. Nothing in the record points into the session.
 *
 * Nothing is invented: a value the device did not give is KIVO_STATUS_ABSENT (integers),
 * -1 (the 64-bit counters and `percent`) or a text whose `data` is null. A text that the
 * device gave holds its bytes exactly as they came (NUL bytes, line ends and bytes that
 * are not UTF-8 included) in `length` bytes, followed by one terminating NUL that is not
 * counted; a program that shows a text to a person must escape it for its output.
 *
 * Results: 0 success (possibly with few values: a device without the Printer MIB still
 * answers the system group), or the SNMP_ERR_* codes of snmp_sess.h and the
 * KIVO_SNMPV3_ERR_* codes of snmpv3.h: SNMP_ERR_TIMEOUT when the device did not answer
 * its first request, SNMP_ERR_NOMEM when memory ran out, SNMP_ERR_OTHER for a null
 * session or result cell. On failure *status_ref is null.
 *
 * Blocking and threads: a read blocks on the caller's thread. It sends one GET for the
 * scalars and walks the tables, all columns of a table in step, by GETBULK on SNMPv2c and
 * SNMPv3 (a device that leaves it unanswered is read on by GETNEXT) and by GETNEXT, one
 * request per row, on SNMPv1; each request waits for at most the session's time-out times its
 * transmissions. Tables are read up to KIVO_STATUS_MAX_SUPPLIES and KIVO_STATUS_MAX_ALERTS
 * rows (a device that lists more has `supplies_truncated` / `alerts_truncated` set), so a
 * read of the slowest device sends at most about 600 requests. A session belongs to one
 * thread at a time; records may be read from any thread.
 *
 * The discovery engine reads the same record for every printer it finds, inside its own
 * loop, when asked (KIVO_DISCOVER_STATUS in discover.h): the requests and the decoding are
 * the same, only the transport differs. */
#ifndef KIVO8_STATUS_H
#define KIVO8_STATUS_H

#include <netinet/in.h>
#include <stdint.h>

#include "kivo8_export.h"
#include "snmp_sess.h"
#include "snmpv3.h"

/* An integer the device did not give (outside every range the MIBs allow). */
#define KIVO_STATUS_ABSENT INT32_MIN

#define KIVO_STATUS_MAX_SUPPLIES 256u
#define KIVO_STATUS_MAX_ALERTS 256u
#define KIVO_STATUS_MAX_DISPLAY_LINES 32u

/* hrPrinterDetectedErrorState bits, as bit n of `errors` (the MIB's bit 0 is the top
 * bit of the first octet the device sends). */
#define KIVO_STATUS_ERR_LOW_PAPER (1u << 0)
#define KIVO_STATUS_ERR_NO_PAPER (1u << 1)
#define KIVO_STATUS_ERR_LOW_TONER (1u << 2)
#define KIVO_STATUS_ERR_NO_TONER (1u << 3)
#define KIVO_STATUS_ERR_DOOR_OPEN (1u << 4)
#define KIVO_STATUS_ERR_JAMMED (1u << 5)
#define KIVO_STATUS_ERR_OFFLINE (1u << 6)
#define KIVO_STATUS_ERR_SERVICE_REQUESTED (1u << 7)
#define KIVO_STATUS_ERR_INPUT_TRAY_MISSING (1u << 8)
#define KIVO_STATUS_ERR_OUTPUT_TRAY_MISSING (1u << 9)
#define KIVO_STATUS_ERR_MARKER_SUPPLY_MISSING (1u << 10)
#define KIVO_STATUS_ERR_OUTPUT_NEAR_FULL (1u << 11)
#define KIVO_STATUS_ERR_OUTPUT_FULL (1u << 12)
#define KIVO_STATUS_ERR_INPUT_TRAY_EMPTY (1u << 13)
#define KIVO_STATUS_ERR_OVERDUE_PREVENT_MAINT (1u << 14)
#define KIVO_STATUS_ERROR_BITS 15

/* prtMarkerSuppliesLevel and MaxCapacity values that are not amounts. */
#define KIVO_STATUS_LEVEL_UNRESTRICTED (-1)
#define KIVO_STATUS_LEVEL_UNKNOWN (-2)
#define KIVO_STATUS_LEVEL_SOME_REMAINING (-3)

/* Where a part of a record came from (kivo_status.*_source). */
#define KIVO_STATUS_SOURCE_NONE 0
#define KIVO_STATUS_SOURCE_SNMP 1
#define KIVO_STATUS_SOURCE_IPP 2

/* prtMarkerSuppliesClass */
#define KIVO_STATUS_CLASS_OTHER 1
#define KIVO_STATUS_CLASS_CONSUMED 3
#define KIVO_STATUS_CLASS_RECEPTACLE 4
/* prtMarkerSuppliesSupplyUnit percent */
#define KIVO_STATUS_UNIT_PERCENT 19

KIVO8_BEGIN_DECLS

/* Bytes from the device: `data` null when the device gave none. */
typedef struct kivo_status_text {
  char *data;
  uint32_t length;
} kivo_status_text;

typedef struct kivo_status_supply {
  int32_t index;        /* prtMarkerSuppliesIndex */
  int32_t supply_class; /* KIVO_STATUS_CLASS_* */
  int32_t type;         /* PrtMarkerSuppliesTypeTC: toner(3), wasteToner(4), ink(5) ... */
  int32_t unit;         /* PrtMarkerSuppliesSupplyUnitTC */
  int32_t max_capacity; /* raw: -1 unlimited, -2 unknown, 0 and above an amount */
  int32_t level;        /* raw: -1 unrestricted, -2 unknown, -3 some remaining */
  /* 0 to 100 where the level has one: unit percent with 0 <= level <= 100, or
   * max_capacity > 0 and 0 <= level <= max_capacity (rounded to nearest); else -1. */
  int32_t percent;
  /* 1 for a receptacle (class receptacleThatIsFilled, e.g. waste toner): its level (and
   * percent) is the space remaining, not the amount in it. */
  int32_t level_is_space_remaining;
  int32_t colorant_index; /* prtMarkerSuppliesColorantIndex; 0: none */
  kivo_status_text description;
  kivo_status_text colorant; /* prtMarkerColorantValue of colorant_index ("cyan") */
} kivo_status_supply;

typedef struct kivo_status_alert {
  int32_t index;
  int32_t severity;       /* PrtAlertSeverityLevelTC: critical(3), warning(4) ... */
  int32_t training_level; /* PrtAlertTrainingLevelTC */
  int32_t group;          /* PrtAlertGroupTC: marker(10), markerSupplies(11) ... */
  int32_t group_index;
  int32_t location;
  int32_t code; /* PrtAlertCodeTC: jam(8), markerTonerEmpty(1101) ... */
  kivo_status_text description;
} kivo_status_alert;

typedef struct kivo_status {
  int32_t printer_status; /* hrPrinterStatus: other(1) unknown(2) idle(3) printing(4)
                             warmup(5) */
  int32_t device_status;  /* hrDeviceStatus of the printer: unknown(1) running(2)
                             warning(3) testing(4) down(5) */
  int32_t errors_given;   /* 1 when hrPrinterDetectedErrorState was read (maybe empty) */
  uint32_t errors;        /* KIVO_STATUS_ERR_* */
  kivo_status_supply *supplies;
  uint32_t supply_count;
  int32_t supplies_truncated;
  kivo_status_alert *alerts;
  uint32_t alert_count;
  int32_t alerts_truncated;
  int64_t page_count;   /* prtMarkerLifeCount of the first marker; -1 not given */
  int64_t uptime_ticks; /* sysUpTime in hundredths of a second; -1 not given */
  kivo_status_text serial;   /* prtGeneralSerialNumber */
  kivo_status_text location; /* sysLocation */
  kivo_status_text contact;  /* sysContact */
  /* ifPhysAddress of the interface that holds the address asked, as lower-case hex
   * octets joined by ':' ("00:1b:a9:3c:4d:5e"); empty when not known. */
  char mac[64];
  kivo_status_text *display; /* prtConsoleDisplayBufferText, in line order */
  uint32_t display_count;
  /* Where printer_status, errors and the supplies came from: KIVO_STATUS_SOURCE_SNMP,
   * KIVO_STATUS_SOURCE_IPP (the discovery engine fills from a printer's IPP answer what
   * SNMP did not give, or all of it for a printer without SNMP), or
   * KIVO_STATUS_SOURCE_NONE when neither gave it (kivo_status_read says SNMP for each
   * part it read, kivo_ipp_status IPP).
   * Supplies come whole from one source. From IPP: printer_status is idle(3) for
   * printer-state idle, printing(4) for processing, other(1) for stopped; errors are the
   * printer-state-reasons that mean the same as a bit (media-empty noPaper, toner-low
   * lowToner, door-open doorOpen, media-jam jammed, offline offline ...); each marker is
   * a supply with unit percent and `level` as marker-levels gave it: 0 to 100, or -1
   * unavailable, -2 unknown, -3 some remaining (so -1 does not mean unrestricted there);
   * type and class from marker-types (waste-* are receptacles, but IPP does not say
   * which way their level runs, so level_is_space_remaining stays 0); `colorant` is the
   * marker-colors value ("#00FFFF") and colorant_index 0; max_capacity absent. */
  int32_t printer_status_source;
  int32_t errors_source;
  int32_t supplies_source;
  /* printer-state as the printer gave it (3 idle, 4 processing, 5 stopped), or
   * KIVO_STATUS_ABSENT when no IPP answer was read; set whichever source gave the rest. */
  int32_t ipp_state;
  /* The printer-state-reasons that no error bit stands for, comma-separated as sent
   * ("moving-to-paused-report,spool-area-full"); data null when there were none. */
  kivo_status_text ipp_reasons;
} kivo_status;

/* Reads one device through a v1/v2c session (its address, port, version, community,
 * time-out and transmissions). */
KIVO8_API int32_t kivo_status_read(snmp_session *session,
                                   kivo_status **status_ref) KIVO8_NOEXCEPT;
/* The same through an SNMPv3 session; `address` is the device's address as the session
 * was made for it (it picks the interface whose MAC is read). */
KIVO8_API int32_t kivo_status_read_v3(kivo_snmpv3_session *session,
                                      const struct in_addr *address,
                                      kivo_status **status_ref) KIVO8_NOEXCEPT;
KIVO8_API void kivo_status_free(kivo_status *status) KIVO8_NOEXCEPT;

/* The MIBs' names of the enumerations ("idle", "supplyThatIsConsumed", "toner",
 * "percent", "critical", "markerSupplies", "jam" ...); null for a value the MIB does not
 * name. Static texts. */
KIVO8_API const char *kivo_status_printer_status_name(int32_t value) KIVO8_NOEXCEPT;
KIVO8_API const char *kivo_status_device_status_name(int32_t value) KIVO8_NOEXCEPT;
/* The name of error bit n (0 lowPaper ... 14 overduePreventMaint). */
KIVO8_API const char *kivo_status_error_name(int32_t bit) KIVO8_NOEXCEPT;
KIVO8_API const char *kivo_status_class_name(int32_t value) KIVO8_NOEXCEPT;
KIVO8_API const char *kivo_status_type_name(int32_t value) KIVO8_NOEXCEPT;
KIVO8_API const char *kivo_status_unit_name(int32_t value) KIVO8_NOEXCEPT;
KIVO8_API const char *kivo_status_severity_name(int32_t value) KIVO8_NOEXCEPT;
KIVO8_API const char *kivo_status_training_name(int32_t value) KIVO8_NOEXCEPT;
KIVO8_API const char *kivo_status_group_name(int32_t value) KIVO8_NOEXCEPT;
KIVO8_API const char *kivo_status_code_name(int32_t value) KIVO8_NOEXCEPT;
/* "snmp" or "ipp" for KIVO_STATUS_SOURCE_*; null for none or any other value. */
KIVO8_API const char *kivo_status_source_name(int32_t value) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
