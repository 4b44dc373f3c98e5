// The HTML page of `kivo report`.
#include "report_html.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <tuple>
#include <utility>

namespace kivo::report {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
constexpr std::string_view kEllipsis = "\xE2\x80\xA6";     // U+2026

// Lists from one device are capped so that no record can make the page grow without
// bound; what is left out is counted on the page.
constexpr std::size_t kMaxListItems = 64;

// The code point of the shortest-form UTF-8 sequence at `i` and its length, or nothing
// when the bytes there are no such sequence (then one byte is skipped).
std::optional<std::pair<char32_t, std::size_t>> decode_at(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return std::pair<char32_t, std::size_t>{b0, 1};
  std::size_t n = 0;
  char32_t cp = 0;
  char32_t min = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, cp = b0 & 0x1Fu, min = 0x80;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, cp = b0 & 0x0Fu, min = 0x800;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, cp = b0 & 0x07u, min = 0x10000;
  } else {
    return std::nullopt;
  }
  if (n > s.size() - i) return std::nullopt;
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0u) != 0x80u) return std::nullopt;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
  return std::pair<char32_t, std::size_t>{cp, n};
}

// Characters that must not reach the page as themselves: controls, noncharacters (an
// HTML parser reports both as errors) and the invisible marks and controls of
// bidirectional text, with which a name could make the text after it read backwards.
bool replaced(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;
  if (cp >= 0xFDD0 && cp <= 0xFDEF) return true;
  if ((cp & 0xFFFEu) == 0xFFFEu) return true;
  if (cp == 0x061C || cp == 0x200E || cp == 0x200F) return true;
  if (cp >= 0x202A && cp <= 0x202E) return true;
  return cp >= 0x2066 && cp <= 0x2069;
}

std::string escape(std::string_view text, std::size_t max_chars) {
  std::string out;
  out.reserve(std::min(text.size(), max_chars * 4) + 8);
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (chars == max_chars) {
      out += kEllipsis;
      break;
    }
    ++chars;
    auto decoded = decode_at(text, i);
    if (!decoded) {
      out += kReplacement;
      ++i;
      continue;
    }
    const auto [cp, n] = *decoded;
    if (replaced(cp)) {
      out += kReplacement;
    } else if (cp == '&') {
      out += "&amp;";
    } else if (cp == '<') {
      out += "&lt;";
    } else if (cp == '>') {
      out += "&gt;";
    } else if (cp == '"') {
      out += "&quot;";
    } else if (cp == '\'') {
      out += "&#39;";
    } else {
      out.append(text.substr(i, n));
    }
    i += n;
  }
  return out;
}

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// Device text in element content: escaped, and isolated so that right-to-left text in a
// name keeps to its own box. A word too long for a column may break anywhere; shorter
// words keep whole, so that serial numbers and codes stay readable.
std::string cell_text(std::string_view s) {
  if (s.empty()) return {};
  std::size_t word = 0, longest = 0;
  for (char c : s) {
    word = c == ' ' ? 0 : word + 1;
    longest = std::max(longest, word);
  }
  return (longest > 24 ? "<bdi class=\"w\">" : "<bdi>") + html_text(s) + "</bdi>";
}

// Alerts of these severities are notes, not problems (a printer saving energy, say).
const char *const kCalmSeverities[] = {"other", "info", "informational", ""};

bool alert_counts(const Alert &a) {
  const std::string severity = lower_ascii(a.severity);
  return std::none_of(std::begin(kCalmSeverities), std::end(kCalmSeverities),
                      [&](const char *w) { return severity == w; });
}

bool low_supply(const Supply &s) {
  auto p = supply_percent(s);
  return p && *p < kLowSupplyPercent;
}

bool no_answer(const Device &d) { return d.reachable && !*d.reachable; }

// No answer to the status questions, or a device that says it is down.
bool unreachable(const Device &d) { return no_answer(d) || lower_ascii(d.device_status) == "down"; }

