// The message decoder against a decoder put together from the exported asn_parse_*
// functions alone: both must accept and refuse the same datagrams and read the same values.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "fuzz_input.h"
#include "kivo8/asn1.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu.h"

namespace {

struct Binding {
  std::vector<std::uint32_t> name;
  std::uint8_t type = 0;
  bool known = true;
  std::vector<std::uint8_t> value;
};

struct Message {
  std::int32_t version = 0;
  std::vector<std::uint8_t> community;
  std::int32_t command = 0;
  std::uint32_t reqid = 0;
  std::int32_t errstat = 0, errindex = 0;
  std::vector<Binding> bindings;
};

template <typename T>
void append(std::vector<std::uint8_t> &out, const T &v) {
  const auto *p = reinterpret_cast<const std::uint8_t *>(&v);
  out.insert(out.end(), p, p + sizeof v);
}

// One value by its tag, with the asn_parse_ function the tag calls for.
bool reference_value(const std::uint8_t *at, std::uint32_t left, Binding &b) {
  std::uint8_t type = 0;
  switch (b.type) {
    case SNMP_TYPE_INTEGER: {
      std::int32_t v;
      if (asn_parse_int(at, &left, &type, &v, 4) == nullptr) return false;
      append(b.value, v);
      return true;
    }
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER: {
      std::uint32_t v;
      if (asn_parse_unsigned_int(at, &left, &type, &v, 4) == nullptr) return false;
      append(b.value, v);
      return true;
    }
    case SNMP_TYPE_COUNTER64: {
      counter64 v;
      if (asn_parse_unsigned_int64(at, &left, &type, &v, 8) == nullptr) return false;
      append(b.value, v);
      return true;
    }
    case SNMP_TYPE_BIT_STR:
    case SNMP_TYPE_OCTET_STR:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS: {
      std::uint32_t length = left;
      std::vector<std::uint8_t> bytes(left + 1);
      const bool ok = b.type == SNMP_TYPE_BIT_STR
                          ? asn_parse_bitstring(at, &left, &type, bytes.data(), &length) != nullptr
                          : asn_parse_string(at, &left, &type, bytes.data(), &length) != nullptr;
      if (!ok) return false;
      b.value.assign(bytes.begin(), bytes.begin() + length);
      return true;
    }
    case SNMP_TYPE_OBJECT_ID: {
      // One slot more than a name may have, to tell a name that does not fit from one
      // that fills it.
      std::uint32_t arcs[ASN_MAX_OID_LEN + 1];
      std::uint32_t count = ASN_MAX_OID_LEN + 1;
      if (asn_parse_objid(at, &left, &type, arcs, &count) == nullptr || count > ASN_MAX_OID_LEN)
        return false;
      for (std::uint32_t i = 0; i < count; ++i) append(b.value, arcs[i]);
      return true;
    }
    case SNMP_TYPE_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      return asn_parse_null(at, &left, &type) != nullptr;
    default:
      b.known = false;
      return true;
  }
}

bool reference_decode(const std::uint8_t *data, std::uint32_t size, Message &m) {
  std::uint8_t type = 0;
  std::uint32_t left = size;
  const std::uint8_t *p = asn_parse_sequence(data, &left, &type, ASN_SEQUENCE);
  if (p == nullptr || (p = asn_parse_int(p, &left, &type, &m.version, 4)) == nullptr) return false;
  if (static_cast<std::uint32_t>(m.version) > 1) return false;
  std::uint8_t community[kSnmpMaxCommunity];
  std::uint32_t community_len = sizeof community;
  if ((p = asn_parse_string(p, &left, &type, community, &community_len)) == nullptr) return false;
  m.community.assign(community, community + community_len);
  std::uint32_t pdu_left = left;
  p = asn_parse_header(p, &pdu_left, &type);
  if (p == nullptr) return false;
  m.command = type;
  std::int32_t reqid = 0;
  if ((p = asn_parse_int(p, &pdu_left, &type, &reqid, 4)) == nullptr ||
      (p = asn_parse_int(p, &pdu_left, &type, &m.errstat, 4)) == nullptr ||
      (p = asn_parse_int(p, &pdu_left, &type, &m.errindex, 4)) == nullptr)
    return false;
  m.reqid = static_cast<std::uint32_t>(reqid);
  std::uint32_t list_left = pdu_left;
  p = asn_parse_sequence(p, &list_left, &type, ASN_SEQUENCE);
  if (p == nullptr) return false;
  while (list_left > 0) {
    Binding b;
    std::uint32_t binding_left = list_left;
    const std::uint8_t *inside = asn_parse_sequence(p, &binding_left, &type, ASN_SEQUENCE);
    if (inside == nullptr) return false;
    std::uint32_t arcs[ASN_MAX_OID_LEN + 1];
    std::uint32_t count = ASN_MAX_OID_LEN + 1;
    const std::uint8_t *value = asn_parse_objid(inside, &binding_left, &type, arcs, &count);
    if (value == nullptr || type != ASN_OBJECT_ID || count > ASN_MAX_OID_LEN) return false;
    b.name.assign(arcs, arcs + count);
    std::uint32_t contents_left = binding_left;
    const std::uint8_t *contents = asn_parse_header(value, &contents_left, &b.type);
    if (contents == nullptr) return false;
    if (!reference_value(value, binding_left, b)) return false;
    // The next binding starts right after this value.
    const std::uint8_t *end = contents + contents_left;
    list_left -= static_cast<std::uint32_t>(end - p);
    p = end;
    m.bindings.push_back(std::move(b));
  }
  return true;
}

bool same(const Message &m, const snmp_pdu *pdu) {
  if (m.version != pdu->version || m.command != pdu->command || m.reqid != pdu->reqid ||
      m.errstat != pdu->errstat || m.errindex != pdu->errindex ||
      m.community.size() != pdu->community_len ||
      (pdu->community_len != 0 && std::memcmp(m.community.data(), pdu->community, pdu->community_len) != 0))
    return false;
  std::size_t i = 0;
  for (const snmp_var *v = pdu->variables; v != nullptr; v = v->next, ++i) {
    if (i >= m.bindings.size()) return false;
    const Binding &b = m.bindings[i];
    if (b.type != v->type || b.name.size() != v->name_length ||
        std::memcmp(b.name.data(), v->name, b.name.size() * 4) != 0)
      return false;
    if (!b.known) {
      if (v->value != nullptr) return false;
      continue;
    }
    if (b.value.size() != v->value_length ||
        (v->value_length != 0 && std::memcmp(b.value.data(), v->value, v->value_length) != 0))
      return false;
  }
  return i == m.bindings.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static bool ready = [] {
    // "badtype" lines would flood the fuzzer's output.
    std::freopen("/dev/null", "w", stdout);
    return mt_res_init() == 0;
  }();
  if (!ready || size > SNMP_PACKET_SIZE) return 0;
  kivo8::fuzz::ExactCopy in(data, size);
  snmp_pdu *pdu = _snmp_create_pdu(0);
  if (pdu == nullptr) return 0;
  const kivo8::snmp::Decoded d =
      kivo8::snmp::decode_message(std::span(in.bytes.get(), in.size), -1, pdu);
  Message m;
  const bool reference = reference_decode(in.bytes.get(), static_cast<std::uint32_t>(in.size), m);
  const bool decoded = d.error == kivo8::snmp::CodecError::none;
  if (decoded != reference) __builtin_trap();
  if (decoded && !same(m, pdu)) __builtin_trap();
  snmp_free_pdu(pdu);
  return 0;
}
