#include "po.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <utility>

namespace mkcat {
namespace {

struct Entry {
  bool fuzzy = false;
  bool has_ctxt = false, has_id = false, has_plural = false, has_str = false;
  std::string ctxt, id, str;
  int str_index = -1;  // -1 for plain msgstr, else the last msgstr[N] read
  std::map<int, std::string> plural_strs;
  int id_line = 0;
};

class Parser {
 public:
  Parser(const std::string &text, PoFile &out) : text_(text), out_(out) {}

  bool run(std::string &error) {
    std::istringstream in(text_);
    std::string line;
    while (std::getline(in, line)) {
      ++lineno_;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (!parse_line(line)) {
        error = std::to_string(lineno_) + ": " + error_;
        return false;
      }
    }
    if (!finish_entry()) {
      error = std::to_string(lineno_) + ": " + error_;
      return false;
    }
    return true;
  }

 private:
  bool fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  bool parse_line(const std::string &line) {
    std::size_t p = line.find_first_not_of(" \t");
    if (p == std::string::npos) return true;
    if (line[p] == '#') {
      if (line.compare(p, 2, "#~") == 0) return true;  // obsolete entries are not compiled
      if (cur_.has_str && !finish_entry()) return false;
      if (line.compare(p, 2, "#,") == 0 && line.find("fuzzy", p) != std::string::npos)
        pending_fuzzy_ = true;
      return true;
    }
    if (line[p] == '"') {
      std::string s;
      if (!read_string(line, p, s)) return false;
      if (target_ == nullptr) return fail("string without a keyword before it");
      *target_ += s;
      return true;
    }
    std::size_t kw_end = line.find_first_of(" \t\"", p);
    std::string kw = line.substr(p, kw_end == std::string::npos ? std::string::npos : kw_end - p);
    std::size_t q = kw_end == std::string::npos ? line.size() : line.find_first_not_of(" \t", kw_end);
    if (q == std::string::npos || q >= line.size() || line[q] != '"')
      return fail("keyword " + kw + " without a string");
    std::string s;
    if (!read_string(line, q, s)) return false;

    if (kw == "msgctxt" || kw == "msgid") {
      if (cur_.has_str && !finish_entry()) return false;
      if (kw == "msgctxt") {
        if (cur_.has_ctxt || cur_.has_id) return fail("msgctxt out of place");
        start_fuzzy();
        cur_.has_ctxt = true;
        cur_.ctxt = s;
        target_ = &cur_.ctxt;
      } else {
        if (cur_.has_id) return fail("msgid without msgstr before it");
        if (!cur_.has_ctxt) start_fuzzy();
        cur_.has_id = true;
        cur_.id = s;
        cur_.id_line = lineno_;
        target_ = &cur_.id;
      }
      return true;
    }
    if (kw == "msgid_plural") {
      if (!cur_.has_id || cur_.has_plural || cur_.has_str) return fail("msgid_plural out of place");
      cur_.has_plural = true;
      plural_id_ = s;
      target_ = &plural_id_;
      return true;
    }
    if (kw == "msgstr") {
      if (!cur_.has_id || cur_.has_str) return fail("msgstr out of place");
      if (cur_.has_plural) return fail("plural message needs msgstr[N]");
      cur_.has_str = true;
      cur_.str = s;
      target_ = &cur_.str;
      return true;
    }
    if (kw.rfind("msgstr[", 0) == 0 && kw.back() == ']') {
      if (!cur_.has_id || !cur_.has_plural) return fail("msgstr[N] without msgid_plural");
      std::string num = kw.substr(7, kw.size() - 8);
      if (num.empty() || num.size() > 3 || num.find_first_not_of("0123456789") != std::string::npos)
        return fail("bad plural index " + kw);
      int index = std::stoi(num);
      if (index != cur_.str_index + 1) return fail("plural forms out of order");
      cur_.str_index = index;
      cur_.has_str = true;
      target_ = &cur_.plural_strs[index];
      *target_ = s;
      return true;
    }
    return fail("unknown keyword " + kw);
  }

