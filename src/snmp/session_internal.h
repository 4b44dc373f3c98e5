// Library-internal parts of the SNMP session layer.
#pragma once

#include "kivo8/snmp_sess.h"

// Encodes the PDU and sends it once. False on failure, with the code in the session's
// `error`; unlike snmp_send it does not depend on the PDU's request id being non-zero.
bool _snmp_send(snmp_session *session, snmp_pdu *pdu) noexcept;

// A PDU of type `command` with a NULL binding for every name of `oids` before the first
// whose name_length is 0. Null when memory runs out (nothing is left behind then).
snmp_pdu *_snmp_request_pdu(int32_t command, const snmp_oid *oids) noexcept;

// How a walk sends one GETNEXT and learns where the answer came from, so that the SNMPv3
// sessions walk by the same rules as the v1/v2c ones.
struct SnmpExchange {
  int32_t (*exchange)(void *context, snmp_pdu *request, snmp_pdu **response) noexcept;
  in_addr (*address)(void *context) noexcept;
  void *context;
};
int32_t _snmp_walk_with(const SnmpExchange &link, const snmp_oid *oids,
                        snmp_pdu_list **list_ref) noexcept;
