// The table, JSON, NDJSON and CSV output of `kivo discover`.
#include "discover_view.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <cstring>

#include "common.h"
#include "json_out.h"
#include "status_view.h"
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

const char *version_word(int version) {
  switch (version) {
    case 0: return "1";
    case 1: return "2c";
    case 3: return "3";
    default: return nullptr;
  }
}

const char *kind_of(const device_record *r) {
  if (device_isStdMibPrinter(r)) return "printer";
  if (device_isNoSNMP(r)) return "no-snmp";
  if (device_isNAB(r)) return "adapter";
  if (device_isPrinter(r)) return "printer";
  return "other";
}

std::string hex(const std::uint8_t *bytes, std::uint32_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (std::uint32_t i = 0; i < n; ++i) {
    s += digits[bytes[i] >> 4];
    s += digits[bytes[i] & 15];
  }
  return s;
}

const char *scheme_word(std::int32_t scheme) {
  switch (scheme) {
    case KIVO_ENDPOINT_IPPS: return "ipps";
    case KIVO_ENDPOINT_IPP: return "ipp";
    case KIVO_ENDPOINT_SOCKET: return "socket";
    case KIVO_ENDPOINT_LPD: return "lpd";
    default: return "other";
  }
}

const char *state_word(int state) {
  switch (state) {
    case 3: return "idle";
    case 4: return "processing";
    case 5: return "stopped";
    default: return nullptr;
  }
}

std::string text_or_empty(const char *t) { return t != nullptr ? t : ""; }

}  // namespace

DiscoveredDevice view_of(const kivo_discover_device &d, const std::string &v3_user, bool status,
                         bool endpoints_probed) {
  DiscoveredDevice v;
  const device_record *r = d.record;
  v.ip = ntohl(d.address.s_addr);
  v.address = ipv4_text(d.address);
  const char *name = device_get_productname(r);
  v.shown_name = name != nullptr ? name : "";
  v.name = untranslated_name(name);
  v.unknown = v.name == "Unknown";
  // A printer that announced itself by DNS-SD is named by its TXT keys even when it does
  // not answer SNMP; one found only by SLP keeps the word for a printer without SNMP.
  if (device_isNoSNMP(r) && d.product_name[0] != '\0') v.shown_name = v.name = d.product_name;
  v.kind = kind_of(r);
  // An SNMPv3 agent that only answered the engine-id probe told nothing of what it is.
  if (d.kind == KIVO_DISCOVER_KIND_UNKNOWN) {
    v.kind = "unknown";
    if (d.product_name[0] == '\0' && (d.found_by & KIVO_DISCOVER_FOUND_SNMPV3) != 0) {
      v.name = d.make[0] != '\0' ? std::string(d.make) + " SNMPv3 agent" : "SNMPv3 agent";
      v.shown_name = d.make[0] != '\0' ? std::string(d.make) + " " + tr("SNMPv3 agent") : tr("SNMPv3 agent");
    }
  }
  v.type = r->info != nullptr ? r->info->type : -1;
  v.web = d.web_server == KIVO_DISCOVER_WEB_YES;
  v.web_probed = d.web_server != KIVO_DISCOVER_WEB_NOT_PROBED;
  const std::pair<std::uint32_t, const char *> ways[] = {
      {KIVO_DISCOVER_FOUND_BROADCAST, "broadcast"}, {KIVO_DISCOVER_FOUND_SCAN, "scan"},
      {KIVO_DISCOVER_FOUND_SLP, "slp"},             {KIVO_DISCOVER_FOUND_MDNS, "mdns"},
      {KIVO_DISCOVER_FOUND_SNMPV3, "snmpv3"}};
  for (const auto &[bit, word] : ways)
    if ((d.found_by & bit) != 0) v.found_by.push_back(word);
  v.product = r->product;
  v.make = d.make;
  v.model = d.model;
  v.sys_descr = d.sys_descr;
  // Dotted with a leading dot, as the other commands print object identifiers.
  if (d.sys_object_id[0] != '\0')
    v.sys_object_id = (d.sys_object_id[0] == '.' ? "" : ".") + std::string(d.sys_object_id);
  v.sys_name = d.sys_name;
  v.hr_device_descr = d.hr_device_descr;
  v.printer_name = d.printer_name;
  v.device_id = d.device_id;
  v.snmp_version = d.snmp_version;
  v.community = d.community;
  for (std::uint32_t i = 0; i < d.slp_url_count; ++i) v.slp_urls.emplace_back(d.slp_urls[i]);
  v.engine_id = hex(d.engine_id, d.engine_id_length);
  if (d.snmp_version == 3) v.snmpv3_user = v3_user;
  if (!v3_user.empty()) v.snmpv3_error = d.snmpv3_error;
  for (std::uint32_t i = 0; i < d.service_count; ++i) {
    const kivo_discover_service &s = d.services[i];
    DiscoveredService out;
    out.instance = s.instance;
    out.type = s.type;
    out.host = s.host;
    out.port = s.port;
    for (std::uint32_t k = 0; k < s.address_count; ++k) out.addresses.emplace_back(s.addresses[k]);
    for (std::uint32_t k = 0; k < s.txt_count; ++k) out.txt.emplace_back(s.txt[k].key, s.txt[k].value);
    v.services.push_back(std::move(out));
  }
  v.endpoints_probed = endpoints_probed;
  for (std::uint32_t i = 0; i < d.endpoint_count; ++i) {
    const kivo_discover_endpoint &e = d.endpoints[i];
    v.endpoints.push_back({scheme_word(e.scheme), text_or_empty(e.uri), e.port, e.from_dnssd != 0});
  }
  v.driverless = d.driverless;
  v.ipp = d.ipp_make_and_model != nullptr || d.printer_uuid != nullptr || d.ipp_state != 0 || d.driverless >= 0;
  v.uuid = text_or_empty(d.printer_uuid);
  v.ipp_make_and_model = text_or_empty(d.ipp_make_and_model);
  v.ipp_location = text_or_empty(d.ipp_location);
  v.ipp_state = d.ipp_state;
  v.ipp_state_reasons = text_or_empty(d.ipp_state_reasons);
  v.tls_fingerprint = text_or_empty(d.tls_fingerprint);
  v.status_asked = status;
  if (status) v.status = d.status;
  return v;
}

