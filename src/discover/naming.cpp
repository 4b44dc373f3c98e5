// The naming rule of discovered devices: maker, model and product name from what they report.
#include "discover/naming.h"

#include <algorithm>
#include <array>
#include <initializer_list>

#include "core/bytes.h"

namespace kivo::discover {

namespace {

// No printer reports a description longer than this; the rest of a longer text is not read.
constexpr std::size_t kMaxTextBytes = 4096;
// A field of a device id longer than this is cut: it names nothing a person reads whole.
constexpr std::size_t kMaxFieldBytes = 255;

struct Maker {
  std::uint32_t enterprise;
  std::string_view name;
  // Spellings found at the start of device ids' MFG fields and of model texts, longest
  // first where one is the start of another.
  std::array<std::string_view, 4> spellings;
};

// Printer makers by the enterprise number they registered for their SNMP agents.
constexpr Maker kMakers[] = {
    {11, "HP", {"Hewlett-Packard", "Hewlett Packard", "HP"}},
    {236, "Samsung", {"Samsung"}},
    {253, "Xerox", {"Xerox"}},
    {297, "Fuji Xerox", {"Fuji Xerox", "FujiXerox"}},
    {367, "Ricoh", {"Ricoh"}},
    {641, "Lexmark", {"Lexmark"}},
    {674, "Dell", {"Dell"}},
    {1129, "Toshiba", {"Toshiba"}},
    {1248, "Epson", {"Seiko Epson", "Epson"}},
    {1347, "Kyocera", {"Kyocera"}},
    {1602, "Canon", {"Canon"}},
    {2001, "OKI", {"Okidata", "OKI"}},
    {2385, "Sharp", {"Sharp"}},
    {2435, "Brother", {"Brother"}},
    {10642, "Zebra", {"Zebra"}},
    {18334, "Konica Minolta", {"Konica Minolta", "KonicaMinolta"}},
};

constexpr std::uint32_t kEnterprisesPrefix[] = {1, 3, 6, 1, 4, 1};

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool is_space(char c) { return c == ' ' || c == '\t'; }

bool is_word_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (static_cast<unsigned char>(c) & 0x80) != 0;
}

bool iequals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

bool istarts_with(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && iequals(text.substr(0, prefix.size()), prefix);
}

// `prefix` opens `text` as whole words: "HP LaserJet" opens with "HP", "HPLJ" does not.
bool starts_with_word(std::string_view text, std::string_view prefix) {
  return istarts_with(text, prefix) &&
         (text.size() == prefix.size() || !is_word_char(text[prefix.size()]));
}

// Position of `needle` in `text` starting a word (and ending one when `whole`), ignoring
// ASCII case; npos if none.
std::size_t ifind_word(std::string_view text, std::string_view needle, std::size_t from = 0,
                       bool whole = false) {
  for (std::size_t i = from; i + needle.size() <= text.size(); ++i) {
    if (i > 0 && is_word_char(text[i - 1]) && is_word_char(needle.front())) continue;
    const std::size_t end = i + needle.size();
    if (whole && end < text.size() && is_word_char(text[end]) && is_word_char(needle.back()))
      continue;
    if (iequals(text.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

bool contains_word(std::string_view text, std::string_view word) {
  return ifind_word(text, word, 0, true) != std::string_view::npos;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
  return s;
}

void append_code_point(std::string &out, std::uint32_t cp) {
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

// Length of the well-formed UTF-8 sequence at `s[i]` (no overlong forms, no surrogates),
// 0 if there is none, with its code point.
std::size_t utf8_sequence(std::string_view s, std::size_t i, std::uint32_t &cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t n;
  std::uint32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, min = 0x80, cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, min = 0x800, cp = b0 & 0x0F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (n > s.size() - i) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// One line of text as valid UTF-8 with single spaces: a NUL ends it (devices pad with
// them); control characters become spaces; a byte that is no part of a well-formed UTF-8
// sequence is read as Latin-1, the other encoding devices send.
std::string clean(std::string_view raw) {
  raw = raw.substr(0, std::min(raw.size(), kMaxTextBytes));
  std::string out;
  out.reserve(raw.size());
  auto space = [&out] {
    if (!out.empty() && out.back() != ' ') out += ' ';
  };
  for (std::size_t i = 0; i < raw.size();) {
    const auto b = static_cast<unsigned char>(raw[i]);
    if (b == 0) break;
    if (b <= 0x20 || b == 0x7F) {
      space();
      ++i;
      continue;
    }
    if (b < 0x80) {
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    std::uint32_t cp = 0;
    const std::size_t n = utf8_sequence(raw, i, cp);
    if (n == 0) cp = b;  // Latin-1
    if (cp >= 0x80 && cp < 0xA0) {
      space();  // C1 controls
    } else if (n == 0) {
      append_code_point(out, cp);
    } else {
      out.append(raw.substr(i, n));
    }
    i += n == 0 ? 1 : n;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::size_t code_points(std::string_view s) {
  return static_cast<std::size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Byte offset just past the first `n` code points of `s`.
std::size_t code_point_offset(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  for (std::size_t seen = 0; i < s.size(); ++i) {
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80 && seen++ == n) break;
  }
  return i;
}

bool is_tail_punctuation(char c) {
  return is_space(c) || c == ',' || c == ';' || c == ':' || c == '-' || c == '/' || c == '(' ||
         c == '[' || c == '#' || c == '=' || c == '|';
}

std::string strip_tail_punctuation(std::string s) {
  while (!s.empty() && is_tail_punctuation(s.back())) s.pop_back();
  return s;
}

// Cuts to at most `max_chars` code points, at a word boundary when one leaves at least
// half of the allowance.
std::string limit_length(std::string s, std::size_t max_chars) {
  if (code_points(s) <= max_chars) return s;
  std::size_t cut = code_point_offset(s, max_chars);
  const std::size_t space = s.rfind(' ', cut);
  if (space != std::string::npos && code_points(std::string_view(s).substr(0, space)) >= max_chars / 2)
    cut = space;
  s.resize(cut);
  return strip_tail_punctuation(std::move(s));
}

// Where a description stops naming the device: separators between its parts, and words
// that open firmware, version and serial-number tails.
constexpr std::string_view kPartSeparators[] = {";", ",", " / ", " | "};
constexpr std::string_view kTailWords[] = {
    "version", "ver.",   "ver:",      "firmware", "f/w",    "fw:",     "fw ver", "rom ",
    "kernel",  "s/n",    "sn:",       "sn#",      "sn ",    "serial",  "ser#",   "ser.no",
    "mac:",    "mac ",   "ip:",       "eeprom",   "cidate", "build ",  "rev."};

std::string cut_tails(std::string s) {
  std::size_t cut = s.size();
  for (auto sep : kPartSeparators) {
    // A separator at the very start cuts nothing that names the device.
    const std::size_t at = s.find(sep, 1);
    if (at != std::string::npos) cut = std::min(cut, at);
  }
  for (auto word : kTailWords) {
    const std::size_t at = ifind_word(s, word, 1);
    if (at != std::string::npos) cut = std::min(cut, at);
  }
  s.resize(cut);
  return strip_tail_punctuation(std::move(s));
}

std::string_view first_line(std::string_view raw) {
  raw = raw.substr(0, std::min(raw.size(), kMaxTextBytes));
  // Leading blank lines name nothing.
  std::size_t start = 0;
  while (start < raw.size() &&
         (raw[start] == '\r' || raw[start] == '\n' || is_space(raw[start])))
    ++start;
  raw.remove_prefix(start);
  const std::size_t end = raw.find_first_of("\r\n");
  return end == std::string_view::npos ? raw : raw.substr(0, end);
}

const Maker *maker_by_enterprise(std::uint32_t enterprise) {
  for (const auto &m : kMakers)
    if (m.enterprise == enterprise) return &m;
  return nullptr;
}

// The maker whose spelling opens `text` as whole words, and the spelling's length.
const Maker *maker_opening(std::string_view text, std::size_t *length = nullptr) {
  for (const auto &m : kMakers)
    for (auto spelling : m.spellings)
      if (!spelling.empty() && starts_with_word(text, spelling)) {
        if (length != nullptr) *length = spelling.size();
        return &m;
      }
  return nullptr;
}

// A whole DNS-SD instance name ("Office Jet._ipp._tcp.local", as the records carry it)
// without its service type and domain: only the instance label names the device.
std::string_view without_service_type(std::string_view s) {
  if (!s.empty() && s.back() == '.') s.remove_suffix(1);
  auto ends_with = [&](std::string_view tail) {
    if (s.size() < tail.size()) return false;
    for (std::size_t i = 0; i < tail.size(); ++i)
      if (lower(s[s.size() - tail.size() + i]) != tail[i]) return false;
    return true;
  };
  if (!ends_with(".local")) return s;
  std::string_view rest = s.substr(0, s.size() - 6);
  s = rest;
  if (!ends_with("._tcp") && !ends_with("._udp")) return rest;
  s = s.substr(0, s.size() - 5);
  const std::size_t dot = s.rfind("._");
  if (dot == std::string_view::npos || dot == 0 || dot + 2 == s.size()) return rest;
  for (char c : s.substr(dot + 2))
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) return rest;
  return s.substr(0, dot);
}

// Drops a trailing "(5A1B2C)" or "[3c2af4a1b2c3]" that DNS-SD instance names carry to
// be unique on the link, and the " @ host" of a printer shared by a computer.
std::string strip_instance_suffix(std::string s) {
  const std::size_t at = s.find(" @ ");
  if (at != std::string::npos && at > 0) s.resize(at);
  s = strip_tail_punctuation(std::move(s));
  if (!s.empty() && (s.back() == ')' || s.back() == ']')) {
    const char open = s.back() == ')' ? '(' : '[';
    const std::size_t from = s.rfind(open);
    if (from != std::string::npos && from > 0) {
      const std::string_view inner = std::string_view(s).substr(from + 1, s.size() - from - 2);
      const bool id_like = !inner.empty() && std::all_of(inner.begin(), inner.end(), [](char c) {
        return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f') || c == ':' ||
               c == '-';
      });
      if (id_like) s.resize(from);
    }
  }
  return strip_tail_punctuation(std::move(s));
}

std::string unparenthesize(std::string_view s) {
  s = trim(s);
  if (s.size() >= 2 && s.front() == '(' && s.back() == ')') s = s.substr(1, s.size() - 2);
  return std::string(s);
}

// A maker named by the device (a device id's MFG, DNS-SD usb_MFG): the table's spelling
// when it is one of ours, else the device's own text, tidied.
std::string maker_from_text(std::string_view text) {
  std::string tidy = limit_length(cut_tails(clean(first_line(text))), kMaxNameLength);
  if (const Maker *m = maker_opening(tidy)) return std::string(m->name);
  return tidy;
}

}  // namespace

std::optional<DeviceId> parse_device_id(std::string_view text) {
  text = text.substr(0, std::min(text.size(), kMaxDeviceIdBytes));
  kivo8::ByteReader reader(reinterpret_cast<const std::uint8_t *>(text.data()), text.size());
  // Two length bytes in front (the device id as the parallel port reports it): the first
  // one is below any printable character for ids shorter than 8 KiB.
  if (auto first = reader.peek(); first && *first < 0x20 && reader.left() >= 2) reader.skip(2);
  const auto rest = reader.rest();
  std::string_view body(reinterpret_cast<const char *>(rest.data()), rest.size());

  DeviceId id;
  std::size_t fields = 0;
  for (std::size_t i = 0; i < body.size() && fields < kMaxDeviceIdFields; ++fields) {
    std::size_t end = body.find(';', i);
    if (end == std::string_view::npos) end = body.size();
    const std::string_view field = body.substr(i, end - i);
    i = end + 1;
    const std::size_t colon = field.find(':');
    if (colon == std::string_view::npos) continue;
    // Keys compare by their letters only: "COMMAND SET", " mdl", "\x01MFG" all count.
    std::string key;
    for (char c : field.substr(0, colon))
      if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) key += static_cast<char>(c & ~0x20);
    std::string *slot = nullptr;
    if (key == "MFG" || key == "MANUFACTURER")
      slot = &id.manufacturer;
    else if (key == "MDL" || key == "MODEL")
      slot = &id.model;
    else if (key == "CMD" || key == "COMMANDSET")
      slot = &id.command_set;
    if (slot == nullptr || !slot->empty()) continue;  // the first non-empty value counts
    std::string value = clean(field.substr(colon + 1, kMaxFieldBytes));
    *slot = std::string(trim(value));
  }
  if (id.manufacturer.empty() && id.model.empty() && id.command_set.empty()) return std::nullopt;
  return id;
}

std::string_view maker_of_enterprise(std::uint32_t enterprise) {
  const Maker *m = maker_by_enterprise(enterprise);
  return m == nullptr ? std::string_view{} : m->name;
}

std::string_view maker_of_object_id(std::span<const std::uint32_t> oid) {
  constexpr std::size_t n = std::size(kEnterprisesPrefix);
  if (oid.size() <= n || !std::equal(kEnterprisesPrefix, kEnterprisesPrefix + n, oid.begin()))
    return {};
  return maker_of_enterprise(oid[n]);
}

bool is_generic_description(std::string_view text) {
  const std::string s = clean(first_line(text));
  if (s.empty()) return true;
  // Engine names that several makers' models share, and placeholder words.
  constexpr std::string_view kGenericStarts[] = {"generic", "unknown", "default"};
  for (auto w : kGenericStarts)
    if (starts_with_word(s, w)) return true;
  constexpr std::string_view kPlaceholders[] = {
      "printer",         "printers",      "none",        "n/a",          "-",
      "?",               "null",          "mfp",         "mfd",          "network printer",
      "laser printer",   "inkjet printer", "color printer", "colour printer", "printer device",
      "print engine",    "multifunction printer", "multi-function printer", "local printer",
      "ipp printer",     "ipp everywhere"};
  for (auto p : kPlaceholders)
    if (iequals(s, p)) return true;
  // Network cards and print servers describe themselves, not the printer behind them;
  // and a computer sharing a printer through a generic driver names the driver.
  constexpr std::string_view kInterfaceWords[] = {
      "print server",  "printserver",   "print-server",     "ethernet",     "network card",
      "network board", "network interface", "network adapter", "interface card", "lan card",
      "nic",           "multi-environment", "ghostscript",  "wireless adapter"};
  for (auto w : kInterfaceWords)
    if (contains_word(s, w)) return true;
  return false;
}

std::string tidy_description(std::string_view text, std::size_t max_chars) {
  return limit_length(cut_tails(clean(first_line(text))), max_chars);
}

Naming choose_name(const NamingInput &in) {
  Naming out;
  std::optional<DeviceId> ids[] = {parse_device_id(in.device_id_standard),
                                   parse_device_id(in.device_id_private)};

  // The model: what the device says its model is, then what describes the device, then
  // what DNS-SD announces, then whatever generic text there was.
  std::string generic_fallback;
  auto offer = [&](std::string text, NameSource source) {
    if (!out.model.empty() || text.empty()) return;
    if (is_generic_description(text)) {
      if (generic_fallback.empty()) generic_fallback = std::move(text);
      return;
    }
    out.model = std::move(text);
    out.source = source;
  };
  for (const auto &id : ids)
    if (id) offer(tidy_description(id->model), NameSource::device_id);
  // What the printer's IPP service calls itself is meant for people to read.
  offer(tidy_description(in.ipp_make_and_model), NameSource::ipp);
  offer(tidy_description(in.hr_device_descr), NameSource::hr_device_descr);
  offer(tidy_description(in.sys_descr), NameSource::sys_descr);
  offer(tidy_description(in.printer_name), NameSource::printer_name);
  offer(tidy_description(in.mdns_ty), NameSource::mdns_ty);
  offer(tidy_description(unparenthesize(in.mdns_product)), NameSource::mdns_product);
  offer(tidy_description(in.mdns_usb_mdl), NameSource::mdns_usb);
  const std::string_view instance = without_service_type(in.mdns_instance);
  offer(strip_instance_suffix(tidy_description(instance)), NameSource::mdns_instance);
  if (out.model.empty() && !generic_fallback.empty()) {
    out.model = std::move(generic_fallback);
    out.source = NameSource::generic;
  }

  // The maker: as the device id names it; else as the model starts; else by the
  // enterprise number of the agent; else as DNS-SD names it; else as another of the
  // device's texts starts.
  for (const auto &id : ids)
    if (out.make.empty() && id && !id->manufacturer.empty())
      out.make = maker_from_text(id->manufacturer);
  if (out.make.empty())
    if (const Maker *m = maker_opening(out.model)) out.make = std::string(m->name);
  if (out.make.empty()) out.make = std::string(maker_of_object_id(in.sys_object_id));
  if (out.make.empty() && !in.mdns_usb_mfg.empty()) out.make = maker_from_text(in.mdns_usb_mfg);
  for (std::string_view text :
       {in.ipp_make_and_model, in.sys_descr, in.hr_device_descr, in.printer_name, in.mdns_ty, instance}) {
    if (!out.make.empty()) break;
    if (const Maker *m = maker_opening(clean(first_line(text)))) out.make = std::string(m->name);
  }

  // The product name: the model as the device spells it when it already opens with the
  // maker (in any of the maker's spellings), else "maker model".
  bool named = out.make.empty() || out.model.empty() || starts_with_word(out.model, out.make);
  if (!named)
    for (const auto &m : kMakers)
      if (m.name == out.make)
        for (auto spelling : m.spellings)
          if (!spelling.empty() && starts_with_word(out.model, spelling)) named = true;
  if (out.model.empty())
    out.product_name.clear();
  else if (named)
    out.product_name = out.model;
  else
    out.product_name = out.make + " " + out.model;
  out.product_name = limit_length(std::move(out.product_name), kMaxNameLength);
  (void)in.answered_snmp;  // the kind of device is the front end's to show, not the name's
  return out;
}

}  // namespace kivo::discover
