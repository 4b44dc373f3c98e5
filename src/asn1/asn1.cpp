#include "kivo8/asn1.h"

#include <array>
#include <cstring>

#include "asn1/ber.h"

namespace {

using kivo8::ByteReader;
using kivo8::ByteWriter;
namespace ber = kivo8::ber;

std::uint8_t *advance(std::uint8_t *data, std::uint32_t *datalength, const ByteWriter &w,
                      bool ok = true) noexcept {
  if (!ok || w.failed()) return nullptr;
  *datalength -= static_cast<std::uint32_t>(w.pos());
  return data + w.pos();
}

// Writes `n` big-endian value octets with the fewest octets that keep the two's-complement
// value: a leading octet is dropped while it and the top bit of the next one are all zeros
// or all ones (the "top nine bits" rule). With `unsigned_lead` a value whose top bit is set
// gets a 0x00 octet in front instead, so that it does not read back as negative.
bool write_integer(ByteWriter &w, std::uint8_t type, const std::uint8_t *be, std::size_t n,
                   bool unsigned_lead) noexcept {
  if (unsigned_lead && (be[0] & 0x80u) != 0)
    return ber::write_header(w, type, static_cast<std::uint32_t>(n + 1)) && w.u8(0) && w.put(be, n);
  std::size_t skip = 0;
  while (n - skip > 1) {
    const std::uint8_t lead = be[skip];
    const bool next_top = (be[skip + 1] & 0x80u) != 0;
    if (!((lead == 0x00 && !next_top) || (lead == 0xFF && next_top))) break;
    ++skip;
  }
  return ber::write_header(w, type, static_cast<std::uint32_t>(n - skip)) && w.put(be + skip, n - skip);
}

// Opens the element at `data` for a parse function: null arguments, a bad identifier or
// length, and contents that run past `*datalength` all fail here.
struct Opened {
  ber::Element element;
  std::size_t size;  // identifier, length octets and contents
};

std::optional<Opened> open(const std::uint8_t *data, const std::uint32_t *datalength,
                           std::uint8_t *type) noexcept {
  if (data == nullptr || datalength == nullptr || type == nullptr) return std::nullopt;
  ByteReader r(data, *datalength);
  auto e = ber::read_element(r);
  if (!e) return std::nullopt;
  *type = e->type;
  return Opened{*e, r.pos()};
}

const std::uint8_t *past(const std::uint8_t *data, std::uint32_t *datalength,
                         const Opened &o) noexcept {
  *datalength -= static_cast<std::uint32_t>(o.size);
  return data + o.size;
}

// Sign-extends up to 8 contents octets into 64 bits.
std::uint64_t signed_value(std::span<const std::uint8_t> octets) noexcept {
  std::uint64_t v = (!octets.empty() && (octets[0] & 0x80u) != 0) ? ~std::uint64_t{0} : 0;
  for (std::uint8_t b : octets) v = (v << 8) | b;
  return v;
}

// Bytes of a sub-identifier in base 128.
std::size_t subid_size(std::uint32_t v) noexcept {
  if (v < (1u << 7)) return 1;
  if (v < (1u << 14)) return 2;
  if (v < (1u << 21)) return 3;
  if (v < (1u << 28)) return 4;
  return 5;
}

// Writes `v` in base 128 at `out`, which has room for subid_size(v) bytes; returns the
// position after it.
std::uint8_t *put_subid(std::uint8_t *out, std::uint32_t v) noexcept {
  const std::size_t size = subid_size(v);
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned shift = static_cast<unsigned>(7 * (size - 1 - i));
    out[i] = static_cast<std::uint8_t>(((v >> shift) & 0x7Fu) | (i + 1 < size ? 0x80u : 0));
  }
  return out + size;
}

// One base-128 sub-identifier from bytes[*at...]. At most five octets, and a value that
// needs more than 32 bits is refused rather than wrapped; a last octet that still announces
// a continuation means the contents were cut short. Reads the span directly: this runs for
// every octet of every name a message carries.
std::optional<std::uint32_t> read_subid(std::span<const std::uint8_t> bytes, std::size_t *at) noexcept {
  std::uint64_t v = 0;
  std::size_t i = *at;
  for (int k = 0; k < 5 && i < bytes.size(); ++k) {
    const std::uint8_t b = bytes[i++];
    v = (v << 7) | (b & 0x7Fu);
    if ((b & 0x80u) == 0) {
      if (v > 0xFFFFFFFFu) return std::nullopt;
      *at = i;
      return static_cast<std::uint32_t>(v);
    }
  }
  return std::nullopt;
}

}  // namespace

