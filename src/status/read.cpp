// Reading one device on the caller's thread: the status reader (reader.h) names the
// requests, a v1/v2c or SNMPv3 session carries them. A session's exchange hands each
// reply over as an exported PDU; at this edge it becomes the library's message (a view of
// the PDU, out of which the reader copies what it keeps), and it is freed before the next
// request goes out.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/guard.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/snmpv3.h"
#include "kivo8/status.h"
#include "kivo8/udp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu_view.h"
#include "snmp/session_internal.h"
#include "status/model.h"
#include "status/reader.h"
#include "status/record.h"

namespace kivo8::status {

namespace {

struct PduFree {
  void operator()(snmp_pdu *p) const noexcept { snmp_free_pdu(p); }
};
using Pdu = std::unique_ptr<snmp_pdu, PduFree>;

// Drives the one status reader over a blocking session's exchange: each request it names
// goes out and waits for its answer (or the session's time-out) before the next.
std::int32_t read_device(const SnmpExchange &link, in_addr address, bool bulk, kivo_status **status_ref) {
  Reader reader(address.s_addr, bulk);
  std::vector<snmp_oid> oids;
  while (const Request *request = reader.request()) {
    oids.clear();
    oids.reserve(request->names.size() + 1);
    for (const Oid &n : request->names)
      oids.push_back({const_cast<std::uint32_t *>(n.data()), static_cast<std::uint32_t>(n.size())});
    oids.push_back({nullptr, 0});
    const std::int32_t command = request->command == Command::get       ? SNMP_MSG_GET
                                 : request->command == Command::getnext ? SNMP_MSG_GETNEXT
                                                                         : SNMP_MSG_GETBULK;
    Pdu pdu(_snmp_request_pdu(command, oids.data()));
    if (!pdu) return SNMP_ERR_NOMEM;
    if (request->command == Command::getbulk) {
      // A GetBulkRequest carries non-repeaters and max-repetitions where other PDUs carry
      // the error status and index.
      pdu->errstat = 0;
      pdu->errindex = static_cast<std::int32_t>(request->max_repetitions);
    }
    snmp_pdu *raw = nullptr;
    const std::int32_t rc = link.exchange(link.context, pdu.get(), &raw);
    const Pdu response(raw);
    if (rc != SNMP_ERR_NONE || !response) {
      reader.answer(rc, nullptr);
      continue;
    }
    snmp::Message reply;
    const snmp::CodecError e = snmp::message_of(*response, reply);
    if (e == snmp::CodecError::no_memory) return SNMP_ERR_NOMEM;
    reader.answer(e == snmp::CodecError::none ? SNMP_ERR_NONE : SNMP_ERR_DECODE, &reply);
  }
  if (reader.result() != SNMP_ERR_NONE) return reader.result();
  *status_ref = make_record(reader.status());
  return *status_ref != nullptr ? SNMP_ERR_NONE : SNMP_ERR_NOMEM;
}

}  // namespace

}  // namespace kivo8::status

extern "C" KIVO8_API int32_t kivo_status_read(snmp_session *session,
                                              kivo_status **status_ref) noexcept {
  if (status_ref == nullptr) return SNMP_ERR_OTHER;
  *status_ref = nullptr;
  if (session == nullptr || session->udp == nullptr) return SNMP_ERR_OTHER;
  return kivo8::guarded<std::int32_t>(SNMP_ERR_NOMEM, [&] {
    return kivo8::status::read_device(_snmp_exchange_of(session), session->udp->address,
                                      session->version != SNMP_VERSION_1, status_ref);
  });
}

extern "C" KIVO8_API int32_t kivo_status_read_v3(kivo_snmpv3_session *session,
                                                 const struct in_addr *address,
                                                 kivo_status **status_ref) noexcept {
  if (status_ref == nullptr) return SNMP_ERR_OTHER;
  *status_ref = nullptr;
  if (session == nullptr || address == nullptr) return SNMP_ERR_OTHER;
  return kivo8::guarded<std::int32_t>(SNMP_ERR_NOMEM, [&] {
    return kivo8::status::read_device(_snmpv3_exchange_of(session), *address, true, status_ref);
  });
}
