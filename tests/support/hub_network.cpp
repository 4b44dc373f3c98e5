// The bridge and veth links of a namespace network built for a test.
#include "support/hub_network.h"

namespace kivo8::test {

HubNetwork::HubNetwork(int agents, const std::string &subnet) : subnet_(subnet) {
  hub_ = std::make_unique<Netns>();
  hub_->must("ip link add br0 type bridge && ip addr add " + hub_ip() +
             "/24 brd + dev br0 && ip link set br0 up");
  for (int i = 0; i < agents; ++i) {
    agents_.push_back(std::make_unique<Netns>());
    Netns &ns = *agents_.back();
    std::string port = "p" + std::to_string(i);
    hub_->must("ip link add " + port + " type veth peer name eth0 netns " + ns.name());
    hub_->must("ip link set " + port + " master br0 && ip link set " + port + " up");
    ns.must("ip addr add " + agent_ip(i) + "/24 brd + dev eth0 && ip link set eth0 up");
  }
}

}  // namespace kivo8::test
