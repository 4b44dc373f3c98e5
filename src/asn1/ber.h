// Element-level BER reading and writing: the one place where the rules for lengths, integer
// contents, object identifiers and bit strings live. The exported asn_ functions and the
// SNMP message codec both go through these, on the bounded reader and writer, so every
// length found in the bytes is checked against the data actually given.
#pragma once

#include <cstdint>
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
bool decode_objid(std::span<const std::uint8_t> bytes, std::uint32_t *objid,
                  std::uint32_t *objidlength, bool cut = false) noexcept;

bool write_length(ByteWriter &w, std::uint32_t length) noexcept;
bool write_header(ByteWriter &w, std::uint8_t type, std::uint32_t length) noexcept;

// Value writers, the mirror of the readers: the fewest octets that keep the value.
bool write_integer(ByteWriter &w, std::uint8_t type, std::int32_t value) noexcept;
bool write_unsigned32(ByteWriter &w, std::uint8_t type, std::uint32_t value) noexcept;
bool write_unsigned64(ByteWriter &w, std::uint8_t type, std::uint64_t value) noexcept;
// Refused before anything is written: more than kMaxObjid arcs, a first arc above 2, a
// second arc of 40 or more under the arcs 0 and 1, a first value that needs more than 32
// bits. Under the arc 2 the second arc may be any value that leaves the first value in
// 32 bits (2.999 is 88 37).
bool write_objid(ByteWriter &w, std::uint8_t type, const std::uint32_t *objid,
                 std::uint32_t count) noexcept;

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

}  // namespace kivo8::ber
