// Text on its way out of kivo: into JSON, onto the terminal, into table cells.
//
// Inside kivo every text is UTF-8: texts from outside (device strings, saved targets, SLP
// URLs, the command line) pass through to_utf8() first, where valid UTF-8 stays as it is
// and every other byte is read as Latin-1 (one character per byte, so nothing is lost and
// nothing can fail), and the message catalogue is loaded in UTF-8 (see Session). Only at
// the very end is text converted into the terminal's encoding, which comes from the
// locale (LC_ALL, LC_CTYPE, LANG); the C locale, or no locale at all, counts as UTF-8.
//
// Two ways out:
//  - JSON (json_out.h): always UTF-8, whatever the locale, control characters escaped.
//  - the terminal (safe_text, to_terminal, print_table, put): every control character
//    from outside shown as an escape (\r, \n, \t, \x1b, \x7f, \u0085 ...) so that no
//    device can move the cursor, clear the screen, set the window title or fake a line;
//    widths counted in terminal columns, not bytes.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace kivo {

// Valid UTF-8 kept; every byte that does not start or belong to a valid, shortest-form
// sequence of a Unicode scalar value (no surrogates, nothing above U+10FFFF) is read as
// the Latin-1 character of that value.
std::string to_utf8(std::string_view bytes);

// `text` after to_utf8 with every control character written visibly: \r \n \t as such,
// other C0 and DEL as \xHH (ESC is \x1b), C1 as \uHHHH. UTF-8 out, still to be put
// through to_terminal.
std::string safe_text(std::string_view text);

// Reads the locale (setlocale(LC_ALL, "")) and the terminal's encoding from it. Called
// once by main before anything is printed; numbers keep the C locale's form.
void terminal_setup();
// The terminal's encoding as iconv names it ("UTF-8", "ISO-8859-1", ...).
const std::string &terminal_codeset();
bool terminal_is_utf8();

// UTF-8 text (already safe, or kivo's own) in the terminal's encoding; a character that
// encoding lacks becomes '?', so every character stays one character.
std::string to_terminal(std::string_view utf8);
// Writes kivo's own UTF-8 text (help, messages) to `out` in the terminal's encoding.
void put(std::FILE *out, std::string_view utf8);

// Terminal columns that UTF-8 text takes (wcwidth per character; a character without a
// width of its own, e.g. one the terminal's encoding lacks and that shows as '?', takes
// one; combining marks none).
std::size_t columns_of(std::string_view utf8);
// The text cut to at most `columns` columns, ending in an ellipsis when it was cut.
std::string cut_to(std::string_view utf8, std::size_t columns);
// Width of the terminal on standard output; COLUMNS when it is not a terminal; 0 (no
// limit) when it is not a terminal and COLUMNS is not set, so that a table piped into
// another program keeps its texts whole.
std::size_t terminal_width();

// A table of UTF-8 cells (already made safe) printed in the terminal's encoding, columns
// separated by two blanks and padded by columns_of. Unless `wide`, when the rows are
// wider than `width` the cells of `shrink` (a column index) are cut with an ellipsis so
// that the rows fit, but never below the column's heading or 12 columns.
struct TableLayout {
  std::size_t shrink = static_cast<std::size_t>(-1);  // none
  bool wide = false;
  std::size_t width = 0;  // 0: terminal_width(), which may be 0 too: no limit
};
void print_table(std::FILE *out, const std::vector<std::vector<std::string>> &rows,
                 const TableLayout &layout);

}  // namespace kivo
