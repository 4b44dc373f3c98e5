// net-snmp's snmpd as a test peer, on loopback or inside a network namespace; started in
// the foreground with a configuration of the test's own, ended by pid.
#pragma once

#include <netinet/in.h>

#include <string>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

struct SnmpdConfig {
  std::string community = "vellum";
  std::string sys_descr = "Kivo test agent";
  std::string sys_location = "Shelf 3, room 12";
  std::string sys_contact = "ops@example.invalid";
  std::string sys_name = "kv-agent";
  // The agent shows only a fixed part of its tree, so that two walks of it give the same
  // values: the system group without sysUpTime, and snmpSetSerialNo. Replace or extend
  // with more "view kv included|excluded OID" lines.
  std::vector<std::string> view_lines = {
      "view kv included .1.3.6.1.2.1.1",
      "view kv excluded .1.3.6.1.2.1.1.3",
      "view kv included .1.3.6.1.6.3.1.1.6",
  };
  std::vector<std::string> extra_lines;  // appended to the configuration as they stand
  // Where the agent listens. Outside a namespace the default is a free port on loopback;
  // inside one (`netns` names it) port 161 on every address of the namespace, e.g.
  // address "0.0.0.0". net-snmp's snmpd does not answer broadcasts on this kernel: use
  // Snmpsim for those.
  std::string netns;
  std::string address = "127.0.0.1";
  int port = 0;
  // Source addresses the community is valid for (net-snmp's syntax: an address, a
  // network/bits or "default"); empty: 127.0.0.1 outside a namespace, any inside.
  std::string allowed_source;
  // SNMPv3 only, as far as the network sees: no community at all but the readiness
  // probe's, which is valid from 127.0.0.1 alone (the agent's own namespace).
  bool v3_only = false;
};

// Starts snmpd in the foreground with a configuration written here (no system
// configuration, persistent files in the scratch directory) and waits until it answers.
// A failure to start is reported with ADD_FAILURE and ok() is false.
class Snmpd {
 public:
  explicit Snmpd(const SnmpdConfig &config = {});
  ~Snmpd();
  Snmpd(const Snmpd &) = delete;
  Snmpd &operator=(const Snmpd &) = delete;

  bool ok() const { return ok_; }
  int port() const { return port_; }
  const SnmpdConfig &config() const { return config_; }
  // "ADDRESS:PORT", the form net-snmp's tools take.
  std::string endpoint() const;
  struct in_addr address() const;
  // Output of net-snmp's snmpwalk (-On plus `options`) for `root`, for comparison; run in
  // the agent's namespace.
  std::string snmpwalk(const std::string &root, const std::string &options = "-v1") const;
  // Output of a net-snmp tool (snmpget, snmpwalk...) run with -On, no MIBs and `args`
  // (which name the agent and the names to ask for).
  std::string tool(const std::string &program, const std::string &args) const;
  void stop();
  // Stops the agent and starts it again with the same configuration and persistent
  // files (its engine id stays, its boots count goes up).
  bool restart();

 private:
  void start();
  SnmpdConfig config_;
  TempDir dir_;
  Process process_;
  int port_ = -1;
  bool ok_ = false;
};

}  // namespace kivo8::test
