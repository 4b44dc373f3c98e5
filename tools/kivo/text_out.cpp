// Text conversion for kivo's output: UTF-8 normalising, JSON escaping, terminal-safe
// display text, the terminal's encoding and column widths.
#include "text_out.h"

#include <iconv.h>
#include <langinfo.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace kivo {

namespace {

// Length of the valid UTF-8 sequence at the start of `s` and its code point, or 0.
std::size_t utf8_sequence(std::string_view s, char32_t &cp) {
  if (s.empty()) return 0;
  const auto b0 = static_cast<unsigned char>(s[0]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t n;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    n = 2;
    cp = b0 & 0x1F;
    min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    n = 3;
    cp = b0 & 0x0F;
    min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    n = 4;
    cp = b0 & 0x07;
    min = 0x10000;
  } else {
    return 0;
  }
  if (n > s.size()) return 0;
  for (std::size_t i = 1; i < n; ++i) {
    const auto b = static_cast<unsigned char>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

void append_utf8(std::string &out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Calls `each(code point, its UTF-8 bytes)` for every character of valid UTF-8 text.
template <typename F>
void for_each_char(std::string_view utf8, F each) {
  while (!utf8.empty()) {
    char32_t cp = 0;
    std::size_t n = utf8_sequence(utf8, cp);
    if (n == 0) {  // not expected in normalised text; one byte, one character
      cp = static_cast<unsigned char>(utf8[0]);
      n = 1;
    }
    each(cp, utf8.substr(0, n));
    utf8.remove_prefix(n);
  }
}


struct Terminal {
  std::string codeset = "UTF-8";
  bool utf8 = true;
  iconv_t cd = reinterpret_cast<iconv_t>(-1);
};

Terminal &terminal() {
  static Terminal t;
  return t;
}

bool same_codeset(const char *a, const char *b) {
  auto norm = [](const char *s) {
    std::string out;
    for (; *s != '\0'; ++s)
      if (*s != '-' && *s != '_') out += static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
    return out;
  };
  return norm(a) == norm(b);
}

}  // namespace

std::string to_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    char32_t cp = 0;
    std::size_t n = utf8_sequence(bytes, cp);
    if (n == 0) {
      append_utf8(out, static_cast<unsigned char>(bytes[0]));
      bytes.remove_prefix(1);
    } else {
      out.append(bytes.substr(0, n));
      bytes.remove_prefix(n);
    }
  }
  return out;
}

std::string safe_text(std::string_view text) {
  std::string out;
  for_each_char(to_utf8(text), [&](char32_t cp, std::string_view bytes) {
    char buf[8];
    if (cp == '\r') {
      out += "\\r";
    } else if (cp == '\n') {
      out += "\\n";
    } else if (cp == '\t') {
      out += "\\t";
    } else if (cp < 0x20 || cp == 0x7F) {
      std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(cp));
      out += buf;
    } else if (cp >= 0x80 && cp <= 0x9F) {
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out += bytes;
    }
  });
  return out;
}

void terminal_setup() {
  Terminal &t = terminal();
  const bool known = std::setlocale(LC_ALL, "") != nullptr;
  // Numbers are printed and read in the C form whatever the locale says.
  std::setlocale(LC_NUMERIC, "C");
  const char *found = nl_langinfo(CODESET);
  std::string codeset = found != nullptr ? found : "";
  // A locale that is named but not installed here still names the terminal's encoding
  // (de_DE.ISO-8859-1@euro: ISO-8859-1).
  if (!known) {
    for (const char *name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
      const char *v = std::getenv(name);
      if (v == nullptr || *v == '\0') continue;
      const char *dot = std::strchr(v, '.');
      if (dot != nullptr) codeset = std::string(dot + 1).substr(0, std::strcspn(dot + 1, "@"));
      break;
    }
  }
  // The C locale says nothing about the terminal (it is what a program gets when no
  // locale is set at all); terminals of today are UTF-8.
  if (codeset.empty() || same_codeset(codeset.c_str(), "ANSI_X3.4-1968") ||
      same_codeset(codeset.c_str(), "ASCII") || same_codeset(codeset.c_str(), "US-ASCII"))
    codeset = "UTF-8";
  // The character classes of the process stay those of a UTF-8 locale, whatever the
  // terminal's encoding: wcwidth then knows every character's width, and the library's
  // parsers see no byte above 0x7F as a letter or a blank, as in the C locale.
  if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) std::setlocale(LC_CTYPE, "C.utf8");
  t.utf8 = same_codeset(codeset.c_str(), "UTF-8");
  t.codeset = t.utf8 ? "UTF-8" : codeset;
  if (!t.utf8) {
    t.cd = iconv_open(t.codeset.c_str(), "UTF-8");
    if (t.cd == reinterpret_cast<iconv_t>(-1)) {
      // An encoding iconv does not know: UTF-8 is still the best guess.
      t.utf8 = true;
      t.codeset = "UTF-8";
    }
  }
}

const std::string &terminal_codeset() { return terminal().codeset; }
bool terminal_is_utf8() { return terminal().utf8; }

