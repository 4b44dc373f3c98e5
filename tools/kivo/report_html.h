// The page of `kivo report`: the devices of one or more discoveries as one self-contained
// HTML page. Pure: records in, a string out; nothing here reads files or the network.
//
// Every text in a record came from a device (or from a file somebody saved) and is
// untrusted. It reaches the page only through html_text(), which makes it safe both as
// element text and as a quoted attribute value; nothing from a device ever becomes a tag,
// an attribute name, a style or a URL scheme (print URIs become links only for the
// schemes in link_target()). Colours of supply bars come from kivo's own table, looked up
// by the colorant's name, never from the device's text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kivo::report {

// Printer-MIB supply levels below zero are not amounts.
constexpr long kLevelOther = -1;
constexpr long kLevelUnknown = -2;
constexpr long kLevelSomeRemaining = -3;

// A supply below this percentage needs attention.
constexpr int kLowSupplyPercent = 10;

struct Supply {
  long index = 0;
  std::string description, supply_class, type, colorant, unit;
  long max = kLevelUnknown;
  long level = kLevelUnknown;
  std::optional<int> percent;  // 0-100 when known
};

struct Alert {
  std::string severity, group, code, description;
};

struct Endpoint {
  std::string uri, protocol;
  long port = 0;
  std::string tls_sha256;
};

struct Device {
  std::string address;                 // the address it answered from
  std::vector<std::string> addresses;  // every address it was seen at (address first)
  std::string name, kind;              // kind: "printer", "no-snmp", "adapter", "other"
  std::string make, model, product, location, contact, serial, mac, uuid;
  std::vector<std::string> found_by;   // "broadcast", "scan", "slp", "mdns", "snmpv3"
  std::vector<std::string> sites;      // the discoveries (files) it came from
  std::string state, device_status;
  std::vector<std::string> errors;     // names such as "noToner", "jammed"
  std::vector<Alert> alerts;
  std::vector<Supply> supplies;
  std::optional<std::int64_t> page_count;
  std::vector<Endpoint> endpoints;
  std::vector<std::string> slp_urls;
  std::optional<bool> driverless;
  std::optional<bool> web_server;      // a web server answered at `address`
  std::optional<bool> reachable;       // false: it did not answer when asked for status
};

// Where and when the devices were found, for the summary line.
struct Summary {
  std::string generated;               // the time the page was made, as text
  std::string host;                    // the host that made it
  std::vector<std::string> sources;    // networks searched, or the files read
};

// The one escape of device text for the page: valid UTF-8 out, usable as element text and
// inside a double- or single-quoted attribute value. & < > " ' become character
// references; bytes that are not valid UTF-8, control characters (C0, DEL, C1) and
// noncharacters become U+FFFD; the bidirectional embedding, override and isolate
// controls (U+202A-U+202E, U+2066-U+2069) and the marks U+200E, U+200F, U+061C become
// U+FFFD, so no device text can reorder what the page shows around it. Texts longer
// than kMaxTextChars characters are cut there and end in an ellipsis.
constexpr std::size_t kMaxTextChars = 300;
std::string html_text(std::string_view device_text);

// The URI as an href value when its scheme is one of ipp, ipps, http, https, socket or
// lpd (in any case) and it is not longer than kMaxLinkBytes; nothing otherwise (it is
// shown as text).
constexpr std::size_t kMaxLinkBytes = 2048;
std::optional<std::string> link_target(std::string_view uri);

// The words shown for a supply's amount: "42 %", "some" (some remaining), "unknown".
std::string supply_label(const Supply &s);
// The supply's percentage: `percent` when given, else level/max when both are amounts.
std::optional<int> supply_percent(const Supply &s);
// The CSS colour of a colorant name ("black", "Cyan Toner", "light magenta", ...), from
// kivo's own table; a neutral grey for names it does not know.
const char *colorant_css(std::string_view colorant);
// The words for a printer error name ("noToner" -> "no toner"); names kivo does not know
// are returned as they are (and escaped like every device text).
std::string error_words(std::string_view name);

bool is_printer(const Device &d);
// Errors; alerts other than notes (severity "other", "info" or none); a supply below
// kLowSupplyPercent; no answer (reachable false) or a device status "down".
bool needs_attention(const Device &d);
// The order of the page: devices needing attention first, then by location, then name,
// then address.
void sort_for_page(std::vector<Device> &devices);

// The whole page (sorted by sort_for_page).
std::string render_page(std::vector<Device> devices, const Summary &summary);

}  // namespace kivo::report
