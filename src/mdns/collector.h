// What the DNS-SD replies of one search tell about the printers on the link.
//
// The collector is fed whole datagrams with the IPv4 address they came from, keeps the
// service instances of the printer service types (PTR, SRV and TXT records, and the A and
// AAAA records of the hosts those name), asks for what is still missing, and gives the
// devices: one per IPv4 address, each with the printer services it announced. Anything
// that is not a printer service (a workstation, a web server) is never kept, so a device
// that announces only such services is never listed.
//
// Bounded whatever arrives: instances, hosts, addresses per host and services per device
// have caps, TXT keeps only the keys printers publish (first occurrence, as DNS-SD asks),
// and every damaged datagram is dropped whole and counted. Pure code: no sockets, time
// comes in as milliseconds of the caller's clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "mdns/dns_message.h"

namespace kivo8::mdns {

// The names asked for, one query each: a responder may hold a unicast answer to 512 octets
// and leave records out without saying so, so no question shares a message.
const std::vector<DnsName> &browse_names();
// The printer service types an instance may belong to ("_ipp._tcp.local", ...).
const std::vector<DnsName> &printer_types();
// The TXT keys kept, in the spelling reported.
const std::vector<std::string> &kept_txt_keys();

struct Limits {
  std::size_t max_devices = 4096;
  std::size_t max_instances = 4096;
  std::size_t max_hosts = 4096;
  std::size_t max_services_per_device = 16;
  std::size_t max_addresses_per_host = 8;
  // An instance or host still incomplete this long after it was first seen is asked for
  // again, at most `max_followups` times.
  std::int64_t settle_ms = 250;
  int max_followups = 2;
};

struct TxtKey {
  std::string key;    // as in kept_txt_keys()
  std::string value;  // empty for a key given without '='
};

struct Service {
  std::string type;      // "_ipp._tcp.local"
  std::string instance;  // the instance label, UTF-8, control characters replaced
  std::string host;      // SRV target, empty when no SRV came
  std::uint16_t port = 0;
  std::vector<TxtKey> txt;

  const std::string *txt_value(std::string_view key) const;
};

struct Device {
  std::uint32_t ipv4 = 0;                // network order; the key of the device
  std::vector<std::uint32_t> more_ipv4;  // further A records of its host, network order
  std::vector<std::string> ipv6;         // AAAA records as text
  std::string host;                      // host name of its first service
  std::vector<Service> services;         // first seen first
};

struct Counters {
  std::uint64_t datagrams = 0;   // fed
  std::uint64_t damaged = 0;     // refused by the decoder
  std::uint64_t ignored = 0;     // queries, or replies with an error code
  std::uint64_t records_dropped = 0;  // kept out by a cap
  std::uint64_t devices_dropped = 0;  // past max_devices when devices() was built
};

class Collector {
 public:
  explicit Collector(const Limits &limits = {}) : limits_(limits) {}

  // `source_ipv4` in network order.
  void feed(std::span<const std::uint8_t> datagram, std::uint32_t source_ipv4, std::int64_t now_ms);
  // The follow-up queries due at `now_ms`, each a set of questions for one message:
  // SRV and TXT for an instance that came without them, A and AAAA for a host without an
  // address. Marks them asked.
  std::vector<std::vector<Question>> followups(std::int64_t now_ms);
  // True while some instance or host is still missing something it will be asked for.
  bool incomplete() const;

  std::vector<Device> devices();
  const Counters &counters() const { return counters_; }

 private:
  struct Instance {
    DnsName name;
    std::string type;
    std::string label;
    bool have_srv = false;
    bool have_txt = false;
    std::uint16_t port = 0;
    std::string host_key;
    std::string host_text;
    std::vector<TxtKey> txt;
    std::uint32_t source = 0;
    std::int64_t due_ms = 0;
    int asked = 0;
  };
  struct Host {
    DnsName name;
    std::vector<std::uint32_t> v4;
    std::vector<std::string> v6;
    std::int64_t due_ms = 0;
    int asked = 0;
  };

  Instance *instance_for(const DnsName &name, std::uint32_t source, std::int64_t now_ms);
  Host *host_for(const DnsName &name, std::int64_t now_ms, bool create);
  void take_srv(Instance &in, const Record &rec, std::int64_t now_ms);
  void take_txt(Instance &in, const Record &rec);
  void take_address(Host &host, const Record &rec);

  Limits limits_;
  Counters counters_;
  std::vector<Instance> instances_;
  std::unordered_map<std::string, std::size_t> instance_index_;
  std::vector<Host> hosts_;
  std::unordered_map<std::string, std::size_t> host_index_;
};

// Text that is safe to show and to put in JSON: invalid UTF-8 octets and control
// characters become '?'.
std::string clean_text(std::string_view raw);

}  // namespace kivo8::mdns
