#include "ipp/message.h"

#include <cstdio>
#include <optional>

#include "core/bytes.h"

namespace kivo8::ipp {

Kind kind_of(std::uint8_t tag) noexcept {
  if (tag >= 0x10 && tag <= 0x1F) return Kind::OutOfBand;
  switch (tag) {
    case kTagInteger:
    case kTagEnum:
      return Kind::Integer;
    case kTagBoolean:
      return Kind::Boolean;
    case kTagDateTime:
      return Kind::DateTime;
    case kTagResolution:
      return Kind::Resolution;
    case kTagRangeOfInteger:
      return Kind::Range;
    case kTagBegCollection:
      return Kind::Collection;
    case kTagTextWithLanguage:
    case kTagNameWithLanguage:
      return Kind::WithLanguage;
    case kTagOctetString:
    case kTagText:
    case kTagName:
    case kTagKeyword:
    case kTagUri:
    case kTagUriScheme:
    case kTagCharset:
    case kTagNaturalLanguage:
    case kTagMimeMediaType:
    case kTagMemberAttrName:
      return Kind::String;
    default:
      return Kind::Opaque;
  }
}

std::string tag_name(std::uint8_t tag) {
  switch (tag) {
    case kTagUnsupported: return "unsupported";
    case kTagUnknown: return "unknown";
    case kTagNoValue: return "no-value";
    case kTagNotSettable: return "not-settable";
    case kTagDeleteAttribute: return "delete-attribute";
    case kTagAdminDefine: return "admin-define";
    case kTagInteger: return "integer";
    case kTagBoolean: return "boolean";
    case kTagEnum: return "enum";
    case kTagOctetString: return "octetString";
    case kTagDateTime: return "dateTime";
    case kTagResolution: return "resolution";
    case kTagRangeOfInteger: return "rangeOfInteger";
    case kTagBegCollection: return "collection";
    case kTagTextWithLanguage: return "textWithLanguage";
    case kTagNameWithLanguage: return "nameWithLanguage";
    case kTagText: return "textWithoutLanguage";
    case kTagName: return "nameWithoutLanguage";
    case kTagKeyword: return "keyword";
    case kTagUri: return "uri";
    case kTagUriScheme: return "uriScheme";
    case kTagCharset: return "charset";
    case kTagNaturalLanguage: return "naturalLanguage";
    case kTagMimeMediaType: return "mimeMediaType";
    case kTagMemberAttrName: return "memberAttrName";
    default: break;
  }
  char buf[16];
  (void)std::snprintf(buf, sizeof buf, "unknown-0x%02x", unsigned(tag));
  return buf;
}

const char *decode_text(Decode d) noexcept {
  switch (d) {
    case Decode::Ok: return "ok";
    case Decode::Truncated: return "a length runs past the end of the message";
    case Decode::NoEnd: return "no end-of-attributes tag";
    case Decode::BadDelimiter: return "reserved delimiter tag";
    case Decode::BadGroupOrder: return "an operation group after another group";
    case Decode::ValueOutsideGroup: return "an attribute before the first group";
    case Decode::NoPriorAttribute: return "an additional value with no attribute before it";
    case Decode::BadValueLength: return "a value whose length does not fit its type";
    case Decode::EndInCollection: return "an end-of-attributes tag inside a collection";
    case Decode::EmptyMember: return "a collection member without a value";
    case Decode::StrayEnd: return "an endCollection outside any collection";
    case Decode::BadExtension: return "an extension value without its type code";
    case Decode::TrailingBytes: return "bytes after the text of a value with a language";
    case Decode::BadCollection: return "a malformed collection";
    case Decode::TooDeep: return "collections nested too deep";
    case Decode::TooManyAttributes: return "too many attributes";
    case Decode::TooManyValues: return "too many values";
    case Decode::TooBig: return "message too big";
  }
  return "?";
}

const Attribute *Message::find(std::string_view name) const noexcept {
  for (const Attribute &a : attributes)
    if (a.name == name) return &a;
  return nullptr;
}

namespace {

std::int32_t be32s(std::span<const std::uint8_t> s) {
  return static_cast<std::int32_t>(std::uint32_t(s[0]) << 24 | std::uint32_t(s[1]) << 16 |
                                   std::uint32_t(s[2]) << 8 | std::uint32_t(s[3]));
}

std::string as_string(std::span<const std::uint8_t> s) {
  return std::string(reinterpret_cast<const char *>(s.data()), s.size());
}

// One tag-name-value item as it stands on the wire, before it is given a meaning.
struct Item {
  std::uint8_t tag = 0;
  std::span<const std::uint8_t> name;
  std::span<const std::uint8_t> value;
};

class Decoder {
 public:
  explicit Decoder(std::span<const std::uint8_t> bytes) : in_(bytes) {}

