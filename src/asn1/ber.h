// Element-level BER reading and writing: the one place where the rules for lengths, integer
// contents, object identifiers and bit strings live. The exported asn_ functions and the
// SNMP message codec both go through these, on the bounded reader and writer, so every
// length found in the bytes is checked against the data actually given.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

#include "core/bytes.h"

namespace kivo8::ber {

// Longest length that the encoder writes (three length octets, 0x82 nn nn).
inline constexpr std::uint32_t kMaxLength = 0xFFFF;

// Most sub-identifiers in an object identifier that is encoded or accepted whole.
inline constexpr std::uint32_t kMaxObjid = 128;

// Short form, or long form with 1 to 4 octets. The indefinite form and longer long forms
// are refused: SNMP never sends them and they cannot be bounded up front.
std::optional<std::uint32_t> read_length(ByteReader &r) noexcept;

// One element: its identifier octet and its contents. The value readers apply the rules of
// the content types to the contents; each refuses contents that carry no value of its type
// rather than invent one.
struct Element {
  std::uint8_t type = 0;
  ByteReader contents;

  std::span<const std::uint8_t> octets() const noexcept { return contents.rest(); }
  // INTEGER: 1 to 4 octets, sign-extended.
  std::optional<std::int32_t> integer() const noexcept;
  // Counter32 and its kind: 1 to 5 octets, five only when led by 0x00; the low 32 bits of
  // the sign-extended value.
  std::optional<std::uint32_t> unsigned32() const noexcept;
  // Counter64: 1 to 9 octets, nine only when led by 0x00.
  std::optional<std::uint64_t> unsigned64() const noexcept;
  // NULL and the exception values: no contents at all.
  bool null() const noexcept { return contents.empty(); }
  // BIT STRING: at least the count of unused bits, which is at most 7.
  std::optional<std::span<const std::uint8_t>> bits() const noexcept;
  // OBJECT IDENTIFIER into out[0..capacity) (capacity at least 2): the count of
  // sub-identifiers. The first value splits into two arcs as X.690 does (0 and 1 take a
  // second arc below 40, 2 takes the rest); empty contents give the single arc 0. A value
  // cut short or above 32 bits is refused; so are more arcs than `capacity` unless `cut`
  // asks for the first `capacity` of them.
  std::optional<std::uint32_t> objid(std::uint32_t *out, std::uint32_t capacity,
                                     bool cut = false) const noexcept;
};

std::optional<Element> read_element_slow(ByteReader &r) noexcept;

// Reads an identifier octet and length octets and takes the contents as a child reader:
// contents that claim more than the parent holds fail. The usual element (low tag, length
// in the short form or in one or two octets, all of it present) is taken in one step here;
// anything else goes the octet-by-octet way, which also decides every refusal.
inline std::optional<Element> read_element(ByteReader &r) noexcept {
  const std::span<const std::uint8_t> bytes = r.rest();
  if (bytes.size() >= 2 && (bytes[0] & 0x1Fu) != 0x1Fu) {
    std::size_t header = 0, length = 0;
    if (bytes[1] < 0x80u) {
      header = 2;
      length = bytes[1];
    } else if (bytes[1] == 0x82u && bytes.size() >= 4) {
      header = 4;
      length = (std::size_t{bytes[2]} << 8) | bytes[3];
    } else if (bytes[1] == 0x81u && bytes.size() >= 3) {
      header = 3;
      length = bytes[2];
    }
    if (header != 0 && length <= bytes.size() - header) {
      r.skip(header + length);
      return Element{bytes[0], ByteReader(bytes.subspan(header, length))};
    }
  }
  return read_element_slow(r);
}

// The contents of an OBJECT IDENTIFIER, by Element::objid's rules, with the capacity and
// count in one cell as asn_parse_objid has them. False when refused.
inline bool decode_objid(std::span<const std::uint8_t> bytes, std::uint32_t *objid,
                  std::uint32_t *objidlength, bool cut = false) noexcept;

inline bool write_length(ByteWriter &w, std::uint32_t length) noexcept;
inline bool write_header(ByteWriter &w, std::uint8_t type, std::uint32_t length) noexcept;

// Value writers, the mirror of the readers: the fewest octets that keep the value.
inline bool write_integer(ByteWriter &w, std::uint8_t type, std::int32_t value) noexcept;
inline bool write_unsigned32(ByteWriter &w, std::uint8_t type, std::uint32_t value) noexcept;
inline bool write_unsigned64(ByteWriter &w, std::uint8_t type, std::uint64_t value) noexcept;
// Refused before anything is written: more than kMaxObjid arcs, a first arc above 2, a
// second arc of 40 or more under the arcs 0 and 1, a first value that needs more than 32
// bits. Under the arc 2 the second arc may be any value that leaves the first value in
// 32 bits (2.999 is 88 37).
[[gnu::always_inline]] inline bool write_objid(ByteWriter &w, std::uint8_t type,
                                               const std::uint32_t *objid, std::uint32_t count) noexcept;

// A four-byte header (type, 0x82, two length octets) reserved now and filled in once the
// contents are written: the message encoder writes its constructed elements this way.
class HeaderSlot {
 public:
  bool reserve(ByteWriter &w) noexcept;
  // Fills the reserved bytes with `type` and the length of everything written after them.
  bool fill(const ByteWriter &w, std::uint8_t type) noexcept;

