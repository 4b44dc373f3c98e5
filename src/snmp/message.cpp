#include "snmp/message.h"

#include <cstdio>
#include <cstring>
#include <span>

#include "asn1/ber.h"
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

// An element opened in place during a decode: its tag, its contents, and its whole size
// (identifier, length octets and contents).
struct Piece {
  std::uint8_t tag = 0;
  std::span<const std::uint8_t> contents;
  std::uint32_t size = 0;
};

// Opens the element at the front of `r` and moves `r` past it, by the same rules as
// asn_parse_header (ber::read_element decides everything but the usual case).
inline bool open_piece(kivo8::ByteReader &r, Piece &piece) noexcept {
  // The usual element (low tag, length in the short form or in two octets, all of it
  // present) is taken here without building a child reader.
  const std::span<const std::uint8_t> bytes = r.rest();
  if (bytes.size() >= 2 && (bytes[0] & 0x1Fu) != 0x1Fu) {
    std::size_t header = 0, length = 0;
    if (bytes[1] < 0x80u) {
      header = 2;
      length = bytes[1];
    } else if (bytes[1] == 0x82u && bytes.size() >= 4) {
      header = 4;
      length = (std::size_t{bytes[2]} << 8) | bytes[3];
    }
    if (header != 0 && length <= bytes.size() - header) {
      piece.tag = bytes[0];
      piece.contents = bytes.subspan(header, length);
      piece.size = static_cast<std::uint32_t>(header + length);
      return r.skip(piece.size);
    }
  }
  const std::size_t start = r.pos();
  auto e = kivo8::ber::read_element(r);
  if (!e) return false;
  piece.tag = e->type;
  piece.contents = e->contents.rest();
  piece.size = static_cast<std::uint32_t>(r.pos() - start);
  return true;
}

// Sign-extends up to 8 contents octets into 64 bits, as the asn_parse_ integer functions do.
std::uint64_t signed_value(std::span<const std::uint8_t> octets) noexcept {
  std::uint64_t v = (!octets.empty() && (octets[0] & 0x80u) != 0) ? ~std::uint64_t{0} : 0;
  for (std::uint8_t b : octets) v = (v << 8) | b;
  return v;
}

// asn_parse_int's rules on contents already opened: 1 to 4 octets.
bool int_value(std::span<const std::uint8_t> octets, std::int32_t *out) noexcept {
  if (octets.empty() || octets.size() > 4) return false;
  *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(signed_value(octets)));
  return true;
}

// A binding for the decoder, from the allocator like every record that crosses the
// interface. Only what the decoder does not always write is cleared: the links, lengths
// and type, and the inline value area (a short value leaves the rest of it as zeros); the
// 512-byte name area is written up to the name's length before the name is set.
snmp_var *new_binding() noexcept {
  auto *var = static_cast<snmp_var *>(kivo8::mem_alloc(sizeof(snmp_var)));
  if (var == nullptr) return nullptr;
  var->next = nullptr;
  var->name = nullptr;
  var->name_length = 0;
  var->type = 0;
  var->value = nullptr;
  var->value_length = 0;
  std::memset(var->value_storage, 0, sizeof var->value_storage);
  return var;
}

