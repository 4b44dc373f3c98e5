// A small LAN of network namespaces for DNS-SD tests: a hub namespace whose bridge
// carries the searching host's interface (10.53.0.1/24, multicast flooded to every port),
// and one namespace per device at 10.53.0.<2 + index>. Each device runs the responders
// a test starts in it: avahi-daemon with a configuration and service files of the test's
// own (no D-Bus; a private mount namespace puts the service directory and the run
// directory where the daemon insists on finding them), python3-zeroconf announcing
// services from a small script, the tests' own attack responder, or an SNMP agent.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

struct DnsSdService {
  std::string name;  // instance name
  std::string type;  // "_ipp._tcp"
  int port = 0;
  std::vector<std::pair<std::string, std::string>> txt;
  std::vector<std::string> subtypes;  // "_universal._sub._ipp._tcp"
};

class MdnsLan {
 public:
  static constexpr const char *kHubAddress = "10.53.0.1";

  MdnsLan() {
    hub_.must("ip link set lo up");
    hub_.must("ip link add br0 type bridge mcast_snooping 0");
    hub_.must("ip addr add 10.53.0.1/24 dev br0");
    hub_.must("ip link set br0 up");
  }
  ~MdnsLan() {
    for (auto &d : devices_)
      for (auto &p : d->processes) p.stop();
  }

  // A device namespace linked to the bridge; returns its index.
  int add_device() {
    const int n = static_cast<int>(devices_.size());
    auto device = std::make_unique<Device>();
    device->address = "10.53.0." + std::to_string(2 + n);
    const std::string port = "vh" + std::to_string(n);
    hub_.must("ip link add " + port + " type veth peer name eth0 netns " + device->ns.name());
    hub_.must("ip link set " + port + " master br0 up");
    device->ns.must("ip link set lo up");
    device->ns.must("ip addr add " + device->address + "/24 dev eth0");
    device->ns.must("ip link set eth0 up");
    devices_.push_back(std::move(device));
    return n;
  }
  Netns &ns(int i) { return devices_.at(static_cast<std::size_t>(i))->ns; }
  const std::string &address(int i) const { return devices_.at(static_cast<std::size_t>(i))->address; }
  Netns &hub() { return hub_; }
  TempDir &dir() { return dir_; }

  // Starts avahi-daemon in device `i` as host `host_name`, one service group per service.
  // Returns once the daemon says every service is established.
  bool start_avahi(int i, const std::string &host_name, const std::vector<DnsSdService> &services) {
    const std::string base = dir_.file("avahi" + std::to_string(i));
    sh("mkdir -p " + base + "/services " + base + "/run");
    {
      std::ofstream conf(base + "/avahi-daemon.conf");
      conf << "[server]\nhost-name=" << host_name
           << "\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=no\nallow-interfaces=eth0\n"
              "ratelimit-interval-usec=1000000\nratelimit-burst=1000\n"
              "[wide-area]\nenable-wide-area=no\n"
              "[publish]\npublish-hinfo=no\npublish-workstation=no\npublish-addresses=yes\n";
    }
    int k = 0;
    for (const auto &s : services) {
      std::ofstream f(base + "/services/s" + std::to_string(k++) + ".service");
      f << "<?xml version=\"1.0\" standalone='no'?>\n<!DOCTYPE service-group SYSTEM \"avahi-service.dtd\">\n"
        << "<service-group>\n  <name>" << xml(s.name) << "</name>\n  <service>\n    <type>" << s.type << "</type>\n";
      for (const auto &sub : s.subtypes) f << "    <subtype>" << sub << "</subtype>\n";
      f << "    <port>" << s.port << "</port>\n";
      for (const auto &[key, value] : s.txt) f << "    <txt-record>" << xml(key + "=" + value) << "</txt-record>\n";
      f << "  </service>\n</service-group>\n";
    }
    const std::string log = base + "/avahi.log";
    Device &d = *devices_.at(static_cast<std::size_t>(i));
    d.processes.emplace_back(
        std::vector<std::string>{"unshare", "-m", "--propagation", "private", "sh", "-c",
                                 "mount --bind " + base + "/services /etc/avahi/services && mount --bind " + base +
                                     "/run /run && exec avahi-daemon -f " + base +
                                     "/avahi-daemon.conf --no-drop-root --no-chroot --no-rlimits --debug"},
        d.ns.name(), log);
    const std::size_t want = services.size();
    const bool ok = wait_until(20, [&] { return count_in(log, "successfully established") >= want; });
    EXPECT_TRUE(ok) << "avahi-daemon in " << d.ns.name() << " did not establish its services:\n" << slurp(log);
    return ok;
  }

