// SNMP peers for tests: net-snmp's snmpd on loopback, snmpsim agents inside network
// namespaces, a hub network of namespaces joined by a bridge, and a scripted UDP responder
// that answers with bytes the test crafts (for replies no real agent sends).
//
// Every peer is a process or thread owned by an RAII object and ended by pid or by join,
// also when the test fails. Nothing here uses the library: the crafted messages are
// written by a small BER writer of their own, so a fault in the library's codec cannot
// hide itself in the test's expectations.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

// ---- net-snmp's snmpd on 127.0.0.1 ----

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

// ---- snmpsim agents ----

// One line of an .snmprec data file: OID|tag|value (tag "4" OCTET STRING, "2" INTEGER,
// "6" OBJECT IDENTIFIER, "64" IpAddress, "65" Counter32, "66" Gauge32, "67" TimeTicks).
// A tag may name one of snmpsim's variation modules, e.g. "4:delay" with the value
// "value=text,wait=300" answers after 300 ms.
struct SnmprecLine {
  std::string oid;
  std::string tag;
  std::string value;
};

// snmpsimd answering v1 and v2c for `community` on `endpoint` inside namespace `netns`
// (empty: the test's own namespace), with the given data. Waits until it answers.
class Snmpsim {
 public:
  Snmpsim(const std::string &netns, const std::vector<SnmprecLine> &data,
          const std::string &endpoint = "0.0.0.0:161", const std::string &community = "vellum");
  ~Snmpsim();
  Snmpsim(const Snmpsim &) = delete;
  Snmpsim &operator=(const Snmpsim &) = delete;

  // Waits up to `seconds` for the agent to answer a GET of its first line from inside its
  // namespace; true once it does. The constructor does not wait, so several agents can
  // start in parallel.
  bool wait_ready(double seconds = 30);
  void stop();

 private:
  std::string netns_;
  std::string endpoint_;
  std::string community_;
  std::string first_oid_;
  TempDir dir_;
  Process process_;
};

// Name of the installed snmpsim responder program (empty when none is installed).
std::string snmpsim_program();

// ---- a hub network of namespaces ----

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

struct in_addr ipv4(const std::string &dotted);
std::string ipv4_text(struct in_addr address);

// ---- crafted SNMP messages ----

namespace craft {

using Bytes = std::vector<std::uint8_t>;
using Oid = std::vector<std::uint32_t>;

Oid parse_oid(const std::string &dotted);  // "1.3.6.1" or ".1.3.6.1"
std::string oid_text(const Oid &oid);      // ".1.3.6.1"

// BER pieces, shortest length form.
Bytes tlv(std::uint8_t tag, const Bytes &contents);
Bytes integer(std::int64_t value, std::uint8_t tag = 0x02);
Bytes octets(const std::string &text, std::uint8_t tag = 0x04);
Bytes null(std::uint8_t tag = 0x05);
Bytes oid(const Oid &name, std::uint8_t tag = 0x06);

struct Binding {
  Oid name;
  Bytes value;  // a whole encoded value element (tag, length, contents)
};

struct Message {
  std::int64_t version = 0;
  std::string community = "vellum";
  std::uint8_t pdu_tag = 0xA2;
  std::int64_t reqid = 1;
  std::int64_t errstat = 0;
  std::int64_t errindex = 0;
  std::vector<Binding> bindings;
};

Bytes encode(const Message &message);

// What the responder reads from a request: enough to answer it sensibly.
struct Request {
  bool ok = false;
  std::int64_t version = -1;
  std::string community;
  std::uint8_t pdu_tag = 0;
  std::int64_t reqid = 0;
  std::vector<Oid> names;
};
Request decode_request(const Bytes &datagram);

}  // namespace craft

// ---- scripted UDP responder ----

// A thread that owns one UDP socket and answers every datagram by a handler. The handler
// gets the datagram and its number (0 for the first) and returns the replies to send back
// to the sender, each after a delay counted from the previous reply. Delays are waited
// out interruptibly, so the destructor returns promptly.
class UdpResponder {
 public:
  struct Reply {
    craft::Bytes bytes;
    int delay_ms = 0;
  };
  using Handler = std::function<std::vector<Reply>(const craft::Bytes &request, int index)>;

  // Binds `address`:`port` (port 0: a free port chosen by the system) inside `netns`
  // (empty: the test's own namespace).
  UdpResponder(Handler handler, const std::string &address = "127.0.0.1", int port = 0,
               const std::string &netns = "");
  ~UdpResponder();
  UdpResponder(const UdpResponder &) = delete;
  UdpResponder &operator=(const UdpResponder &) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  int received() const { return received_.load(); }
  // Replies actually handed to the socket.
  int sent() const { return sent_.load(); }
  // Arrival times of the datagrams, in seconds on the steady clock.
  std::vector<double> arrival_times() const;
  // Waits up to `seconds` until at least `n` datagrams have arrived.
  bool wait_received(int n, double seconds);

 private:
  void run();
  bool sleep_ms(int ms);

  Handler handler_;
  int fd_ = -1;
  int port_ = -1;
  std::atomic<int> received_{0};
  std::atomic<int> sent_{0};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<double> arrivals_;
  std::thread thread_;
};

// Seconds on the steady clock, for timing checks.
double now_seconds();

}  // namespace kivo8::test
