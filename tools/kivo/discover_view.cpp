// The table and JSON output of `kivo discover`.
#include "discover_view.h"

#include <algorithm>
#include <cstring>

#include "common.h"
#include "text_out.h"

namespace kivo {

namespace {

const char *kind_heading(const std::string &kind) {
  if (kind == "printer") return "printer";
  if (kind == "no-snmp") return "printer without SNMP";
  if (kind == "adapter") return "network adapter";
  if (kind == "unknown") return "unknown";
  return "other device";
}

std::string json_list(const std::vector<std::string> &v) {
  std::string s;
  for (const auto &x : v) s += (s.empty() ? "" : ", ") + json_string(x);
  return "[" + s + "]";
}

}  // namespace

std::string untranslated_name(const char *name) {
  if (name == nullptr) return "";
  // The library names devices it cannot name by these message keys, through the message
  // catalogue; the translation it returns is the catalogue's own text, so the pointer
  // tells a translated key from a device that happens to report the same letters.
  for (const char *key : {"Unknown", "DA Unit", "SNMP Disabled Device"})
    if (name == transtext_message(key)) return key;
  return name;
}

void print_devices(std::FILE *out, const std::vector<DiscoveredDevice> &devices, bool json,
                   bool wide) {
  if (json) {
    std::string text = "[";
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
      const char *version = d.snmp_version == 0   ? "\"1\""
                            : d.snmp_version == 1 ? "\"2c\""
                            : d.snmp_version == 3 ? "\"3\""
                                                  : "null";
      std::string item =
          "{\"address\": " + json_string(d.address) + ", \"name\": " + json_string(d.name) +
          ", \"kind\": " + json_string(d.kind) +
          ", \"type\": " + (d.type >= 0 ? std::to_string(d.type) : "null") +
          ", \"web_server\": " + (!d.web_probed ? "null" : d.web ? "true" : "false") +
          ", \"found_by\": " + json_list(d.found_by) +
          ", \"product\": " + json_string(d.product) +
          ", \"make\": " + json_string(d.make) + ", \"model\": " + json_string(d.model) +
          ", \"sys_descr\": " + json_string(d.sys_descr) +
          ", \"sys_object_id\": " + json_string(d.sys_object_id) +
          ", \"sys_name\": " + json_string(d.sys_name) +
          ", \"hr_device_descr\": " + json_string(d.hr_device_descr) +
          ", \"printer_name\": " + json_string(d.printer_name) +
          ", \"device_id\": " + json_string(d.device_id) + ", \"snmp_version\": " + version +
          ", \"community\": " + (d.community.empty() ? "null" : json_string(d.community)) +
          ", \"slp_urls\": " + json_list(d.slp_urls) +
          ", \"engine_id\": " + (d.engine_id.empty() ? "null" : json_string(d.engine_id)) +
          (d.snmpv3_user.empty() ? std::string() : ", \"snmpv3_user\": " + json_string(d.snmpv3_user)) +
          ", \"services\": [" + services + "]}";
      text += (first ? "\n  " : ",\n  ") + item;
      first = false;
    }
    text += first ? "]\n" : "\n]\n";
    // JSON is UTF-8 whatever the terminal: written as it stands, never converted.
    std::fwrite(text.data(), 1, text.size(), out);
    return;
  }
  if (devices.empty()) {
    put(out, tr("No devices found.") + "\n");
    return;
  }
  std::vector<std::vector<std::string>> rows;
  rows.push_back({tr("Address"), tr("Name"), tr("Kind"), tr("Web server"), tr("Found by")});
  for (const DiscoveredDevice &d : devices) {
    std::string ways;
    for (const auto &w : d.found_by) ways += (ways.empty() ? "" : ", ") + tr(w.c_str());
    rows.push_back({safe_text(d.address), safe_text(d.shown_name.empty() ? d.name : d.shown_name),
                    tr(kind_heading(d.kind)), !d.web_probed ? "-" : tr(d.web ? "yes" : "no"),
                    safe_text(ways)});
  }
  TableLayout layout;
  layout.shrink = 1;
  layout.wide = wide;
  print_table(out, rows, layout);
}

}  // namespace kivo
