// A small Ethernet of network namespaces joined by a bridge, for broadcast tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

// A hub namespace holding a bridge with address SUBNET.1/24, and `agents` namespaces,
// each joined to the bridge by a veth pair, with addresses SUBNET.2, SUBNET.3, ... The
// broadcast address of the subnet is SUBNET.255. The host's own interfaces are never
// touched: every link is created inside the namespaces.
class HubNetwork {
 public:
  explicit HubNetwork(int agents, const std::string &subnet = "10.66.0");
  HubNetwork(const HubNetwork &) = delete;
  HubNetwork &operator=(const HubNetwork &) = delete;

  Netns &hub() { return *hub_; }
  Netns &agent(int i) { return *agents_.at(static_cast<std::size_t>(i)); }
  int agent_count() const { return static_cast<int>(agents_.size()); }
  std::string hub_ip() const { return subnet_ + ".1"; }
  std::string agent_ip(int i) const { return subnet_ + "." + std::to_string(i + 2); }
  std::string broadcast_ip() const { return subnet_ + ".255"; }
  std::string netmask_ip() const { return "255.255.255.0"; }

 private:
  std::string subnet_;
  std::unique_ptr<Netns> hub_;
  std::vector<std::unique_ptr<Netns>> agents_;
};

}  // namespace kivo8::test
