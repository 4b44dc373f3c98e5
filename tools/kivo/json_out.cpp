#include "json_out.h"

#include "text_out.h"

namespace kivo {

Json json_text(std::string_view bytes) { return to_utf8(bytes); }

std::optional<std::string> exact_bytes(std::string_view bytes) {
  if (to_utf8(bytes) == bytes) return std::nullopt;
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  return hex;
}

namespace {

// nlohmann escapes C0 itself; DEL and the C1 controls (U+0080-U+009F, two bytes C2 80 to
// C2 9F in UTF-8) it leaves raw, which a terminal may act on. Within a dumped document
// those bytes occur only inside strings, so they can be escaped in place.
std::string escape_controls(const std::string &dumped) {
  std::string out;
  out.reserve(dumped.size());
  char buf[8];
  for (std::size_t i = 0; i < dumped.size(); ++i) {
    const auto c = static_cast<unsigned char>(dumped[i]);
    if (c == 0x7F) {
      out += "\\u007f";
    } else if (c == 0xC2 && i + 1 < dumped.size() &&
               static_cast<unsigned char>(dumped[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(dumped[i + 1]) <= 0x9F) {
      (void)std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned char>(dumped[i + 1]));
      out += buf;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// The compact form with a blank after every ',' and ':' that separates items.
void dump_spaced(const Json &v, std::string &out) {
  if (v.is_object()) {
    out += '{';
    bool first = true;
    for (const auto &[key, item] : v.items()) {
      if (!first) out += ", ";
      first = false;
      out += Json(key).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
      out += ": ";
      dump_spaced(item, out);
    }
    out += '}';
  } else if (v.is_array()) {
    out += '[';
    bool first = true;
    for (const auto &item : v) {
      if (!first) out += ", ";
      first = false;
      dump_spaced(item, out);
    }
    out += ']';
  } else {
    // Every string went through json_text: valid UTF-8, so `replace` never replaces;
    // it only rules out an exception should a caller have skipped json_text.
    out += v.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  }
}

}  // namespace

std::string json_dump(const Json &value) {
  std::string out;
  dump_spaced(value, out);
  return escape_controls(out);
}

std::string json_string(std::string_view text) { return json_dump(json_text(text)); }

std::string json_lines_array(const std::vector<Json> &items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) text += (i == 0 ? "\n  " : ",\n  ") + json_dump(items[i]);
  text += items.empty() ? "]\n" : "\n]\n";
  return text;
}

void write_json_lines_array(std::FILE *out, const std::vector<Json> &items) {
  const std::string text = json_lines_array(items);
  // JSON is UTF-8 whatever the terminal: written as it stands, never converted.
  (void)std::fwrite(text.data(), 1, text.size(), out);
}

}  // namespace kivo