 private:
  std::uint8_t *at_ = nullptr;
  std::size_t start_ = 0;
};

// Definitions of the element readers and writers above, here so that the message codec's
// loops compile them in place.

namespace detail {

// Sign-extends up to 8 contents octets into 64 bits.
inline std::uint64_t signed_value(std::span<const std::uint8_t> octets) noexcept {
  std::uint64_t v = (!octets.empty() && (octets[0] & 0x80u) != 0) ? ~std::uint64_t{0} : 0;
  for (std::uint8_t b : octets) v = (v << 8) | b;
  return v;
}

// Bytes of a sub-identifier in base 128.
inline std::size_t subid_size(std::uint32_t v) noexcept {
  if (v < (1u << 7)) return 1;
  if (v < (1u << 14)) return 2;
  if (v < (1u << 21)) return 3;
  if (v < (1u << 28)) return 4;
  return 5;
}

// Writes `v` in base 128 at `out`; returns the position after it.
inline std::uint8_t *put_subid(std::uint8_t *out, std::uint32_t v) noexcept {
  if (v < 0x80u) {
    *out = static_cast<std::uint8_t>(v);
    return out + 1;
  }
  const std::size_t size = subid_size(v);
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned shift = static_cast<unsigned>(7 * (size - 1 - i));
    out[i] = static_cast<std::uint8_t>(((v >> shift) & 0x7Fu) | (i + 1 < size ? 0x80u : 0));
  }
  return out + size;
}

// Writes `n` big-endian value octets with the fewest octets that keep the two's-complement
// value: a leading octet is dropped while it and the top bit of the next one are all zeros
// or all ones (the "top nine bits" rule). With `unsigned_lead` a value whose top bit is set
// gets a 0x00 octet in front instead, so that it does not read back as negative.
inline bool write_be(ByteWriter &w, std::uint8_t type, const std::uint8_t *be, std::size_t n,
              bool unsigned_lead) noexcept {
  if (unsigned_lead && (be[0] & 0x80u) != 0)
    return write_header(w, type, static_cast<std::uint32_t>(n + 1)) && w.u8(0) && w.put(be, n);
  std::size_t skip = 0;
  while (n - skip > 1) {
    const std::uint8_t lead = be[skip];
    const bool next_top = (be[skip + 1] & 0x80u) != 0;
    if (!((lead == 0x00 && !next_top) || (lead == 0xFF && next_top))) break;
    ++skip;
  }
  const auto length = static_cast<std::uint32_t>(n - skip);
  auto out = w.reserve(2 + length);
  if (!out) return false;
  (*out)[0] = type;
  (*out)[1] = static_cast<std::uint8_t>(length);
  std::memcpy(out->data() + 2, be + skip, length);
  return true;
}

// The value that carries the first two arcs, or nothing when they cannot be written.
inline std::optional<std::uint32_t> first_value(const std::uint32_t *objid, std::uint32_t count) noexcept {
  if (count == 0) return 0u;
  if (objid[0] > 2) return std::nullopt;
  if (count == 1) return 40u * objid[0];
  if (objid[0] < 2 && objid[1] >= 40) return std::nullopt;
  const std::uint64_t v = 40ull * objid[0] + objid[1];
  if (v > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(v);
}

}  // namespace detail

inline std::optional<std::int32_t> Element::integer() const noexcept {
  const auto o = octets();
  if (o.size() == 1) return static_cast<std::int8_t>(o[0]);  // the usual one, sign-extended
  // Empty contents carry no value at all; taking them as 0 would invent one.
  if (o.empty() || o.size() > 4) return std::nullopt;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(detail::signed_value(o)));
}

