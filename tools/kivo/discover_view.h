// What `kivo discover` prints: the devices as a table or as JSON. The search side fills
// one DiscoveredDevice per device; nothing here talks to the network.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace kivo {

struct DiscoveredDevice {
  std::string address;             // dotted text
  std::string name;                // the name shown in the table
  std::string kind;                // "printer", "no-snmp", "adapter" or "other"
  int type = -1;                   // the device_info type; -1 when nothing is known
  bool web = false;                // a web server answered
  std::vector<std::string> found_by;  // "broadcast", "scan", "slp" in that order
  std::string product, sys_descr, sys_object_id, printer_name, device_id;
  std::vector<std::string> slp_urls;
};

// The table (or "No devices found.") or a JSON array, in the order given.
void print_devices(std::FILE *out, const std::vector<DiscoveredDevice> &devices, bool json);

}  // namespace kivo
