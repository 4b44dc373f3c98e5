// IPP messages in their binary encoding: a decoder for what printers send, which is read
// only through the bounded ByteReader, and an encoder for the requests we send.
//
// The decoder refuses a damaged message whole: a length that runs past the bytes, a
// value whose length does not fit its type, a value before any group, an additional value
// with nothing to add to, a collection that is not closed or is nested deeper than
// kMaxDepth, more than kMaxAttributes attributes (collection members counted) or more than
// kMaxValues values. Every count is checked before the value it counts is stored, so a
// message costs memory in proportion to its own size, never to what it claims.
//
// Pure code: spans in, values out, no sockets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivo8::ipp {

inline constexpr std::size_t kMaxAttributes = 10000;
inline constexpr std::size_t kMaxValues = 65536;
inline constexpr int kMaxDepth = 16;
inline constexpr std::size_t kMaxMessage = std::size_t{1} << 20;  // what a reply may hold

// Delimiter tags (groups).
enum : std::uint8_t {
  kTagOperationGroup = 0x01,
  kTagJobGroup = 0x02,
  kTagEndOfAttributes = 0x03,
  kTagPrinterGroup = 0x04,
  kTagUnsupportedGroup = 0x05,
};

// Value tags.
enum : std::uint8_t {
  kTagUnsupported = 0x10,
  kTagUnknown = 0x12,
  kTagNoValue = 0x13,
  kTagNotSettable = 0x15,
  kTagDeleteAttribute = 0x16,
  kTagAdminDefine = 0x17,
  kTagInteger = 0x21,
  kTagBoolean = 0x22,
  kTagEnum = 0x23,
  kTagOctetString = 0x30,
  kTagDateTime = 0x31,
  kTagResolution = 0x32,
  kTagRangeOfInteger = 0x33,
  kTagBegCollection = 0x34,
  kTagTextWithLanguage = 0x35,
  kTagNameWithLanguage = 0x36,
  kTagEndCollection = 0x37,
  kTagText = 0x41,
  kTagName = 0x42,
  kTagKeyword = 0x44,
  kTagUri = 0x45,
  kTagUriScheme = 0x46,
  kTagCharset = 0x47,
  kTagNaturalLanguage = 0x48,
  kTagMimeMediaType = 0x49,
  kTagMemberAttrName = 0x4A,
  kTagExtension = 0x7F,
};

inline constexpr std::uint16_t kOpGetPrinterAttributes = 0x000B;

// How the bytes of a value are to be read.
enum class Kind : std::uint8_t {
  OutOfBand,   // 0x10-0x1F: no value, only the tag says something
  Integer,     // integer, enum
  Boolean,
  DateTime,    // the 11 octets as sent
  Resolution,
  Range,
  Collection,
  WithLanguage,  // textWithLanguage, nameWithLanguage
  String,        // octetString and the character-string types
  Opaque,        // a tag we do not know (extension tags included): the bytes as sent
};
Kind kind_of(std::uint8_t tag) noexcept;
// The type's name ("keyword", "rangeOfInteger", "no-value"); "unknown-0xNN" for others.
std::string tag_name(std::uint8_t tag);

struct Attribute;

struct Value {
  std::uint8_t tag = 0;
  std::uint32_t extension = 0;  // the type code of an extension value (tag 0x7F)
  std::int32_t integer = 0;     // Integer and Boolean; the lower bound of a Range
  std::int32_t upper = 0;       // Range
  std::int32_t xres = 0, yres = 0;
  std::uint8_t units = 0;       // Resolution: 3 dots per inch, 4 dots per centimetre
  std::array<std::uint8_t, 11> date{};
  std::string text;             // String, WithLanguage and Opaque; OutOfBand bytes as sent
  std::string language;         // WithLanguage
  std::vector<Attribute> members;  // Collection

  Kind kind() const noexcept { return kind_of(tag); }
};

struct Attribute {
  std::uint8_t group = 0;  // delimiter tag of the group it came in; 0 inside a collection
  std::string name;
  std::vector<Value> values;

  const Value *first() const noexcept { return values.empty() ? nullptr : &values.front(); }
};

struct Message {
  std::uint8_t major = 2, minor = 0;
  std::uint16_t code = 0;  // operation in a request, status in a response
  std::uint32_t request_id = 0;
  std::vector<Attribute> attributes;  // in message order, every group in turn
  std::size_t data_offset = 0;        // where the bytes after end-of-attributes start

  const Attribute *find(std::string_view name) const noexcept;
};

enum class Decode : std::uint8_t {
  Ok,
  Truncated,          // a length or a header runs past the bytes
  NoEnd,              // no end-of-attributes tag
  BadDelimiter,       // reserved delimiter tag 0x00
  BadGroupOrder,      // an operation group that is not the first group
  ValueOutsideGroup,  // a value before the first group
  NoPriorAttribute,   // an additional value with no attribute to add to
  BadValueLength,     // a value whose length does not fit its type
  EndInCollection,    // an end-of-attributes tag inside a collection
  EmptyMember,        // a collection member without a value
  StrayEnd,           // an endCollection outside any collection
  BadExtension,       // an extension value (tag 0x7F) shorter than its type code
  TrailingBytes,      // bytes after the text of a textWithLanguage or nameWithLanguage
  BadCollection,      // a member without a name, a delimiter inside, a stray end
  TooDeep,
  TooManyAttributes,
  TooManyValues,
  TooBig,             // more than kMaxMessage bytes
};
const char *decode_text(Decode d) noexcept;

// Decodes a whole message; `out` is left empty unless the result is Ok.
Decode decode(std::span<const std::uint8_t> bytes, Message &out);

// Encodes a message. Refuses (false, `out` untouched) names or values over 65,535 bytes,
// collections deeper than kMaxDepth and attributes without values.
bool encode(const Message &message, std::vector<std::uint8_t> &out);

// A Get-Printer-Attributes request: attributes-charset utf-8, attributes-natural-language
// en, printer-uri, requesting-user-name (when not empty) and requested-attributes.
Message get_printer_attributes_request(std::uint32_t request_id, std::string_view printer_uri,
                                       std::string_view user,
                                       std::span<const std::string_view> requested);

// Small builders for requests and tests.
Value text_value(std::uint8_t tag, std::string_view text);
Value integer_value(std::uint8_t tag, std::int32_t v);

}  // namespace kivo8::ipp
