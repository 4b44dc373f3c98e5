// What `kivo discover` prints: the devices as a table or as JSON. The search side fills
// one DiscoveredDevice per device; nothing here talks to the network.
//
// Texts are the bytes the devices sent (or kivo's own UTF-8): the JSON gets them as valid
// UTF-8, the table with every control character shown as an escape, in the terminal's
// encoding, the name cut to the terminal's width unless `wide` (see text_out.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "json_out.h"

namespace kivo {

// A DNS-SD service a device announced.
struct DiscoveredService {
  std::string instance, type, host;
  std::uint16_t port = 0;
  std::vector<std::string> addresses;
  std::vector<std::pair<std::string, std::string>> txt;
};

struct DiscoveredDevice {
  std::string address;             // dotted text
  std::string name;                // the name, untranslated: what the JSON carries
  std::string shown_name;          // the name in the user's language for the table;
                                   // empty: `name`
  std::string kind;                // "printer", "no-snmp", "adapter" or "other"
  int type = -1;                   // the device_info type; -1 when nothing is known
  bool web_probed = true;          // false: not asked (--no-web), shown as "-" and null
  bool web = false;                // a web server answered
  std::vector<std::string> found_by;  // "broadcast", "scan", "slp", "mdns", "snmpv3"
  std::string product, make, model, sys_descr, sys_object_id, sys_name, hr_device_descr,
      printer_name, device_id;
  int snmp_version = -1;           // -1: no SNMP answer
  std::string community;
  std::vector<std::string> slp_urls;
  std::string engine_id;           // hexadecimal; empty when none
  std::string snmpv3_user;         // the SNMPv3 user that described it; empty when none
  std::vector<DiscoveredService> services;
};

// One device as JSON (see json_out.h for how its texts are written).
Json device_json(const DiscoveredDevice &device);

// The table (or "No devices found.") or a JSON array, in the order given.
void print_devices(std::FILE *out, const std::vector<DiscoveredDevice> &devices, bool json,
                   bool wide = false);

// The English (untranslated) form of a name the library may have translated for the
// table ("Unbekannt" -> "Unknown"): JSON stays the same whatever the language.
std::string untranslated_name(const char *name);

}  // namespace kivo
