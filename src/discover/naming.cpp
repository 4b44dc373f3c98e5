// Device naming: a minimal rule until the full one lands (device id model, then the
// description texts, first line only).
#include "discover/naming.h"

#include <cctype>

namespace kivo::discover {

namespace {

std::string trim(std::string_view s) {
  while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
  while (!s.empty() && (std::isspace(static_cast<unsigned char>(s.back())) || s.back() == '\0'))
    s.remove_suffix(1);
  return std::string(s);
}

std::string upper_letters(std::string_view s) {
  std::string out;
  for (char c : s)
    if (std::isalpha(static_cast<unsigned char>(c)) || c == ' ')
      out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return trim(out);
}

}  // namespace

std::optional<DeviceId> parse_device_id(std::string_view text) {
  DeviceId id;
  bool any = false;
  while (!text.empty()) {
    std::size_t end = text.find(';');
    std::string_view field = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    std::size_t colon = field.find(':');
    if (colon == std::string_view::npos) continue;
    std::string key = upper_letters(field.substr(0, colon));
    std::string value = trim(field.substr(colon + 1));
    if (value.empty()) continue;
    if (key.ends_with("MFG") || key == "MANUFACTURER") { id.manufacturer = value; any = true; }
    else if (key.ends_with("MDL") || key == "MODEL") { id.model = value; any = true; }
    else if (key == "CMD" || key == "COMMAND SET") { id.command_set = value; any = true; }
  }
  if (!any) return std::nullopt;
  return id;
}

Naming choose_name(const NamingInput &in) {
  Naming n;
  for (std::string_view raw : {in.device_id_standard, in.device_id_private}) {
    if (raw.empty()) continue;
    if (auto id = parse_device_id(raw)) {
      if (n.make.empty()) n.make = id->manufacturer;
      if (n.model.empty()) n.model = id->model;
    }
  }
  std::string product = n.model;
  for (std::string_view s : {in.hr_device_descr, in.printer_name, in.sys_descr, in.mdns_ty}) {
    if (!product.empty()) break;
    product = trim(s.substr(0, s.find_first_of("\r\n")));
  }
  if (product.size() > 64) product.resize(64);
  n.product_name = product;
  if (n.model.empty()) n.model = product;
  return n;
}

}  // namespace kivo::discover
