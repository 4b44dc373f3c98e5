// SNMPv1/v2c messages to bytes and back: one encoder, one decoder, and the specified
// pointer-and-count functions as adapters over them.
#include "snmp/message.h"

#include <cstdio>
#include <cstring>

#include "asn1/ber.h"
#include "core/alloc.h"
#include "kivo8/asn1.h"
#include "snmp/pdu.h"

namespace kivo8::snmp {

namespace {

static_assert(ber::kMaxObjid == ASN_MAX_OID_LEN && ASN_MAX_OID_LEN <= SNMP_VAR_NAME_STORAGE);

bool write_value(ByteWriter &w, std::uint8_t type, std::uint32_t value_length,
                 const std::uint8_t *value) noexcept {
  switch (type) {
    case SNMP_TYPE_INTEGER: {
      std::int32_t v;
      if (value == nullptr || value_length != sizeof v) return false;
      std::memcpy(&v, value, sizeof v);
      return ber::write_integer(w, type, v);
    }
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER: {
      std::uint32_t v;
      if (value == nullptr || value_length != sizeof v) return false;
      std::memcpy(&v, value, sizeof v);
      return ber::write_unsigned32(w, type, v);
    }
    case SNMP_TYPE_COUNTER64: {
      counter64 v;
      if (value == nullptr || value_length != sizeof v) return false;
      std::memcpy(&v, value, sizeof v);
      return ber::write_unsigned64(w, type, (std::uint64_t{v.high} << 32) | v.low);
    }
    case SNMP_TYPE_BIT_STR:
      if (value == nullptr || value_length == 0 || value[0] > 7) return false;
      [[fallthrough]];
    case SNMP_TYPE_OCTET_STR:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS: {
      if (!ber::write_header(w, type, value_length)) return false;
      auto contents = w.reserve(value_length);
      if (!contents) return false;
      // No bytes given: as many zero bytes, as asn_build_string writes them.
      if (value_length != 0) {
        if (value != nullptr)
          std::memcpy(contents->data(), value, value_length);
        else
          std::memset(contents->data(), 0, value_length);
      }
      return true;
    }
    case SNMP_TYPE_OBJECT_ID: {
      // Copied out so that the sub-identifiers are read aligned whatever holds them.
      std::uint32_t objid[ASN_MAX_OID_LEN];
      const std::uint32_t count = value_length / 4;
      if (count > ASN_MAX_OID_LEN || (count != 0 && value == nullptr)) return false;
      if (count != 0) std::memcpy(objid, value, std::size_t{count} * 4);
      return ber::write_objid(w, type, objid, count);
    }
    case SNMP_TYPE_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      return ber::write_header(w, type, 0);
    default:
      return false;
  }
}

bool write_binding(ByteWriter &w, const std::uint32_t *name, std::uint32_t name_length,
                   std::uint8_t type, std::uint32_t value_length, const std::uint8_t *value) noexcept {
  ber::HeaderSlot header;
  return header.reserve(w) && ber::write_objid(w, ASN_OBJECT_ID, name, name_length) &&
         write_value(w, type, value_length, value) && header.fill(w, ASN_SEQUENCE);
}

bool write_pdu(ByteWriter &w, const snmp_pdu *pdu) noexcept {
  ber::HeaderSlot pdu_header, list_header;
  // Request ids above 0x7FFFFFFF go out as negative INTEGERs, as every receiver reads them.
  if (!pdu_header.reserve(w) ||
      !ber::write_integer(w, ASN_INTEGER, static_cast<std::int32_t>(pdu->reqid)) ||
      !ber::write_integer(w, ASN_INTEGER, pdu->errstat) ||
      !ber::write_integer(w, ASN_INTEGER, pdu->errindex) || !list_header.reserve(w))
    return false;
  for (const snmp_var *var = pdu->variables; var != nullptr; var = var->next)
    if (!write_binding(w, var->name, var->name_length, var->type, var->value_length, var->value))
      return false;
  return list_header.fill(w, ASN_SEQUENCE) &&
         pdu_header.fill(w, static_cast<std::uint8_t>(pdu->command & 0xFF));
}

// Takes the session's community into a PDU that has none.
CodecError adopt_community(const snmp_session *session, snmp_pdu *pdu) noexcept {
  if (pdu->community_len != 0) return CodecError::none;
  const snmp_comm *comm = session != nullptr ? session->community : nullptr;
  if (comm == nullptr || comm->length <= 0 || comm->name == nullptr) return CodecError::no_community;
  const auto n = static_cast<std::uint32_t>(comm->length);
  auto *copy = static_cast<std::uint8_t *>(mem_alloc(n));
  if (copy == nullptr) return CodecError::no_memory;
  std::memcpy(copy, comm->name, n);
  mem_free(pdu->community);
  pdu->community = copy;
  pdu->community_len = n;
  return CodecError::none;
}

// Message SEQUENCE, version and community; `r` is left on the PDU, inside the SEQUENCE
// (bytes after the message's SEQUENCE are not part of it). The tags of the version and
// community are not checked.
struct Header {
  std::int32_t version = 0;
  std::span<const std::uint8_t> community;
  ByteReader rest;
};

CodecError read_version(std::span<const std::uint8_t> bytes, Header &h) noexcept {
  ByteReader message(bytes);
  auto sequence = ber::read_element(message);
  if (!sequence || sequence->type != ASN_SEQUENCE) return CodecError::header;
  h.rest = sequence->contents;
  auto version = ber::read_element(h.rest);
  auto value = version ? version->integer() : std::nullopt;
  if (!value) return CodecError::header;
  h.version = *value;
  return CodecError::none;
}

CodecError read_community(Header &h, std::uint32_t capacity) noexcept {
  auto community = ber::read_element(h.rest);
  if (!community || community->contents.left() > capacity) return CodecError::community;
  h.community = community->octets();
  return CodecError::none;
}

// A binding straight from the per-thread record cache: only what the decoder does not
// always write is set here; the name and value areas are written up to what they hold.
snmp_var *new_binding() noexcept {
  snmp_var *var = _snmp_var_alloc();
  if (var == nullptr) return nullptr;
  var->next = nullptr;
  var->value = nullptr;
  var->value_length = 0;
  return var;
}

// The value of `var` (its type already set) from its element, by the reader of its type.
enum class ValueOutcome { ok, refused, no_memory, unknown_type };

ValueOutcome read_value(snmp_var *var, const ber::Element &e) noexcept {
  const std::span<const std::uint8_t> octets = e.octets();
  const auto contents_length = static_cast<std::uint32_t>(octets.size());
  switch (var->type) {
    case SNMP_TYPE_INTEGER: {
      auto v = e.integer();
      if (!v) return ValueOutcome::refused;
      std::memcpy(var->value_storage, &*v, 4);
      var->value = var->value_storage;
      var->value_length = 4;
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER: {
      auto v = e.unsigned32();
      if (!v) return ValueOutcome::refused;
      std::memcpy(var->value_storage, &*v, 4);
      var->value = var->value_storage;
      var->value_length = 4;
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_COUNTER64: {
      auto v = e.unsigned64();
      if (!v) return ValueOutcome::refused;
      const counter64 c{static_cast<std::uint32_t>(*v >> 32), static_cast<std::uint32_t>(*v)};
      std::memcpy(var->value_storage, &c, sizeof c);
      var->value = var->value_storage;
      var->value_length = sizeof c;
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_OCTET_STR: {
      // Room for a terminator behind the contents, so the value can be used as text.
      const std::size_t size = std::size_t{contents_length} + 1;
      std::uint8_t *place = size < SNMP_VAR_VALUE_STORAGE
                                ? var->value_storage
                                : static_cast<std::uint8_t *>(mem_alloc(size));
      if (place == nullptr) return ValueOutcome::no_memory;
      if (contents_length != 0) std::memcpy(place, octets.data(), contents_length);
      place[contents_length] = 0;
      var->value = place;
      var->value_length = contents_length;
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_BIT_STR:
      if (!e.bits()) return ValueOutcome::refused;
      [[fallthrough]];
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS: {
      const bool inline_ok = var->type != SNMP_TYPE_BIT_STR && contents_length < SNMP_VAR_VALUE_STORAGE;
      std::uint8_t *place = inline_ok ? var->value_storage
                                      : static_cast<std::uint8_t *>(mem_alloc(contents_length));
      if (place == nullptr) return ValueOutcome::no_memory;
      if (contents_length != 0) std::memcpy(place, octets.data(), contents_length);
      var->value = place;
      var->value_length = contents_length;
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_OBJECT_ID: {
      std::uint32_t scratch[ASN_MAX_OID_LEN];
      auto count = e.objid(scratch, ASN_MAX_OID_LEN);
      if (!count) return ValueOutcome::refused;
      const std::size_t size = std::size_t{*count} * 4;
      auto *block = static_cast<std::uint8_t *>(mem_alloc(size));
      if (block == nullptr) return ValueOutcome::no_memory;
      std::memcpy(block, scratch, size);
      var->value = block;
      var->value_length = static_cast<std::uint32_t>(size);
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      return e.null() ? ValueOutcome::ok : ValueOutcome::refused;
    default:
      return ValueOutcome::unknown_type;
  }
}

}  // namespace

Decoded decode_pdu(ByteReader &r, snmp_pdu *pdu) noexcept {
  Decoded d;
  auto element = ber::read_element(r);
  if (!element) return {CodecError::pdu};
  pdu->command = element->type;
  ByteReader body = element->contents;
  // Stored as they are read, as far as the PDU gets.
  auto field = [&body]() -> std::optional<std::int32_t> {
    auto e = ber::read_element(body);
    return e ? e->integer() : std::nullopt;
  };
  auto reqid = field();
  if (!reqid) return {CodecError::pdu};
  pdu->reqid = static_cast<std::uint32_t>(*reqid);
  auto errstat = field();
  if (!errstat) return {CodecError::pdu};
  pdu->errstat = *errstat;
  auto errindex = field();
  if (!errindex) return {CodecError::pdu};
  pdu->errindex = *errindex;
  auto list = ber::read_element(body);
  if (!list || list->type != ASN_SEQUENCE) return {CodecError::pdu};
  // Bytes of the PDU after the binding list are not read.
  ByteReader &bindings = list->contents;
  snmp_var **tail = &pdu->variables;
  while (*tail != nullptr) tail = &(*tail)->next;
  // Every binding read consumes at least its header, name and value header, so the loop
  // ends within the list's length.
  while (!bindings.empty()) {
    snmp_var *var = new_binding();
    if (var == nullptr) return {CodecError::no_memory};
    // Linked at once: whatever fails below, the PDU owns the binding and frees it.
    var->name = nullptr;
    var->name_length = 0;
    var->type = 0;
    *tail = var;
    tail = &var->next;
    // The binding's SEQUENCE bounds its name and value; the next binding starts right
    // after the value, whatever the binding's own length says lies behind it.
    const std::span<const std::uint8_t> at = bindings.rest();
    auto binding = ber::read_element(bindings);
    if (!binding || binding->type != ASN_SEQUENCE) return {CodecError::binding};
    ByteReader &inside = binding->contents;
    auto name = ber::read_element(inside);
    if (!name || name->type != ASN_OBJECT_ID) return {CodecError::binding};
    // Decoded straight into the binding's own name area; a name of more arcs than the
    // area holds is refused, not cut.
    auto name_length = name->objid(var->name_storage, ASN_MAX_OID_LEN);
    if (!name_length) return {CodecError::binding};
    auto value = ber::read_element(inside);
    if (!value) return {CodecError::binding};
    var->type = value->type;
    var->name = var->name_storage;
    var->name_length = *name_length;
    const std::span<const std::uint8_t> value_bytes = value->octets();
    bindings = ByteReader(at.subspan(static_cast<std::size_t>(
        value_bytes.data() + value_bytes.size() - at.data())));
    switch (read_value(var, *value)) {
      case ValueOutcome::ok:
        break;
      case ValueOutcome::refused:
        return {CodecError::value};
      case ValueOutcome::no_memory:
        return {CodecError::no_memory};
      case ValueOutcome::unknown_type:
        d.unknown_type = true;
        ++d.unknown_types;
        break;
    }
  }
  return d;
}

void print_unknown_types(const Decoded &d) noexcept {
  for (std::uint32_t i = 0; i < d.unknown_types; ++i) (void)std::fputs("badtype\n", stdout);
}

Decoded decode_message(std::span<const std::uint8_t> bytes, std::int32_t fixed_version,
                       snmp_pdu *pdu) noexcept {
  const bool fixed = fixed_version != -1;
  if (fixed) pdu->version = fixed_version;
  Header h;
  if (CodecError e = read_version(bytes, h); e != CodecError::none) return {e};
  if (!fixed && static_cast<std::uint32_t>(h.version) > 1) return {CodecError::version};
  if (CodecError e = read_community(h, kSnmpMaxCommunity); e != CodecError::none) return {e};
  pdu->version = h.version;
  if (fixed && h.version != fixed_version) return {CodecError::version};
  mem_free(pdu->community);
  pdu->community = nullptr;
  pdu->community_len = 0;
  if (!h.community.empty()) {
    pdu->community = static_cast<std::uint8_t *>(mem_alloc(h.community.size()));
    if (pdu->community == nullptr) return {CodecError::no_memory};
    std::memcpy(pdu->community, h.community.data(), h.community.size());
    pdu->community_len = static_cast<std::uint32_t>(h.community.size());
  }
  return decode_pdu(h.rest, pdu);
}

bool peek_request_id(std::span<const std::uint8_t> bytes, std::uint32_t *reqid) noexcept {
  // The constructed elements are opened by their headers only: a datagram cut by the
  // receive buffer still carries the id near its start.
  ByteReader r(bytes);
  auto open = [&r](bool constructed) -> bool {
    if (!constructed) return ber::read_element(r).has_value();
    auto type = r.u8();
    if (!type || (*type & 0x1Fu) == 0x1Fu || !ber::read_length(r)) return false;
    return true;
  };
  if (!open(true) || !open(false) || !open(false) || !open(true)) return false;
  auto id = ber::read_element(r);
  auto value = id ? id->integer() : std::nullopt;
  if (!value) return false;
  *reqid = static_cast<std::uint32_t>(*value);
  return true;
}

std::uint32_t encode_message(const snmp_session *session, snmp_pdu *pdu,
                             std::span<std::uint8_t> out, CodecError *error) noexcept {
  if (pdu->errstat == -1) pdu->errstat = 0;
  if (pdu->errindex == -1) pdu->errindex = 0;
  *error = adopt_community(session, pdu);
  if (*error != CodecError::none) return 0;
  ByteWriter w(out);
  ber::HeaderSlot header;
  const bool ok = header.reserve(w) && ber::write_integer(w, ASN_INTEGER, pdu->version) &&
                  ber::write_header(w, ASN_OCTET_STR, pdu->community_len) &&
                  w.put(pdu->community, pdu->community_len) && write_pdu(w, pdu) &&
                  header.fill(w, ASN_SEQUENCE);
  if (!ok) {
    *error = CodecError::unencodable;
    return 0;
  }
  return static_cast<std::uint32_t>(w.pos());
}

Codes codes_of(const Decoded &d, bool fixed_version, bool has_bindings) noexcept {
  switch (d.error) {
    case CodecError::none:
      if (d.unknown_type) return {1, SNMP_ERR_DECODE};
      return {0, has_bindings ? SNMP_ERR_NONE : SNMP_ERR_DECODE};
    case CodecError::header:
      // Without a fixed version the version is what could not be read.
      return {-1, fixed_version ? SNMP_ERR_NONE : SNMP_ERR_VERSION};
    case CodecError::version:
      return {-1, SNMP_ERR_VERSION};
    case CodecError::community:
      return {-1, SNMP_ERR_NONE};
    case CodecError::no_community:
      return {-1, SNMP_ERR_NOCOMM};
    case CodecError::unencodable:
      return {-1, SNMP_ERR_NONE};
    case CodecError::pdu:
    case CodecError::binding:
    case CodecError::value:
    case CodecError::no_memory:
      break;
  }
  return {-1, SNMP_ERR_DECODE};
}

}  // namespace kivo8::snmp

using kivo8::ByteReader;
using kivo8::ByteWriter;
namespace snmp = kivo8::snmp;

std::uint8_t *snmp_build_var_op(std::uint8_t *data, const std::uint32_t *name,
                                const std::uint32_t *name_length, std::uint8_t type,
                                std::uint32_t value_length, const std::uint8_t *value,
                                std::uint32_t *listlength) noexcept {
  if (data == nullptr || name_length == nullptr || listlength == nullptr) return nullptr;
  ByteWriter w(data, *listlength);
  if (!snmp::write_binding(w, name, *name_length, type, value_length, value)) return nullptr;
  *listlength -= static_cast<std::uint32_t>(w.pos());
  return data + w.pos();
}

std::uint8_t *snmp_pdu_build(snmp_pdu *pdu, std::uint8_t *data, std::uint32_t *length) noexcept {
  if (pdu == nullptr || data == nullptr || length == nullptr) return nullptr;
  ByteWriter w(data, *length);
  if (!snmp::write_pdu(w, pdu)) return nullptr;
  *length -= static_cast<std::uint32_t>(w.pos());
  return data + w.pos();
}

std::int32_t snmp_build(snmp_session *session, snmp_pdu *pdu, std::uint8_t *packet,
                        std::uint32_t *length) noexcept {
  if (pdu == nullptr || packet == nullptr || length == nullptr) return -1;
  snmp::CodecError error;
  const std::uint32_t n = snmp::encode_message(session, pdu, std::span(packet, *length), &error);
  if (n == 0) {
    // Only the missing community has a code of its own; other failures leave `error`.
    if (error == snmp::CodecError::no_community && session != nullptr) session->error = SNMP_ERR_NOCOMM;
    return -1;
  }
  *length = n;
  return 0;
}

extern "C" KIVO8_API const std::uint8_t *snmp_parse_var_op(const std::uint8_t *data, std::uint32_t *name,
                                      std::uint32_t *name_length, std::uint8_t *type,
                                      std::uint32_t *value_length, const std::uint8_t **value,
                                      std::uint32_t *listlength) noexcept {
  if (data == nullptr || name == nullptr || name_length == nullptr || type == nullptr ||
      value_length == nullptr || value == nullptr || listlength == nullptr)
    return nullptr;
  ByteReader list(data, *listlength);
  auto binding = kivo8::ber::read_element(list);
  if (!binding || binding->type != ASN_SEQUENCE) return nullptr;
  auto oid = kivo8::ber::read_element(binding->contents);
  if (!oid || oid->type != ASN_OBJECT_ID) return nullptr;
  // A name that does not fit the caller's room is refused, not cut.
  auto count = oid->objid(name, *name_length);
  if (!count) return nullptr;
  const std::uint8_t *value_at = binding->contents.rest().data();
  auto element = kivo8::ber::read_element(binding->contents);
  if (!element) return nullptr;
  *name_length = *count;
  *type = element->type;
  *value = value_at;
  const std::span<const std::uint8_t> contents = element->octets();
  *value_length = static_cast<std::uint32_t>(contents.size());
  const std::uint8_t *end = binding->contents.rest().data();
  *listlength -= static_cast<std::uint32_t>(end - data);
  return end;
}

extern "C" KIVO8_API std::int32_t snmp_pdu_parse(snmp_pdu *pdu, const std::uint8_t *data,
                                                 std::uint32_t *length) noexcept {
  if (pdu == nullptr || data == nullptr || length == nullptr) return -1;
  ByteReader r(data, *length);
  const snmp::Decoded d = snmp::decode_pdu(r, pdu);
  snmp::print_unknown_types(d);
  if (d.error != snmp::CodecError::none) return -1;
  *length -= static_cast<std::uint32_t>(r.pos());
  return d.unknown_type ? 1 : 0;
}

const std::uint8_t *snmp_comstr_parse(const std::uint8_t *data, std::uint32_t *length,
                                      std::uint8_t *community, std::uint32_t *community_len,
                                      snmp_pdu *pdu) noexcept {
  if (data == nullptr || length == nullptr || pdu == nullptr || community == nullptr ||
      community_len == nullptr)
    return nullptr;
  snmp::Header h;
  if (snmp::read_version(std::span(data, *length), h) != snmp::CodecError::none) return nullptr;
  pdu->version = h.version;
  if (snmp::read_community(h, *community_len) != snmp::CodecError::none) return nullptr;
  if (!h.community.empty()) std::memcpy(community, h.community.data(), h.community.size());
  *community_len = static_cast<std::uint32_t>(h.community.size());
  const std::span<const std::uint8_t> rest = h.rest.rest();
  *length = static_cast<std::uint32_t>(rest.size());
  return rest.data();
}

std::int32_t snmp_parse_version(const std::uint8_t *data, std::uint32_t length) noexcept {
  if (data == nullptr) return -2;
  snmp::Header h;
  if (snmp::read_version(std::span(data, length), h) != snmp::CodecError::none) return -2;
  return h.version;
}

std::int32_t snmp_parse(snmp_session *session, snmp_pdu *pdu, const std::uint8_t *data,
                        std::uint32_t length) noexcept {
  if (session == nullptr || pdu == nullptr || data == nullptr) return -1;
  const snmp::Decoded d = snmp::decode_message(std::span(data, length), session->version, pdu);
  snmp::print_unknown_types(d);
  const snmp::Codes codes = snmp::codes_of(d, session->version != -1, pdu->variables != nullptr);
  session->error = codes.error;
  return codes.result;
}
