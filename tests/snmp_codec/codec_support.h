// Helpers shared by the message codec tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu.h"

namespace kivo8::test {

using Bytes = std::vector<std::uint8_t>;

struct PduDeleter {
  void operator()(snmp_pdu *p) const { snmp_free_pdu(p); }
};
using PduPtr = std::unique_ptr<snmp_pdu, PduDeleter>;

// A community entry of our own, as a search target's list would hold it.
struct Community {
  explicit Community(const std::string &text) : text(text) {
    entry.next = nullptr;
    entry.length = static_cast<int32_t>(this->text.size());
    entry.name = this->text.data();
  }
  Community(const Community &) = delete;
  Community &operator=(const Community &) = delete;
  std::string text;
  snmp_comm entry{};
};

// The bytes in a heap block of exactly their size, so that AddressSanitizer reports the
// first byte read past them.
struct Exact {
  explicit Exact(const Bytes &b) : data(new std::uint8_t[b.empty() ? 1 : b.size()]), size(static_cast<std::uint32_t>(b.size())) {
    if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
  }
  std::unique_ptr<std::uint8_t[]> data;
  std::uint32_t size;
};

inline Bytes encode(snmp_session &session, snmp_pdu *pdu, std::int32_t *result = nullptr) {
  Bytes out(SNMP_PACKET_SIZE);
  std::uint32_t length = static_cast<std::uint32_t>(out.size());
  const std::int32_t r = snmp_build(&session, pdu, out.data(), &length);
  if (result != nullptr) *result = r;
  if (r != 0) return {};
  out.resize(length);
  return out;
}

// Decodes `bytes` (from an exact-size block) into a fresh response PDU.
inline PduPtr decode(snmp_session &session, const Bytes &bytes, std::int32_t *result) {
  PduPtr pdu(_snmp_create_pdu(0));
  Exact in(bytes);
  *result = snmp_parse(&session, pdu.get(), in.data.get(), in.size);
  return pdu;
}

inline std::vector<const snmp_var *> bindings(const snmp_pdu *pdu) {
  std::vector<const snmp_var *> out;
  for (const snmp_var *v = pdu->variables; v != nullptr; v = v->next) out.push_back(v);
  return out;
}

inline std::vector<std::uint32_t> name_of(const snmp_var *v) {
  return std::vector<std::uint32_t>(v->name, v->name + v->name_length);
}

}  // namespace kivo8::test
