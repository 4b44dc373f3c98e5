// Hand-made IPP message bytes for tests: every item written out as on the wire, so a test
// can state lengths that lie.
#pragma once

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace kivo8::test::ipp {

using Bytes = std::vector<std::uint8_t>;

inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline Bytes be16(std::size_t n) {
  return {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

inline Bytes be32(std::uint32_t n) {
  return {static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
          static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
}

inline Bytes str(std::string_view s) { return Bytes(s.begin(), s.end()); }

// version 2.0, a status or operation code and a request id.
inline Bytes header(std::uint16_t code = 0, std::uint32_t id = 1) {
  return cat({{2, 0}, be16(code), be32(id)});
}

// One item: tag, name-length, name, value-length, value.
inline Bytes item(std::uint8_t tag, std::string_view name, const Bytes &value) {
  return cat({{tag}, be16(name.size()), str(name), be16(value.size()), value});
}
inline Bytes item(std::uint8_t tag, std::string_view name, std::string_view value) {
  return item(tag, name, str(value));
}
inline Bytes int_item(std::uint8_t tag, std::string_view name, std::uint32_t v) {
  return item(tag, name, be32(v));
}

// A plain response with the operation attributes and a printer group.
inline Bytes small_response() {
  return cat({header(0, 7), {0x01}, item(0x47, "attributes-charset", "utf-8"),
              item(0x48, "attributes-natural-language", "en"), {0x04},
              item(0x41, "printer-make-and-model", "Kivo Lab 9"),
              int_item(0x23, "printer-state", 3), item(0x44, "printer-state-reasons", "none"),
              item(0x49, "document-format-supported", "application/pdf"),
              item(0x49, "", "image/pwg-raster"), item(0x22, "color-supported", Bytes{1}),
              item(0x33, "copies-supported", cat({be32(1), be32(99)})),
              item(0x32, "printer-resolution-default", cat({be32(300), be32(600), {3}})),
              item(0x35, "printer-info", cat({be16(2), str("de"), be16(5), str("Büro")})),
              item(0x31, "printer-current-time", Bytes{0x07, 0xEA, 12, 10, 20, 51, 3, 0, '+', 0, 0}),
              item(0x34, "media-col-default", Bytes{}), item(0x4A, "", "media-size"),
              item(0x34, "", Bytes{}), item(0x4A, "", "x-dimension"), int_item(0x21, "", 21000),
              item(0x4A, "", "y-dimension"), int_item(0x21, "", 29700), item(0x37, "", Bytes{}),
              item(0x4A, "", "media-type"), item(0x44, "", "stationery"), item(0x37, "", Bytes{}),
              item(0x13, "printer-alert", Bytes{}), {0x03}});
}

// `count` attributes, each "aNNNNN" = integer.
inline Bytes many_attributes(std::size_t count) {
  Bytes out = cat({header(), {0x04}});
  char name[32];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(name, sizeof name, "a%06u", static_cast<unsigned>(i % 1000000));
    Bytes it = int_item(0x21, name, static_cast<std::uint32_t>(i));
    out.insert(out.end(), it.begin(), it.end());
  }
  out.push_back(0x03);
  return out;
}

// A collection value nested `depth` deep: each level one member "m" holding the next.
inline Bytes nested_collections(std::size_t depth) {
  Bytes out = cat({header(), {0x04}, item(0x34, "deep", Bytes{})});
  for (std::size_t i = 1; i < depth; ++i) {
    Bytes m = cat({item(0x4A, "", "m"), item(0x34, "", Bytes{})});
    out.insert(out.end(), m.begin(), m.end());
  }
  Bytes leaf = cat({item(0x4A, "", "leaf"), int_item(0x21, "", 1)});
  out.insert(out.end(), leaf.begin(), leaf.end());
  for (std::size_t i = 0; i < depth; ++i) {
    Bytes e = item(0x37, "", Bytes{});
    out.insert(out.end(), e.begin(), e.end());
  }
  out.push_back(0x03);
  return out;
}

}  // namespace kivo8::test::ipp
