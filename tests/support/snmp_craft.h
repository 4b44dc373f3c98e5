// Crafted SNMP messages: a small BER writer and request reader of the tests' own, written
// without the library, so that a fault in the library's codec cannot hide itself in the
// tests' expectations.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace kivo8::test {

namespace craft {

using Bytes = std::vector<std::uint8_t>;
using Oid = std::vector<std::uint32_t>;

Oid parse_oid(const std::string &dotted);  // "1.3.6.1" or ".1.3.6.1"
std::string oid_text(const Oid &oid);      // ".1.3.6.1"

// BER pieces, shortest length form.
Bytes tlv(std::uint8_t tag, const Bytes &contents);
// The short length form below 128 octets, else the long form of two octets (three above
// 64 KiB) even where one would do: the hostile-input tables were written against these
// length octets, and a table must keep feeding the decoder the bytes it was written with.
Bytes tlv_wide(std::uint8_t tag, const Bytes &contents);
// The parts one after another.
Bytes cat(std::initializer_list<Bytes> parts);
Bytes integer(std::int64_t value, std::uint8_t tag = 0x02);
Bytes octets(const std::string &text, std::uint8_t tag = 0x04);
Bytes null(std::uint8_t tag = 0x05);
Bytes oid(const Oid &name, std::uint8_t tag = 0x06);

struct Binding {
  Oid name;
  Bytes value;  // a whole encoded value element (tag, length, contents)
};

struct Message {
  std::int64_t version = 0;
  std::string community = "vellum";
  std::uint8_t pdu_tag = 0xA2;
  std::int64_t reqid = 1;
  std::int64_t errstat = 0;
  std::int64_t errindex = 0;
  std::vector<Binding> bindings;
};

Bytes encode(const Message &message);

// What the responder reads from a request: enough to answer it sensibly.
struct Request {
  bool ok = false;
  std::int64_t version = -1;
  std::string community;
  std::uint8_t pdu_tag = 0;
  std::int64_t reqid = 0;
  // A GetBulkRequest's non-repeaters and max-repetitions.
  std::int64_t errstat = 0;
  std::int64_t errindex = 0;
  std::vector<Oid> names;
};
Request decode_request(const Bytes &datagram);

}  // namespace craft

}  // namespace kivo8::test
