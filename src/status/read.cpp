// Reading one device on the caller's thread: the status reader (reader.h) names the
// requests, a v1/v2c or SNMPv3 session carries them.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/guard.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/snmpv3.h"
#include "kivo8/status.h"
#include "kivo8/udp_sess.h"
#include "status/model.h"
#include "status/reader.h"
#include "status/record.h"

namespace kivo8::status {

namespace {

// The two kinds of session behind one face.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual std::int32_t get(const snmp_oid *oids, snmp_pdu **out) = 0;
  virtual std::int32_t getnext(const snmp_oid *oids, snmp_pdu **out) = 0;
};

class CommunityTransport final : public Transport {
 public:
  explicit CommunityTransport(snmp_session *s) : session_(s) {}
  std::int32_t get(const snmp_oid *oids, snmp_pdu **out) override {
    return snmp_get(session_, oids, out);
  }
  std::int32_t getnext(const snmp_oid *oids, snmp_pdu **out) override {
    return snmp_getnext(session_, oids, out);
  }

 private:
  snmp_session *session_;
};

class UserTransport final : public Transport {
 public:
  explicit UserTransport(kivo_snmpv3_session *s) : session_(s) {}
  std::int32_t get(const snmp_oid *oids, snmp_pdu **out) override {
    return kivo_snmpv3_get(session_, oids, out);
  }
  std::int32_t getnext(const snmp_oid *oids, snmp_pdu **out) override {
    return kivo_snmpv3_getnext(session_, oids, out);
  }

 private:
  kivo_snmpv3_session *session_;
};

// Drives the one status reader over a blocking session: each request it names goes out
// and waits for its answer (or the session's time-out) before the next.
std::int32_t read_device(Transport &t, in_addr address, kivo_status **status_ref) {
  Reader reader(address.s_addr);
  std::vector<snmp_oid> oids;
  while (const Request *request = reader.request()) {
    oids.clear();
    oids.reserve(request->names.size() + 1);
    for (const Oid &n : request->names)
      oids.push_back({const_cast<std::uint32_t *>(n.data()), static_cast<std::uint32_t>(n.size())});
    oids.push_back({nullptr, 0});
    snmp_pdu *raw = nullptr;
    const std::int32_t rc = request->command == Command::get ? t.get(oids.data(), &raw)
                                                              : t.getnext(oids.data(), &raw);
    reader.answer(rc, Pdu(raw));
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
    kivo8::status::CommunityTransport t(session);
    return kivo8::status::read_device(t, session->udp->address, status_ref);
  });
}

extern "C" KIVO8_API int32_t kivo_status_read_v3(kivo_snmpv3_session *session,
                                                 const struct in_addr *address,
                                                 kivo_status **status_ref) noexcept {
  if (status_ref == nullptr) return SNMP_ERR_OTHER;
  *status_ref = nullptr;
  if (session == nullptr || address == nullptr) return SNMP_ERR_OTHER;
  return kivo8::guarded<std::int32_t>(SNMP_ERR_NOMEM, [&] {
    kivo8::status::UserTransport t(session);
    return kivo8::status::read_device(t, *address, status_ref);
  });
}