  Decode run(Message &m) {
    auto major = in_.u8();
    auto minor = in_.u8();
    auto code = in_.be16();
    auto id = in_.be32();
    if (!id) return Decode::Truncated;
    m.major = *major;
    m.minor = *minor;
    m.code = *code;
    m.request_id = *id;
    std::uint8_t group = 0;
    std::size_t group_start = 0;  // index of the first attribute of the current group
    // Bounded: every pass consumes at least one byte.
    for (;;) {
      auto tag = in_.u8();
      if (!tag) return Decode::NoEnd;
      if (*tag == kTagEndOfAttributes) break;
      if (*tag == 0x00) return Decode::BadDelimiter;
      if (*tag < 0x10) {
        // The operation attributes come first and once: a second operation group would
        // let a later part of the message restate what the first said.
        if (*tag == kTagOperationGroup && group != 0) return Decode::BadGroupOrder;
        // Every delimiter opens a new group, even one of the same kind as the last (the
        // job groups of a job list): values never continue across it.
        group = *tag;
        group_start = m.attributes.size();
        continue;
      }
      if (*tag == kTagEndCollection) return Decode::StrayEnd;
      Item item;
      if (auto d = read_item(*tag, item); d != Decode::Ok) return d;
      if (group == 0) return Decode::ValueOutsideGroup;
      if (item.tag == kTagMemberAttrName) return Decode::BadCollection;
      if (item.name.empty()) {
        if (m.attributes.size() == group_start) return Decode::NoPriorAttribute;
      } else {
        if (auto d = count_attribute(); d != Decode::Ok) return d;
        m.attributes.push_back(Attribute{group, as_string(item.name), {}});
      }
      if (auto d = add_value(item, m.attributes.back(), 1); d != Decode::Ok) return d;
    }
    m.data_offset = in_.pos();
    return Decode::Ok;
  }

 private:
  Decode read_item(std::uint8_t tag, Item &item) {
    item.tag = tag;
    auto name_len = in_.be16();
    if (!name_len) return Decode::Truncated;
    auto name = in_.take(*name_len);
    auto value_len = in_.be16();
    if (!value_len) return Decode::Truncated;
    auto value = in_.take(*value_len);
    if (!value) return Decode::Truncated;
    item.name = *name;
    item.value = *value;
    return Decode::Ok;
  }

  Decode count_attribute() {
    if (++attributes_ > kMaxAttributes) return Decode::TooManyAttributes;
    return Decode::Ok;
  }

  Decode add_value(const Item &item, Attribute &to, int depth) {
    if (++values_ > kMaxValues) return Decode::TooManyValues;
    Value v;
    v.tag = item.tag;
    auto s = item.value;
    switch (v.kind()) {
      case Kind::OutOfBand:
        // The value field of an out-of-band value should be empty; bytes a sender put
        // there are kept as sent but mean nothing (the tag alone is the value).
        v.text = as_string(s);
        break;
      case Kind::Integer:
        if (s.size() != 4) return Decode::BadValueLength;
        v.integer = be32s(s);
        break;
      case Kind::Boolean:
        if (s.size() != 1) return Decode::BadValueLength;
        // Only 0 and 1 are sent by the book; any other octet is read as true.
        v.integer = s[0] != 0 ? 1 : 0;
        break;
      case Kind::DateTime:
        if (s.size() != 11) return Decode::BadValueLength;
        std::copy(s.begin(), s.end(), v.date.begin());
        break;
      case Kind::Resolution:
        if (s.size() != 9) return Decode::BadValueLength;
        v.xres = be32s(s.subspan(0, 4));
        v.yres = be32s(s.subspan(4, 4));
        v.units = s[8];
        break;
      case Kind::Range:
        if (s.size() != 8) return Decode::BadValueLength;
        v.integer = be32s(s.subspan(0, 4));
        v.upper = be32s(s.subspan(4, 4));
        break;
      case Kind::WithLanguage: {
        ByteReader r(s);
        auto lang_len = r.be16();
        auto lang = lang_len ? r.take(*lang_len) : std::nullopt;
        auto text_len = r.be16();
        auto text = text_len ? r.take(*text_len) : std::nullopt;
        if (!text) return Decode::BadValueLength;
        // Bytes after the text would be a second hidden text a reader might show.
        if (!r.empty()) return Decode::TrailingBytes;
        v.language = as_string(*lang);
        v.text = as_string(*text);
        break;
      }
      case Kind::String:
        v.text = as_string(s);
        break;
      case Kind::Opaque:
        if (item.tag == kTagExtension) {
          // The first four octets name the type; without them the value has no meaning.
          // A code with the top bit set is reserved, but kept as sent like any code.
          if (s.size() < 4) return Decode::BadExtension;
          v.extension = static_cast<std::uint32_t>(be32s(s));
          s = s.subspan(4);
        }
        v.text = as_string(s);
        break;
      case Kind::Collection:
        if (!s.empty()) return Decode::BadValueLength;
        if (depth > kMaxDepth) return Decode::TooDeep;
        if (auto d = read_collection(v, depth); d != Decode::Ok) return d;
        break;
    }
    to.values.push_back(std::move(v));
    return Decode::Ok;
  }