namespace kivo8::ber {

bool decode_objid(std::span<const std::uint8_t> bytes, std::uint32_t *objid,
                  std::uint32_t *objidlength) noexcept {
  if (bytes.empty()) {
    objid[0] = objid[1] = 0;
    *objidlength = 1;
    return true;
  }
  // Values go from the second slot on, so that the first can be split in place; what does
  // not fit the capacity is left unread.
  std::uint32_t *out = objid + 1;
  std::uint32_t *const full = objid + *objidlength;
  const std::uint8_t *const start = bytes.data();
  const std::uint8_t *at = start;
  const std::uint8_t *const end = start + bytes.size();
  while (at != end && out != full) {
    if (*at < 0x80u) {
      *out++ = *at++;
      continue;
    }
    std::size_t i = static_cast<std::size_t>(at - start);
    auto v = read_subid(bytes, &i);
    if (!v) return false;
    *out++ = *v;
    at = start + i;
  }
  const auto filled = static_cast<std::uint32_t>(out - (objid + 1));
  const std::uint32_t v = objid[1];
  if (v == 43) {
    objid[0] = 1;
    objid[1] = 3;
  } else if (v < 40) {
    objid[0] = 0;
  } else if (v < 80) {
    objid[0] = 1;
    objid[1] = v - 40;
  } else if (v < 120) {
    objid[0] = 2;
    objid[1] = v - 80;
  } else {
    objid[0] = v / 40;
    objid[1] = v % 40;
  }
  *objidlength = filled + 1;
  return true;
}

}  // namespace kivo8::ber

