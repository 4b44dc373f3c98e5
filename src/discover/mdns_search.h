// The multicast DNS search as one of the discovery engine's searches: it runs the
// one-shot queries of mdns::Search inside the engine's event loop, takes its sends from
// the engine's shared budget, and reports every printer it finds into the engine's
// device book by IPv4 address, with found-by MDNS, its DNS-SD services and TXT keys, and
// the name that the naming rule gives from the TXT keys when SNMP gave none better.
#pragma once

#include <memory>

#include "discover/naming.h"
#include "discover/search.h"
#include "kivo8/ifinfo.h"
#include "mdns/search.h"

namespace kivo8::mdns {

// The options of a discovery's DNS-SD search over the search-target list `targets`: its
// local-interface entries with an address are the interfaces queried (every local
// interface when there is none); the window is `timeout_ms` when positive, else the
// longest time-out of those entries, else 2 s; at most `max_devices` devices are kept.
SearchOptions options_for_targets(const ifinfo *targets, std::int32_t timeout_ms, std::uint32_t max_devices);

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