  // Members until the matching endCollection: each a memberAttrName item naming it,
  // then its values as items without a name.
  Decode read_collection(Value &c, int depth) {
    for (;;) {
      auto tag = in_.u8();
      if (!tag) return Decode::Truncated;
      // A delimiter cannot stand inside a collection; the end-of-attributes tag there
      // means the message was cut or forged, so it is not read as a collection's end.
      if (*tag == kTagEndOfAttributes) return Decode::EndInCollection;
      if (*tag < 0x10) return Decode::BadCollection;
      Item item;
      if (auto d = read_item(*tag, item); d != Decode::Ok) return d;
      if (!item.name.empty()) return Decode::BadCollection;
      if (item.tag == kTagEndCollection) {
        if (!item.value.empty()) return Decode::BadCollection;
        if (!c.members.empty() && c.members.back().values.empty()) return Decode::EmptyMember;
        return Decode::Ok;
      }
      if (item.tag == kTagMemberAttrName) {
        if (item.value.empty()) return Decode::BadCollection;
        if (!c.members.empty() && c.members.back().values.empty()) return Decode::EmptyMember;
        if (auto d = count_attribute(); d != Decode::Ok) return d;
        c.members.push_back(Attribute{0, as_string(item.value), {}});
        continue;
      }
      if (c.members.empty()) return Decode::BadCollection;
      if (auto d = add_value(item, c.members.back(), depth + 1); d != Decode::Ok) return d;
    }
  }

  ByteReader in_;
  std::size_t attributes_ = 0;
  std::size_t values_ = 0;
};

class Encoder {
 public:
  explicit Encoder(std::vector<std::uint8_t> &out) : out_(out) {}

  bool message(const Message &m) {
    u8(m.major);
    u8(m.minor);
    be16(m.code);
    be16(static_cast<std::uint16_t>(m.request_id >> 16));
    be16(static_cast<std::uint16_t>(m.request_id));
    std::uint8_t group = 0;
    for (const Attribute &a : m.attributes) {
      if (a.group == 0 || a.group >= 0x10 || a.group == kTagEndOfAttributes) return false;
      if (a.group != group) u8(group = a.group);
      if (!attribute(a.name, a.values, 1)) return false;
    }
    u8(kTagEndOfAttributes);
    return true;
  }

 private:
  bool attribute(std::string_view name, const std::vector<Value> &values, int depth) {
    if (values.empty()) return false;
    bool first = true;
    for (const Value &v : values) {
      if (!item(v.tag, first ? name : std::string_view{}, v, depth)) return false;
      first = false;
    }
    return true;
  }