// Decodes a value by its tag from its opened element, as asn_parse_ would read it. A value
// that is refused keeps its tag and length with zeroed bytes; a block that cannot be
// allocated leaves the binding without a value. Neither fails the message. Returns false
// only for a tag that is not handled.
bool decode_value(snmp_var *var, std::span<const std::uint8_t> octets, std::uint32_t *scratch) noexcept {
  const auto contents_length = static_cast<std::uint32_t>(octets.size());
  switch (var->type) {
    case SNMP_TYPE_INTEGER: {
      std::int32_t v = 0;
      if (!int_value(octets, &v)) v = 0;
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
      if (!octets.empty() && (octets.size() < 5 || (octets.size() == 5 && octets[0] == 0)))
        v = static_cast<std::uint32_t>(signed_value(octets));
      std::memcpy(var->value_storage, &v, sizeof v);
      var->value = var->value_storage;
      var->value_length = sizeof v;
      return true;
    }
    case SNMP_TYPE_COUNTER64: {
      counter64 v{};
      if (!octets.empty() && (octets.size() < 9 || (octets.size() == 9 && octets[0] == 0))) {
        const std::uint64_t u =
            octets.size() == 9 ? signed_value(octets.subspan(1)) : signed_value(octets);
        v.high = static_cast<std::uint32_t>(u >> 32);
        v.low = static_cast<std::uint32_t>(u);
      }
      std::memcpy(var->value_storage, &v, sizeof v);
      var->value = var->value_storage;
      var->value_length = sizeof v;
      return true;
    }
    case SNMP_TYPE_OCTET_STR: {
      // Room for a terminator behind the contents, so the value can be used as text.
      const std::size_t size = std::size_t{contents_length} + 1;
      std::uint8_t *place = size < SNMP_VAR_VALUE_STORAGE
                                ? var->value_storage
                                : static_cast<std::uint8_t *>(kivo8::mem_alloc(size));
      if (place == nullptr) return true;
      if (contents_length != 0) std::memcpy(place, octets.data(), contents_length);
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
      std::uint8_t *place = !bits && contents_length < SNMP_VAR_VALUE_STORAGE
                                ? var->value_storage
                                : static_cast<std::uint8_t *>(kivo8::mem_calloc(1, contents_length));
      if (place == nullptr) return true;
      // A BIT STRING needs its count of unused bits (0 to 7) first; a refused one stays zeros.
      const bool ok = !bits || (!octets.empty() && octets[0] <= 7);
      if (ok && contents_length != 0) std::memcpy(place, octets.data(), contents_length);
      var->value = place;
      var->value_length = contents_length;
      return true;
    }
    case SNMP_TYPE_OBJECT_ID: {
      std::uint32_t count = ASN_MAX_OID_LEN;
      if (!kivo8::ber::decode_objid(octets, scratch, &count)) return true;
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
  // One pass over the message with one bounded reader per level, reading every element
  // once. The results, including how far a refused message gets into the PDU, are those
  // of asn_parse_header, asn_parse_int, asn_parse_sequence and snmp_parse_var_op in turn.
  kivo8::ByteReader message(data, *length);
  Piece piece;
  if (!open_piece(message, piece)) return -1;
  const std::uint32_t element_size = piece.size;
  pdu->command = piece.tag;
  kivo8::ByteReader r(piece.contents);
  std::int32_t reqid = 0;
  if (!open_piece(r, piece) || !int_value(piece.contents, &reqid)) return -1;
  if (!open_piece(r, piece) || !int_value(piece.contents, &pdu->errstat)) return -1;
  if (!open_piece(r, piece) || !int_value(piece.contents, &pdu->errindex)) return -1;
  pdu->reqid = static_cast<std::uint32_t>(reqid);
  if (!open_piece(r, piece) || piece.tag != ASN_SEQUENCE) return -1;
  // Bytes of the PDU after the binding list are not read.
  kivo8::ByteReader list(piece.contents);
  std::int32_t result = 0;
  std::uint32_t scratch[ASN_MAX_OID_LEN];
  snmp_var **tail = &pdu->variables;
  while (*tail != nullptr) tail = &(*tail)->next;
  // Every binding read consumes at least its header, name and value header, so the loop
  // ends within the list's length.
  while (!list.empty()) {
    snmp_var *var = new_binding();
    if (var == nullptr) return -1;
    // Linked at once: whatever fails below, the PDU owns the binding and frees it.
    *tail = var;
    tail = &var->next;
    // The binding's SEQUENCE bounds its name and value; the next binding starts right
    // after the value, as snmp_parse_var_op reports it.
    kivo8::ByteReader binding = list;
    if (!open_piece(binding, piece) || piece.tag != ASN_SEQUENCE) return -1;
    kivo8::ByteReader inside(piece.contents);
    Piece name, value;
    if (!open_piece(inside, name)) return -1;
    // Decoded straight into the binding's own name area (names of up to 128 arcs, as
    // snmp_parse_var_op reads them); the name is set only once the value's header is read.
    std::uint32_t name_length = ASN_MAX_OID_LEN;
    static_assert(ASN_MAX_OID_LEN <= SNMP_VAR_NAME_STORAGE);
    if (!kivo8::ber::decode_objid(name.contents, var->name_storage, &name_length) ||
        name.tag != ASN_OBJECT_ID)
      return -1;
    if (!open_piece(inside, value)) return -1;
    var->type = value.tag;
    var->name = var->name_storage;
    var->name_length = name_length;
    const std::size_t used = static_cast<std::size_t>(value.contents.data() + value.contents.size() -
                                                      list.rest().data());
    list.skip(used);
    if (!decode_value(var, value.contents, scratch)) {
      (void)std::fputs("badtype\n", stdout);
      result = 1;
    }
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
