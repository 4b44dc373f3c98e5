/* An SNMP session to a device found earlier, through the search target that found it.
 *
 * snmp_create_session_wrapper opens an IPv4 session to the record's `address`, taking the
 * time-out and local interface address from its `target` (none when that is null). The
 * session belongs to the caller (snmp_free_session); the record stays the front end's and
 * must outlive nothing here. Null for a null record, exhausted memory or a transport that
 * cannot be opened. */
#ifndef KIVO8_SNMP_WRAPPER_H
#define KIVO8_SNMP_WRAPPER_H

#include <stdint.h>

#include "device.h"
#include "kivo8_export.h"
#include "snmp_sess.h"

KIVO8_BEGIN_DECLS

KIVO8_API snmp_session *snmp_create_session_wrapper(const device_record *device) KIVO8_NOEXCEPT;

KIVO8_END_DECLS

#endif
