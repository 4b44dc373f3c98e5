// Library-internal parts of the SNMP session layer.
#pragma once

#include "kivo8/snmp_sess.h"

// Encodes the PDU and sends it once. False on failure, with the code in the session's
// `error`; unlike snmp_send it does not depend on the PDU's request id being non-zero.
bool _snmp_send(snmp_session *session, snmp_pdu *pdu) noexcept;

// A PDU of type `command` with a NULL binding for every name of `oids` before the first
// whose name_length is 0. Null when memory runs out (nothing is left behind then).
snmp_pdu *_snmp_request_pdu(int32_t command, const snmp_oid *oids) noexcept;

// How a walk sends one request and learns where the answer came from, so that the SNMPv3
// sessions walk by the same rules as the v1/v2c ones.
struct SnmpExchange {
  int32_t (*exchange)(void *context, snmp_pdu *request, snmp_pdu **response) noexcept;
  in_addr (*address)(void *context) noexcept;
  void *context;
};
// The exchanges of the two session kinds, for code that walks or asks by itself (the
// status reader).
SnmpExchange _snmp_exchange_of(snmp_session *session) noexcept;
SnmpExchange _snmpv3_exchange_of(struct kivo_snmpv3_session *session) noexcept;

// A walk by the rules of kivo_snmp_bulkwalk; `options` null walks by GETNEXT (snmp_walk),
// `can_bulk` false when the session's version has no GetBulkRequest.
int32_t _snmp_walk_with(const SnmpExchange &link, const snmp_oid *oids,
                        const kivo_walk_options *options, bool can_bulk,
                        snmp_pdu_list **list_ref) noexcept;
// `options`, or the defaults written into `defaults` when it is null.
const kivo_walk_options *_snmp_bulk_defaults(const kivo_walk_options *options,
                                             kivo_walk_options &defaults) noexcept;
