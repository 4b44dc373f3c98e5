// The internal SNMP message: decoder and encoder over the bounded reader and writer and
// the BER element functions of asn1/ber.h.
#include "snmp/pdu_view.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "kivo8/asn1.h"
#include "kivo8/snmp_sess.h"

namespace kivo8::snmp {

namespace {

// The value of `b` (its type already set) from its element, by the reader of its type.
enum class ValueOutcome { ok, refused, unknown_type };

}  // namespace

bool Message::grow_bindings(std::size_t bytes_left) noexcept {
  // One block for every binding the rest of the list can hold, so it never grows again.
  const std::size_t capacity = count_ + bytes_left / kLeastBinding + 1;
  auto *block = static_cast<Binding *>(mem_alloc(capacity * sizeof(Binding)));
  if (block == nullptr) return false;
  std::uninitialized_default_construct_n(block, capacity);
  std::copy_n(bindings_, count_, block);
  more_bindings_.reset(block);
  bindings_ = block;
  capacity_ = capacity;
  return true;
}

bool Message::grow_arcs(std::size_t bytes_left) noexcept {
  // Each octet of a name or OID value gives at most one arc, and an empty one gives one:
  // the rest of the list cannot need more than this. Arcs already taken stay where they
  // are, so no binding's views move.
  const std::size_t capacity = bytes_left + 2 * (bytes_left / kLeastBinding + 1) + ber::kMaxObjid;
  if (more_arcs_ != nullptr) return false;  // the bound above makes this unreachable
  auto *block = static_cast<std::uint32_t *>(mem_alloc(capacity * sizeof(std::uint32_t)));
  if (block == nullptr) return false;
  more_arcs_.reset(block);
  arcs_ = block;
  arcs_left_ = capacity;
  return true;
}

std::span<const std::uint32_t> Message::take_arcs(std::uint32_t count) noexcept {
  std::span<const std::uint32_t> s(arcs_, count);
  arcs_ += count;
  arcs_left_ -= count;
  return s;
}

namespace {

ValueOutcome read_value(Binding &b, const ber::Element &e) noexcept {
  if (!known_value_type(b.type)) return ValueOutcome::unknown_type;
  switch (b.type) {
    case SNMP_TYPE_INTEGER: {
      auto v = e.integer();
      if (!v) return ValueOutcome::refused;
      b.number = static_cast<std::uint64_t>(static_cast<std::int64_t>(*v));
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER: {
      auto v = e.unsigned32();
      if (!v) return ValueOutcome::refused;
      b.number = *v;
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_COUNTER64: {
      auto v = e.unsigned64();
      if (!v) return ValueOutcome::refused;
      b.number = *v;
      return ValueOutcome::ok;
    }
    case SNMP_TYPE_BIT_STR:
      if (!e.bits()) return ValueOutcome::refused;
      [[fallthrough]];
    case SNMP_TYPE_OCTET_STR:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS:
      b.value = e.octets();
      return ValueOutcome::ok;
    case SNMP_TYPE_OBJECT_ID:
      return ValueOutcome::ok;  // decoded by the caller, into the arc store
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

bool known_value_type(std::uint8_t type) noexcept {
  switch (type) {
    case SNMP_TYPE_INTEGER:
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER:
    case SNMP_TYPE_COUNTER64:
    case SNMP_TYPE_BIT_STR:
    case SNMP_TYPE_OCTET_STR:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS:
    case SNMP_TYPE_OBJECT_ID:
    case SNMP_TYPE_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      return true;
    default:
      return false;
  }
}

CodecError Message::decode_pdu(ByteReader &r) noexcept {
  auto element = ber::read_element(r);
  if (!element) return CodecError::pdu;
  type = element->type;
  reached = Reached::type;
  ByteReader body = element->contents;
  auto field = [&body]() -> std::optional<std::int32_t> {
    auto e = ber::read_element(body);
    return e ? e->integer() : std::nullopt;
  };
  auto reqid = field();
  if (!reqid) return CodecError::pdu;
  request_id = static_cast<std::uint32_t>(*reqid);
  reached = Reached::request_id;
  auto errstat = field();
  if (!errstat) return CodecError::pdu;
  error_status = *errstat;
  reached = Reached::error_status;
  auto errindex = field();
  if (!errindex) return CodecError::pdu;
  error_index = *errindex;
  reached = Reached::error_index;
  auto list = ber::read_element(body);
  if (!list || list->type != ASN_SEQUENCE) return CodecError::pdu;
  // Bytes of the PDU after the binding list are not read.
  ByteReader &bindings = list->contents;
  // Every binding read consumes at least its header, name and value header, so the loop
  // ends within the list's length.
  while (!bindings.empty()) {
    const std::span<const std::uint8_t> at = bindings.rest();
    if (!room_for_binding(at.size()) || !room_for_arcs(at.size())) return CodecError::no_memory;
    // Read in place behind the last binding: counted only once it is whole.
    Binding &b = *std::construct_at(bindings_ + count_);
    cut = Cut::bare;
    // The binding's SEQUENCE bounds its name and value; the next binding starts right
    // after the value, whatever the binding's own length says lies behind it.
    auto binding = ber::read_element(bindings);
    if (!binding || binding->type != ASN_SEQUENCE) return CodecError::binding;
    ByteReader &inside = binding->contents;
    auto name = ber::read_element(inside);
    if (!name || name->type != ASN_OBJECT_ID) return CodecError::binding;
    // A name of more arcs than a name may have is refused, not cut.
    auto name_length = name->objid(arcs_, ber::kMaxObjid);
    if (!name_length) return CodecError::binding;
    auto value = ber::read_element(inside);
    if (!value) return CodecError::binding;
    b.type = value->type;
    b.name = take_arcs(*name_length);
    cut = Cut::named;
    const std::span<const std::uint8_t> value_bytes = value->octets();
    bindings = ByteReader(at.subspan(static_cast<std::size_t>(
        value_bytes.data() + value_bytes.size() - at.data())));
    if (b.type == SNMP_TYPE_OBJECT_ID) {
      if (!room_for_arcs(bindings.left())) return CodecError::no_memory;
      auto count = value->objid(arcs_, ber::kMaxObjid);
      if (!count) return CodecError::value;
      b.oid = take_arcs(*count);
    }
    switch (read_value(b, *value)) {
      case ValueOutcome::ok:
        break;
      case ValueOutcome::refused:
        return CodecError::value;
      case ValueOutcome::unknown_type:
        b.known = false;
        ++unknown_types;
        break;
    }
    ++count_;
    cut = Cut::none;
  }
  return CodecError::none;
}

CodecError Message::decode(std::span<const std::uint8_t> datagram, std::int32_t fixed_version) noexcept {
  const bool fixed = fixed_version != -1;
  ByteReader message(datagram);
  auto sequence = ber::read_element(message);
  if (!sequence || sequence->type != ASN_SEQUENCE) return CodecError::header;
  ByteReader &rest = sequence->contents;
  // The tags of the version and community are not checked.
  auto v = ber::read_element(rest);
  auto value = v ? v->integer() : std::nullopt;
  if (!value) return CodecError::header;
  if (!fixed && static_cast<std::uint32_t>(*value) > 1) return CodecError::version;
  auto c = ber::read_element(rest);
  if (!c || c->contents.left() > kSnmpMaxCommunity) return CodecError::community;
  version = *value;
  community = c->octets();
  reached = Reached::version;
  if (fixed && version != fixed_version) return CodecError::version;
  reached = Reached::community;
  return decode_pdu(rest);
}

std::optional<std::int32_t> peek_version(std::span<const std::uint8_t> datagram) noexcept {
  ByteReader message(datagram);
  auto sequence = ber::read_element(message);
  if (!sequence || sequence->type != ASN_SEQUENCE) return std::nullopt;
  auto v = ber::read_element(sequence->contents);
  return v ? v->integer() : std::nullopt;
}

bool write_binding(ByteWriter &w, const Binding &b) noexcept {
  ber::HeaderSlot header;
  if (!header.reserve(w) ||
      !ber::write_objid(w, ASN_OBJECT_ID, b.name.data(), static_cast<std::uint32_t>(b.name.size())))
    return false;
  bool ok = false;
  switch (b.type) {
    case SNMP_TYPE_INTEGER:
      ok = ber::write_integer(w, b.type, b.integer());
      break;
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_UINTEGER:
      ok = ber::write_unsigned32(w, b.type, b.unsigned32());
      break;
    case SNMP_TYPE_COUNTER64:
      ok = ber::write_unsigned64(w, b.type, b.number);
      break;
    case SNMP_TYPE_BIT_STR:
      if (b.value.empty() || b.value[0] > 7) return false;
      [[fallthrough]];
    case SNMP_TYPE_OCTET_STR:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_NSAPADDRESS:
      ok = ber::write_header(w, b.type, static_cast<std::uint32_t>(b.value.size())) && w.put(b.value);
      break;
    case SNMP_TYPE_OBJECT_ID:
      ok = ber::write_objid(w, b.type, b.oid.data(), static_cast<std::uint32_t>(b.oid.size()));
      break;
    case SNMP_TYPE_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      ok = ber::write_header(w, b.type, 0);
      break;
    default:
      return false;
  }
  return ok && header.fill(w, ASN_SEQUENCE);
}

bool PduWriter::begin(ByteWriter &w, std::uint8_t type, std::uint32_t request_id,
                      std::int32_t error_status, std::int32_t error_index) noexcept {
  type_ = type;
  // Request ids above 0x7FFFFFFF go out as negative INTEGERs, as every receiver reads them.
  return pdu_.reserve(w) && ber::write_integer(w, ASN_INTEGER, static_cast<std::int32_t>(request_id)) &&
         ber::write_integer(w, ASN_INTEGER, error_status) &&
         ber::write_integer(w, ASN_INTEGER, error_index) && list_.reserve(w);
}

bool PduWriter::end(ByteWriter &w) noexcept {
  return list_.fill(w, ASN_SEQUENCE) && pdu_.fill(w, type_);
}

bool write_pdu(ByteWriter &w, const Outgoing &m) noexcept {
  PduWriter pdu;
  if (!pdu.begin(w, m.type, m.request_id, m.error_status, m.error_index)) return false;
  for (const Binding &b : m.bindings)
    if (!write_binding(w, b)) return false;
  return pdu.end(w);
}

std::size_t encode(const Outgoing &m, std::span<std::uint8_t> out) noexcept {
  ByteWriter w(out);
  ber::HeaderSlot header;
  const bool ok = header.reserve(w) && ber::write_integer(w, ASN_INTEGER, m.version) &&
                  ber::write_header(w, ASN_OCTET_STR, static_cast<std::uint32_t>(m.community.size())) &&
                  w.put(m.community) && write_pdu(w, m) && header.fill(w, ASN_SEQUENCE);
  return ok ? w.pos() : 0;
}

}  // namespace kivo8::snmp
