// What the discovery tests set up on a test network of namespaces (HubNetwork or
// MdnsLan): the agent data of an SNMP printer and of a host that is no printer, the
// hub's own interface as the search target the engine starts from, and the look-up of
// a device's record by its address.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "kivo8/discover.h"
#include "kivo8/ifinfo.h"
#include "kivo8/snmp_comm.h"
#include "support/hub_network.h"
#include "support/mdns_lan.h"
#include "support/net_util.h"
#include "support/record_owners.h"
#include "support/snmpsim.h"

namespace kivo8::test {

// A label printer as its agent describes itself: sysName and the queue name are `name`.
inline std::vector<SnmprecLine> printer_data(const std::string &name) {
  return {
      {"1.3.6.1.2.1.1.1.0", "4", "Acme engine controller v2"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.11.2.3.9.1"},
      {"1.3.6.1.2.1.1.5.0", "4", name},
      {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
      {"1.3.6.1.2.1.25.3.2.1.3.1", "4", "Generic 28C-1"},
      {"1.3.6.1.2.1.43.5.1.1.16.1", "4", name},
      {"1.3.6.1.4.1.11.2.3.9.1.1.7.0", "4", "MFG:Acme;MDL:LabelJet 410;CMD:ZPL,PCL;"},
  };
}

// A host whose SNMP says nothing of printing: only IPP or a print port makes it one.
inline std::vector<SnmprecLine> host_data(const std::string &name = "host") {
  return {
      {"1.3.6.1.2.1.1.1.0", "4", "Linux print host"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.8072.3.2.10"},
      {"1.3.6.1.2.1.1.5.0", "4", name},
  };
}

// The engine's record of the device at `address`; null when the run kept none.
inline const kivo_discover_device *device_at(kivo_discover *h, const std::string &address) {
  for (std::uint32_t i = 0; i < kivo_discover_count(h); ++i) {
    const kivo_discover_device *d = kivo_discover_get(h, i);
    if (ipv4_text(d->address) == address) return d;
  }
  return nullptr;
}

// The hub's interface as a local-interface target. Each test states what differs from
// the usual one (a longer listening time, no name, no community) instead of writing the
// entry out again.
struct HubInterface {
  std::string name = "br0";  // empty: left unnamed
  std::string address, broadcast, netmask;
  std::int32_t seconds = 2;  // how long replies are collected (the entry's count)
  std::string community;     // empty: none
};

inline HubInterface hub_interface(const HubNetwork &net) {
  return {"br0", net.hub_ip(), net.broadcast_ip(), net.netmask_ip(), 2, "vellum"};
}

// DNS-SD needs no community: the LAN's searches ask nothing of SNMP unless told to.
inline HubInterface hub_interface(const MdnsLan &) {
  return {"br0", MdnsLan::kHubAddress, "10.53.0.255", "255.255.255.0", 2, ""};
}

// A target list of that one entry.
inline IfinfoList target_list(const HubInterface &i) {
  ifinfo *head = ifinfo_new();
  head->count = i.seconds;
  if (!i.name.empty()) (void)std::snprintf(head->name, sizeof head->name, "%s", i.name.c_str());
  head->addr = ipv4(i.address);
  head->addr1 = ipv4(i.broadcast);
  head->addr2 = ipv4(i.netmask);
  if (!i.community.empty()) snmp_comm_add(&head->comms, i.community.c_str());
  return IfinfoList(head);
}

}  // namespace kivo8::test
