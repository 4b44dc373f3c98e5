// net-snmp's snmpd started and stopped for a test.
#include "support/snmpd.h"

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/net_util.h"

namespace kivo8::test {

namespace {

const char *const kProbeCommunity = "kivo8-ready-probe";

}  // namespace

Snmpd::Snmpd(const SnmpdConfig &config) : config_(config) {
  port_ = config_.port != 0 ? config_.port : config_.netns.empty() ? free_udp_port() : 161;
  std::string conf =
      "agentaddress udp:" + config_.address + ":" + std::to_string(port_) + "\n";
  for (const auto &line : config_.view_lines) conf += line + "\n";
  std::string source = !config_.allowed_source.empty() ? config_.allowed_source
                       : config_.netns.empty()          ? "127.0.0.1"
                                                        : "default";
  if (!config_.v3_only) conf += "rocommunity " + config_.community + " " + source + " -V kv\n";
  // The readiness probe has a community of its own, so that it is answered whatever
  // sources the test allows.
  conf += "rocommunity " + std::string(kProbeCommunity) + (config_.v3_only ? " 127.0.0.1" : " default") +
          " -V kv\n";
  conf += "sysDescr " + config_.sys_descr + "\n";
  conf += "sysLocation " + config_.sys_location + "\n";
  conf += "sysContact " + config_.sys_contact + "\n";
  conf += "sysName " + config_.sys_name + "\n";
  for (const auto &line : config_.extra_lines) conf += line + "\n";
  if (!write_text_file(dir_.file("snmpd.conf"), conf)) {
    ADD_FAILURE() << "cannot write the snmpd configuration";
    return;
  }
  start();
}

void Snmpd::start() {
  std::string snmpd = find_program("snmpd");
  if (snmpd.empty()) {
    ADD_FAILURE() << "snmpd is not installed";
    return;
  }
  // -C: no configuration but ours; persistent state in the scratch directory, never in
  // /var; no MIB files, so nothing depends on what happens to be installed.
  // -C also keeps snmpd from reading its own persistent file; a restarted agent is given
  // it by name, so that it keeps its engine id and counts its boots on.
  std::string configs = dir_.file("snmpd.conf");
  if (access(dir_.file("persist/snmpd.conf").c_str(), R_OK) == 0)
    configs += "," + dir_.file("persist/snmpd.conf");
  process_ = Process({"env", "SNMP_PERSISTENT_DIR=" + dir_.file("persist"), "MIBS=", snmpd,
                      "-f", "-Lo", "-C", "-c", configs, "-M", "/dev/null",
                      "-I", "-smux"},
                     config_.netns, dir_.file("snmpd.log"));
  std::string probe = config_.address == "0.0.0.0" ? "127.0.0.1" : config_.address;
  ok_ = wait_until(15, [&] {
    return process_.running() &&
           snmp_answers(config_.netns, probe, port_, kProbeCommunity, "1.3.6.1.2.1.1.1.0");
  });
  if (!ok_) {
    ADD_FAILURE() << "snmpd did not answer on port " << port_ << "; its log:\n"
                  << sh_output("cat '" + dir_.file("snmpd.log") + "'");
  }
}

bool Snmpd::restart() {
  stop();
  start();
  return ok_;
}

std::string Snmpd::tool(const std::string &program, const std::string &args) const {
  std::string in_ns = config_.netns.empty() ? "" : "ip netns exec " + config_.netns + " ";
  // The tools keep state of their own (engine boots) apart from the agent's.
  mkdir(dir_.file("client").c_str(), 0700);
  mkdir(dir_.file("client/cert_indexes").c_str(), 0700);
  return sh_output(in_ns + "env SNMP_PERSISTENT_DIR='" + dir_.file("client") + "' " + program +
                   " -m '' -M /dev/null -On " + args + " 2>&1");
}

Snmpd::~Snmpd() { stop(); }

void Snmpd::stop() {
  process_.stop();
  ok_ = false;
}

std::string Snmpd::endpoint() const {
  std::string ip = config_.address == "0.0.0.0" ? "127.0.0.1" : config_.address;
  return ip + ":" + std::to_string(port_);
}

struct in_addr Snmpd::address() const {
  return ipv4(config_.address == "0.0.0.0" ? "127.0.0.1" : config_.address);
}

std::string Snmpd::snmpwalk(const std::string &root, const std::string &options) const {
  std::string in_ns = config_.netns.empty() ? "" : "ip netns exec " + config_.netns + " ";
  return sh_output(in_ns + "env SNMP_PERSISTENT_DIR='" + dir_.file("persist") +
                   "' snmpwalk -m '' -M /dev/null -On " + options + " -c '" +
                   config_.community + "' " + endpoint() + " " + root + " 2>&1");
}

}  // namespace kivo8::test
