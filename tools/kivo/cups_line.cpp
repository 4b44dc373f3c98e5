#include "cups_line.h"

#include <cstdint>

#include "text_out.h"

namespace kivo {

namespace {

// Length of the UTF-8 sequence that starts with `lead` (to_utf8's output is valid).
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

// C1 controls are U+0080..U+009F, which UTF-8 writes as C2 80..C2 9F.
bool is_control(std::string_view utf8, std::size_t at) {
  const auto c = static_cast<unsigned char>(utf8[at]);
  if (c < 0x20 || c == 0x7F) return true;
  return c == 0xC2 && at + 1 < utf8.size() && static_cast<unsigned char>(utf8[at + 1]) < 0xA0;
}

}  // namespace

std::string cups_backend_text(std::string_view bytes, std::size_t max_bytes) {
  const std::string utf8 = to_utf8(bytes);
  std::string clean;
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t n = sequence_length(static_cast<unsigned char>(utf8[at]));
    const bool control = is_control(utf8, at);
    if (clean.size() + (control ? 1 : n) > max_bytes) break;
    if (control)
      clean += ' ';
    else
      clean.append(utf8, at, n);
    at += n;
  }
  std::string out = "\"";
  for (const char c : clean) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += '"';
  return out;
}

bool cups_uri_ok(std::string_view uri) {
  if (uri.empty() || uri.size() > 511) return false;
  for (const char ch : uri) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c >= 0x7F || c == '"' || c == '\\') return false;
  }
  return true;
}

std::optional<std::string> cups_backend_line(const CupsDeviceLine &device) {
  if (!cups_uri_ok(device.uri)) return std::nullopt;
  std::string line = "network ";
  line += device.uri;
  line += ' ';
  line += cups_backend_text(device.make_and_model.empty() ? "Unknown" : device.make_and_model,
                            kCupsTextBytes);
  line += ' ';
  line += cups_backend_text(device.info, kCupsTextBytes);
  line += ' ';
  line += cups_backend_text(device.device_id, kCupsDeviceIdBytes);
  line += ' ';
  line += cups_backend_text(device.location, kCupsTextBytes);
  line += '\n';
  return line;
}

namespace {

bool queue_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '-';
}

}  // namespace

std::string cups_queue_name(std::string_view name) {
  constexpr std::size_t kMax = 127;
  std::string out;
  bool gap = false;
  for (const char c : name) {
    if (!queue_char(c)) {
      gap = !out.empty();
      continue;
    }
    if (gap && out.size() + 1 < kMax) out += '_';
    gap = false;
    if (out.size() >= kMax) break;
    out += c;
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? "printer" : out;
}

bool cups_queue_name_ok(std::string_view name) {
  if (name.empty() || name.size() > 127) return false;
  for (const char c : name)
    if (!queue_char(c)) return false;
  return true;
}

std::string shell_word(std::string_view text) {
  bool plain = !text.empty();
  for (const char c : text)
    if (!(queue_char(c) || c == '.' || c == '/' || c == ':' || c == '=' || c == '@' || c == '+' ||
          c == ',' || c == '%'))
      plain = false;
  if (plain) return std::string(text);
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  out += '\'';
  return out;
}

}  // namespace kivo