std::string to_terminal(std::string_view utf8) {
  Terminal &t = terminal();
  if (t.utf8) return to_utf8(utf8);
  std::string out;
  // One character at a time, so that a character the encoding lacks costs exactly that
  // character; 16 bytes hold any one character in any encoding iconv knows.
  for_each_char(to_utf8(utf8), [&](char32_t, std::string_view bytes) {
    char in_buf[4];
    std::memcpy(in_buf, bytes.data(), bytes.size());
    char out_buf[16];
    char *in = in_buf;
    std::size_t in_left = bytes.size();
    char *o = out_buf;
    std::size_t out_left = sizeof out_buf;
    if (iconv(t.cd, &in, &in_left, &o, &out_left) == static_cast<std::size_t>(-1)) {
      iconv(t.cd, nullptr, nullptr, nullptr, nullptr);
      out += '?';
      return;
    }
    out.append(out_buf, sizeof out_buf - out_left);
  });
  // Return a stateful encoding to its initial shift state at the end of the text.
  char tail[16];
  char *o = tail;
  std::size_t out_left = sizeof tail;
  if (iconv(t.cd, nullptr, nullptr, &o, &out_left) != static_cast<std::size_t>(-1))
    out.append(tail, sizeof tail - out_left);
  return out;
}

void put(std::FILE *out, std::string_view utf8) {
  std::string bytes = to_terminal(utf8);
  std::fwrite(bytes.data(), 1, bytes.size(), out);
}

namespace {

// Columns of one character as the terminal will show it: a character its encoding lacks
// comes out as '?', one column.
std::size_t char_columns(char32_t cp, std::string_view bytes) {
  int w = wcwidth(static_cast<wchar_t>(cp));
  if (w < 0) w = 1;
  if (w != 1 && !terminal().utf8 && to_terminal(bytes) == "?") w = 1;
  return static_cast<std::size_t>(w);
}

}  // namespace

std::size_t columns_of(std::string_view utf8) {
  std::size_t n = 0;
  for_each_char(utf8, [&](char32_t cp, std::string_view bytes) { n += char_columns(cp, bytes); });
  return n;
}

std::string cut_to(std::string_view utf8, std::size_t columns) {
  if (columns_of(utf8) <= columns) return std::string(utf8);
  const std::string ellipsis = terminal_is_utf8() ? "\u2026" : "...";
  const std::size_t room = columns > columns_of(ellipsis) ? columns - columns_of(ellipsis) : 0;
  std::string out;
  std::size_t used = 0;
  bool full = false;
  for_each_char(utf8, [&](char32_t cp, std::string_view bytes) {
    if (full) return;
    const std::size_t w = char_columns(cp, bytes);
    if (used + w > room) {
      full = true;
      return;
    }
    used += w;
    out += bytes;
  });
  if (columns_of(ellipsis) > columns) return out;
  return out + ellipsis;
}

std::size_t terminal_width() {
  winsize ws{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
    return ws.ws_col;
  if (const char *c = std::getenv("COLUMNS")) {
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(c, &end, 10);
    if (*c >= '0' && *c <= '9' && end != nullptr && *end == '\0' && errno == 0 && v >= 20 &&
        v <= 10000)
      return static_cast<std::size_t>(v);
  }
  // Neither a terminal nor a width given: nothing to fit.
  return 0;
}

void print_table(std::FILE *out, const std::vector<std::vector<std::string>> &rows,
                 const TableLayout &layout) {
  constexpr std::size_t kGap = 2;
  constexpr std::size_t kNarrowest = 12;
  std::vector<std::size_t> widths;
  for (const auto &r : rows)
    for (std::size_t i = 0; i < r.size(); ++i) {
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], columns_of(r[i]));
    }
  std::size_t limit = static_cast<std::size_t>(-1);
  if (!layout.wide && layout.shrink < widths.size()) {
    const std::size_t width = layout.width != 0 ? layout.width : terminal_width();
    // Everything on the row but the shrinking column: the other columns and the gaps.
    std::size_t others = kGap * (widths.size() - 1);
    for (std::size_t i = 0; i < widths.size(); ++i)
      if (i != layout.shrink) others += widths[i];
    std::size_t floor = kNarrowest;
    if (!rows.empty() && layout.shrink < rows[0].size())
      floor = std::max(floor, columns_of(rows[0][layout.shrink]));
    if (width != 0 && others + widths[layout.shrink] > width) {
      limit = width > others ? width - others : 0;
      limit = std::max(limit, floor);
      widths[layout.shrink] = std::min(widths[layout.shrink], limit);
    }
  }
  for (const auto &r : rows) {
    std::string line;
    for (std::size_t i = 0; i < r.size(); ++i) {
      std::string cell = i == layout.shrink ? cut_to(r[i], limit) : r[i];
      line += cell;
      if (i + 1 < r.size()) line += std::string(widths[i] - columns_of(cell) + kGap, ' ');
    }
    line += '\n';
    put(out, line);
  }
}

}  // namespace kivo