std::string plural(std::size_t n, const char *one, const char *many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Keeps the first kMaxListItems items of a device's list.
template <typename T, typename F>
void each_capped(const std::vector<T> &items, std::string &out, F &&f) {
  std::size_t n = 0;
  for (const T &item : items) {
    if (n++ == kMaxListItems) {
      out += "<li class=\"muted\">" + std::to_string(items.size() - kMaxListItems) + " more</li>";
      break;
    }
    f(item);
  }
}

const char kStyle[] = R"css(
:root{color-scheme:light dark;--bg:#fff;--fg:#1b1b1b;--muted:#5b5b5b;--line:#d4d4d4;
--head:#f2f2f2;--attn-bg:#fff3e0;--attn:#9a3b00;--track:#e4e4e4;--link:#0b57b0}
@media (prefers-color-scheme:dark){:root{--bg:#16181b;--fg:#e6e6e6;--muted:#a8a8a8;
--line:#3a3d42;--head:#22252a;--attn-bg:#3a2614;--attn:#ffb36b;--track:#767b84;--link:#8ab4f8}}
*{box-sizing:border-box}
body{margin:0;padding:1rem;background:var(--bg);color:var(--fg);
font:14px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,"Noto Sans",sans-serif}
h1{font-size:1.4rem;margin:0 0 .3rem}
a{color:var(--link)}
.summary{margin:0 0 1rem;color:var(--muted)}
.summary strong{color:var(--fg)}
table{border-collapse:collapse;width:100%;margin-bottom:1rem}
th,td{border-bottom:1px solid var(--line);padding:.4rem .5rem;text-align:left;vertical-align:top;
overflow-wrap:break-word}
thead th{background:var(--head);font-weight:600;position:sticky;top:0}
tbody th{font-weight:600}
tr.attention{background:var(--attn-bg)}
.flag{display:inline-block;color:var(--attn);font-weight:600;font-size:.85em}
.muted,.sub{color:var(--muted);font-weight:normal;font-size:.9em}
ul{list-style:none;margin:0;padding:0}
.w{overflow-wrap:anywhere}
.problem{color:var(--attn)}
.supplies{min-width:14rem}
.supplies li{display:grid;grid-template-columns:minmax(4rem,1fr) 4rem 5.5rem;gap:.4rem;align-items:center}
.uris{overflow-wrap:anywhere;min-width:8rem}
.supplies li>span:last-child{white-space:nowrap}
.bar{display:inline-block;height:.7rem;width:4rem;background:var(--track);border:1px solid var(--line);
border-radius:2px;overflow:hidden;print-color-adjust:exact;-webkit-print-color-adjust:exact}
.fill{display:block;height:100%}
.bar.vague{background:repeating-linear-gradient(45deg,var(--track) 0 4px,var(--line) 4px 8px)}
.low{color:var(--attn);font-weight:600}
.vh{position:absolute;width:1px;height:1px;margin:-1px;padding:0;overflow:hidden;clip:rect(0 0 0 0);
white-space:nowrap;border:0}
details{margin-top:1rem}
summary{cursor:pointer;font-weight:600}
footer{color:var(--muted);font-size:.85em}
@media (max-width:900px){
table.devices,table.devices tbody,table.devices tr,table.devices th,table.devices td{display:block;width:100%}
table.devices thead{position:absolute;width:1px;height:1px;overflow:hidden;clip:rect(0 0 0 0)}
table.devices tr{border:1px solid var(--line);border-radius:4px;margin-bottom:.6rem}
table.devices td{border:0;padding:.2rem .5rem}
table.devices td::before{content:attr(data-label);display:block;color:var(--muted);font-size:.8em}
table.devices td:empty{display:none}
}
@page{size:A4;margin:12mm}
@media print{
body{padding:0;font-size:8.5pt;background:#fff;color:#000}
thead th{position:static;background:#eee}
tr{break-inside:avoid}
tr.attention{background:#fff3e0}
a{color:#000;text-decoration:none}
details>summary{list-style:none}
}
)css";

struct ColorantRule {
  const char *words;  // lower-case words, all of which the name must contain
  const char *css;
};

// More specific names first: "light cyan" before "cyan".
constexpr ColorantRule kColorants[] = {
    {"light cyan", "#7fd3ee"},   {"photo cyan", "#7fd3ee"},   {"light magenta", "#f29ccb"},
    {"photo magenta", "#f29ccb"}, {"light black", "#9a9a9a"},  {"light gray", "#b4b4b4"},
    {"light grey", "#b4b4b4"},   {"photo black", "#111111"},  {"matte black", "#2b2b2b"},
    {"black", "#1c1c1c"},        {"cyan", "#00a3da"},          {"magenta", "#d1007c"},
    {"yellow", "#f2d100"},       {"red", "#d32f2f"},           {"green", "#2e9e44"},
    {"blue", "#2f55d4"},         {"orange", "#f28c00"},        {"violet", "#7b3fc2"},
    {"purple", "#7b3fc2"},       {"gray", "#808080"},          {"grey", "#808080"},
    {"white", "#f5f5f5"},
};
constexpr const char *kUnknownColorant = "#8f9aa6";

struct ErrorWords {
  const char *name;
  const char *words;
};

constexpr ErrorWords kErrors[] = {
    {"lowpaper", "paper low"},
    {"nopaper", "out of paper"},
    {"lowtoner", "toner low"},
    {"notoner", "out of toner"},
    {"dooropen", "door open"},
    {"jammed", "paper jam"},
    {"offline", "offline"},
    {"servicerequested", "service requested"},
    {"inputtraymissing", "input tray missing"},
    {"outputtraymissing", "output tray missing"},
    {"markersupplymissing", "supply missing"},
    {"outputnearfull", "output tray nearly full"},
    {"outputfull", "output tray full"},
    {"inputtrayempty", "input tray empty"},
    {"overduepreventmaint", "maintenance overdue"},
};

constexpr std::array<const char *, 6> kLinkSchemes = {"ipp", "ipps", "http", "https", "socket", "lpd"};

void join_into(std::string &out, const std::vector<std::string> &items, const char *separator) {
  bool first = true;
  for (const auto &s : items) {
    if (!first) out += separator;
    out += html_text(s);
    first = false;
  }
}

void write_name_cell(std::string &out, const Device &d, bool attention) {
  out += "<th scope=\"row\">";
  out += cell_text(d.name.empty() ? d.address : d.name);
  if (attention) out += " <span class=\"flag\">needs attention</span>";
  std::string make_model = d.make;
  if (!d.model.empty()) make_model += (make_model.empty() ? "" : " ") + d.model;
  if (make_model.empty()) make_model = d.product;
  if (!make_model.empty() && make_model != d.name) out += "<div class=\"sub\">" + cell_text(make_model) + "</div>";
  out += "</th>";
}

void write_location_cell(std::string &out, const Device &d) {
  out += "<td data-label=\"Location\">";
  if (!d.location.empty()) out += cell_text(d.location);
  if (!d.contact.empty()) out += "<div class=\"sub\">contact: " + cell_text(d.contact) + "</div>";
  out += "</td>";
}

void write_address_cell(std::string &out, const Device &d) {
  out += "<td data-label=\"Addresses\">";
  std::vector<std::string> addresses = d.addresses;
  if (addresses.empty() && !d.address.empty()) addresses.push_back(d.address);
  if (!addresses.empty()) {
    out += "<ul>";
    each_capped(addresses, out, [&](const std::string &a) { out += "<li>" + cell_text(a) + "</li>"; });
    out += "</ul>";
  }
  if (!d.mac.empty()) out += "<div class=\"sub\">MAC " + cell_text(d.mac) + "</div>";
  if (!d.found_by.empty()) {
    out += "<div class=\"sub\">found by ";
    join_into(out, d.found_by, ", ");
    out += "</div>";
  }
  if (!d.sites.empty()) {
    out += "<div class=\"sub\">from ";
    join_into(out, d.sites, ", ");
    out += "</div>";
  }
  out += "</td>";
}

void write_state_cell(std::string &out, const Device &d) {
  out += "<td data-label=\"State\">";
  if (no_answer(d)) out += "<div class=\"problem\">no answer</div>";
  std::string state = d.state;
  if (!d.device_status.empty() && lower_ascii(d.device_status) != lower_ascii(d.state))
    state += (state.empty() ? "" : ", ") + d.device_status;
  if (!state.empty()) out += "<div>" + cell_text(state) + "</div>";
  if (!d.errors.empty()) {
    out += "<ul class=\"problem\">";
    each_capped(d.errors, out, [&](const std::string &e) { out += "<li>" + cell_text(error_words(e)) + "</li>"; });
    out += "</ul>";
  }
  if (!d.alerts.empty()) {
    out += "<ul>";
    each_capped(d.alerts, out, [&](const Alert &a) {
      out += alert_counts(a) ? "<li class=\"problem\">" : "<li>";
      if (!a.severity.empty()) out += html_text(a.severity) + ": ";
      out += cell_text(!a.description.empty() ? a.description : a.code);
      if (!a.description.empty() && !a.code.empty())
        out += " <span class=\"sub\">(" + cell_text(a.code) + ")</span>";
      out += "</li>";
    });
    out += "</ul>";
  }
  if (d.errors.empty() && d.alerts.empty() && state.empty() && !no_answer(d))
    out += "<span class=\"muted\">not reported</span>";
  out += "</td>";
}

void write_supplies_cell(std::string &out, const Device &d) {
  out += "<td data-label=\"Supplies\">";
  if (d.supplies.empty()) {
    out += "<span class=\"muted\">not reported</span></td>";
    return;
  }
  out += "<ul class=\"supplies\">";
  each_capped(d.supplies, out, [&](const Supply &s) {
    std::string name = !s.description.empty() ? s.description : !s.colorant.empty() ? s.colorant : s.type;
    const std::string label = supply_label(s);
    const auto percent = supply_percent(s);
    const bool low = percent && *percent < kLowSupplyPercent;
    // A receptacle's level is the room left in it, not what it holds: said beside its
    // name, so that a waste toner box at 60 % is not read as 60 % full.
    const char *room = lower_ascii(s.supply_class) == "receptaclethatisfilled" ? " (room left)" : "";
    out += "<li><span>" + cell_text(name) + room + "</span>";
    if (percent) {
      out += "<span class=\"bar\" role=\"meter\" aria-valuemin=\"0\" aria-valuemax=\"100\" aria-valuenow=\"" +
             std::to_string(*percent) + "\" aria-label=\"" + html_text(name) + room + "\"><span class=\"fill\" style=\"width:" +
             std::to_string(*percent) + "%;background:" + colorant_css(s.colorant) + "\"></span></span>";
    } else {
      out += "<span class=\"bar vague\" aria-hidden=\"true\"></span>";
    }
    out += std::string("<span") + (low ? " class=\"low\"" : "") + ">" + label + (low ? " (low)" : "") +
           "</span></li>";
  });
  out += "</ul></td>";
}

// Dotted-decimal IPv4 text, the only form of address a web page link is made from.
bool dotted_ipv4(std::string_view s) {
  int parts = 0;
  std::size_t digits = 0;
  for (char c : s) {
    if (c >= '0' && c <= '9') {
      if (++digits > 3) return false;
    } else if (c == '.' && digits > 0) {
      ++parts;
      digits = 0;
    } else {
      return false;
    }
  }
  return parts == 3 && digits > 0;
}

void write_links_cell(std::string &out, const Device &d) {
  out += "<td data-label=\"Print URIs\">";
  std::vector<std::string> uris;
  for (const Endpoint &e : d.endpoints)
    if (!e.uri.empty()) uris.push_back(e.uri);
  for (const std::string &u : d.slp_urls) uris.push_back(u);
  if (!uris.empty()) out += "<ul class=\"uris\">";
  each_capped(uris, out, [&](const std::string &u) {
    if (auto href = link_target(u))
      out += "<li><a rel=\"noreferrer\" href=\"" + *href + "\">" + cell_text(u) + "</a></li>";
    else
      out += "<li>" + cell_text(u) + "</li>";
  });
  if (!uris.empty()) out += "</ul>";
  if (d.web_server && *d.web_server && dotted_ipv4(d.address))
    out += "<div><a rel=\"noreferrer\" href=\"http://" + d.address + "/\">web page</a></div>";
  if (d.driverless && *d.driverless) out += "<div class=\"sub\">driverless</div>";
  out += "</td>";
}

void write_row(std::string &out, const Device &d) {
  const bool attention = needs_attention(d);
  out += attention ? "<tr class=\"attention\">" : "<tr>";
  write_name_cell(out, d, attention);
  write_location_cell(out, d);
  write_address_cell(out, d);
  write_state_cell(out, d);
  write_supplies_cell(out, d);
  out += "<td data-label=\"Pages\">";
  if (d.page_count) out += std::to_string(*d.page_count);
  out += "</td>";
  write_links_cell(out, d);
  out += "<td data-label=\"Serial\">" + cell_text(d.serial) + "</td></tr>\n";
}

void write_table(std::string &out, const std::vector<const Device *> &devices, const char *caption,
                 const char *first_heading) {
  out += "<table class=\"devices\"><caption class=\"vh\">";
  out += caption;
  out += "</caption>\n<thead><tr><th scope=\"col\">";
  out += first_heading;
  out += "</th><th scope=\"col\">Location</th><th scope=\"col\">Addresses</th>"
         "<th scope=\"col\">State</th><th scope=\"col\">Supplies</th><th scope=\"col\">Pages</th>"
         "<th scope=\"col\">Print URIs</th><th scope=\"col\">Serial</th></tr></thead>\n<tbody>\n";
  for (const Device *d : devices) write_row(out, *d);
  out += "</tbody></table>\n";
}

}  // namespace

std::string html_text(std::string_view device_text) { return escape(device_text, kMaxTextChars); }

std::optional<std::string> link_target(std::string_view uri) {
  if (uri.size() > kMaxLinkBytes) return std::nullopt;
  const auto colon = uri.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string scheme = lower_ascii(uri.substr(0, colon));
  if (std::find(kLinkSchemes.begin(), kLinkSchemes.end(), scheme) == kLinkSchemes.end())
    return std::nullopt;
  // A link names its host after "//"; "http:evil" is no printer's address.
  if (uri.substr(colon + 1, 2) != "//") return std::nullopt;
  return escape(uri, kMaxLinkBytes);
}

std::optional<int> supply_percent(const Supply &s) {
  if (s.percent) return std::clamp(*s.percent, 0, 100);
  if (s.max > 0 && s.level >= 0) {
    const long level = std::min(s.level, s.max);
    return static_cast<int>(static_cast<long long>(level) * 100 / s.max);
  }
  return std::nullopt;
}

std::string supply_label(const Supply &s) {
  if (auto p = supply_percent(s)) return std::to_string(*p) + " %";
  if (s.level == kLevelSomeRemaining) return "some";
  return "unknown";
}

const char *colorant_css(std::string_view colorant) {
  std::string name = lower_ascii(colorant);
  for (char &c : name)
    if (!(c >= 'a' && c <= 'z')) c = ' ';
  name.insert(name.begin(), ' ');
  name.push_back(' ');
  for (const ColorantRule &rule : kColorants) {
    std::string_view words = rule.words;
    bool all = true;
    while (!words.empty() && all) {
      const auto space = words.find(' ');
      std::string word(1, ' ');
      word.append(words.substr(0, std::min(space, words.size())));
      word.push_back(' ');
      all = name.find(word) != std::string::npos;
      words = space == std::string_view::npos ? std::string_view() : words.substr(space + 1);
    }
    if (all) return rule.css;
  }
  return kUnknownColorant;
}

std::string error_words(std::string_view name) {
  std::string key = lower_ascii(name);
  std::erase_if(key, [](char c) { return c == ' ' || c == '_' || c == '-'; });
  for (const ErrorWords &e : kErrors)
    if (key == e.name) return e.words;
  return std::string(name);
}

bool is_printer(const Device &d) { return d.kind == "printer" || d.kind == "no-snmp"; }

bool needs_attention(const Device &d) {
  return !d.errors.empty() || std::any_of(d.alerts.begin(), d.alerts.end(), alert_counts) ||
         std::any_of(d.supplies.begin(), d.supplies.end(), low_supply) || unreachable(d);
}

void sort_for_page(std::vector<Device> &devices) {
  struct Key {
    bool calm;
    bool no_location;
    std::string location, name, address;
  };
  std::vector<std::pair<Key, std::size_t>> keys;
  keys.reserve(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) {
    const Device &d = devices[i];
    keys.push_back({{!needs_attention(d), d.location.empty(), lower_ascii(d.location), lower_ascii(d.name),
                     d.address},
                    i});
  }
  std::stable_sort(keys.begin(), keys.end(), [](const auto &a, const auto &b) {
    return std::tie(a.first.calm, a.first.no_location, a.first.location, a.first.name, a.first.address) <
           std::tie(b.first.calm, b.first.no_location, b.first.location, b.first.name, b.first.address);
  });
  std::vector<Device> sorted;
  sorted.reserve(devices.size());
  for (auto &[key, i] : keys) sorted.push_back(std::move(devices[i]));
  devices = std::move(sorted);
}

std::string render_page(std::vector<Device> devices, const Summary &summary) {
  sort_for_page(devices);
  std::vector<const Device *> printers, others;
  std::size_t attention = 0;
  for (const Device &d : devices) {
    if (is_printer(d)) {
      printers.push_back(&d);
      attention += needs_attention(d) ? 1 : 0;
    } else {
      others.push_back(&d);
    }
  }

  std::string out;
  out.reserve(4096 + devices.size() * 2048);
  out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         // Whatever a device's text manages to slip into the page, no script runs and
         // nothing is fetched: only the inline style sheet and data: images are allowed.
         "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
         "style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'\">\n"
         "<meta name=\"referrer\" content=\"no-referrer\">\n"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         "<meta name=\"color-scheme\" content=\"light dark\">\n"
         "<title>Printer report</title>\n<style>";
  out += kStyle;
  out += "</style>\n</head>\n<body>\n<header>\n<h1>Printer report</h1>\n<p class=\"summary\"><strong>";
  out += plural(printers.size(), "printer", "printers") + " found, " +
         (attention == 1 ? std::string("1 needs") : std::to_string(attention) + " need") + " attention";
  out += "</strong>";
  if (!others.empty()) out += "; " + plural(others.size(), "other device", "other devices");
  out += ". ";
  if (!summary.generated.empty()) out += "Made " + cell_text(summary.generated);
  if (!summary.host.empty()) out += " on " + cell_text(summary.host);
  if (!summary.sources.empty()) {
    out += " from ";
    bool first = true;
    std::size_t n = 0;
    for (const auto &s : summary.sources) {
      if (n++ == kMaxListItems) {
        out += " and " + std::to_string(summary.sources.size() - kMaxListItems) + " more";
        break;
      }
      out += (first ? "" : ", ") + cell_text(s);
      first = false;
    }
  }
  out += ".</p>\n</header>\n<main>\n";
  if (printers.empty())
    out += "<p>No printers were found.</p>\n";
  else
    write_table(out, printers, "Printers, those that need attention first", "Printer");
  if (!others.empty()) {
    out += "<details>\n<summary>Other devices (" + std::to_string(others.size()) + ")</summary>\n";
    write_table(out, others, "Other devices", "Device");
    out += "</details>\n";
  }
  out += "</main>\n<footer>Made by kivo report. Supplies below " + std::to_string(kLowSupplyPercent) +
         " % need attention.</footer>\n</body>\n</html>\n";
  return out;
}

}  // namespace kivo::report
