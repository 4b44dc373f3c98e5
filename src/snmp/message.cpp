#include "snmp/message.h"

#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "kivo8/asn1.h"
#include "snmp/pdu.h"

namespace {

// A four-byte header (tag, 0x82, two length octets) reserved before its contents are
// written and filled in afterwards, so that nothing has to be moved once the length is known.
struct Reserved {
  std::uint8_t *at = nullptr;

  // Takes the four bytes at `*cursor` and counts them as used.
  bool take(std::uint8_t *&cursor, std::uint32_t &room) noexcept {
    if (cursor == nullptr || room < 4) return false;
    at = cursor;
    cursor += 4;
    room -= 4;
    return true;
  }
  // Writes the header for the contents that run from after it to `end`. Filling the
  // reserved place does not change the free count.
  bool fill(std::uint8_t type, const std::uint8_t *end) noexcept {
    if (at == nullptr || end == nullptr) return false;
    std::uint32_t four = 4;
    return asn_build_sequence(at, &four, type, static_cast<std::uint32_t>(end - (at + 4))) != nullptr;
  }
};

std::uint8_t *build_value(std::uint8_t *p, std::uint32_t *room, std::uint8_t type,
                          std::uint32_t value_length, const std::uint8_t *value) noexcept {
  switch (type) {
    case SNMP_TYPE_INTEGER: {
      std::int32_t v;
      if (value == nullptr || value_length != sizeof v) return nullptr;
      std::memcpy(&v, value, sizeof v);
      return asn_build_int(p, room, type, &v, value_length);
    }
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER: {
      std::uint32_t v;
      if (value == nullptr || value_length != sizeof v) return nullptr;
      std::memcpy(&v, value, sizeof v);
      return asn_build_unsigned_int(p, room, type, &v, value_length);
    }
    case SNMP_TYPE_COUNTER64: {
      counter64 v;
      if (value == nullptr || value_length != sizeof v) return nullptr;
      std::memcpy(&v, value, sizeof v);
      return asn_build_unsigned_int64(p, room, type, &v, value_length);
    }
    case SNMP_TYPE_BIT_STR:
      return asn_build_bitstring(p, room, type, value, value_length);
    case SNMP_TYPE_OCTET_STR:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS:
      return asn_build_string(p, room, type, value, value_length);
    case SNMP_TYPE_OBJECT_ID: {
      // Copied out so that the sub-identifiers are read aligned whatever holds them.
      std::uint32_t objid[ASN_MAX_OID_LEN];
      const std::uint32_t count = value_length / 4;
      if (count > ASN_MAX_OID_LEN || (count != 0 && value == nullptr)) return nullptr;
      if (count != 0) std::memcpy(objid, value, std::size_t{count} * 4);
      return asn_build_objid(p, room, type, objid, count);
    }
    case SNMP_TYPE_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      return asn_build_null(p, room, type);
    default:
      return nullptr;
  }
}

std::uint8_t *build_int(std::uint8_t *p, std::uint32_t *room, std::int32_t v) noexcept {
  return asn_build_int(p, room, ASN_INTEGER, &v, sizeof v);
}

// Where a decoded value of `size` bytes goes: the inline area when `fits_inline`, else a
// block of its own. Null when the block cannot be had.
std::uint8_t *value_place(snmp_var *var, std::size_t size, bool fits_inline) noexcept {
  if (fits_inline) return var->value_storage;
  return static_cast<std::uint8_t *>(kivo8::mem_calloc(1, size));
}

// Decodes the value whose element (tag octet to end of contents) is `element`, by its tag.
// A value that its decoder refuses keeps its tag and length with zeroed bytes; a block
// that cannot be allocated leaves the binding without a value. Neither fails the message.
// Returns false only for a tag that is not handled.
bool decode_value(snmp_var *var, const std::uint8_t *element, std::uint32_t element_size,
                  std::uint32_t contents_length, std::uint32_t *scratch) noexcept {
  std::uint32_t left = element_size;
  std::uint8_t tag = 0;
  var->value = nullptr;
  var->value_length = 0;
  switch (var->type) {
    case SNMP_TYPE_INTEGER: {
      std::int32_t v = 0;
      if (asn_parse_int(element, &left, &tag, &v, sizeof v) == nullptr) v = 0;
      std::memcpy(var->value_storage, &v, sizeof v);
      var->value = var->value_storage;
      var->value_length = sizeof v;
      return true;
    }
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER: {
      std::uint32_t v = 0;
      if (asn_parse_unsigned_int(element, &left, &tag, &v, sizeof v) == nullptr) v = 0;
      std::memcpy(var->value_storage, &v, sizeof v);
      var->value = var->value_storage;
      var->value_length = sizeof v;
      return true;
    }
    case SNMP_TYPE_COUNTER64: {
      counter64 v{};
      if (asn_parse_unsigned_int64(element, &left, &tag, &v, sizeof v) == nullptr) v = counter64{};
      std::memcpy(var->value_storage, &v, sizeof v);
      var->value = var->value_storage;
      var->value_length = sizeof v;
      return true;
    }
    case SNMP_TYPE_OCTET_STR: {
      // Room for a terminator behind the contents, so the value can be used as text.
      const std::size_t size = std::size_t{contents_length} + 1;
      std::uint8_t *place = value_place(var, size, size < SNMP_VAR_VALUE_STORAGE);
      if (place == nullptr) return true;
      std::uint32_t got = contents_length;
      if (asn_parse_string(element, &left, &tag, place, &got) == nullptr)
        std::memset(place, 0, contents_length);
      place[contents_length] = 0;
      var->value = place;
      var->value_length = contents_length;
      return true;
    }
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS:
    case SNMP_TYPE_BIT_STR: {
      const bool bits = var->type == SNMP_TYPE_BIT_STR;
      std::uint8_t *place =
          value_place(var, contents_length, !bits && contents_length < SNMP_VAR_VALUE_STORAGE);
      if (place == nullptr) return true;
      std::uint32_t got = contents_length;
      const std::uint8_t *ok = bits ? asn_parse_bitstring(element, &left, &tag, place, &got)
                                    : asn_parse_string(element, &left, &tag, place, &got);
      if (ok == nullptr) std::memset(place, 0, contents_length);
      var->value = place;
      var->value_length = contents_length;
      return true;
    }
    case SNMP_TYPE_OBJECT_ID: {
      std::uint32_t count = ASN_MAX_OID_LEN;
      if (asn_parse_objid(element, &left, &tag, scratch, &count) == nullptr) return true;
      const std::size_t size = std::size_t{count} * 4;
      auto *block = static_cast<std::uint8_t *>(kivo8::mem_alloc(size));
      if (block == nullptr) return true;
      std::memcpy(block, scratch, size);
      var->value = block;
      var->value_length = static_cast<std::uint32_t>(size);
      return true;
    }
    case SNMP_TYPE_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::uint8_t *snmp_build_var_op(std::uint8_t *data, const std::uint32_t *name,
                                const std::uint32_t *name_length, std::uint8_t type,
                                std::uint32_t value_length, const std::uint8_t *value,
                                std::uint32_t *listlength) noexcept {
  if (data == nullptr || name_length == nullptr || listlength == nullptr) return nullptr;
  std::uint8_t *p = data;
  Reserved header;
  if (!header.take(p, *listlength)) return nullptr;
  p = asn_build_objid(p, listlength, ASN_OBJECT_ID, name, *name_length);
  if (p == nullptr) return nullptr;
  p = build_value(p, listlength, type, value_length, value);
  if (p == nullptr || !header.fill(ASN_SEQUENCE, p)) return nullptr;
  return p;
}

std::uint8_t *snmp_pdu_build(snmp_pdu *pdu, std::uint8_t *data, std::uint32_t *length) noexcept {
  if (pdu == nullptr || data == nullptr || length == nullptr) return nullptr;
  std::uint8_t *p = data;
  Reserved pdu_header, list_header;
  if (!pdu_header.take(p, *length)) return nullptr;
  // Request ids above 0x7FFFFFFF go out as negative INTEGERs, as every receiver reads them.
  p = build_int(p, length, static_cast<std::int32_t>(pdu->reqid));
  if (p != nullptr) p = build_int(p, length, pdu->errstat);
  if (p != nullptr) p = build_int(p, length, pdu->errindex);
  if (p == nullptr || !list_header.take(p, *length)) return nullptr;
  for (const snmp_var *var = pdu->variables; var != nullptr && p != nullptr; var = var->next)
    p = snmp_build_var_op(p, var->name, &var->name_length, var->type, var->value_length,
                          var->value, length);
  if (p == nullptr || !list_header.fill(ASN_SEQUENCE, p)) return nullptr;
  if (!pdu_header.fill(static_cast<std::uint8_t>(pdu->command & 0xFF), p)) return nullptr;
  return p;
}

std::int32_t snmp_build(snmp_session *session, snmp_pdu *pdu, std::uint8_t *packet,
                        std::uint32_t *length) noexcept {
  if (pdu == nullptr || packet == nullptr || length == nullptr) return -1;
  if (pdu->errstat == -1) pdu->errstat = 0;
  if (pdu->errindex == -1) pdu->errindex = 0;
  if (pdu->community_len == 0) {
    const snmp_comm *comm = session != nullptr ? session->community : nullptr;
    if (comm == nullptr || comm->length <= 0 || comm->name == nullptr) {
      if (session != nullptr) session->error = -9;
      return -1;
    }
    const auto n = static_cast<std::uint32_t>(comm->length);
    auto *copy = static_cast<std::uint8_t *>(kivo8::mem_alloc(n));
    if (copy == nullptr) return -1;
    std::memcpy(copy, comm->name, n);
    kivo8::mem_free(pdu->community);
    pdu->community = copy;
    pdu->community_len = n;
  }
  std::uint32_t room = *length;
  std::uint8_t *p = packet;
  Reserved header;
  if (!header.take(p, room)) return -1;
  p = build_int(p, &room, pdu->version);
  if (p != nullptr) p = asn_build_string(p, &room, ASN_OCTET_STR, pdu->community, pdu->community_len);
  if (p != nullptr) p = snmp_pdu_build(pdu, p, &room);
  if (p == nullptr || !header.fill(ASN_SEQUENCE, p)) return -1;
  *length = static_cast<std::uint32_t>(p - packet);
  return 0;
}

extern "C" KIVO8_API const std::uint8_t *snmp_parse_var_op(const std::uint8_t *data, std::uint32_t *name,
                                      std::uint32_t *name_length, std::uint8_t *type,
                                      std::uint32_t *value_length, const std::uint8_t **value,
                                      std::uint32_t *listlength) noexcept {
  if (data == nullptr || name == nullptr || name_length == nullptr || type == nullptr ||
      value_length == nullptr || value == nullptr || listlength == nullptr)
    return nullptr;
  std::uint8_t tag = 0;
  std::uint32_t left = *listlength;
  const std::uint8_t *p = asn_parse_sequence(data, &left, &tag, ASN_SEQUENCE);
  if (p == nullptr) return nullptr;
  p = asn_parse_objid(p, &left, &tag, name, name_length);
  if (p == nullptr || tag != ASN_OBJECT_ID) return nullptr;
  const std::uint8_t *value_at = p;
  std::uint32_t contents_length = left;
  const std::uint8_t *contents = asn_parse_header(p, &contents_length, type);
  if (contents == nullptr) return nullptr;
  *value = value_at;
  *value_length = contents_length;
  const std::uint8_t *end = contents + contents_length;
  *listlength -= static_cast<std::uint32_t>(end - data);
  return end;
}

extern "C" KIVO8_API std::int32_t snmp_pdu_parse(snmp_pdu *pdu, const std::uint8_t *data,
                                                 std::uint32_t *length) noexcept {
  if (pdu == nullptr || data == nullptr || length == nullptr) return -1;
  std::uint8_t tag = 0;
  std::uint32_t left = *length;
  const std::uint8_t *p = asn_parse_header(data, &left, &tag);
  if (p == nullptr) return -1;
  const auto element_size = static_cast<std::uint32_t>(p - data) + left;
  pdu->command = tag;
  std::int32_t reqid = 0;
  p = asn_parse_int(p, &left, &tag, &reqid, sizeof reqid);
  if (p != nullptr) p = asn_parse_int(p, &left, &tag, &pdu->errstat, sizeof pdu->errstat);
  if (p != nullptr) p = asn_parse_int(p, &left, &tag, &pdu->errindex, sizeof pdu->errindex);
  if (p == nullptr) return -1;
  pdu->reqid = static_cast<std::uint32_t>(reqid);
  p = asn_parse_sequence(p, &left, &tag, ASN_SEQUENCE);
  if (p == nullptr) return -1;
  std::int32_t result = 0;
  std::uint32_t scratch[ASN_MAX_OID_LEN];
  snmp_var **tail = &pdu->variables;
  while (*tail != nullptr) tail = &(*tail)->next;
  // Every binding read consumes at least its header, name and value header, so the loop
  // ends within the list's length.
  while (left > 0) {
    auto *var = kivo8::mem_new<snmp_var>();
    if (var == nullptr) return -1;
    // Linked at once: whatever fails below, the PDU owns the binding and frees it.
    *tail = var;
    tail = &var->next;
    std::uint32_t name_length = ASN_MAX_OID_LEN;
    std::uint32_t contents_length = 0;
    const std::uint8_t *value_at = nullptr;
    const std::uint8_t *next = snmp_parse_var_op(p, scratch, &name_length, &var->type,
                                                 &contents_length, &value_at, &left);
    if (next == nullptr) return -1;
    if (snmp_set_var_objid(var, scratch, name_length) != 0) return -1;
    if (!decode_value(var, value_at, static_cast<std::uint32_t>(next - value_at), contents_length,
                      scratch)) {
      (void)std::fputs("badtype\n", stdout);
      result = 1;
    }
    p = next;
  }
  *length -= element_size;
  return result;
}

const std::uint8_t *snmp_comstr_parse(const std::uint8_t *data, std::uint32_t *length,
                                      std::uint8_t *community, std::uint32_t *community_len,
                                      snmp_pdu *pdu) noexcept {
  if (length == nullptr || pdu == nullptr) return nullptr;
  std::uint8_t tag = 0;
  // Bytes after the message's SEQUENCE are not part of it.
  const std::uint8_t *p = asn_parse_sequence(data, length, &tag, ASN_SEQUENCE);
  if (p != nullptr) p = asn_parse_int(p, length, &tag, &pdu->version, sizeof pdu->version);
  if (p != nullptr) p = asn_parse_string(p, length, &tag, community, community_len);
  return p;
}

std::int32_t snmp_parse_version(const std::uint8_t *data, std::uint32_t length) noexcept {
  std::uint8_t tag = 0;
  std::int32_t version = 0;
  const std::uint8_t *p = asn_parse_sequence(data, &length, &tag, ASN_SEQUENCE);
  if (p == nullptr || asn_parse_int(p, &length, &tag, &version, sizeof version) == nullptr) return -2;
  return version;
}

std::int32_t snmp_parse(snmp_session *session, snmp_pdu *pdu, const std::uint8_t *data,
                        std::uint32_t length) noexcept {
  if (session == nullptr || pdu == nullptr || data == nullptr) return -1;
  session->error = 0;
  std::int32_t version = session->version;
  if (version != -1)
    pdu->version = version;
  else
    version = snmp_parse_version(data, length);
  if (static_cast<std::uint32_t>(version) > 1) {
    session->error = -2;
    return -1;
  }
  std::uint8_t community[kSnmpMaxCommunity];
  std::uint32_t community_len = sizeof community;
  std::uint32_t left = length;
  const std::uint8_t *p = snmp_comstr_parse(data, &left, community, &community_len, pdu);
  if (p == nullptr) return -1;
  if (session->version != -1 && pdu->version != session->version) {
    session->error = -2;
    return -1;
  }
  kivo8::mem_free(pdu->community);
  pdu->community = nullptr;
  pdu->community_len = 0;
  if (community_len != 0) {
    pdu->community = static_cast<std::uint8_t *>(kivo8::mem_alloc(community_len));
    if (pdu->community == nullptr) {
      session->error = -8;
      return -1;
    }
    std::memcpy(pdu->community, community, community_len);
    pdu->community_len = community_len;
  }
  const std::int32_t result = snmp_pdu_parse(pdu, p, &left);
  if (result != 0 || pdu->variables == nullptr) session->error = -8;
  return result;
}