  void start_fuzzy() {
    cur_.fuzzy = pending_fuzzy_;
    pending_fuzzy_ = false;
  }

  // Reads one quoted string starting at line[p] == '"'; only blanks may follow it.
  bool read_string(const std::string &line, std::size_t p, std::string &out) {
    std::size_t i = p + 1;
    for (;;) {
      if (i >= line.size()) return fail("unterminated string");
      char c = line[i++];
      if (c == '"') break;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (i >= line.size()) return fail("unterminated string");
      char e = line[i++];
      switch (e) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'a': out += '\a'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'v': out += '\v'; break;
        case '\\': case '"': case '\'': case '?': out += e; break;
        case 'x': {
          unsigned v = 0;
          int digits = 0;
          while (i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i])) && digits < 2) {
            char h = line[i++];
            v = v * 16 + (std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (std::tolower(h) - 'a' + 10));
            ++digits;
          }
          if (digits == 0) return fail("\\x without hex digits");
          if (v == 0) return fail("zero byte in a string");
          out += static_cast<char>(v);
          break;
        }
        default:
          if (e >= '0' && e <= '7') {
            unsigned v = static_cast<unsigned>(e - '0');
            for (int k = 0; k < 2 && i < line.size() && line[i] >= '0' && line[i] <= '7'; ++k)
              v = v * 8 + static_cast<unsigned>(line[i++] - '0');
            if (v == 0 || v > 0xFF) return fail("bad octal escape");
            out += static_cast<char>(v);
            break;
          }
          return fail(std::string("invalid escape \\") + e);
      }
    }
    std::size_t rest = line.find_first_not_of(" \t", i);
    if (rest != std::string::npos) return fail("text after the closing quote");
    return true;
  }

  bool finish_entry() {
    Entry e = std::move(cur_);
    cur_ = Entry{};
    target_ = nullptr;
    plural_id_.clear();
    if (!e.has_id) {
      if (e.has_ctxt) return fail("msgctxt without msgid");
      return true;
    }
    if (!e.has_str) return fail("msgid without msgstr");
    if (!seen_.insert({e.has_ctxt ? "\1" + e.ctxt : std::string(), e.id}).second) {
      lineno_ = e.id_line;
      return fail("duplicate message definition");
    }
    std::string str = e.has_plural ? e.plural_strs[0] : e.str;
    if (!e.has_ctxt && e.id.empty()) {
      read_header(e.str);
      return true;
    }
    if (e.has_ctxt) {
      ++out_.with_context;
      return true;
    }
    if (e.fuzzy) {
      ++out_.fuzzy;
      return true;
    }
    if (str.empty()) {
      ++out_.untranslated;
      return true;
    }
    out_.messages.push_back({e.id, str});
    return true;
  }

  void read_header(const std::string &header) {
    std::istringstream in(header);
    std::string field;
    while (std::getline(in, field)) {
      if (field.rfind("Content-Type:", 0) != 0) continue;
      std::size_t c = field.find("charset=");
      if (c == std::string::npos) continue;
      std::string cs = field.substr(c + 8);
      std::size_t end = cs.find_first_of(" \t;");
      if (end != std::string::npos) cs.resize(end);
      if (cs != "CHARSET") out_.charset = cs;  // the template placeholder names none
    }
  }

  const std::string &text_;
  PoFile &out_;
  Entry cur_;
  std::string plural_id_;
  std::string *target_ = nullptr;
  bool pending_fuzzy_ = false;
  std::set<std::pair<std::string, std::string>> seen_;
  int lineno_ = 0;
  std::string error_;
};

}  // namespace

bool parse_po(const std::string &text, PoFile &out, std::string &error) {
  Parser p(text, out);
  return p.run(error);
}

std::string po_quote(const std::string &text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\%03o", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

}  // namespace mkcat
