/* Device records and the predicates that classify them.
 *
 * device_record and device_info belong to the front end, which allocates, fills and frees
 * them; the library only reads them, except that device_update_status stores `status`
 * while holding the lock slot (MT_RES_DEVICE, 1), one slot for every record, so
 * mt_res_init must have run. `target` is the search target that found the device (not
 * owned; null when there is none), `info` what was learnt from the device (null while
 * nothing is known), `product` the model name the device reports.
 *
 * Predicates return 1 or 0; a null record gives 0. device_update_status returns 0, or -1
 * for a null record. device_get_productname returns a text that the caller must not free:
 * the record's own `product`, or a catalogue text (valid until transtext_free_tables), or
 * the key itself when the catalogue lacks it; null for a null record. */
#ifndef KIVO8_DEVICE_H
#define KIVO8_DEVICE_H

#include <netinet/in.h>
#include <stdint.h>

#include "ifinfo.h"
#include "kivo8_export.h"

#define DEVICE_TYPE_NAB 100
#define DEVICE_TYPE_NOSNMP 101
#define DEVICE_TYPE_STDMIB 200

#define DEVICE_STATUS_NOTUSED 30
#define DEVICE_STATUS_NOTCONFIG 100

#define DEVICE_PRODUCT_SIZE 256

KIVO8_BEGIN_DECLS

typedef struct device_info {
  int32_t type; /* DEVICE_TYPE_NAB, DEVICE_TYPE_NOSNMP, DEVICE_TYPE_STDMIB, or a Zarno printer */
} device_info;

typedef struct device_record {
  struct in_addr address;             /* network order */
  int32_t status;                     /* written through device_update_status only */
  ifinfo *target;                     /* not owned; null when there is none */
  char product[DEVICE_PRODUCT_SIZE];  /* terminated model name as the device reports it */
  device_info *info;                  /* not owned; null while nothing is known */
  void *user_data;                    /* the front end's own; never touched here */
} device_record;

KIVO8_API uint32_t device_isStdMibPrinter(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isNAB(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isNoSNMP(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_is_alive(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_mustbe_alive(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isNotConfig(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isNotConfigPrinter(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isConnTerminated(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isConnTerminatedPrinter(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isZarno(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isZarnoPrinter(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isPrinter(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isActivePrinter(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isConnected(const device_record *device) KIVO8_NOEXCEPT;
KIVO8_API uint32_t device_isNotUsed(const device_record *device) KIVO8_NOEXCEPT;

KIVO8_API int32_t device_update_status(device_record *device, int32_t status) KIVO8_NOEXCEPT;
KIVO8_API const char *device_get_productname(const device_record *device) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
