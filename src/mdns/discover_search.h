// The multicast DNS search as one of the discovery engine's searches: it runs the
// one-shot queries of mdns::Search inside the engine's event loop, takes its sends from
// the engine's shared budget, and reports every printer it finds into the engine's
// device book by IPv4 address, with found-by MDNS, its DNS-SD services and TXT keys, and
// the name that the naming rule gives from the TXT keys when SNMP gave none better.
#pragma once

#include <memory>

#include "discover/naming.h"
#include "discover/search.h"
#include "mdns/search.h"

namespace kivo8::mdns {

// `options.window_ms` is how long the search listens after its first queries.
std::unique_ptr<kivo::discover::Search> make_discover_search(const SearchOptions &options);

// The DNS-SD part of a device record from what the collector found (services, their
// addresses and TXT keys), at most kMaxListItems services.
std::vector<kivo::discover::Service> book_services(const Device &found);

// Points the DNS-SD inputs of the naming rule at the first instance label and the first
// product, ty, usb_MFG and usb_MDL keys among `services` (which must outlive `in`).
void add_mdns_naming(const std::vector<kivo::discover::Service> &services, kivo::discover::NamingInput &in);

// Fills `device` from `found`: services, kind and the naming inputs. True when anything
// in the record changed.
bool merge_into(kivo::discover::Device &device, const Device &found);

}  // namespace kivo8::mdns
