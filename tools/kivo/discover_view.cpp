// The table and JSON output of `kivo discover`.
#include "discover_view.h"

#include <algorithm>
#include <cstring>

#include "common.h"

namespace kivo {

namespace {

const char *kind_heading(const std::string &kind) {
  if (kind == "printer") return "printer";
  if (kind == "no-snmp") return "printer without SNMP";
  if (kind == "adapter") return "network adapter";
  return "other device";
}

std::size_t width(const std::string &s) {
  return static_cast<std::size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string json_list(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &x : v) s += (s.empty() ? "" : ", ") + json_string(x);
  return "[" + s + "]";
}

}  // namespace

void print_devices(std::FILE *out, const std::vector<DiscoveredDevice> &devices, bool json) {
  if (json) {
    std::fprintf(out, "[");
    bool first = true;
    for (const DiscoveredDevice &d : devices) {
      std::string item =
          "{\"address\": " + json_string(d.address) + ", \"name\": " + json_string(d.name) +
          ", \"kind\": " + json_string(d.kind) +
          ", \"type\": " + (d.type >= 0 ? std::to_string(d.type) : "null") +
          ", \"web_server\": " + (d.web ? "true" : "false") +
          ", \"found_by\": " + json_list(d.found_by) +
          ", \"product\": " + json_string(d.product) +
          ", \"sys_descr\": " + json_string(d.sys_descr) +
          ", \"sys_object_id\": " + json_string(d.sys_object_id) +
          ", \"printer_name\": " + json_string(d.printer_name) +
          ", \"device_id\": " + json_string(d.device_id) +
          ", \"slp_urls\": " + json_list(d.slp_urls) + "}";
      std::fprintf(out, "%s\n  %s", first ? "" : ",", item.c_str());
      first = false;
    }
    std::fprintf(out, "%s]\n", first ? "" : "\n");
    return;
  }
  if (devices.empty()) {
    std::fprintf(out, "%s\n", tr("No devices found.").c_str());
    return;
  }
  std::vector<std::vector<std::string>> rows;
  rows.push_back({tr("Address"), tr("Name"), tr("Kind"), tr("Web server"), tr("Found by")});
  for (const DiscoveredDevice &d : devices) {
    std::string ways;
    for (const auto &w : d.found_by) ways += (ways.empty() ? "" : ", ") + tr(w.c_str());
    rows.push_back({d.address, d.name, tr(kind_heading(d.kind)), tr(d.web ? "yes" : "no"), ways});
  }
  std::vector<std::size_t> widths(rows[0].size(), 0);
  for (const auto &r : rows)
    for (std::size_t i = 0; i < r.size(); ++i) widths[i] = std::max(widths[i], width(r[i]));
  for (const auto &r : rows) {
    std::string line;
    for (std::size_t i = 0; i < r.size(); ++i) {
      line += r[i];
      if (i + 1 < r.size()) line += std::string(widths[i] - width(r[i]) + 2, ' ');
    }
    std::fprintf(out, "%s\n", line.c_str());
  }
}

}  // namespace kivo
