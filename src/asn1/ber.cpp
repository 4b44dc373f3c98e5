// BER length octets and the element reader's slow path (the rest of the rules are inline in
// ber.h).
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

std::optional<Element> read_element_slow(ByteReader &r) noexcept {
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

}  // namespace kivo8::ber
