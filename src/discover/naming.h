// How a discovered device is named: the maker, the model and the one product name that a
// person sees in a table, chosen from everything the device told about itself.
//
// Pure functions over texts the device sent (untrusted, any bytes, any length): they
// allocate, never throw anything but std::bad_alloc, and never read past the views they
// are given. Every output is bounded (see kMaxNameLength) and valid UTF-8 without
// control characters, whatever the input held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kivo::discover {

// The fields of an IEEE 1284 device id that naming uses. Keys are matched without
// regard to case or spaces: MFG or MANUFACTURER, MDL or MODEL, CMD or COMMAND SET.
// A field that is absent is empty.
struct DeviceId {
  std::string manufacturer, model, command_set;
};

// Reads a device id ("MFG:Acme;MDL:Jet 9;CMD:PCL,PJL;"), with or without the two length
// bytes that some devices put in front, with or without the last ';'. Reads at most
// kMaxDeviceIdBytes of the text and kMaxDeviceIdFields fields. No value when the text
// holds none of the three keys with a non-empty value.
std::optional<DeviceId> parse_device_id(std::string_view text);

// What was learnt about one device; every view may be empty.
struct NamingInput {
  std::string_view sys_descr, hr_device_descr, printer_name;
  std::span<const std::uint32_t> sys_object_id;
  // Raw device ids from the standard object and from the private one that many print
  // servers answer.
  std::string_view device_id_standard, device_id_private;
  // DNS-SD: the service instance name and the TXT keys product, ty, usb_MFG, usb_MDL.
  std::string_view mdns_instance, mdns_product, mdns_ty, mdns_usb_mfg, mdns_usb_mdl;
  // IPP: printer-make-and-model.
  std::string_view ipp_make_and_model;
  bool answered_snmp = false;
};

// Where the model text came from, best first; for diagnostics and tests.
enum class NameSource {
  none,
  device_id,
  ipp,
  hr_device_descr,
  printer_name,
  mdns_ty,
  mdns_product,
  mdns_usb,
  sys_descr,
  mdns_instance,
  generic,  // only a generic engine or network-card text was there
};

// make: the maker (may be empty); model: the model as the device names it (may be
// empty); product_name: what a person sees, "make model" unless the model already
// starts with the maker's name, at most kMaxNameLength characters. An empty
// product_name means the device told nothing usable; the front end then shows its own
// word for the kind of device ("Unknown", "SNMP Disabled Device").
struct Naming {
  std::string make, model, product_name;
  NameSource source = NameSource::none;
};

Naming choose_name(const NamingInput &in);

// Limits on what naming reads and writes.
inline constexpr std::size_t kMaxDeviceIdBytes = 1024;
inline constexpr std::size_t kMaxDeviceIdFields = 64;
inline constexpr std::size_t kMaxNameLength = 48;  // characters (code points)

// The maker registered under an enterprise number (1.3.6.1.4.1.N), empty if none known.
std::string_view maker_of_enterprise(std::uint32_t enterprise);
// The maker of a sysObjectID below 1.3.6.1.4.1, empty if none known.
std::string_view maker_of_object_id(std::span<const std::uint32_t> sys_object_id);

// True for descriptions that name no model: engine names ("Generic 28C-1"), words such
// as "Printer" or "Unknown", and the names of network cards and print servers.
bool is_generic_description(std::string_view text);

// A description cut to what names the device: its first line, without firmware, version
// and serial-number tails, without control characters, at most max_chars characters.
std::string tidy_description(std::string_view text, std::size_t max_chars = kMaxNameLength);

}  // namespace kivo::discover
