// SNMPv1/v2c messages to bytes and back: one encoder, one decoder, and the specified
// pointer-and-count functions as adapters over them.
#include "snmp/message.h"

#include <cstdio>
#include <cstring>

#include "asn1/ber.h"
#include "core/alloc.h"
#include "kivo8/asn1.h"
#include "snmp/pdu.h"
#include "snmp/pdu_view.h"

namespace kivo8::snmp {

namespace {

static_assert(ber::kMaxObjid == ASN_MAX_OID_LEN && ASN_MAX_OID_LEN <= SNMP_VAR_NAME_STORAGE);

// What a string value with a length but no bytes is written as: that many zero bytes, as
// asn_build_string writes them. No message holds a longer value than this.
constexpr std::size_t kZeroBytes = ber::kMaxLength + 1;
const std::uint8_t kZeros[kZeroBytes] = {};

// An exported binding as the encoder's Binding; false for what the specified encoder
// refuses before writing it (value bytes missing or of the wrong size for their type).
// `objid` holds the sub-identifiers of an OBJECT IDENTIFIER value, copied out so they are
// read aligned whatever holds them.
struct VarFields {
  const std::uint32_t *name;
  std::uint32_t name_length;
  std::uint8_t type;
  const std::uint8_t *value;
  std::uint32_t value_length;
};

bool as_binding(const VarFields &var, Binding &b, std::uint32_t (&objid)[ASN_MAX_OID_LEN]) noexcept {
  if (var.name == nullptr && var.name_length != 0) return false;
  if (var.name != nullptr) b.name = std::span<const std::uint32_t>(var.name, var.name_length);
  b.type = var.type;
  const std::uint8_t *value = var.value;
  const std::uint32_t length = var.value_length;
  switch (var.type) {
    case SNMP_TYPE_INTEGER: {
      std::int32_t v;
      if (value == nullptr || length != sizeof v) return false;
      std::memcpy(&v, value, sizeof v);
      b.number = static_cast<std::uint64_t>(static_cast<std::int64_t>(v));
      return true;
    }
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER: {
      std::uint32_t v;
      if (value == nullptr || length != sizeof v) return false;
      std::memcpy(&v, value, sizeof v);
      b.number = v;
      return true;
    }
    case SNMP_TYPE_COUNTER64: {
      counter64 v;
      if (value == nullptr || length != sizeof v) return false;
      std::memcpy(&v, value, sizeof v);
      b.number = (std::uint64_t{v.high} << 32) | v.low;
      return true;
    }
    case SNMP_TYPE_BIT_STR:
      if (value == nullptr || length == 0) return false;
      [[fallthrough]];
    case SNMP_TYPE_OCTET_STR:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS:
      if (value != nullptr)
        b.value = std::span<const std::uint8_t>(value, length);
      else if (length <= kZeroBytes)
        b.value = std::span<const std::uint8_t>(kZeros, length);
      else
        return false;
      return true;
    case SNMP_TYPE_OBJECT_ID: {
      const std::uint32_t count = length / 4;
      if (count > ASN_MAX_OID_LEN || (count != 0 && value == nullptr)) return false;
      if (count != 0) std::memcpy(objid, value, std::size_t{count} * 4);
      b.oid = std::span<const std::uint32_t>(objid, count);
      return true;
    }
    default:
      return true;  // the encoder decides: NULL and the exceptions, or refused
  }
}

bool write_var(ByteWriter &w, const VarFields &var) noexcept {
  Binding b;
  std::uint32_t objid[ASN_MAX_OID_LEN];
  return as_binding(var, b, objid) && write_binding(w, b);
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
// community are not checked. Only the documented header readers use this; the message
// decoder reads the same way in Message::decode.
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

// A binding straight from the per-thread record cache: only what the conversion does not
// always write is set here; the name and value areas are written up to what they hold.
snmp_var *new_binding() noexcept {
  snmp_var *var = _snmp_var_alloc();
  if (var == nullptr) return nullptr;
  var->next = nullptr;
  var->value = nullptr;
  var->value_length = 0;
  var->name = nullptr;
  var->name_length = 0;
  var->type = 0;
  return var;
}

void set_name(snmp_var *var, const Binding &b) noexcept {
  if (!b.name.empty()) std::memcpy(var->name_storage, b.name.data(), b.name.size_bytes());
  var->name = var->name_storage;
  var->name_length = static_cast<std::uint32_t>(b.name.size());
  var->type = b.type;
}

// The value of a decoded binding into `var`, stored as the documented decoder stores it:
// numbers and short values in the record's own area, longer ones in a block of their own.
bool set_value(snmp_var *var, const Binding &b) noexcept {
  if (!b.known) return true;
  const auto contents_length = static_cast<std::uint32_t>(b.value.size());
  switch (b.type) {
    case SNMP_TYPE_INTEGER:
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER: {
      const std::uint32_t v = b.unsigned32();
      std::memcpy(var->value_storage, &v, 4);
      var->value = var->value_storage;
      var->value_length = 4;
      return true;
    }
    case SNMP_TYPE_COUNTER64: {
      const counter64 c{static_cast<std::uint32_t>(b.number >> 32), static_cast<std::uint32_t>(b.number)};
      std::memcpy(var->value_storage, &c, sizeof c);
      var->value = var->value_storage;
      var->value_length = sizeof c;
      return true;
    }
    case SNMP_TYPE_OCTET_STR: {
      // Room for a terminator behind the contents, so the value can be used as text.
      const std::size_t size = std::size_t{contents_length} + 1;
      std::uint8_t *place = size < SNMP_VAR_VALUE_STORAGE
                                ? var->value_storage
                                : static_cast<std::uint8_t *>(mem_alloc(size));
      if (place == nullptr) return false;
      if (contents_length != 0) std::memcpy(place, b.value.data(), contents_length);
      place[contents_length] = 0;
      var->value = place;
      var->value_length = contents_length;
      return true;
    }
    case SNMP_TYPE_BIT_STR:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS: {
      const bool inline_ok = b.type != SNMP_TYPE_BIT_STR && contents_length < SNMP_VAR_VALUE_STORAGE;
      std::uint8_t *place = inline_ok ? var->value_storage
                                      : static_cast<std::uint8_t *>(mem_alloc(contents_length));
      if (place == nullptr) return false;
      if (contents_length != 0) std::memcpy(place, b.value.data(), contents_length);
      var->value = place;
      var->value_length = contents_length;
      return true;
    }
    case SNMP_TYPE_OBJECT_ID: {
      const std::size_t size = b.oid.size_bytes();
      auto *block = static_cast<std::uint8_t *>(mem_alloc(size));
      if (block == nullptr) return false;
      std::memcpy(block, b.oid.data(), size);
      var->value = block;
      var->value_length = static_cast<std::uint32_t>(size);
      return true;
    }
    default:
      return true;  // NULL and the exceptions carry no value
  }
}

// Hands what `m` decoded (as far as it got, `error` being how it ended) to the exported
// PDU: the header fields it reached, then the bindings behind any the PDU already has,
// the binding decoding stopped on included as the documented decoder leaves it.
Decoded to_pdu(const Message &m, CodecError error, snmp_pdu *pdu, bool take_community) noexcept {
  if (m.reached >= Reached::version && take_community) pdu->version = m.version;
  if (m.reached >= Reached::community && take_community) {
    mem_free(pdu->community);
    pdu->community = nullptr;
    pdu->community_len = 0;
    if (!m.community.empty()) {
      pdu->community = static_cast<std::uint8_t *>(mem_alloc(m.community.size()));
      if (pdu->community == nullptr) return {CodecError::no_memory};
      std::memcpy(pdu->community, m.community.data(), m.community.size());
      pdu->community_len = static_cast<std::uint32_t>(m.community.size());
    }
  }
  if (m.reached >= Reached::type) pdu->command = m.type;
  if (m.reached >= Reached::request_id) pdu->reqid = m.request_id;
  if (m.reached >= Reached::error_status) pdu->errstat = m.error_status;
  if (m.reached >= Reached::error_index) pdu->errindex = m.error_index;
  snmp_var **tail = &pdu->variables;
  while (*tail != nullptr) tail = &(*tail)->next;
  // Each binding is linked at once: whatever fails, the PDU owns it and frees it.
  auto link = [&tail]() -> snmp_var * {
    snmp_var *var = new_binding();
    if (var == nullptr) return nullptr;
    *tail = var;
    tail = &var->next;
    return var;
  };
  for (const Binding &b : m.bindings()) {
    snmp_var *var = link();
    if (var == nullptr) return {CodecError::no_memory};
    set_name(var, b);
    if (!set_value(var, b)) return {CodecError::no_memory};
  }
  if (m.cut != Cut::none) {
    snmp_var *var = link();
    if (var == nullptr) return {CodecError::no_memory};
    if (m.cut == Cut::named) set_name(var, m.cut_binding());
  }
  if (error != CodecError::none) return {error};
  Decoded d;
  d.unknown_types = m.unknown_types;
  d.unknown_type = m.unknown_types != 0;
  return d;
}

}  // namespace

bool write_exported_pdu(ByteWriter &w, const snmp_pdu *pdu) noexcept {
  PduWriter writer;
  if (!writer.begin(w, static_cast<std::uint8_t>(pdu->command & 0xFF), pdu->reqid, pdu->errstat,
                    pdu->errindex))
    return false;
  for (const snmp_var *var = pdu->variables; var != nullptr; var = var->next)
    if (!write_var(w, {var->name, var->name_length, var->type, var->value, var->value_length}))
      return false;
  return writer.end(w);
}

CodecError fill_pdu(const Message &m, snmp_pdu *pdu) noexcept {
  pdu->version = m.version;
  return to_pdu(m, CodecError::none, pdu, false).error;
}

CodecError message_of(const snmp_pdu &pdu, Message &m) noexcept {
  m.version = pdu.version;
  m.type = static_cast<std::uint8_t>(pdu.command & 0xFF);
  m.request_id = pdu.reqid;
  m.error_status = pdu.errstat;
  m.error_index = pdu.errindex;
  m.reached = Reached::error_index;
  // Room for every binding and every OID value's arcs at once: the message's stores grow
  // once, as they do for a datagram.
  std::size_t count = 0, arcs = 0;
  for (const snmp_var *var = pdu.variables; var != nullptr; var = var->next, ++count)
    if (var->type == SNMP_TYPE_OBJECT_ID) arcs += var->value_length / 4;
  if (count > m.capacity_ && !m.grow_bindings(count * kLeastBinding)) return CodecError::no_memory;
  if (arcs > m.arcs_left_ && !m.grow_arcs(arcs)) return CodecError::no_memory;
  for (const snmp_var *var = pdu.variables; var != nullptr; var = var->next) {
    Binding &b = *std::construct_at(m.bindings_ + m.count_);
    std::uint32_t objid[ASN_MAX_OID_LEN];
    if (!as_binding({var->name, var->name_length, var->type, var->value, var->value_length}, b, objid))
      return CodecError::value;
    if (b.type == SNMP_TYPE_OBJECT_ID) {
      std::copy(b.oid.begin(), b.oid.end(), m.arcs_);
      b.oid = m.take_arcs(static_cast<std::uint32_t>(b.oid.size()));
    } else if (!known_value_type(b.type)) {
      b.known = false;
      ++m.unknown_types;
    }
    ++m.count_;
  }
  return CodecError::none;
}

Decoded decode_pdu(ByteReader &r, snmp_pdu *pdu) noexcept {
  Message m;
  const CodecError e = m.decode_pdu(r);
  return to_pdu(m, e, pdu, false);
}

void print_unknown_types(const Decoded &d) noexcept {
  for (std::uint32_t i = 0; i < d.unknown_types; ++i) (void)std::fputs("badtype\n", stdout);
}

Decoded decode_message(std::span<const std::uint8_t> bytes, std::int32_t fixed_version,
                       snmp_pdu *pdu) noexcept {
  if (fixed_version != -1) pdu->version = fixed_version;
  Message m;
  const CodecError e = m.decode(bytes, fixed_version);
  return to_pdu(m, e, pdu, true);
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
                  w.put(pdu->community, pdu->community_len) && write_exported_pdu(w, pdu) &&
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
  if (!snmp::write_var(w, {name, *name_length, type, value, value_length})) return nullptr;
  *listlength -= static_cast<std::uint32_t>(w.pos());
  return data + w.pos();
}

std::uint8_t *snmp_pdu_build(snmp_pdu *pdu, std::uint8_t *data, std::uint32_t *length) noexcept {
  if (pdu == nullptr || data == nullptr || length == nullptr) return nullptr;
  ByteWriter w(data, *length);
  if (!snmp::write_exported_pdu(w, pdu)) return nullptr;
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
