// What `kivo discover` prints: the devices as a table, JSON, NDJSON or CSV. The search
// side fills one DiscoveredDevice per device; nothing here talks to the network.
//
// Texts are the bytes the devices sent (or kivo's own UTF-8). JSON and CSV carry them
// exactly (JSON as json_out.h says; CSV as UTF-8 read as to_utf8 does, quoted as RFC
// 4180 asks); the table shows every control character as an escape, in the terminal's
// encoding, fitted to the terminal's width unless `wide` (see text_out.h).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "discover_options.h"
#include "json_out.h"
#include "kivo8/discover.h"

namespace kivo {

// A DNS-SD service a device announced.
struct DiscoveredService {
  std::string instance, type, host;
  std::uint16_t port = 0;
  std::vector<std::string> addresses;
  std::vector<std::pair<std::string, std::string>> txt;
};

// One way to print to a device, as the endpoint search found it.
struct DiscoveredEndpoint {
  std::string scheme;  // "ipps", "ipp", "socket", "lpd"
  std::string uri;
  std::uint16_t port = 0;
  bool from_dnssd = false;
};

struct DiscoveredDevice {
  std::uint32_t ip = 0;            // host order
  std::string address;             // dotted text
  std::string name;                // the name, untranslated: what JSON and CSV carry
  std::string shown_name;          // the name in the user's language for the table;
                                   // empty: `name`
  bool unknown = false;            // the naming rule found no name ("Unknown")
  std::string kind;                // "printer", "no-snmp", "adapter" or "other"
  int type = -1;                   // the device_info type; -1 when nothing is known
  bool web_probed = true;          // false: not asked (--no-web), shown as "-" and null
  bool web = false;                // a web server answered
  std::vector<std::string> found_by;  // "broadcast", "scan", "slp", "mdns", "snmpv3"
  std::string product, make, model, sys_descr, sys_object_id, sys_name, hr_device_descr,
      printer_name, device_id;
  int snmp_version = -1;           // -1: no SNMP answer
  std::string community;           // the community that answered
  std::vector<std::string> slp_urls;
  std::string engine_id;           // hexadecimal; empty when none
  std::string snmpv3_user;         // the SNMPv3 user asked to describe it; empty when none
  std::int32_t snmpv3_error = 0;   // why that user could not (kivo_discover_device)
  std::string mac;                 // "aa:bb:cc:dd:ee:ff" from the neighbour table; or empty
  std::vector<DiscoveredService> services;
  // The endpoint search: best first; empty when none was found (or it did not run).
  std::vector<DiscoveredEndpoint> endpoints;
  bool endpoints_probed = true;    // false: --no-endpoints, shown as "-" and null
  int driverless = -1;             // 1, 0, -1 unknown
  bool ipp = false;                // the device answered Get-Printer-Attributes
  std::string uuid, ipp_make_and_model, ipp_location, ipp_state_reasons, tls_fingerprint;
  int ipp_state = 0;               // 3 idle, 4 processing, 5 stopped, 0 unknown
  // --status: asked for it; the printer's state and supplies (owned by the search
  // handle, which must outlive the view), null when it has none.
  bool status_asked = false;
  const kivo_status *status = nullptr;
};

// The device as kivo shows it, from the library's record; with `status` the state and
// supplies the search read (--status); `endpoints_probed`: whether the endpoint search ran.
DiscoveredDevice view_of(const kivo_discover_device &device, const std::string &v3_user,
                         bool status = false, bool endpoints_probed = true);

// One device as JSON (see json_out.h for how its texts are written).
Json device_json(const DiscoveredDevice &device);

// ~/.kivo/last-discover.json: the devices of the last kivo discover, as --format json
// writes them, so that kivo setup can take a printer by its name. Empty without HOME.
std::string last_run_path();
// Writes it (through a new file renamed over the old one); a run whose list cannot be
// kept is not a failed run, so nothing is said.
void save_last_run(const std::vector<DiscoveredDevice> &devices);
// The word JSON carries for an SNMPv3 refusal ("wrong_digest", "unknown_user" ...) and
// the words people read ("wrong digest").
std::string snmpv3_error_token(std::int32_t code);
std::string snmpv3_error_text(std::int32_t code);

// The devices in `format`, in the order given (NDJSON: one line each).
void print_devices(std::FILE *out, const std::vector<DiscoveredDevice> &devices,
                   OutputFormat format, bool wide = false);
// One NDJSON line, written and flushed at once.
void print_ndjson_line(std::FILE *out, const DiscoveredDevice &device);

// One CSV field (RFC 4180): quoted when it holds a comma, a quote or a line end.
std::string csv_field(const std::string &text);

// The English (untranslated) form of a name the library may have translated for the
// table ("Unbekannt" -> "Unknown"): JSON stays the same whatever the language.
std::string untranslated_name(const char *name);

}  // namespace kivo