inline std::optional<std::uint32_t> Element::unsigned32() const noexcept {
  const auto o = octets();
  if (o.empty() || o.size() > 5 || (o.size() == 5 && o[0] != 0)) return std::nullopt;
  return static_cast<std::uint32_t>(detail::signed_value(o));
}

inline std::optional<std::uint64_t> Element::unsigned64() const noexcept {
  const auto o = octets();
  if (o.empty() || o.size() > 9 || (o.size() == 9 && o[0] != 0)) return std::nullopt;
  return o.size() == 9 ? detail::signed_value(o.subspan(1)) : detail::signed_value(o);
}

inline std::optional<std::span<const std::uint8_t>> Element::bits() const noexcept {
  const auto o = octets();
  if (o.empty() || o[0] > 7) return std::nullopt;
  return o;
}

inline std::optional<std::uint32_t> Element::objid(std::uint32_t *out, std::uint32_t capacity,
                                            bool cut) const noexcept {
  std::uint32_t count = capacity;
  if (out == nullptr || capacity < 2 || !decode_objid(octets(), out, &count, cut)) return std::nullopt;
  return count;
}

inline bool decode_objid(std::span<const std::uint8_t> bytes, std::uint32_t *objid,
                  std::uint32_t *objidlength, bool cut) noexcept {
  if (bytes.empty()) {
    objid[0] = objid[1] = 0;
    *objidlength = 1;
    return true;
  }
  // Values go from the second slot on, so that the first can be split in place.
  std::uint32_t *out = objid + 1;
  std::uint32_t *const full = objid + *objidlength;
  const std::uint8_t *at = bytes.data();
  const std::uint8_t *const end = at + bytes.size();
  // Most values of most names are single octets: while they last and the name fits, they
  // are widened eight at a time, then one by one, with one test each.
  const std::size_t n = bytes.size();
  if (n <= static_cast<std::size_t>(full - out)) {
    std::size_t i = 0;
    for (; std::endian::native == std::endian::little && i + 8 <= n; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, at + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      // Widened from the bytes themselves, which the compiler turns into a few vector
      // unpacks rather than eight shifts.
      for (unsigned k = 0; k < 8; ++k) out[i + k] = at[i + k];
    }
    for (; i < n; ++i) {
      const std::uint32_t b = at[i];
      if (b >= 0x80u) break;
      out[i] = b;
    }
    out += i;
    at += i;
  }
  while (at != end) {
    if (out == full) {
      if (cut) break;
      return false;
    }
    std::uint32_t b = *at++;
    if (b < 0x80u) {
      *out++ = b;
      continue;
    }
    // At most five octets, and a value that needs more than 32 bits is refused rather than
    // wrapped; a last octet that still announces a continuation means the contents were
    // cut short.
    std::uint64_t v = b & 0x7Fu;
    int k = 1;
    for (;;) {
      if (at == end || k == 5) return false;
      b = *at++;
      v = (v << 7) | (b & 0x7Fu);
      ++k;
      if (b < 0x80u) break;
    }
    if (v > 0xFFFFFFFFu) return false;
    *out++ = static_cast<std::uint32_t>(v);
  }
  const std::uint32_t v = objid[1];
  if (v < 40) {
    objid[0] = 0;
  } else if (v < 80) {
    objid[0] = 1;
    objid[1] = v - 40;
  } else {
    objid[0] = 2;
    objid[1] = v - 80;
  }
  *objidlength = static_cast<std::uint32_t>(out - objid);
  return true;
}

inline bool write_length(ByteWriter &w, std::uint32_t length) noexcept {
  if (length < 0x80) return w.u8(static_cast<std::uint8_t>(length));
  if (length <= 0xFF) return w.u8(0x81) && w.u8(static_cast<std::uint8_t>(length));
  if (length <= kMaxLength) return w.u8(0x82) && w.be16(static_cast<std::uint16_t>(length));
  return false;
}

inline bool write_header(ByteWriter &w, std::uint8_t type, std::uint32_t length) noexcept {
  return w.u8(type) && write_length(w, length);
}

