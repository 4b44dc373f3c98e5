// Element-level BER helpers shared by the exported asn_ functions and the SNMP message
// codec. They work on the bounded reader and writer, so every length found in the bytes
// is checked against the data actually given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/bytes.h"

namespace kivo8::ber {

// Longest length that the encoder writes (three length octets, 0x82 nn nn).
inline constexpr std::uint32_t kMaxLength = 0xFFFF;

// Short form, or long form with 1 to 4 octets. The indefinite form and longer long forms
// are refused: SNMP never sends them and they cannot be bounded up front.
std::optional<std::uint32_t> read_length(ByteReader &r) noexcept;

struct Element {
  std::uint8_t type = 0;
  ByteReader contents;
};

// Reads an identifier octet and length octets and takes the contents as a child reader:
// contents that claim more than the parent holds fail.
std::optional<Element> read_element(ByteReader &r) noexcept;

// The contents of an OBJECT IDENTIFIER into `objid`, whose capacity `*objidlength` (at least
// 2) becomes the count of arcs: the first value splits into two arcs, values beyond the
// capacity are left unread, empty contents give the single arc 0. False for a value that
// is cut short or needs more than 32 bits. Shared by asn_parse_objid and the message
// decoder, so that both read names alike.
bool decode_objid(std::span<const std::uint8_t> bytes, std::uint32_t *objid,
                  std::uint32_t *objidlength) noexcept;

bool write_length(ByteWriter &w, std::uint32_t length) noexcept;
bool write_header(ByteWriter &w, std::uint8_t type, std::uint32_t length) noexcept;

// A four-byte header (type, 0x82, two length octets) reserved now and filled in once the
// contents are written: the message layer always uses this form for its constructed types.
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
