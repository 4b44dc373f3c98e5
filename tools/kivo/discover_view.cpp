// The table and JSON output of `kivo discover`.
#include "discover_view.h"

#include <algorithm>

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
      std::string services;
      for (const DiscoveredService &svc : d.services) {
        std::string txt;
        for (const auto &[k, v] : svc.txt)
          txt += (txt.empty() ? "" : ", ") + json_string(k) + ": " + json_string(v);
        services += std::string(services.empty() ? "" : ", ") + "{\"instance\": " +
                    json_string(svc.instance) + ", \"type\": " + json_string(svc.type) +
                    ", \"host\": " + json_string(svc.host) +
                    ", \"port\": " + std::to_string(svc.port) +
                    ", \"addresses\": " + json_list(svc.addresses) + ", \"txt\": {" + txt + "}}";
      }
      std::string item =
          "{\"address\": " + json_string(d.address) + ", \"name\": " + json_string(d.name) +
          ", \"kind\": " + json_string(d.kind) +
          ", \"type\": " + (d.type >= 0 ? std::to_string(d.type) : "null") +
          ", \"web_server\": " + (d.web_probed ? (d.web ? "true" : "false") : "null") +
          ", \"found_by\": " + json_list(d.found_by) +
          ", \"product\": " + json_string(d.product) +
          ", \"make\": " + json_string(d.make) + ", \"model\": " + json_string(d.model) +
          ", \"sys_descr\": " + json_string(d.sys_descr) +
          ", \"sys_object_id\": " + json_string(d.sys_object_id) +
          ", \"sys_name\": " + json_string(d.sys_name) +
          ", \"hr_device_descr\": " + json_string(d.hr_device_descr) +
          ", \"printer_name\": " + json_string(d.printer_name) +
          ", \"device_id\": " + json_string(d.device_id) +
          ", \"snmp_version\": " +
          (d.snmp_version == 0 ? "\"1\"" : d.snmp_version == 1 ? "\"2c\"" : d.snmp_version == 3 ? "\"3\"" : "null") +
          ", \"community\": " + (d.community.empty() ? "null" : json_string(d.community)) +
          ", \"slp_urls\": " + json_list(d.slp_urls) +
          ", \"engine_id\": " + (d.engine_id.empty() ? "null" : json_string(d.engine_id)) +
          ", \"services\": [" + services + "]}";
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
    rows.push_back({d.address, d.name, tr(kind_heading(d.kind)), tr(!d.web_probed ? "not probed" : d.web ? "yes" : "no"), ways});
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
