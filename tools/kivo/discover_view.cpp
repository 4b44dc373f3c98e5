// The table and JSON output of `kivo discover`.
#include "discover_view.h"

#include <algorithm>
#include <cstring>

#include "common.h"
#include "json_out.h"
#include "text_out.h"

namespace kivo {

namespace {

const char *kind_heading(const std::string &kind) {
  if (kind == "printer") return "printer";
  if (kind == "no-snmp") return "printer without SNMP";
  if (kind == "adapter") return "network adapter";
  return "other device";
}

Json text_list(const std::vector<std::string> &v) {
  Json out = Json::array();
  for (const auto &x : v) out.push_back(json_text(x));
  return out;
}

Json service_json(const DiscoveredService &svc) {
  Json txt = Json::object();
  for (const auto &[k, v] : svc.txt) txt[to_utf8(k)] = json_text(v);
  return Json{{"instance", json_text(svc.instance)}, {"type", json_text(svc.type)},
              {"host", json_text(svc.host)},         {"port", svc.port},
              {"addresses", text_list(svc.addresses)}, {"txt", std::move(txt)}};
}

Json version_json(int version) {
  switch (version) {
    case 0: return "1";
    case 1: return "2c";
    case 3: return "3";
    default: return nullptr;
  }
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

Json device_json(const DiscoveredDevice &d) {
  Json item = {{"address", d.address}, {"name", json_text(d.name)}, {"kind", d.kind}};
  item["type"] = d.type >= 0 ? Json(d.type) : Json(nullptr);
  item["web_server"] = d.web_probed ? Json(d.web) : Json(nullptr);
  item["found_by"] = text_list(d.found_by);
  // The texts as the device sent them; where they are not UTF-8, their bytes as well.
  const std::pair<const char *, const std::string *> texts[] = {
      {"product", &d.product},           {"make", &d.make},
      {"model", &d.model},               {"sys_descr", &d.sys_descr},
      {"sys_object_id", &d.sys_object_id}, {"sys_name", &d.sys_name},
      {"hr_device_descr", &d.hr_device_descr}, {"printer_name", &d.printer_name},
      {"device_id", &d.device_id}};
  Json exact = Json::object();
  if (auto hex = exact_bytes(d.name)) exact["name"] = *hex;
  for (const auto &[key, text] : texts) {
    item[key] = json_text(*text);
    if (auto hex = exact_bytes(*text)) exact[key] = *hex;
  }
  item["snmp_version"] = version_json(d.snmp_version);
  item["community"] = d.community.empty() ? Json(nullptr) : json_text(d.community);
  item["slp_urls"] = text_list(d.slp_urls);
  item["engine_id"] = d.engine_id.empty() ? Json(nullptr) : Json(d.engine_id);
  if (!d.snmpv3_user.empty()) item["snmpv3_user"] = json_text(d.snmpv3_user);
  Json services = Json::array();
  for (const DiscoveredService &svc : d.services) services.push_back(service_json(svc));
  item["services"] = std::move(services);
  if (!exact.empty()) item["exact_bytes"] = std::move(exact);
  return item;
}

void print_devices(std::FILE *out, const std::vector<DiscoveredDevice> &devices, bool json,
                   bool wide) {
  if (json) {
    std::vector<Json> items;
    items.reserve(devices.size());
    for (const DiscoveredDevice &d : devices) items.push_back(device_json(d));
    write_json_lines_array(out, items);
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
