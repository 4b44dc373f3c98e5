// The preference file as a list of lines: parsing it, finding and changing a key the way
// one write of the store does, and the numbered keys of the saved search targets.
#include <algorithm>
#include <climits>
#include <cstring>
#include <unordered_set>

#include "prefs/preference_internal.h"

namespace kivo8::prefs {

namespace {

bool is_header(std::string_view line) noexcept { return !line.empty() && line[0] == '%'; }

std::string key_line(std::string_view key, std::string_view value) {
  std::string line;
  line.reserve(key.size() + 1 + value.size());
  line.append(key).append(1, '=').append(value);
  return line;
}

}  // namespace

bool matches_key(std::string_view line, std::string_view key) noexcept {
  return line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
         line[key.size()] == '=';
}

int32_t numbered_key(std::string_view line) noexcept {
  if (line.empty() || line[0] < '1' || line[0] > '9') return 0;
  int64_t k = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '=') return i == 0 ? 0 : int32_t(k);
    if (c < '0' || c > '9') return 0;
    k = k * 10 + (c - '0');
    if (k > INT32_MAX) return 0;
  }
  return 0;
}

int32_t leading_number(std::string_view text) noexcept {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  int64_t n = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i)
    n = std::min<int64_t>(n * 10 + (text[i] - '0'), int64_t(INT32_MAX) + 1);
  if (negative) return int32_t(-n);
  return int32_t(std::min<int64_t>(n, INT32_MAX));
}

Document Document::parse(std::string_view bytes) {
  Document doc;
  std::size_t start = 0;
  while (start < bytes.size()) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string_view::npos) end = bytes.size();
    std::string_view line = bytes.substr(start, end - start);
    // What follows a carriage return (or a zero byte) on the same line is not part of it.
    line = line.substr(0, std::min(line.find('\r'), line.find('\0')));
    doc.lines.emplace_back(line);
    start = end + 1;
  }
  return doc;
}

std::string Document::text() const {
  std::size_t total = 0;
  for (const auto &line : lines) total += line.size() + 1;
  std::string out;
  out.reserve(total);
  for (const auto &line : lines) out.append(line).append(1, '\n');
  return out;
}

std::ptrdiff_t Document::find_section(std::string_view section) const {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (is_header(lines[i]) && std::string_view(lines[i]).substr(1) == section)
      return std::ptrdiff_t(i);
  return -1;
}

std::optional<std::string_view> Document::get(std::string_view section,
                                              std::string_view key) const {
  const std::ptrdiff_t at = find_section(section);
  if (at < 0) return std::nullopt;
  for (std::size_t i = std::size_t(at) + 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty() || line[0] == '#') continue;
    if (is_header(line)) return std::nullopt;
    if (matches_key(line, key)) return line.substr(key.size() + 1);
  }
  return std::nullopt;
}

void Document::set(std::string_view section, std::string_view key,
                   std::optional<std::string_view> value) {
  const std::ptrdiff_t at = find_section(section);
  if (at < 0) {
    std::string header;
    header.reserve(section.size() + 1);
    header.append(1, '%').append(section);
    lines.push_back(std::move(header));
    if (value) lines.push_back(key_line(key, *value));
    return;
  }
  for (std::size_t i = std::size_t(at) + 1; i < lines.size(); ++i) {
    if (is_header(lines[i])) {
      if (value) lines.insert(lines.begin() + std::ptrdiff_t(i), key_line(key, *value));
      return;
    }
    if (matches_key(lines[i], key)) {
      if (value)
        lines[i] = key_line(key, *value);
      else
        lines.erase(lines.begin() + std::ptrdiff_t(i));
      return;
    }
  }
  if (value) lines.push_back(key_line(key, *value));
}

void Document::remove_numbered(std::string_view section, int32_t last) {
  const std::ptrdiff_t at = find_section(section);
  if (at < 0 || last < 1) return;
  // Each deletion takes the first line of its own key and no line holds two keys, so the
  // order of the deletions does not matter and one pass does them all.
  std::unordered_set<int32_t> removed;
  std::size_t out = std::size_t(at) + 1;
  std::size_t i = out;
  for (; i < lines.size() && !is_header(lines[i]); ++i) {
    const int32_t k = numbered_key(lines[i]);
    if (k >= 1 && k <= last && removed.insert(k).second) continue;
    if (out != i) lines[out] = std::move(lines[i]);
    ++out;
  }
  if (out != i) {
    std::move(lines.begin() + std::ptrdiff_t(i), lines.end(), lines.begin() + std::ptrdiff_t(out));
    lines.resize(lines.size() - (i - out));
  }
}

std::vector<std::pair<int32_t, std::string_view>> Document::numbered(std::string_view section,
                                                                     int32_t last) const {
  std::vector<std::pair<int32_t, std::string_view>> found;
  const std::ptrdiff_t at = find_section(section);
  if (at < 0 || last < 1) return found;
  std::unordered_set<int32_t> seen;
  for (std::size_t i = std::size_t(at) + 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty() || line[0] == '#') continue;
    if (is_header(line)) break;
    const int32_t k = numbered_key(line);
    if (k >= 1 && k <= last && seen.insert(k).second) {
      const std::size_t eq = line.find('=');
      found.emplace_back(k, line.substr(eq + 1));
    }
  }
  std::sort(found.begin(), found.end(),
            [](const auto &a, const auto &b) { return a.first > b.first; });
  return found;
}

}  // namespace kivo8::prefs