extern "C" {

KIVO8_API std::uint8_t *asn_build_length(std::uint8_t *data, std::uint32_t *datalength,
                                         std::uint32_t length) noexcept {
  if (data == nullptr || datalength == nullptr) return nullptr;
  ByteWriter w(data, *datalength);
  const bool ok = ber::write_length(w, length);
  return advance(data, datalength, w, ok);
}

KIVO8_API std::uint8_t *asn_build_header(std::uint8_t *data, std::uint32_t *datalength,
                                         std::uint8_t type, std::uint32_t length) noexcept {
  if (data == nullptr || datalength == nullptr) return nullptr;
  ByteWriter w(data, *datalength);
  const bool ok = ber::write_header(w, type, length);
  return advance(data, datalength, w, ok);
}

KIVO8_API std::uint8_t *asn_build_sequence(std::uint8_t *data, std::uint32_t *datalength,
                                           std::uint8_t type, std::uint32_t length) noexcept {
  // Two length octets cannot say more than 0xFFFF; refusing beats writing a wrong length.
  if (data == nullptr || datalength == nullptr || length > ber::kMaxLength) return nullptr;
  ByteWriter w(data, *datalength);
  const bool ok = w.u8(type) && w.u8(0x82) && w.be16(static_cast<std::uint16_t>(length));
  return advance(data, datalength, w, ok);
}

KIVO8_API std::uint8_t *asn_build_int(std::uint8_t *data, std::uint32_t *datalength,
                                      std::uint8_t type, const std::int32_t *intp,
                                      std::uint32_t intsize) noexcept {
  if (data == nullptr || datalength == nullptr || intp == nullptr || intsize != 4) return nullptr;
  const auto v = static_cast<std::uint32_t>(*intp);
  const std::uint8_t be[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                              std::uint8_t(v)};
  ByteWriter w(data, *datalength);
  const bool ok = write_integer(w, type, be, 4, false);
  return advance(data, datalength, w, ok);
}

KIVO8_API std::uint8_t *asn_build_unsigned_int(std::uint8_t *data, std::uint32_t *datalength,
                                               std::uint8_t type, const std::uint32_t *intp,
                                               std::uint32_t intsize) noexcept {
  if (data == nullptr || datalength == nullptr || intp == nullptr || intsize != 4) return nullptr;
  const std::uint32_t v = *intp;
  const std::uint8_t be[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                              std::uint8_t(v)};
  ByteWriter w(data, *datalength);
  const bool ok = write_integer(w, type, be, 4, true);
  return advance(data, datalength, w, ok);
}

KIVO8_API std::uint8_t *asn_build_unsigned_int64(std::uint8_t *data, std::uint32_t *datalength,
                                                 std::uint8_t type, const counter64 *cp,
                                                 std::uint32_t size) noexcept {
  if (data == nullptr || datalength == nullptr || cp == nullptr || size != 8) return nullptr;
  std::uint8_t be[8];
  for (int i = 0; i < 4; ++i) {
    be[i] = static_cast<std::uint8_t>(cp->high >> (24 - 8 * i));
    be[4 + i] = static_cast<std::uint8_t>(cp->low >> (24 - 8 * i));
  }
  ByteWriter w(data, *datalength);
  const bool ok = write_integer(w, type, be, 8, true);
  return advance(data, datalength, w, ok);
}

KIVO8_API std::uint8_t *asn_build_string(std::uint8_t *data, std::uint32_t *datalength,
                                         std::uint8_t type, const std::uint8_t *string,
                                         std::uint32_t strlength) noexcept {
  if (data == nullptr || datalength == nullptr) return nullptr;
  ByteWriter w(data, *datalength);
  const bool ok = ber::write_header(w, type, strlength);
  auto contents = ok ? w.reserve(strlength) : std::nullopt;
  if (contents && strlength != 0) {
    if (string != nullptr)
      std::memcpy(contents->data(), string, strlength);
    else
      std::memset(contents->data(), 0, strlength);
  }
  return advance(data, datalength, w, ok && contents.has_value());
}

KIVO8_API std::uint8_t *asn_build_objid(std::uint8_t *data, std::uint32_t *datalength,
                                        std::uint8_t type, const std::uint32_t *objid,
                                        std::uint32_t objidlength) noexcept {
  if (data == nullptr || datalength == nullptr || objidlength > ASN_MAX_OID_LEN) return nullptr;
  if (objidlength != 0 && objid == nullptr) return nullptr;
  // The first two arcs share one value; every later arc is a value of its own.
  std::uint64_t first = 0;
  if (objidlength == 1) {
    first = 40ull * objid[0];
  } else if (objidlength >= 2) {
    if (objid[1] > 40) return nullptr;
    first = 40ull * objid[0] + objid[1];
  }
  // A combined value that does not fit 32 bits could not be read back.
  if (first > 0xFFFFFFFFu) return nullptr;
  // Encoded in one pass into a scratch block (at most five octets per value), then written
  // with its header: the length is known only once every value has been encoded.
  std::uint8_t contents[ASN_MAX_OID_LEN * 5];
  std::uint8_t *out = put_subid(contents, static_cast<std::uint32_t>(first));
  for (std::uint32_t i = 2; i < objidlength; ++i) {
    const std::uint32_t v = objid[i];
    if (v < 0x80u)
      *out++ = static_cast<std::uint8_t>(v);
    else
      out = put_subid(out, v);
  }
  const auto length = static_cast<std::uint32_t>(out - contents);
  ByteWriter w(data, *datalength);
  const bool ok = ber::write_header(w, type, length) && w.put(contents, length);
  return advance(data, datalength, w, ok);
}

KIVO8_API std::uint8_t *asn_build_null(std::uint8_t *data, std::uint32_t *datalength,
                                       std::uint8_t type) noexcept {
  if (data == nullptr || datalength == nullptr) return nullptr;
  ByteWriter w(data, *datalength);
  const bool ok = ber::write_header(w, type, 0);
  return advance(data, datalength, w, ok);
}

KIVO8_API std::uint8_t *asn_build_bitstring(std::uint8_t *data, std::uint32_t *datalength,
                                            std::uint8_t type, const std::uint8_t *string,
                                            std::uint32_t strlength) noexcept {
  if (data == nullptr || datalength == nullptr || string == nullptr) return nullptr;
  if (strlength == 0 || string[0] > 7) return nullptr;
  ByteWriter w(data, *datalength);
  const bool ok = ber::write_header(w, type, strlength) && w.put(string, strlength);
  return advance(data, datalength, w, ok);
}

KIVO8_API const std::uint8_t *asn_parse_length(const std::uint8_t *data,
                                               std::uint32_t *length) noexcept {
  if (data == nullptr || length == nullptr) return nullptr;
  // The reader never goes past what the first octet announces (at most five octets).
  ByteReader r(data, 5);
  auto l = ber::read_length(r);
  if (!l) return nullptr;
  *length = *l;
  return data + r.pos();
}

KIVO8_API const std::uint8_t *asn_parse_header(const std::uint8_t *data,
                                               std::uint32_t *datalength,
                                               std::uint8_t *type) noexcept {
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  const std::size_t contents = o->element.contents.left();
  *datalength = static_cast<std::uint32_t>(contents);
  return data + (o->size - contents);
}

KIVO8_API const std::uint8_t *asn_parse_sequence(const std::uint8_t *data,
                                                 std::uint32_t *datalength, std::uint8_t *type,
                                                 std::uint8_t expected_type) noexcept {
  if (datalength == nullptr || type == nullptr) return nullptr;
  std::uint32_t length = *datalength;
  const std::uint8_t *contents = asn_parse_header(data, &length, type);
  if (contents == nullptr || *type != expected_type) return nullptr;
  *datalength = length;
  return contents;
}

KIVO8_API const std::uint8_t *asn_parse_int(const std::uint8_t *data, std::uint32_t *datalength,
                                            std::uint8_t *type, std::int32_t *intp,
                                            std::uint32_t intsize) noexcept {
  if (intp == nullptr || intsize != 4) return nullptr;
  auto o = open(data, datalength, type);
  // Empty contents carry no value at all; taking them as 0 would invent one.
  if (!o || o->element.contents.left() == 0 || o->element.contents.left() > 4) return nullptr;
  *intp = static_cast<std::int32_t>(static_cast<std::uint32_t>(signed_value(o->element.contents.rest())));
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_unsigned_int(const std::uint8_t *data,
                                                     std::uint32_t *datalength, std::uint8_t *type,
                                                     std::uint32_t *intp,
                                                     std::uint32_t intsize) noexcept {
  if (intp == nullptr || intsize != 4) return nullptr;
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  auto octets = o->element.contents.rest();
  if (octets.empty() || octets.size() > 5 || (octets.size() == 5 && octets[0] != 0)) return nullptr;
  *intp = static_cast<std::uint32_t>(signed_value(octets));
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_unsigned_int64(const std::uint8_t *data,
                                                       std::uint32_t *datalength,
                                                       std::uint8_t *type, counter64 *cp,
                                                       std::uint32_t size) noexcept {
  if (cp == nullptr || size != 8) return nullptr;
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  auto octets = o->element.contents.rest();
  if (octets.empty() || octets.size() > 9 || (octets.size() == 9 && octets[0] != 0)) return nullptr;
  const std::uint64_t v = octets.size() == 9 ? signed_value(octets.subspan(1)) : signed_value(octets);
  cp->high = static_cast<std::uint32_t>(v >> 32);
  cp->low = static_cast<std::uint32_t>(v);
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_string(const std::uint8_t *data,
                                               std::uint32_t *datalength, std::uint8_t *type,
                                               std::uint8_t *string,
                                               std::uint32_t *strlength) noexcept {
  if (string == nullptr || strlength == nullptr) return nullptr;
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  auto octets = o->element.contents.rest();
  if (octets.size() > *strlength) return nullptr;
  if (!octets.empty()) std::memcpy(string, octets.data(), octets.size());
  if (*strlength > octets.size()) string[octets.size()] = 0;
  *strlength = static_cast<std::uint32_t>(octets.size());
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_bitstring(const std::uint8_t *data,
                                                  std::uint32_t *datalength, std::uint8_t *type,
                                                  std::uint8_t *string,
                                                  std::uint32_t *strlength) noexcept {
  if (string == nullptr || strlength == nullptr) return nullptr;
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  auto octets = o->element.contents.rest();
  if (octets.empty() || octets.size() > *strlength || octets[0] > 7) return nullptr;
  std::memcpy(string, octets.data(), octets.size());
  *strlength = static_cast<std::uint32_t>(octets.size());
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_objid(const std::uint8_t *data, std::uint32_t *datalength,
                                              std::uint8_t *type, std::uint32_t *objid,
                                              std::uint32_t *objidlength) noexcept {
  // Two slots at least: the first value always splits into two arcs.
  if (objid == nullptr || objidlength == nullptr || *objidlength < 2) return nullptr;
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  if (!ber::decode_objid(o->element.contents.rest(), objid, objidlength)) return nullptr;
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_null(const std::uint8_t *data, std::uint32_t *datalength,
                                             std::uint8_t *type) noexcept {
  auto o = open(data, datalength, type);
  if (!o || !o->element.contents.empty()) return nullptr;
  return past(data, datalength, *o);
}

KIVO8_API std::int32_t asn_check_packet(const std::uint8_t *packet, std::int32_t length) noexcept {
  // A negative count says nothing about the bytes at `packet`: read none of them.
  if (length < 0) return -1;
  const auto have = static_cast<std::uint32_t>(length);
  if (have < 2) return 0;
  if (packet == nullptr || packet[0] != ASN_SEQUENCE) return -1;
  if (packet[1] < 0x80) return packet[1] + 2;
  const std::uint32_t n = packet[1] & 0x7Fu;
  // A message whose length cannot be read can never be framed, however many bytes follow.
  if (n == 0 || n > 4) return -1;
  if (have < n + 2) return 0;
  std::uint64_t total = 0;
  for (std::uint32_t i = 0; i < n; ++i) total = (total << 8) | packet[2 + i];
  total += n + 2;
  if (total > 0x7FFFFFFF) return -1;
  return static_cast<std::int32_t>(total);
}

}  // extern "C"