namespace {

// The first line of a text, without its line end.
std::string first_line(const std::string &text) { return text.substr(0, text.find_first_of("\r\n")); }

// The name as the table shows it: a device the naming rule could not name keeps what it
// said of itself beside the word, so that it can still be told apart.
std::string table_name(const DiscoveredDevice &d) {
  std::string name = d.shown_name.empty() ? d.name : d.shown_name;
  if (!d.unknown) return safe_text(name);
  std::string said = safe_text(d.sys_name);
  const std::string descr = safe_text(first_line(d.sys_descr));
  if (!descr.empty()) said += (said.empty() ? "" : ": ") + descr;
  return safe_text(name) + (said.empty() ? "" : " (" + said + ")");
}

// Columns a narrow terminal leaves out, last first, before the name is cut below this.
constexpr std::size_t kOptionalColumns = 4;

// The print URI column: the best endpoint, or with --wide every one.
std::string uri_cell(const DiscoveredDevice &d, bool wide) {
  if (!d.endpoints_probed || d.endpoints.empty()) return "-";
  if (!wide) return safe_text(d.endpoints.front().uri);
  std::string all;
  for (const auto &e : d.endpoints) all += (all.empty() ? "" : " ") + safe_text(e.uri);
  return all;
}
constexpr std::size_t kNameRoom = 30;
// The status cell, unless --wide: the state and the first supplies fit.
constexpr std::size_t kStatusRoom = 60;

void print_device_table(std::FILE *out, const std::vector<DiscoveredDevice> &devices, bool wide) {
  if (devices.empty()) {
    put(out, tr("No devices found.") + "\n");
    return;
  }
  // --status adds a column before the ones a narrow terminal may leave out: it was asked
  // for.
  const bool status = std::any_of(devices.begin(), devices.end(),
                                  [](const DiscoveredDevice &d) { return d.status_asked; });
  std::vector<std::vector<std::string>> rows;
  rows.push_back({tr("Address"), tr("Name"), tr("Kind"), tr("Web server"), tr("Found by"),
                  tr("Print URI"), tr("Community"), tr("System name"), tr("MAC address")});
  if (status) rows[0].insert(rows[0].begin() + 5, tr("Status"));
  for (const DiscoveredDevice &d : devices) {
    std::string ways;
    for (const auto &w : d.found_by) ways += (ways.empty() ? "" : ", ") + tr(w.c_str());
    rows.push_back({safe_text(d.address), table_name(d), tr(kind_heading(d.kind)),
                    !d.web_probed ? "-" : tr(d.web ? "yes" : "no"), safe_text(ways),
                    uri_cell(d, wide), d.community.empty() ? "-" : safe_text(d.community),
                    d.sys_name.empty() ? "-" : safe_text(first_line(d.sys_name)),
                    d.mac.empty() ? "-" : d.mac});
    if (status) {
      std::string cell = d.status != nullptr ? status_brief(*d.status) : "-";
      if (!wide) cell = cut_to(cell, kStatusRoom);
      rows.back().insert(rows.back().begin() + 5, cell);
    }
  }
  // On a narrow terminal the URI, community, system name and MAC columns go (MAC first)
  // while the name would be cut shorter than kNameRoom; --wide and the other formats
  // keep them.
  const std::size_t width = terminal_width();
  std::size_t columns = rows[0].size();
  if (!wide && width != 0) {
    std::vector<std::size_t> widths(columns, 0);
    for (const auto &r : rows)
      for (std::size_t i = 0; i < columns; ++i) widths[i] = std::max(widths[i], columns_of(r[i]));
    const std::size_t name_room = std::min(widths[1], kNameRoom);
    while (columns > rows[0].size() - kOptionalColumns) {
      std::size_t others = 2 * (columns - 1);
      for (std::size_t i = 0; i < columns; ++i)
        if (i != 1) others += widths[i];
      if (others + name_room <= width) break;
      --columns;
    }
    for (auto &r : rows) r.resize(columns);
  }
  TableLayout layout;
  layout.shrink = 1;
  layout.wide = wide;
  print_table(out, rows, layout);
}

const char *const kCsvColumns[] = {"address",   "name",        "kind",         "web_server",
                                   "found_by",  "snmp_version", "community",   "sys_name",
                                   "sys_descr", "make",        "model",        "mac",
                                   "snmpv3_error", "uri",      "driverless",   "uuid"};

std::string csv_row(const DiscoveredDevice &d) {
  std::string ways;
  for (const auto &w : d.found_by) ways += (ways.empty() ? "" : " ") + w;
  const char *version = version_word(d.snmp_version);
  const std::string fields[] = {d.address, d.name, d.kind,
                                !d.web_probed ? "" : d.web ? "true" : "false",
                                ways, version != nullptr ? version : "", d.community,
                                d.sys_name, d.sys_descr, d.make, d.model, d.mac,
                                d.snmpv3_error != 0 ? snmpv3_error_token(d.snmpv3_error) : "",
                                d.endpoints.empty() ? "" : d.endpoints.front().uri,
                                d.driverless < 0 ? "" : d.driverless == 1 ? "true" : "false", d.uuid};
  std::string line;
  for (const std::string &f : fields) line += (line.empty() ? "" : ",") + csv_field(f);
  return line + "\r\n";
}

void write_bytes(std::FILE *out, const std::string &text) {
  (void)std::fwrite(text.data(), 1, text.size(), out);
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

std::string snmpv3_error_token(std::int32_t code) {
  switch (code) {
    case 0: return "";
    case KIVO_SNMPV3_ERR_UNKNOWN_USER: return "unknown_user";
    case KIVO_SNMPV3_ERR_WRONG_DIGEST: return "wrong_digest";
    case KIVO_SNMPV3_ERR_DECRYPTION: return "decryption_error";
    case KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL: return "unsupported_level";
    case KIVO_SNMPV3_ERR_NOT_IN_TIME_WINDOW: return "not_in_time_window";
    case KIVO_SNMPV3_ERR_UNKNOWN_ENGINE: return "unknown_engine";
    case KIVO_SNMPV3_ERR_AUTH_REPLY: return "reply_not_authentic";
    case SNMP_ERR_TIMEOUT: return "timeout";
    default: return "report";
  }
}

std::string snmpv3_error_text(std::int32_t code) {
  switch (code) {
    case KIVO_SNMPV3_ERR_UNKNOWN_USER: return tr("unknown user");
    case KIVO_SNMPV3_ERR_WRONG_DIGEST: return tr("wrong digest (authentication pass phrase or protocol)");
    case KIVO_SNMPV3_ERR_DECRYPTION: return tr("decryption error (privacy pass phrase or protocol)");
    case KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL: return tr("security level not supported for this user");
    case KIVO_SNMPV3_ERR_AUTH_REPLY: return tr("replies did not verify (wrong pass phrase?)");
    case SNMP_ERR_TIMEOUT:
      return tr("no answer (a wrong privacy pass phrase gets none from some agents)");
    default: return kivo_snmpv3_strerror(code);
  }
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
  const char *version = version_word(d.snmp_version);
  item["snmp_version"] = version != nullptr ? Json(version) : Json(nullptr);
  item["community"] = d.community.empty() ? Json(nullptr) : json_text(d.community);
  item["mac"] = d.mac.empty() ? Json(nullptr) : Json(d.mac);
  item["slp_urls"] = text_list(d.slp_urls);
  item["engine_id"] = d.engine_id.empty() ? Json(nullptr) : Json(d.engine_id);
  if (!d.snmpv3_user.empty()) item["snmpv3_user"] = json_text(d.snmpv3_user);
  item["snmpv3_error"] = d.snmpv3_error != 0 ? Json(snmpv3_error_token(d.snmpv3_error)) : Json(nullptr);
  Json services = Json::array();
  for (const DiscoveredService &svc : d.services) services.push_back(service_json(svc));
  item["services"] = std::move(services);
  if (d.endpoints_probed) {
    Json endpoints = Json::array();
    for (const DiscoveredEndpoint &e : d.endpoints)
      endpoints.push_back(Json{{"uri", json_text(e.uri)},
                               {"protocol", e.scheme},
                               {"port", e.port},
                               {"tls_sha256", e.scheme == "ipps" && !d.tls_fingerprint.empty()
                                                  ? json_text(d.tls_fingerprint)
                                                  : Json(nullptr)},
                               {"scheme", e.scheme},
                               {"from", e.from_dnssd ? "dnssd" : "probe"}});
    item["endpoints"] = std::move(endpoints);
  } else {
    item["endpoints"] = Json(nullptr);
  }
  item["driverless"] = d.driverless < 0 ? Json(nullptr) : Json(d.driverless == 1);
  item["uuid"] = d.uuid.empty() ? Json(nullptr) : json_text(d.uuid);
  if (d.ipp) {
    auto or_null = [](const std::string &t) { return t.empty() ? Json(nullptr) : json_text(t); };
    const char *state = state_word(d.ipp_state);
    Json reasons = Json::array();
    for (std::size_t start = 0; start < d.ipp_state_reasons.size();) {
      std::size_t comma = d.ipp_state_reasons.find(',', start);
      if (comma == std::string::npos) comma = d.ipp_state_reasons.size();
      reasons.push_back(json_text(d.ipp_state_reasons.substr(start, comma - start)));
      start = comma + 1;
    }
    item["ipp"] = Json{{"make_and_model", or_null(d.ipp_make_and_model)},
                       {"location", or_null(d.ipp_location)},
                       {"state", state != nullptr ? Json(state) : Json(nullptr)},
                       {"state_reasons", std::move(reasons)},
                       {"tls_fingerprint", or_null(d.tls_fingerprint)}};
    if (auto hex = exact_bytes(d.ipp_make_and_model)) exact["ipp_make_and_model"] = *hex;
    if (auto hex = exact_bytes(d.ipp_location)) exact["ipp_location"] = *hex;
  } else {
    item["ipp"] = Json(nullptr);
  }
  // The fields of `kivo status --json`; null for a device without one (not a printer,
  // or its read did not end).
  if (d.status_asked) item["status"] = d.status != nullptr ? status_fields_json(*d.status) : Json(nullptr);
  if (!exact.empty()) item["exact_bytes"] = std::move(exact);
  return item;
}

std::string csv_field(const std::string &text) {
  std::string utf8 = to_utf8(text);
  if (utf8.find_first_of(",\"\r\n") == std::string::npos) return utf8;
  std::string out = "\"";
  for (char c : utf8) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

void print_ndjson_line(std::FILE *out, const DiscoveredDevice &device) {
  write_bytes(out, json_dump(device_json(device)) + "\n");
  (void)std::fflush(out);
}

void print_devices(std::FILE *out, const std::vector<DiscoveredDevice> &devices,
                   OutputFormat format, bool wide) {
  switch (format) {
    case OutputFormat::json: {
      std::vector<Json> items;
      items.reserve(devices.size());
      for (const DiscoveredDevice &d : devices) items.push_back(device_json(d));
      write_json_lines_array(out, items);
      return;
    }
    case OutputFormat::ndjson:
      for (const DiscoveredDevice &d : devices) print_ndjson_line(out, d);
      return;
    case OutputFormat::csv: {
      std::string text;
      for (const char *column : kCsvColumns) text += (text.empty() ? "" : ",") + std::string(column);
      text += "\r\n";
      for (const DiscoveredDevice &d : devices) text += csv_row(d);
      write_bytes(out, text);
      return;
    }
    case OutputFormat::table: print_device_table(out, devices, wide); return;
  }
}

}  // namespace kivo

namespace kivo {

std::string last_run_path() {
  const char *home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home == nullptr || *home == '\0') return "";
  std::string path = home;
  path += "/.kivo/last-discover.json";
  return path;
}

void save_last_run(const std::vector<DiscoveredDevice> &devices) {
  const std::string path = last_run_path();
  if (path.empty()) return;
  const std::string dir = path.substr(0, path.rfind('/'));
  (void)::mkdir(dir.c_str(), 0700);
  std::vector<Json> items;
  items.reserve(devices.size());
  for (const DiscoveredDevice &d : devices) items.push_back(device_json(d));
  const std::string text = json_lines_array(items);
  const std::string temporary = path + ".new";
  std::FILE *f = std::fopen(temporary.c_str(), "w");
  if (f == nullptr) return;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0)
    (void)std::remove(temporary.c_str());
}

}  // namespace kivo
