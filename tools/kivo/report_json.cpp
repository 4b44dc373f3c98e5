// Reading `kivo discover --json` lists for `kivo report`, and merging them.
#include "report_json.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

namespace kivo::report {

namespace {

using nlohmann::json;

// Device lists are a few levels deep; anything deeper is no such list, and refusing it
// early keeps a hostile file from making the parser build a tower of nested values.
constexpr int kMaxDepth = 16;

struct TooDeep : std::runtime_error {
  TooDeep() : std::runtime_error("values are nested more than 16 deep") {}
};

std::string text_of(const json &object, const char *key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::optional<long long> integer_of(const json &object, const char *key) {
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_integer()) return it->get<long long>();
  if (it->is_number_float()) {
    const double v = it->get<double>();
    if (std::isfinite(v) && std::fabs(v) < 9.0e15) return std::llround(v);
  }
  return std::nullopt;
}

long long clamped(long long v, long long lo, long long hi) { return std::clamp(v, lo, hi); }

std::optional<bool> flag_of(const json &object, const char *key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

const json *array_of(const json &object, const char *key) {
  auto it = object.find(key);
  return it != object.end() && it->is_array() ? &*it : nullptr;
}

std::vector<std::string> texts_of(const json &object, const char *key) {
  std::vector<std::string> out;
  if (const json *a = array_of(object, key))
    for (const json &v : *a)
      if (v.is_string()) out.push_back(v.get<std::string>());
  return out;
}

Supply supply_of(const json &s) {
  Supply out;
  out.index = static_cast<long>(clamped(integer_of(s, "index").value_or(0), 0, 1 << 30));
  out.description = text_of(s, "description");
  out.supply_class = text_of(s, "class");
  out.type = text_of(s, "type");
  out.colorant = text_of(s, "colorant");
  out.unit = text_of(s, "unit");
  const long long int_max = std::numeric_limits<int>::max();
  out.max = static_cast<long>(clamped(integer_of(s, "max").value_or(kLevelUnknown), -3, int_max));
  out.level = static_cast<long>(clamped(integer_of(s, "level").value_or(kLevelUnknown), -3, int_max));
  if (auto p = integer_of(s, "percent")) out.percent = static_cast<int>(clamped(*p, 0, 100));
  return out;
}

Device device_of(const json &d, const std::string &site) {
  Device out;
  out.address = text_of(d, "address");
  out.addresses = texts_of(d, "addresses");
  if (!out.address.empty() && std::find(out.addresses.begin(), out.addresses.end(), out.address) == out.addresses.end())
    out.addresses.insert(out.addresses.begin(), out.address);
  out.name = text_of(d, "name");
  // The library's placeholder names say less than the names the device gave itself.
  if (out.name.empty() || out.name == "Unknown" || out.name == "SNMP Disabled Device") {
    for (const char *key : {"printer_name", "sys_name"}) {
      std::string better = text_of(d, key);
      if (!better.empty()) {
        out.name = better;
        break;
      }
    }
  }
  out.kind = text_of(d, "kind");
  out.make = text_of(d, "make");
  out.model = text_of(d, "model");
  out.product = text_of(d, "product");
  out.location = text_of(d, "location");
  out.contact = text_of(d, "contact");
  out.serial = text_of(d, "serial");
  out.mac = text_of(d, "mac");
  out.uuid = text_of(d, "uuid");
  out.found_by = texts_of(d, "found_by");
  // `kivo discover --status` keeps what was read under "status", with the field names of
  // `kivo status --json`; lists written by hand or by older programs have them beside the
  // device's own fields.
  const auto status_it = d.find("status");
  const json &st = status_it != d.end() && status_it->is_object() ? *status_it : d;
  if (&st != &d) {
    const std::pair<const char *, std::string *> fields[] = {
        {"location", &out.location}, {"contact", &out.contact}, {"serial", &out.serial}, {"mac", &out.mac}};
    for (const auto &[key, field] : fields)
      if (field->empty()) *field = text_of(st, key);
  }
  out.state = text_of(st, "state");
  out.device_status = text_of(st, "device_status");
  out.errors = texts_of(st, "errors");
  if (const json *alerts = array_of(st, "alerts"))
    for (const json &a : *alerts)
      if (a.is_object())
        out.alerts.push_back({text_of(a, "severity"), text_of(a, "group"), text_of(a, "code"),
                              text_of(a, "description")});
  if (const json *supplies = array_of(st, "supplies"))
    for (const json &s : *supplies)
      if (s.is_object()) out.supplies.push_back(supply_of(s));
  if (auto pages = integer_of(st, "page_count"); pages && *pages >= 0) out.page_count = *pages;
  if (const json *endpoints = array_of(d, "endpoints"))
    for (const json &e : *endpoints)
      if (e.is_object())
        out.endpoints.push_back({text_of(e, "uri"), e.contains("scheme") ? text_of(e, "scheme") : text_of(e, "protocol"),
                                 static_cast<long>(clamped(integer_of(e, "port").value_or(0), 0, 65535)),
                                 text_of(e, "tls_sha256")});
  out.slp_urls = texts_of(d, "slp_urls");
  out.driverless = flag_of(d, "driverless");
  out.web_server = flag_of(d, "web_server");
  out.reachable = flag_of(d, "reachable");
  if (!site.empty()) out.sites.push_back(site);
  return out;
}

template <typename T>
void add_missing(std::vector<T> &into, const std::vector<T> &more) {
  for (const T &item : more)
    if (std::find(into.begin(), into.end(), item) == into.end()) into.push_back(item);
}

void fill(std::string &into, std::string &more) {
  if (into.empty()) into = std::move(more);
}

// `b` is the same device as `a` seen again (by another site, or later): what `a` lacks
// comes from `b`; lists are joined.
void merge_one(Device &a, Device &&b) {
  add_missing(a.addresses, b.addresses);
  for (std::string Device::*field : {&Device::name, &Device::kind, &Device::make, &Device::model,
                                     &Device::product, &Device::location, &Device::contact, &Device::serial,
                                     &Device::mac, &Device::uuid, &Device::state, &Device::device_status,
                                     &Device::address})
    fill(a.*field, b.*field);
  add_missing(a.found_by, b.found_by);
  add_missing(a.sites, b.sites);
  add_missing(a.errors, b.errors);
  add_missing(a.slp_urls, b.slp_urls);
  if (a.alerts.empty()) a.alerts = std::move(b.alerts);
  if (a.supplies.empty()) a.supplies = std::move(b.supplies);
  for (Endpoint &e : b.endpoints)
    if (std::none_of(a.endpoints.begin(), a.endpoints.end(), [&](const Endpoint &x) { return x.uri == e.uri; }))
      a.endpoints.push_back(std::move(e));
  if (b.page_count && (!a.page_count || *b.page_count > *a.page_count)) a.page_count = b.page_count;
  if (!a.driverless) a.driverless = b.driverless;
  if (!a.web_server || (b.web_server && *b.web_server)) a.web_server = b.web_server;
  // Answering anywhere is answering.
  if (b.reachable && (!a.reachable || *b.reachable)) a.reachable = b.reachable;
}

bool tell_apart(const Device &a, const Device &b) {
  return (!a.uuid.empty() && !b.uuid.empty() && a.uuid != b.uuid) ||
         (!a.serial.empty() && !b.serial.empty() && a.serial != b.serial);
}

}  // namespace

std::optional<std::vector<Device>> read_devices(std::string_view text, const std::string &site,
                                                std::string &error) {
  json root;
  try {
    root = json::parse(text.begin(), text.end(), [](int depth, json::parse_event_t, json &) {
      if (depth > kMaxDepth) throw TooDeep();
      return true;
    });
  } catch (const json::exception &e) {
    error = std::string("not JSON: ") + e.what();
    return std::nullopt;
  } catch (const TooDeep &e) {
    error = e.what();
    return std::nullopt;
  }
  const json *list = &root;
  if (root.is_object()) list = array_of(root, "devices");
  if (list == nullptr || !list->is_array()) {
    error = "not a device list (a JSON array, as kivo discover --json prints)";
    return std::nullopt;
  }
  if (list->size() > kMaxDevicesPerList) {
    error = "more than " + std::to_string(kMaxDevicesPerList) + " devices";
    return std::nullopt;
  }
  std::vector<Device> out;
  out.reserve(list->size());
  for (const json &d : *list)
    if (d.is_object()) out.push_back(device_of(d, site));
  return out;
}

void merge_devices(std::vector<Device> &into, std::vector<Device> more) {
  std::map<std::string, std::size_t> by_uuid, by_serial;
  std::multimap<std::string, std::size_t> by_address;
  auto index = [&](std::size_t i) {
    const Device &d = into[i];
    if (!d.uuid.empty()) by_uuid.emplace(d.uuid, i);
    if (!d.serial.empty()) by_serial.emplace(d.serial, i);
    for (const auto &a : d.addresses) by_address.emplace(a, i);
    if (d.addresses.empty() && !d.address.empty()) by_address.emplace(d.address, i);
  };
  for (std::size_t i = 0; i < into.size(); ++i) index(i);
  for (Device &d : more) {
    std::optional<std::size_t> same;
    if (auto it = by_uuid.find(d.uuid); !d.uuid.empty() && it != by_uuid.end()) same = it->second;
    if (auto it = by_serial.find(d.serial); !same && !d.serial.empty() && it != by_serial.end() &&
                                            !tell_apart(into[it->second], d))
      same = it->second;
    if (!same && !d.address.empty()) {
      auto [first, last] = by_address.equal_range(d.address);
      for (auto it = first; it != last && !same; ++it)
        if (!tell_apart(into[it->second], d)) same = it->second;
    }
    if (same) {
      merge_one(into[*same], std::move(d));
      index(*same);
    } else {
      into.push_back(std::move(d));
      index(into.size() - 1);
    }
  }
}

}  // namespace kivo::report
