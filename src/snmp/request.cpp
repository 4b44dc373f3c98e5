// GET and GETNEXT of a list of names.

#include <cstdint>

#include "kivo8/snmp_sess.h"
#include "snmp/session_internal.h"

snmp_pdu *_snmp_request_pdu(int32_t command, const snmp_oid *oids) noexcept {
  snmp_pdu *pdu = snmp_create_pdu(command);
  if (pdu == nullptr) return nullptr;
  for (const snmp_oid *oid = oids; oid->name_length != 0; ++oid) {
    // A name that could not be added would silently be missing from the answer, and the
    // caller, who reads the bindings by position, would take one value for another.
    if (snmp_add_null_var(pdu, oid->name, oid->name_length) == nullptr) {
      snmp_free_pdu(pdu);
      return nullptr;
    }
  }
  return pdu;
}

namespace {

int32_t request(snmp_session *session, int32_t command, const snmp_oid *oids,
                snmp_pdu **response_ref) noexcept {
  if (session == nullptr || response_ref == nullptr) return SNMP_ERR_OTHER;
  *response_ref = nullptr;
  if (oids == nullptr) return SNMP_ERR_NOPDU;
  snmp_pdu *pdu = _snmp_request_pdu(command, oids);
  if (pdu == nullptr) return SNMP_ERR_NOMEM;
  int32_t result = snmp_synch_response(session, pdu, response_ref);
  snmp_free_pdu(pdu);
  if (result != SNMP_ERR_NONE) *response_ref = nullptr;
  return result;
}

}  // namespace

extern "C" KIVO8_API int32_t snmp_get(snmp_session *session, const snmp_oid *oids,
                                      snmp_pdu **response_ref) noexcept {
  return request(session, SNMP_MSG_GET, oids, response_ref);
}

extern "C" KIVO8_API int32_t snmp_getnext(snmp_session *session, const snmp_oid *oids,
                                          snmp_pdu **response_ref) noexcept {
  return request(session, SNMP_MSG_GETNEXT, oids, response_ref);
}
