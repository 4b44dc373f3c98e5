#include "asn1/ber.h"

namespace kivo8::ber {

std::optional<std::uint32_t> read_length(ByteReader &r) noexcept {
  auto first = r.u8();
  if (!first) return std::nullopt;
  if (*first < 0x80) return *first;
  const unsigned n = *first & 0x7Fu;
  if (n == 0 || n > 4) return std::nullopt;
  auto octets = r.take(n);
  if (!octets) return std::nullopt;
  std::uint32_t length = 0;
  for (std::uint8_t b : *octets) length = (length << 8) | b;
  return length;
}

std::optional<Element> read_element(ByteReader &r) noexcept {
  // The usual element (low tag, length in the short form or in one or two octets, all of
  // it present) is taken in one step; anything else goes the octet-by-octet way below,
  // which also decides every refusal.
  const std::span<const std::uint8_t> bytes = r.rest();
  if (bytes.size() >= 2 && (bytes[0] & 0x1Fu) != 0x1Fu) {
    std::size_t header = 0, length = 0;
    if (bytes[1] < 0x80u) {
      header = 2;
      length = bytes[1];
    } else if (bytes[1] == 0x81u && bytes.size() >= 3) {
      header = 3;
      length = bytes[2];
    } else if (bytes[1] == 0x82u && bytes.size() >= 4) {
      header = 4;
      length = (std::size_t{bytes[2]} << 8) | bytes[3];
    }
    if (header != 0 && length <= bytes.size() - header) {
      r.skip(header + length);
      return Element{bytes[0], ByteReader(bytes.subspan(header, length))};
    }
  }
  auto type = r.u8();
  // The high-tag-number form would continue the identifier in further octets; SNMP never
  // uses it, so it is refused rather than misread as a one-octet tag.
  if (!type || (*type & 0x1Fu) == 0x1Fu) return std::nullopt;
  auto length = read_length(r);
  if (!length) return std::nullopt;
  auto contents = r.child(*length);
  if (!contents) return std::nullopt;
  return Element{*type, *contents};
}

bool write_length(ByteWriter &w, std::uint32_t length) noexcept {
  if (length < 0x80) return w.u8(static_cast<std::uint8_t>(length));
  if (length <= 0xFF) return w.u8(0x81) && w.u8(static_cast<std::uint8_t>(length));
  if (length <= kMaxLength) return w.u8(0x82) && w.be16(static_cast<std::uint16_t>(length));
  return false;
}

bool write_header(ByteWriter &w, std::uint8_t type, std::uint32_t length) noexcept {
  return w.u8(type) && write_length(w, length);
}

bool HeaderSlot::reserve(ByteWriter &w) noexcept {
  auto s = w.reserve(4);
  if (!s) return false;
  at_ = s->data();
  start_ = w.pos();
  return true;
}

bool HeaderSlot::fill(const ByteWriter &w, std::uint8_t type) noexcept {
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
