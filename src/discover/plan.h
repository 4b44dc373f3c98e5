// What one discovery run will do, decided before any socket opens: which broadcast
// addresses get SNMP requests (v1, v2c and the SNMPv3 engine-id probe alike), which
// ranges are swept, which interfaces carry SLP requests, whether DNS-SD listens, and how
// long the run may take when the caller set no deadline. A pure function of the search
// targets and the options, so every switch can be checked without a network.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "discover/searches.h"

struct ifinfo;

namespace kivo::discover {

struct Options;

struct Plan {
  // Broadcast targets and range sweeps. A range is one entry walked by a cursor from
  // `first` to `last`, never a list of its addresses. Each carries the requests every
  // address gets (v1/v2c communities, and the SNMPv3 engine-id probe as version 3).
  std::vector<SnmpTarget> snmp;
  std::vector<SlpInterface> slp;
  bool mdns = false;
  // The DNS-SD search: the local addresses (network order) it queries through, none
  // meaning every local interface, and how long it listens.
  std::vector<std::uint32_t> mdns_interfaces;
  std::int32_t mdns_window_ms = 0;
  // Addresses of all ranges swept.
  std::uint64_t addresses_total = 0;
  // Status reads of the printers described (KIVO_DISCOVER_STATUS).
  bool status = false;
  // The time-out of one description request.
  std::int32_t describe_timeout_ms = 0;
  // The run's length when the caller gave no deadline: the SNMP waits (retries
  // included), the time the rate needs for the ranges, SLP and DNS-SD windows, the
  // descriptions and web probes that follow.
  std::chrono::milliseconds run_length{0};
};

// `targets` is read only while planning: the plan keeps pointers to its entries (which
// must outlive the run) but copies every text it needs.
Plan plan_work(const ifinfo *targets, const Options &options);

}  // namespace kivo::discover
