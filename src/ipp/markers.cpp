// A Get-Printer-Attributes answer -> the status module's plain lists.
#include "ipp/markers.h"

#include <string>
#include <vector>

namespace kivo8::ipp {

namespace {

// One more than a record keeps, so that the status sees a printer had more.
constexpr std::size_t kMaxMarkers = kivo8::status::kMaxSupplies + 1;

bool is_text(const Value &v) { return v.kind() == Kind::String || v.kind() == Kind::WithLanguage; }

std::string capped(const std::string &text) {
  return text.size() > kivo8::status::kMaxText ? text.substr(0, kivo8::status::kMaxText) : text;
}

// The texts of an attribute; a value that is no text is an empty one (lists stay in step).
std::vector<std::string> texts(const Message &m, std::string_view name, std::size_t cap) {
  std::vector<std::string> out;
  if (const Attribute *a = m.find(name))
    for (const Value &v : a->values) {
      if (out.size() == cap) break;
      out.push_back(is_text(v) ? capped(v.text) : std::string());
    }
  return out;
}

}  // namespace

kivo8::status::IppMarkers markers_of(const Message &m) {
  kivo8::status::IppMarkers out;
  if (const Attribute *a = m.find("printer-state"); a != nullptr && a->first() != nullptr &&
                                                    a->first()->kind() == Kind::Integer)
    out.state = a->first()->integer;
  if (m.find("printer-state-reasons") != nullptr)
    out.reasons = texts(m, "printer-state-reasons", kivo8::status::kMaxReasons);
  out.names = texts(m, "marker-names", kMaxMarkers);
  out.types = texts(m, "marker-types", kMaxMarkers);
  out.colors = texts(m, "marker-colors", kMaxMarkers);
  if (const Attribute *a = m.find("marker-levels"))
    for (const Value &v : a->values) {
      if (out.levels.size() == kMaxMarkers) break;
      out.levels.push_back(v.kind() == Kind::Integer ? std::optional<std::int32_t>(v.integer) : std::nullopt);
    }
  return out;
}

}  // namespace kivo8::ipp