  bool item(std::uint8_t tag, std::string_view name, const Value &v, int depth) {
    if (tag < 0x10) return false;
    u8(tag);
    if (!bytes(name)) return false;
    std::vector<std::uint8_t> value;
    switch (v.kind()) {
      case Kind::OutOfBand:
        value.assign(v.text.begin(), v.text.end());
        break;
      case Kind::Integer:
        put32(value, static_cast<std::uint32_t>(v.integer));
        break;
      case Kind::Boolean:
        value.push_back(v.integer != 0 ? 1 : 0);
        break;
      case Kind::DateTime:
        value.assign(v.date.begin(), v.date.end());
        break;
      case Kind::Resolution:
        put32(value, static_cast<std::uint32_t>(v.xres));
        put32(value, static_cast<std::uint32_t>(v.yres));
        value.push_back(v.units);
        break;
      case Kind::Range:
        put32(value, static_cast<std::uint32_t>(v.integer));
        put32(value, static_cast<std::uint32_t>(v.upper));
        break;
      case Kind::WithLanguage:
        if (v.language.size() > 0xFFFF || v.text.size() > 0xFFFF) return false;
        put16(value, v.language.size());
        value.insert(value.end(), v.language.begin(), v.language.end());
        put16(value, v.text.size());
        value.insert(value.end(), v.text.begin(), v.text.end());
        break;
      case Kind::String:
        value.assign(v.text.begin(), v.text.end());
        break;
      case Kind::Opaque:
        if (tag == kTagExtension) put32(value, v.extension);
        value.insert(value.end(), v.text.begin(), v.text.end());
        break;
      case Kind::Collection: {
        if (depth > kMaxDepth) return false;
        be16(0);
        for (const Attribute &m : v.members) {
          if (m.name.empty()) return false;
          u8(kTagMemberAttrName);
          be16(0);
          if (!bytes(m.name)) return false;
          for (const Value &mv : m.values)
            if (!item(mv.tag, {}, mv, depth + 1)) return false;
          if (m.values.empty()) return false;
        }
        u8(kTagEndCollection);
        be16(0);
        be16(0);
        return true;
      }
    }
    return bytes(std::string_view(reinterpret_cast<const char *>(value.data()), value.size()));
  }

  static void put16(std::vector<std::uint8_t> &v, std::size_t n) {
    v.push_back(static_cast<std::uint8_t>(n >> 8));
    v.push_back(static_cast<std::uint8_t>(n));
  }
  static void put32(std::vector<std::uint8_t> &v, std::uint32_t n) {
    put16(v, n >> 16);
    put16(v, n & 0xFFFF);
  }
  bool bytes(std::string_view s) {
    if (s.size() > 0xFFFF) return false;
    be16(static_cast<std::uint16_t>(s.size()));
    out_.insert(out_.end(), s.begin(), s.end());
    return true;
  }
  void u8(std::uint8_t v) { out_.push_back(v); }
  void be16(std::uint16_t v) { put16(out_, v); }

  std::vector<std::uint8_t> &out_;
};

}  // namespace

Decode decode(std::span<const std::uint8_t> bytes, Message &out) {
  out = Message{};
  if (bytes.size() > kMaxMessage) return Decode::TooBig;
  Message m;
  Decode d = Decoder(bytes).run(m);
  if (d == Decode::Ok) out = std::move(m);
  return d;
}

bool encode(const Message &message, std::vector<std::uint8_t> &out) {
  std::vector<std::uint8_t> bytes;
  if (!Encoder(bytes).message(message)) return false;
  out = std::move(bytes);
  return true;
}

Value text_value(std::uint8_t tag, std::string_view text) {
  Value v;
  v.tag = tag;
  v.text = std::string(text);
  return v;
}

Value integer_value(std::uint8_t tag, std::int32_t n) {
  Value v;
  v.tag = tag;
  v.integer = n;
  return v;
}

Message get_printer_attributes_request(std::uint32_t request_id, std::string_view printer_uri,
                                       std::string_view user,
                                       std::span<const std::string_view> requested) {
  Message m;
  m.major = 2;
  m.minor = 0;
  m.code = kOpGetPrinterAttributes;
  m.request_id = request_id;
  auto add = [&m](std::string name, Value v) {
    m.attributes.push_back(Attribute{kTagOperationGroup, std::move(name), {std::move(v)}});
  };
  add("attributes-charset", text_value(kTagCharset, "utf-8"));
  add("attributes-natural-language", text_value(kTagNaturalLanguage, "en"));
  add("printer-uri", text_value(kTagUri, printer_uri));
  if (!user.empty()) add("requesting-user-name", text_value(kTagName, user));
  if (!requested.empty()) {
    Attribute a{kTagOperationGroup, "requested-attributes", {}};
    for (std::string_view r : requested) a.values.push_back(text_value(kTagKeyword, r));
    m.attributes.push_back(std::move(a));
  }
  return m;
}

}  // namespace kivo8::ipp
