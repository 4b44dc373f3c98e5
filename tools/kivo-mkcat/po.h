// Reading gettext PO files into (msgid, msgstr) pairs for a catalogue.
#pragma once

#include <string>
#include <vector>

namespace mkcat {

struct PoMessage {
  std::string id;
  std::string str;
};

struct PoFile {
  // The charset named in the header entry's Content-Type, empty when there is none.
  std::string charset;
  // Translated, non-fuzzy messages in file order; the header entry is not among them.
  std::vector<PoMessage> messages;
  // Messages left out (fuzzy, untranslated, with a context), for the summary.
  std::size_t fuzzy = 0, untranslated = 0, with_context = 0;
};

// Parses PO text. On a syntax error returns false with "LINE: reason" in `error`.
bool parse_po(const std::string &text, PoFile &out, std::string &error);

// The text in PO string notation (quotes and escapes included).
std::string po_quote(const std::string &text);

}  // namespace mkcat
