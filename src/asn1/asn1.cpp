// The exported BER functions: pointer-and-count wrappers over the element readers and
// writers of asn1/ber.h.
#include "kivo8/asn1.h"

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

}  // namespace

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
  ByteWriter w(data, *datalength);
  return advance(data, datalength, w, ber::write_integer(w, type, *intp));
}

KIVO8_API std::uint8_t *asn_build_unsigned_int(std::uint8_t *data, std::uint32_t *datalength,
                                               std::uint8_t type, const std::uint32_t *intp,
                                               std::uint32_t intsize) noexcept {
  if (data == nullptr || datalength == nullptr || intp == nullptr || intsize != 4) return nullptr;
  ByteWriter w(data, *datalength);
  return advance(data, datalength, w, ber::write_unsigned32(w, type, *intp));
}

KIVO8_API std::uint8_t *asn_build_unsigned_int64(std::uint8_t *data, std::uint32_t *datalength,
                                                 std::uint8_t type, const counter64 *cp,
                                                 std::uint32_t size) noexcept {
  if (data == nullptr || datalength == nullptr || cp == nullptr || size != 8) return nullptr;
  ByteWriter w(data, *datalength);
  const std::uint64_t v = (std::uint64_t{cp->high} << 32) | cp->low;
  return advance(data, datalength, w, ber::write_unsigned64(w, type, v));
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
  if (data == nullptr || datalength == nullptr) return nullptr;
  ByteWriter w(data, *datalength);
  return advance(data, datalength, w, ber::write_objid(w, type, objid, objidlength));
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
  if (!o) return nullptr;
  auto v = o->element.integer();
  if (!v) return nullptr;
  *intp = *v;
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_unsigned_int(const std::uint8_t *data,
                                                     std::uint32_t *datalength, std::uint8_t *type,
                                                     std::uint32_t *intp,
                                                     std::uint32_t intsize) noexcept {
  if (intp == nullptr || intsize != 4) return nullptr;
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  auto v = o->element.unsigned32();
  if (!v) return nullptr;
  *intp = *v;
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_unsigned_int64(const std::uint8_t *data,
                                                       std::uint32_t *datalength,
                                                       std::uint8_t *type, counter64 *cp,
                                                       std::uint32_t size) noexcept {
  if (cp == nullptr || size != 8) return nullptr;
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  auto v = o->element.unsigned64();
  if (!v) return nullptr;
  cp->high = static_cast<std::uint32_t>(*v >> 32);
  cp->low = static_cast<std::uint32_t>(*v);
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
  auto bits = o->element.bits();
  if (!bits || bits->size() > *strlength) return nullptr;
  std::memcpy(string, bits->data(), bits->size());
  *strlength = static_cast<std::uint32_t>(bits->size());
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_objid(const std::uint8_t *data, std::uint32_t *datalength,
                                              std::uint8_t *type, std::uint32_t *objid,
                                              std::uint32_t *objidlength) noexcept {
  // Two slots at least: the first value always splits into two arcs. The caller's
  // capacity decides how many arcs are read; what lies beyond it is left unread.
  if (objid == nullptr || objidlength == nullptr || *objidlength < 2) return nullptr;
  auto o = open(data, datalength, type);
  if (!o) return nullptr;
  auto count = o->element.objid(objid, *objidlength, true);
  if (!count) return nullptr;
  *objidlength = *count;
  return past(data, datalength, *o);
}

KIVO8_API const std::uint8_t *asn_parse_null(const std::uint8_t *data, std::uint32_t *datalength,
                                             std::uint8_t *type) noexcept {
  auto o = open(data, datalength, type);
  if (!o || !o->element.null()) return nullptr;
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