  // Starts the zeroconf responder in device `i` announcing `services` for host `host_name`.
  bool start_zeroconf(int i, const std::string &host_name, const std::vector<DnsSdService> &services) {
    const std::string base = dir_.file("zeroconf" + std::to_string(i));
    std::string json = "[";
    for (std::size_t k = 0; k < services.size(); ++k) {
      const auto &s = services[k];
      json += (k ? "," : "") + std::string("{\"type\":\"") + s.type + ".local.\",\"name\":" + quoted(s.name) +
              ",\"port\":" + std::to_string(s.port) + ",\"server\":\"" + host_name + ".local.\",\"txt\":{";
      for (std::size_t t = 0; t < s.txt.size(); ++t)
        json += (t ? "," : "") + quoted(s.txt[t].first) + ":" + quoted(s.txt[t].second);
      json += "}}";
    }
    json += "]";
    std::ofstream(base + ".json") << json;
    const std::string ready = base + ".ready";
    Device &d = *devices_.at(static_cast<std::size_t>(i));
    d.processes.emplace_back(std::vector<std::string>{"/usr/bin/python3", source_dir() + "/tests/mdns_ns/zeroconf_responder.py",
                                                      "--address", d.address, "--services", base + ".json",
                                                      "--ready", ready},
                             d.ns.name(), base + ".log");
    const bool ok = wait_until(20, [&] { return std::ifstream(ready).good(); });
    EXPECT_TRUE(ok) << "the zeroconf responder in " << d.ns.name() << " did not start:\n" << slurp(base + ".log");
    return ok;
  }

  // Starts the attack responder in device `i`: every query gets `datagrams` by unicast.
  bool start_attacker(int i, const std::vector<std::vector<std::uint8_t>> &datagrams) {
    const std::string base = dir_.file("attack" + std::to_string(i));
    sh("mkdir -p " + base + "/datagrams");
    for (std::size_t k = 0; k < datagrams.size(); ++k) {
      char name[32];
      std::snprintf(name, sizeof name, "%06zu", k);
      std::ofstream f(base + "/datagrams/" + name, std::ios::binary);
      f.write(reinterpret_cast<const char *>(datagrams[k].data()), static_cast<std::streamsize>(datagrams[k].size()));
    }
    const std::string ready = base + ".ready";
    Device &d = *devices_.at(static_cast<std::size_t>(i));
    d.processes.emplace_back(std::vector<std::string>{"/usr/bin/python3", source_dir() + "/tests/mdns_ns/attack_responder.py",
                                                      "--address", d.address, "--datagrams", base + "/datagrams",
                                                      "--ready", ready, "--log", base + ".queries"},
                             d.ns.name(), base + ".log");
    const bool ok = wait_until(10, [&] { return std::ifstream(ready).good(); });
    EXPECT_TRUE(ok) << "the attack responder did not start:\n" << slurp(base + ".log");
    return ok;
  }

  static std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  struct Device {
    Netns ns;
    std::string address;
    std::vector<Process> processes;
  };
  static std::size_t count_in(const std::string &path, const std::string &needle) {
    const std::string text = slurp(path);
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }
  static std::string xml(const std::string &text) {
    std::string out;
    for (char c : text) {
      if (c == '&') out += "&amp;";
      else if (c == '<') out += "&lt;";
      else if (c == '>') out += "&gt;";
      else out += c;
    }
    return out;
  }
  static std::string quoted(const std::string &text) {
    std::string out = "\"";
    for (char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  }

  TempDir dir_;
  Netns hub_;
  std::vector<std::unique_ptr<Device>> devices_;
};

}  // namespace kivo8::test
