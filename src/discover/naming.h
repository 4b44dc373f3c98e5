// The names a person expects for a device, and the IEEE 1284 device-id parser.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kivo::discover {
struct DeviceId { std::string manufacturer, model, command_set; };  // MFG/MANUFACTURER, MDL/MODEL, CMD/COMMAND SET
std::optional<DeviceId> parse_device_id(std::string_view text);
struct NamingInput {
  std::string_view sys_descr, hr_device_descr, printer_name;
  std::span<const std::uint32_t> sys_object_id;
  std::string_view device_id_standard, device_id_private;   // raw 1284 strings, may be empty
  std::string_view mdns_instance, mdns_product, mdns_ty, mdns_usb_mfg, mdns_usb_mdl; // DNS-SD TXT, may be empty
  bool answered_snmp = false;
};
struct Naming { std::string make, model, product_name; };
Naming choose_name(const NamingInput &in);
}
