// The IPP decoder beside libcups's ippReadIO: both read the same bytes and are written out
// in one plain form, so a test or a fuzz target can tell where they disagree. Only tests
// and fuzz targets include this; the library never links libcups.
#pragma once

#include <cups/ipp.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>
#include <type_traits>

#include "ipp/message.h"

namespace kivo8::test::ipp {

struct CupsVerdict {
  bool ok = false;
  std::string dump;
};

namespace detail {

struct MemoryIo {
  std::span<const std::uint8_t> bytes;
  std::size_t pos = 0;
};

inline ssize_t read_memory(void *ctx, ipp_uchar_t *buf, size_t n) {
  auto *io = static_cast<MemoryIo *>(ctx);
  const std::size_t left = io->bytes.size() - io->pos;
  if (n > left) n = left;
  if (n != 0) std::memcpy(buf, io->bytes.data() + io->pos, n);
  io->pos += n;
  return static_cast<ssize_t>(n);
}

// A text as it appears in a dump: every control byte, byte above 0x7E and backslash
// written as \xNN, so that one attribute is one line whatever its values hold (a value
// with a newline and " g" in it would otherwise look like another attribute).
inline std::string dump_text(const char *s) {
  std::string out;
  char b[8];
  for (; s != nullptr && *s != '\0'; ++s) {
    const auto c = static_cast<unsigned char>(*s);
    if (c < 0x20 || c > 0x7E || c == '\\') {
      (void)std::snprintf(b, sizeof b, "\\x%02x", unsigned(c));
      out += b;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// Strings as libcups keeps them: up to the first zero byte.
inline std::string c_string(const std::string &s) { return dump_text(s.c_str()); }

inline std::string hex(const void *data, std::size_t n) {
  std::string out;
  char b[4];
  for (std::size_t i = 0; i < n; ++i) {
    (void)std::snprintf(b, sizeof b, "%02x", static_cast<const unsigned char *>(data)[i]);
    out += b;
  }
  return out;
}

inline void dump_ours(const kivo8::ipp::Attribute &a, std::string &out, int depth);

inline void dump_value(const kivo8::ipp::Value &v, std::string &out, int depth) {
  using kivo8::ipp::Kind;
  char b[96];
  switch (v.kind()) {
    case Kind::OutOfBand:
      out += "oob";
      break;
    case Kind::Integer:
    case Kind::Boolean:
      (void)std::snprintf(b, sizeof b, "%d", v.integer);
      out += b;
      break;
    case Kind::Range:
      (void)std::snprintf(b, sizeof b, "%d-%d", v.integer, v.upper);
      out += b;
      break;
    case Kind::Resolution:
      (void)std::snprintf(b, sizeof b, "%dx%d/%u", v.xres, v.yres, unsigned(v.units));
      out += b;
      break;
    case Kind::DateTime:
      out += hex(v.date.data(), v.date.size());
      break;
    case Kind::WithLanguage:
      out += c_string(v.language) + ":" + c_string(v.text);
      break;
    case Kind::String:
      if (v.tag == kivo8::ipp::kTagOctetString)
        out += hex(v.text.data(), v.text.size());
      else
        out += c_string(v.text);
      break;
    case Kind::Opaque:
      out += "opaque";
      break;
    case Kind::Collection:
      out += "{\n";
      for (const auto &m : v.members) dump_ours(m, out, depth + 1);
      out += "}";
      break;
  }
}

inline void dump_ours(const kivo8::ipp::Attribute &a, std::string &out, int depth) {
  out += std::string(static_cast<std::size_t>(depth) * 2, ' ');
  out += c_string(a.name) + " g" + std::to_string(a.group) + ":";
  for (const auto &v : a.values) {
    out += " t" + std::to_string(v.tag) + "=";
    dump_value(v, out, depth);
  }
  out += "\n";
}

inline void dump_cups(ipp_t *ipp, std::string &out, int depth) {
  for (ipp_attribute_t *a = ippFirstAttribute(ipp); a != nullptr; a = ippNextAttribute(ipp)) {
    const char *name = ippGetName(a);
    if (name == nullptr) continue;  // libcups's mark between two groups
    out += std::string(static_cast<std::size_t>(depth) * 2, ' ');
    const int group = depth == 0 ? ippGetGroupTag(a) : 0;
    out += dump_text(name) + " g" + std::to_string(group) + ":";
    const int tag = ippGetValueTag(a);
    char b[96];
    for (int i = 0; i < ippGetCount(a); ++i) {
      out += " t" + std::to_string(tag) + "=";
      switch (kivo8::ipp::kind_of(static_cast<std::uint8_t>(tag))) {
        case kivo8::ipp::Kind::OutOfBand:
          out += "oob";
          break;
        case kivo8::ipp::Kind::Integer:
          (void)std::snprintf(b, sizeof b, "%d", ippGetInteger(a, i));
          out += b;
          break;
        case kivo8::ipp::Kind::Boolean:
          (void)std::snprintf(b, sizeof b, "%d", ippGetBoolean(a, i) != 0 ? 1 : 0);
          out += b;
          break;
        case kivo8::ipp::Kind::Range: {
          int upper = 0;
          const int lower = ippGetRange(a, i, &upper);
          (void)std::snprintf(b, sizeof b, "%d-%d", lower, upper);
          out += b;
          break;
        }
        case kivo8::ipp::Kind::Resolution: {
          int y = 0;
          // libcups stores whatever unit octet was sent in its enum; read it as the
          // enum's underlying integer, as a value outside the enum may not be loaded.
          std::underlying_type_t<ipp_res_t> units = 0;
          static_assert(sizeof units == sizeof(ipp_res_t));
          const int x = ippGetResolution(a, i, &y, reinterpret_cast<ipp_res_t *>(&units));
          (void)std::snprintf(b, sizeof b, "%dx%d/%u", x, y, unsigned(units));
          out += b;
          break;
        }
        case kivo8::ipp::Kind::DateTime: {
          const ipp_uchar_t *d = ippGetDate(a, i);
          out += d == nullptr ? "null" : hex(d, 11);
          break;
        }
        case kivo8::ipp::Kind::WithLanguage: {
          const char *lang = nullptr;
          const char *s = ippGetString(a, i, &lang);
          out += dump_text(lang) + ":" + dump_text(s);
          break;
        }
        case kivo8::ipp::Kind::String:
          if (tag == IPP_TAG_STRING) {
            int len = 0;
            const void *p = ippGetOctetString(a, i, &len);
            out += hex(p, p == nullptr ? 0 : static_cast<std::size_t>(len));
          } else {
            const char *s = ippGetString(a, i, nullptr);
            out += dump_text(s);
          }
          break;
        case kivo8::ipp::Kind::Opaque:
          out += "opaque";
          break;
        case kivo8::ipp::Kind::Collection:
          out += "{\n";
          dump_cups(ippGetCollection(a, i), out, depth + 1);
          out += "}";
          break;
      }
    }
    out += "\n";
  }
}

inline std::size_t longest(const std::vector<kivo8::ipp::Attribute> &attributes) {
  std::size_t n = 0;
  for (const auto &a : attributes) {
    n = std::max(n, a.name.size());
    for (const auto &v : a.values)
      n = std::max({n, v.text.size() + v.language.size() + 4, longest(v.members)});
  }
  return n;
}

// Where libcups reads values its own way, so that only the names can be compared: a set
// that mixes value types (libcups converts a few pairs to one type and refuses the rest),
// or an out-of-band value that carries bytes (libcups reads those of the types it knows
// as text, and then the whole set; the bytes mean nothing and we keep the tag).
inline bool read_loosely(const std::vector<kivo8::ipp::Attribute> &attributes) {
  for (const auto &a : attributes) {
    for (const auto &v : a.values) {
      if (v.tag != a.values.front().tag) return true;
      if (v.kind() == kivo8::ipp::Kind::OutOfBand && !v.text.empty()) return true;
      if (read_loosely(v.members)) return true;
    }
  }
  return false;
}

// Each line of a dump cut at the name's end.
inline std::string names_only(const std::string &dump) {
  std::string out;
  std::size_t at = 0;
  while (at < dump.size()) {
    std::size_t eol = dump.find('\n', at);
    if (eol == std::string::npos) eol = dump.size();
    const std::string line = dump.substr(at, eol - at);
    const std::size_t g = line.find(" g");
    if (g != std::string::npos) out += line.substr(0, g) + "\n";
    at = eol + 1;
  }
  return out;
}

}  // namespace detail

inline std::string dump(const kivo8::ipp::Message &m) {
  std::string out;
  for (const auto &a : m.attributes) detail::dump_ours(a, out, 0);
  return out;
}

// libcups's reading of `bytes`: whether ippReadIO reached the end of the attributes, and
// what it read.
inline CupsVerdict cups_read(std::span<const std::uint8_t> bytes) {
  CupsVerdict v;
  detail::MemoryIo io{bytes, 0};
  ipp_t *ipp = ippNew();
  const ipp_state_t state = ippReadIO(&io, detail::read_memory, 1, nullptr, ipp);
  v.ok = state == IPP_STATE_DATA;
  if (v.ok) detail::dump_cups(ipp, v.dump, 0);
  ippDelete(ipp);
  return v;
}

// Why the two decoders disagree on `bytes`, or empty when they agree: both refuse, or both
// accept and read the same attributes and values.
inline std::string disagreement(std::span<const std::uint8_t> bytes) {
  kivo8::ipp::Message m;
  const kivo8::ipp::Decode ours = kivo8::ipp::decode(bytes, m);
  const CupsVerdict theirs = cups_read(bytes);
  // Departure: libcups accepts an extension value of fewer than the four octets that name
  // its type.
  if (ours == kivo8::ipp::Decode::BadExtension && theirs.ok) return {};
  // Departure: libcups takes an endCollection outside any collection for the end of the
  // attributes and ignores the rest; we refuse the message.
  if (ours == kivo8::ipp::Decode::StrayEnd && theirs.ok) return {};
  // Departure: libcups keeps attributes that come before any group; every attribute
  // belongs to a group, so we refuse the message.
  if (ours == kivo8::ipp::Decode::ValueOutsideGroup && theirs.ok) return {};
  // Departure: our caps on attributes, values, depth and size; libcups has others.
  if ((ours == kivo8::ipp::Decode::TooManyAttributes || ours == kivo8::ipp::Decode::TooManyValues ||
       ours == kivo8::ipp::Decode::TooDeep || ours == kivo8::ipp::Decode::TooBig) &&
      theirs.ok)
    return {};
  // Departure: libcups keeps a collection member without a value; a member is a name and
  // its values, so we refuse it.
  if (ours == kivo8::ipp::Decode::EmptyMember && theirs.ok) return {};
  // Departure: libcups refuses names and values longer than its 32 KiB buffer; the wire
  // allows 65,535 octets and we read them.
  if (ours == kivo8::ipp::Decode::Ok && !theirs.ok && detail::longest(m.attributes) >= 32767)
    return {};
  // Departure: libcups takes an end-of-attributes tag inside a collection for the
  // collection's end and reads on; we refuse the message.
  if (ours == kivo8::ipp::Decode::EndInCollection && theirs.ok) return {};
  // Departure: libcups ignores bytes after the text of a value with a language.
  if (ours == kivo8::ipp::Decode::TrailingBytes && theirs.ok) return {};
  // Departure: a set may mix value types (keyword | name, integer | rangeOfInteger, or
  // stranger ones), and an out-of-band value may carry bytes; we keep each value with its
  // own tag, libcups converts some and refuses others. There only names are compared.
  if (ours == kivo8::ipp::Decode::Ok && !theirs.ok && detail::read_loosely(m.attributes)) return {};
  if ((ours == kivo8::ipp::Decode::Ok) != theirs.ok)
    return std::string("we ") + (ours == kivo8::ipp::Decode::Ok ? "accept" : "refuse") +
           " (" + kivo8::ipp::decode_text(ours) + "), libcups " +
           (theirs.ok ? "accepts" : "refuses");
  if (!theirs.ok) return {};
  const std::string mine = dump(m);
  if (detail::read_loosely(m.attributes)) {
    if (detail::names_only(mine) != detail::names_only(theirs.dump))
      return "names differ:\n--- ours\n" + mine + "--- libcups\n" + theirs.dump;
    return {};
  }
  if (mine != theirs.dump) return "values differ:\n--- ours\n" + mine + "--- libcups\n" + theirs.dump;
  return {};
}

}  // namespace kivo8::test::ipp
