// kivo status's three outputs. Every device text goes through exactly one escaping
// function of its output: safe_text for the terminal, kivo's one JSON writer (json_out.h)
// for JSON, openmetrics_label for OpenMetrics.
#include "status_view.h"

#include <charconv>

#include "common.h"
#include "json_out.h"
#include "text_out.h"

namespace kivo {

namespace {

constexpr int kBarCells = 20;
constexpr std::size_t kDescriptionColumns = 40;
constexpr std::size_t kTextColumns = 100;

bool given(const kivo_status_text &t) { return t.data != nullptr; }
std::string bytes(const kivo_status_text &t) {
  return t.data == nullptr ? std::string() : std::string(t.data, t.length);
}

// A device text for the terminal: control characters shown as escapes, cut to `columns`.
std::string shown(const kivo_status_text &t, std::size_t columns = kTextColumns) {
  return cut_to(safe_text(bytes(t)), columns);
}

// An enumeration as the MIB names it; the number when the MIB names no such value.
std::string enum_text(const char *name, std::int32_t value) {
  if (value == KIVO_STATUS_ABSENT) return "-";
  return name != nullptr ? name : std::to_string(value);
}
Json enum_json(const char *name, std::int32_t value) {
  if (value == KIVO_STATUS_ABSENT) return nullptr;
  if (name != nullptr) return name;
  return value;
}
Json int_json(std::int32_t value) {
  if (value == KIVO_STATUS_ABSENT) return nullptr;
  return value;
}
Json text_json(const kivo_status_text &t) {
  if (!given(t)) return nullptr;
  return json_text(bytes(t));
}

std::vector<std::string> error_names(const kivo_status &s) {
  std::vector<std::string> names;
  for (int bit = 0; bit < KIVO_STATUS_ERROR_BITS; ++bit)
    if ((s.errors & (1u << bit)) != 0) names.emplace_back(kivo_status_error_name(bit));
  return names;
}

// The share of the supply that is left (or, for a receptacle, of the room left), exactly
// as the device's numbers give it; negative when they give none.
double level_ratio(const kivo_status_supply &s) {
  if (s.percent < 0) return -1;
  if (s.unit == KIVO_STATUS_UNIT_PERCENT) return s.level / 100.0;
  return static_cast<double>(s.level) / static_cast<double>(s.max_capacity);
}

std::string number_text(double v) {
  char buffer[32];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
  if (ec != std::errc()) return "NaN";
  return std::string(buffer, end);
}

// "state ipp, errors ipp, supplies snmp": where each part came from, the parts given.
std::string source_line(const kivo_status &s) {
  std::string line;
  const std::pair<const char *, std::int32_t> parts[] = {
      {"state", s.printer_status_source}, {"errors", s.errors_source}, {"supplies", s.supplies_source}};
  for (const auto &[part, source] : parts) {
    const char *name = kivo_status_source_name(source);
    if (name == nullptr) continue;
    if (!line.empty()) line += ", ";
    line += tr(part) + " " + name;
  }
  return line;
}

Json source_json(std::int32_t source) {
  const char *name = kivo_status_source_name(source);
  return name != nullptr ? Json(name) : Json(nullptr);
}

Json ipp_state_json(std::int32_t state) {
  switch (state) {
    case KIVO_STATUS_ABSENT: return nullptr;
    case 3: return "idle";
    case 4: return "processing";
    case 5: return "stopped";
    default: return state;
  }
}

}  // namespace

std::string supply_gauge(const kivo_status_supply &s, std::int32_t source) {
  if (s.percent >= 0) {
    int filled = (s.percent * kBarCells + 50) / 100;
    std::string bar = "[" + std::string(static_cast<std::size_t>(filled), '#') +
                      std::string(static_cast<std::size_t>(kBarCells - filled), '.') + "] ";
    std::string pct = std::to_string(s.percent) + "%";
    bar += std::string(pct.size() < 4 ? 4 - pct.size() : 0, ' ') + pct;
    if (s.level_is_space_remaining) bar += " " + tr("space left");
    return bar;
  }
  std::string blank = "[" + std::string(kBarCells, ' ') + "] ";
  switch (s.level) {
    case KIVO_STATUS_LEVEL_SOME_REMAINING: return blank + tr("some");
    case KIVO_STATUS_LEVEL_UNRESTRICTED:
      // IPP's -1 is a level the printer cannot give, not one without limit.
      return blank + (source == KIVO_STATUS_SOURCE_IPP ? tr("unavailable") : tr("unlimited"));
    case KIVO_STATUS_LEVEL_UNKNOWN:
    case KIVO_STATUS_ABSENT: return blank + tr("unknown");
    default:
      // A level without a percentage (above its maximum, or no maximum): the raw number.
      return blank + subst(tr("level {1}"), {std::to_string(s.level)}) +
             (s.max_capacity >= 0 ? " / " + std::to_string(s.max_capacity) : "");
  }
}

void print_status_text(std::FILE *out, const std::vector<DeviceStatus> &devices) {
  for (std::size_t d = 0; d < devices.size(); ++d) {
    const DeviceStatus &device = devices[d];
    std::string text = (d != 0 ? "\n" : "") + safe_text(device.address) + ": ";
    if (device.status == nullptr) {
      put(out, text + safe_text(device.error) + "\n");
      continue;
    }
    const kivo_status &s = *device.status;
    text += enum_text(kivo_status_printer_status_name(s.printer_status), s.printer_status) +
            ", " + enum_text(kivo_status_device_status_name(s.device_status), s.device_status) +
            "\n";
    std::string errors;
    for (const auto &e : error_names(s)) errors += (errors.empty() ? "" : ", ") + e;
    if (!s.errors_given) errors = tr("not reported");
    if (errors.empty()) errors = tr("none");
    text += "  " + tr("errors") + "    " + errors + "\n";
    if (given(s.ipp_reasons)) text += "  " + tr("reasons") + "   " + shown(s.ipp_reasons) + "\n";
    if (s.printer_status_source == KIVO_STATUS_SOURCE_IPP || s.errors_source == KIVO_STATUS_SOURCE_IPP ||
        s.supplies_source == KIVO_STATUS_SOURCE_IPP)
      text += "  " + tr("from") + "      " + source_line(s) + "\n";

    std::vector<std::vector<std::string>> rows;
    for (std::uint32_t i = 0; i < s.supply_count; ++i) {
      const kivo_status_supply &sup = s.supplies[i];
      std::string name = given(sup.description)
                             ? shown(sup.description, kDescriptionColumns)
                             : enum_text(kivo_status_type_name(sup.type), sup.type);
      std::string colour = given(sup.colorant) ? shown(sup.colorant, 16) : "";
      rows.push_back({"   ", name, colour, supply_gauge(sup, s.supplies_source)});
    }
    put(out, text);
    if (!rows.empty()) {
      put(out, "  " + tr("supplies") + "\n");
      TableLayout layout;
      layout.wide = true;
      print_table(out, rows, layout);
    }
    if (s.supplies_truncated)
      put(out, "    " +
                   subst(tr("(only the first {1} supplies)"), {std::to_string(s.supply_count)}) +
                   "\n");
    text.clear();
    if (s.alert_count > 0) text += "  " + tr("alerts") + "\n";
    for (std::uint32_t i = 0; i < s.alert_count; ++i) {
      const kivo_status_alert &a = s.alerts[i];
      text += "    " + enum_text(kivo_status_severity_name(a.severity), a.severity) + "  " +
              enum_text(kivo_status_code_name(a.code), a.code) + "  " + shown(a.description) +
              "\n";
    }
    if (s.alerts_truncated)
      text += "    " + subst(tr("(only the first {1} alerts)"), {std::to_string(s.alert_count)}) +
              "\n";
    if (s.page_count >= 0)
      text += "  " + tr("pages") + "     " + std::to_string(s.page_count) + "\n";
    if (given(s.serial)) text += "  " + tr("serial") + "    " + shown(s.serial) + "\n";
    if (given(s.location)) text += "  " + tr("location") + "  " + shown(s.location) + "\n";
    if (given(s.contact)) text += "  " + tr("contact") + "   " + shown(s.contact) + "\n";
    if (s.mac[0] != '\0') text += "  mac       " + std::string(s.mac) + "\n";
    for (std::uint32_t i = 0; i < s.display_count; ++i)
      text += "  " + (i == 0 ? tr("display") : "       ") + "   " + shown(s.display[i]) + "\n";
    put(out, text);
  }
}

Json status_fields_json(const kivo_status &s) {
  Json d = Json::object();
  d["state"] = enum_json(kivo_status_printer_status_name(s.printer_status), s.printer_status);
  d["device_status"] = enum_json(kivo_status_device_status_name(s.device_status), s.device_status);
  d["errors"] = s.errors_given ? Json(error_names(s)) : Json(nullptr);
  Json alerts = Json::array();
  for (std::uint32_t i = 0; i < s.alert_count; ++i) {
    const kivo_status_alert &a = s.alerts[i];
    Json j;
    j["index"] = a.index;
    j["severity"] = enum_json(kivo_status_severity_name(a.severity), a.severity);
    j["training_level"] = enum_json(kivo_status_training_name(a.training_level), a.training_level);
    j["group"] = enum_json(kivo_status_group_name(a.group), a.group);
    j["group_index"] = int_json(a.group_index);
    j["location"] = int_json(a.location);
    j["code"] = enum_json(kivo_status_code_name(a.code), a.code);
    j["description"] = text_json(a.description);
    alerts.push_back(std::move(j));
  }
  d["alerts"] = std::move(alerts);
  d["alerts_truncated"] = s.alerts_truncated != 0;
  Json supplies = Json::array();
  for (std::uint32_t i = 0; i < s.supply_count; ++i) {
    const kivo_status_supply &sup = s.supplies[i];
    Json j;
    j["index"] = sup.index;
    j["description"] = text_json(sup.description);
    j["class"] = enum_json(kivo_status_class_name(sup.supply_class), sup.supply_class);
    j["type"] = enum_json(kivo_status_type_name(sup.type), sup.type);
    j["colorant"] = text_json(sup.colorant);
    j["unit"] = enum_json(kivo_status_unit_name(sup.unit), sup.unit);
    j["max"] = int_json(sup.max_capacity);
    j["level"] = int_json(sup.level);
    j["percent"] = sup.percent >= 0 ? Json(sup.percent) : Json(nullptr);
    j["level_is_space_remaining"] = sup.level_is_space_remaining != 0;
    supplies.push_back(std::move(j));
  }
  d["supplies"] = std::move(supplies);
  d["supplies_truncated"] = s.supplies_truncated != 0;
  d["page_count"] = s.page_count >= 0 ? Json(s.page_count) : Json(nullptr);
  d["serial"] = text_json(s.serial);
  d["location"] = text_json(s.location);
  d["contact"] = text_json(s.contact);
  d["mac"] = s.mac[0] != '\0' ? Json(s.mac) : Json(nullptr);
  d["uptime_ticks"] = s.uptime_ticks >= 0 ? Json(s.uptime_ticks) : Json(nullptr);
  Json display = Json::array();
  for (std::uint32_t i = 0; i < s.display_count; ++i) display.push_back(text_json(s.display[i]));
  d["display"] = std::move(display);
  // Where each part came from ("snmp", "ipp", null when neither gave it), and IPP's own
  // state and the reasons no error name stands for.
  Json sources = Json::object();
  sources["state"] = source_json(s.printer_status_source);
  sources["errors"] = source_json(s.errors_source);
  sources["supplies"] = source_json(s.supplies_source);
  d["sources"] = std::move(sources);
  d["ipp_state"] = ipp_state_json(s.ipp_state);
  d["ipp_reasons"] = text_json(s.ipp_reasons);
  return d;
}

std::string status_brief(const kivo_status &s) {
  std::string text = enum_text(kivo_status_printer_status_name(s.printer_status), s.printer_status);
  std::string errors;
  for (const auto &e : error_names(s)) errors += (errors.empty() ? "" : ", ") + e;
  if (!errors.empty()) text += ": " + errors;
  std::string supplies;
  constexpr std::uint32_t kShown = 6;
  for (std::uint32_t i = 0; i < s.supply_count && i < kShown; ++i) {
    const kivo_status_supply &sup = s.supplies[i];
    std::string name = given(sup.colorant) && sup.colorant.length > 0
                           ? shown(sup.colorant, 12)
                           : enum_text(kivo_status_type_name(sup.type), sup.type);
    std::string level;
    if (sup.percent >= 0) {
      level = std::to_string(sup.percent) + "%";
      if (sup.level_is_space_remaining) level += " " + tr("left");
    } else if (sup.level == KIVO_STATUS_LEVEL_SOME_REMAINING) {
      level = tr("some");
    } else if (sup.level == KIVO_STATUS_LEVEL_UNRESTRICTED && s.supplies_source != KIVO_STATUS_SOURCE_IPP) {
      level = tr("unlimited");
    } else {
      level = "?";
    }
    if (!supplies.empty()) supplies += ", ";
    supplies += name;
    supplies += ' ';
    supplies += level;
  }
  if (s.supply_count > kShown)
    supplies += ", " + subst(tr("{1} more"), {std::to_string(s.supply_count - kShown)});
  if (!supplies.empty()) text += "; " + supplies;
  if (s.alert_count > 0)
    text += "; " + (s.alert_count == 1 ? tr("1 alert")
                                       : subst(tr("{1} alerts"), {std::to_string(s.alert_count)}));
  return text;
}

std::string status_json(const std::vector<DeviceStatus> &devices) {
  std::vector<Json> all;
  for (const DeviceStatus &device : devices) {
    Json d;
    d["address"] = json_text(device.address);
    if (device.status == nullptr) {
      d["error"] = json_text(device.error);
      all.push_back(std::move(d));
      continue;
    }
    d.update(status_fields_json(*device.status));
    all.push_back(std::move(d));
  }
  return json_lines_array(all);
}

namespace {

// Length of the valid, shortest-form UTF-8 sequence of a Unicode scalar value at the
// start of `t`; 0 when there is none.
std::size_t utf8_sequence(std::string_view t) {
  auto b = [&](std::size_t i) { return static_cast<unsigned char>(t[i]); };
  auto cont = [&](std::size_t i) { return i < t.size() && (b(i) & 0xc0) == 0x80; };
  unsigned char c = b(0);
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) return cont(1) ? 2 : 0;
  if (c >= 0xe0 && c <= 0xef) {
    if (!cont(1) || !cont(2)) return 0;
    if (c == 0xe0 && b(1) < 0xa0) return 0;   // overlong
    if (c == 0xed && b(1) >= 0xa0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    if (!cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xf0 && b(1) < 0x90) return 0;   // overlong
    if (c == 0xf4 && b(1) >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

}  // namespace

std::string openmetrics_label(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    std::size_t n = utf8_sequence(text);
    if (n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for each byte that belongs to no character
      text.remove_prefix(1);
      continue;
    }
    if (n == 1) {
      switch (text[0]) {
        case '\\': out += "\\\\"; break;
        case '"': out += "\\\""; break;
        case '\n': out += "\\n"; break;
        default: out += text[0];
      }
    } else {
      out.append(text.substr(0, n));
    }
    text.remove_prefix(n);
  }
  return out;
}

std::string status_openmetrics(const std::vector<DeviceStatus> &devices) {
  std::string up, state, device_status, errors, alerts, ratio, pages;
  for (const DeviceStatus &device : devices) {
    const std::string who = "address=\"" + openmetrics_label(device.address) + "\"";
    up += "kivo_printer_up{" + who + "} " + (device.status != nullptr ? "1" : "0") + "\n";
    if (device.status == nullptr) continue;
    const kivo_status &s = *device.status;
    // Only states the device reported and the MIB names: no sample is a guess.
    if (kivo_status_printer_status_name(s.printer_status) != nullptr) {
      for (std::int32_t v = 1; v <= 5; ++v)
        state += "kivo_printer_state{" + who + ",state=\"" + kivo_status_printer_status_name(v) +
                 "\"} " + (v == s.printer_status ? "1" : "0") + "\n";
    }
    if (kivo_status_device_status_name(s.device_status) != nullptr) {
      for (std::int32_t v = 1; v <= 5; ++v)
        device_status += "kivo_printer_device_status{" + who + ",status=\"" +
                         kivo_status_device_status_name(v) + "\"} " +
                         (v == s.device_status ? "1" : "0") + "\n";
    }
    if (s.errors_given) {
      for (int bit = 0; bit < KIVO_STATUS_ERROR_BITS; ++bit)
        errors += "kivo_printer_error{" + who + ",error=\"" + kivo_status_error_name(bit) +
                  "\"} " + ((s.errors & (1u << bit)) != 0 ? "1" : "0") + "\n";
    }
    alerts += "kivo_printer_alerts{" + who + "} " + std::to_string(s.alert_count) + "\n";
    for (std::uint32_t i = 0; i < s.supply_count; ++i) {
      const kivo_status_supply &sup = s.supplies[i];
      double r = level_ratio(sup);
      if (r < 0) continue;
      const char *type = kivo_status_type_name(sup.type);
      ratio += "kivo_supply_level_ratio{" + who + ",index=\"" + std::to_string(sup.index) +
               "\",description=\"" + openmetrics_label(bytes(sup.description)) + "\",type=\"" +
               openmetrics_label(type != nullptr ? type : "") + "\",colour=\"" +
               openmetrics_label(bytes(sup.colorant)) + "\",receptacle=\"" +
               (sup.level_is_space_remaining ? "true" : "false") + "\"} " + number_text(r) + "\n";
    }
    if (s.page_count >= 0)
      pages += "kivo_printer_pages_total{" + who + "} " + std::to_string(s.page_count) + "\n";
  }
  std::string out;
  auto family = [&out](const char *name, const char *type, const char *help,
                       const std::string &samples) {
    if (samples.empty()) return;
    out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" +
           samples;
  };
  family("kivo_printer_up", "gauge", "1 when the device answered the status read.", up);
  family("kivo_printer_state", "gauge", "1 for the printer's hrPrinterStatus, 0 for the others.",
         state);
  family("kivo_printer_device_status", "gauge",
         "1 for the printer's hrDeviceStatus, 0 for the others.", device_status);
  family("kivo_printer_error", "gauge",
         "1 for each hrPrinterDetectedErrorState flag that is set.", errors);
  family("kivo_printer_alerts", "gauge", "Rows read from the printer's alert table.", alerts);
  family("kivo_supply_level_ratio", "gauge",
         "Share of the supply left (of the room left for a receptacle), where the device "
         "gives one.",
         ratio);
  family("kivo_printer_pages_total", "counter", "Pages printed (prtMarkerLifeCount).", pages);
  return out + "# EOF\n";
}

}  // namespace kivo