inline bool write_integer(ByteWriter &w, std::uint8_t type, std::int32_t value) noexcept {
  const auto v = static_cast<std::uint32_t>(value);
  // The fewest octets that keep the two's-complement value, the "top nine bits" rule of
  // write_be in one step: the significant bits of the value with its sign folded away,
  // and one more for the sign.
  const std::uint32_t folded = v ^ (0u - (v >> 31));
  const std::size_t octets = static_cast<std::size_t>(std::bit_width(folded)) / 8 + 1;
  auto out = w.reserve(2 + octets);
  if (!out) return false;
  (*out)[0] = type;
  (*out)[1] = static_cast<std::uint8_t>(octets);
  for (std::size_t i = 0; i < octets; ++i)
    (*out)[2 + i] = static_cast<std::uint8_t>(v >> (8 * (octets - 1 - i)));
  return true;
}

inline bool write_unsigned32(ByteWriter &w, std::uint8_t type, std::uint32_t v) noexcept {
  if ((v >> 31) == 0) return write_integer(w, type, static_cast<std::int32_t>(v));
  // The top bit set: a 0x00 octet in front, so that it does not read back as negative.
  const std::uint8_t be[5] = {0, std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8),
                              std::uint8_t(v)};
  return write_header(w, type, 5) && w.put(be, 5);
}

inline bool write_unsigned64(ByteWriter &w, std::uint8_t type, std::uint64_t v) noexcept {
  std::uint8_t be[8];
  for (int i = 0; i < 8; ++i) be[i] = static_cast<std::uint8_t>(v >> (56 - 8 * i));
  return detail::write_be(w, type, be, 8, true);
}

// Compiled into each encoder loop (always_inline above): the call alone, saving registers
// around a frame with the scratch buffer, cost about a fifth of writing a usual name.
inline bool write_objid(ByteWriter &w, std::uint8_t type, const std::uint32_t *objid,
                        std::uint32_t count) noexcept {
  if (count > kMaxObjid || (count != 0 && objid == nullptr)) return false;
  const auto first = detail::first_value(objid, count);
  if (!first) return false;
  // Encoded in one pass straight behind a one-octet length, which holds for every name
  // of up to 25 arcs; a longer encoding is moved along once its length is known.
  // Each value takes at most five octets.
  const std::size_t most = 4 + 5 * std::size_t{count == 0 ? 1 : count};
  std::uint8_t scratch[4 + 5 * kMaxObjid];
  const bool direct = w.room() >= most;
  std::uint8_t *const start = direct ? w.data() + w.pos() : scratch;
  std::uint8_t *out = detail::put_subid(start + 2, *first);
  std::uint32_t i = 2;
  // Most arcs of most names are below 128: eight at a time while they are, which the
  // compiler narrows with vector packs.
  for (; i + 8 <= count; i += 8) {
    std::uint32_t any = 0;
    for (unsigned k = 0; k < 8; ++k) any |= objid[i + k];
    if (any >= 0x80u) break;
    for (unsigned k = 0; k < 8; ++k) out[k] = static_cast<std::uint8_t>(objid[i + k]);
    out += 8;
  }
  for (; i < count; ++i) {
    const std::uint32_t v = objid[i];
    if (v < 0x80u)
      *out++ = static_cast<std::uint8_t>(v);
    else
      out = detail::put_subid(out, v);
  }
  const auto length = static_cast<std::size_t>(out - (start + 2));
  std::size_t header = 2;
  if (length >= 0x80) {
    header = length <= 0xFF ? 3 : 4;
    std::memmove(start + header, start + 2, length);
  }
  start[0] = type;
  if (header == 2) {
    start[1] = static_cast<std::uint8_t>(length);
  } else if (header == 3) {
    start[1] = 0x81;
    start[2] = static_cast<std::uint8_t>(length);
  } else {
    start[1] = 0x82;
    start[2] = static_cast<std::uint8_t>(length >> 8);
    start[3] = static_cast<std::uint8_t>(length);
  }
  if (direct) return w.reserve(header + length).has_value();
  return w.put(scratch, header + length);
}

inline bool HeaderSlot::reserve(ByteWriter &w) noexcept {
  auto s = w.reserve(4);
  if (!s) return false;
  at_ = s->data();
  start_ = w.pos();
  return true;
}

inline bool HeaderSlot::fill(const ByteWriter &w, std::uint8_t type) noexcept {
  if (at_ == nullptr || w.failed()) return false;
  const std::size_t length = w.pos() - start_;
  if (length > kMaxLength) return false;
  at_[0] = type;
  at_[1] = 0x82;
  at_[2] = static_cast<std::uint8_t>(length >> 8);
  at_[3] = static_cast<std::uint8_t>(length);
  return true;
}

}  // namespace kivo8::ber
