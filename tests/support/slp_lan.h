// A small LAN of network namespaces for SLP tests: a hub namespace whose bridge carries
// the requesting host's interface (10.47.0.1/24), and one namespace per device, each
// linked to the bridge by a veth pair and running the test service agent
// (tests/slp/responder.py) with the options the test gives it. A test enters hub() to
// send from 10.47.0.1; a search target with that `addr` reaches every device.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

class SlpLan {
 public:
  static constexpr const char *kHubAddress = "10.47.0.1";

  SlpLan() {
    hub_.must("ip link add br0 type bridge mcast_snooping 0");
    hub_.must("ip addr add 10.47.0.1/24 dev br0");
    hub_.must("ip link set br0 up");
  }

  // Starts a device at 10.47.0.<2 + index> answering as `options` say; returns its address.
  std::string add_device(const std::vector<std::string> &options) {
    const int n = static_cast<int>(devices_.size());
    const std::string address = "10.47.0." + std::to_string(2 + n);
    auto device = std::make_unique<Device>();
    const std::string port = "vh" + std::to_string(n);
    hub_.must("ip link add " + port + " type veth peer name eth0 netns " + device->ns.name());
    hub_.must("ip link set " + port + " master br0 up");
    device->ns.must("ip addr add " + address + "/24 dev eth0");
    device->ns.must("ip link set eth0 up");
    device->log = dir_.file("agent" + std::to_string(n) + ".log");
    const std::string ready = dir_.file("agent" + std::to_string(n) + ".ready");
    std::vector<std::string> argv = {"/usr/bin/python3", source_dir() + "/tests/slp/responder.py",
                                     "--address", address, "--log", device->log, "--ready", ready};
    argv.insert(argv.end(), options.begin(), options.end());
    device->agent = Process(argv, device->ns.name(), dir_.file("agent" + std::to_string(n) + ".out"));
    EXPECT_TRUE(wait_until(10, [&] { return std::ifstream(ready).good(); }))
        << "the service agent at " << address << " did not start";
    devices_.push_back(std::move(device));
    return address;
  }

  Netns &hub() { return hub_; }
  TempDir &dir() { return dir_; }
  // The JSON lines that device `index` logged, one per datagram it received.
  std::vector<std::string> requests_seen(size_t index) const {
    std::vector<std::string> lines;
    std::ifstream in(devices_.at(index)->log);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  struct Device {
    Netns ns;
    Process agent;
    std::string log;
    ~Device() { agent.stop(); }
  };
  TempDir dir_;
  Netns hub_;
  std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace kivo8::test
