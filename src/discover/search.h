// The discovery engine's plug-in contract: every way of finding devices (SNMP broadcast
// and range scan, SLP, web probes, DNS-SD, SNMPv3 engine-id discovery) is a Search that
// the engine's one event loop drives on the caller's thread, and that reports what it
// finds into one DeviceBook.
//
// A search never blocks and never starts a thread: it opens non-blocking descriptors,
// says which ones it wants watched and when it next needs the clock, and does its work in
// the calls below. Memory it keeps must be bounded by what it has in flight, never by the
// datagrams it receives: a flood is counted through DeviceBook::note_dropped, not kept.
#pragma once

#include <netinet/in.h>
#include <poll.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <algorithm>
#include <utility>
#include <vector>

#include "status/ipp.h"
#include "status/model.h"

struct ifinfo;

namespace kivo::discover {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// How a device was found; the values are those of the exported KIVO_DISCOVER_FOUND_*.
enum FoundBy : std::uint32_t {
  kFoundBroadcast = 1u << 0,
  kFoundScan = 1u << 1,
  kFoundSlp = 1u << 2,
  kFoundMdns = 1u << 3,
  kFoundSnmpv3 = 1u << 4,
};

// What a device is; the values are those of the exported KIVO_DISCOVER_KIND_*.
enum class Kind : std::int32_t { kUnknown = 0, kPrinter = 1, kOther = 2, kPrinterNoSnmp = 3 };

// Whether a web server answered on port 80; values of KIVO_DISCOVER_WEB_*.
enum class Web : std::int32_t { kNotProbed = 0, kYes = 1, kNo = 2 };

// One DNS-SD service instance that a device announced.
struct Service {
  std::string instance;  // "Office Jet._ipp._tcp.local"
  std::string type;      // "_ipp._tcp"
  std::string host;      // "officejet.local"
  std::uint16_t port = 0;
  std::vector<std::string> addresses;  // IPv4 and IPv6 addresses as text
  std::vector<std::pair<std::string, std::string>> txt;
};

// Ways to print to a device; values of the exported KIVO_ENDPOINT_*, in the order a
// device's endpoints are listed (best first).
enum class Scheme : std::int32_t { kIpps = 2, kIpp = 1, kSocket = 3, kLpd = 4 };

struct Endpoint {
  Scheme scheme = Scheme::kIpp;
  std::uint16_t port = 0;
  std::string uri;
  bool from_dnssd = false;
};

// What the device answered to Get-Printer-Attributes (texts cut to kMaxText).
struct IppFacts {
  bool answered = false;
  bool tls = false;
  std::uint16_t port = 0;
  std::string resource;  // where it answered, "/ipp/print"
  std::int32_t driverless = -1;
  std::string uuid, make_and_model, name, info, location, state_reasons, more_info;
  std::string device_id;  // printer-device-id: an IEEE 1284 device id
  std::int32_t state = 0;
  std::string tls_fingerprint;
  // printer-state, printer-state-reasons and the marker-* lists as they came, for the
  // status record (KIVO_DISCOVER_STATUS).
  kivo8::status::IppMarkers markers;
};

// Everything learnt about the device at one IPv4 address. Texts are as the device sent
// them, cut to a bounded length by whoever stores them (see kMaxText).
struct Device {
  in_addr address{};
  std::uint32_t found_by = 0;
  // The search target through which it first answered (not owned; may be null).
  const ::ifinfo *target = nullptr;
  // SNMP: the version and community that first got an answer (version -1: none yet).
  std::int32_t snmp_version = -1;
  std::string community;
  std::string sys_descr, sys_object_id, sys_name;  // sys_object_id as dotted text
  std::vector<std::uint32_t> sys_object_id_raw;
  std::string hr_device_type;  // dotted text
  std::string hr_device_descr, printer_name;
  std::string device_id;          // the IEEE 1284 string that was used
  std::string device_id_standard, device_id_private;
  std::string mfg, mdl, cmd;      // its fields
  std::string make, model, product_name;
  Kind kind = Kind::kUnknown;
  Web web = Web::kNotProbed;
  std::vector<std::string> slp_urls;
  // The authoritative engine id the device reported to the SNMPv3 engine-id probe, with
  // its boots and time then (what an authenticated request to it needs).
  std::vector<std::uint8_t> engine_id;
  std::uint32_t engine_boots = 0, engine_time = 0;
  // Reserved for the DNS-SD search: the services the device announced.
  std::vector<Service> services;
  // Set by the SNMP search's SNMPv3 description: why its user could not describe the
  // device (a KIVO_SNMPV3_ERR_* code or SNMP_ERR_TIMEOUT), 0 when it did or was not asked.
  std::int32_t snmpv3_error = 0;
  // The printer's state and supplies, when the status search read them whole.
  std::optional<kivo8::status::Status> status;
  // Ports that accepted a TCP connect (endpoint search), and its IPP answer.
  std::vector<Endpoint> probed;
  IppFacts ipp;
  // Every endpoint, DNS-SD's and the probes', best first (made by the classifier).
  std::vector<Endpoint> endpoints;
  // Set by the engine once every follow-up for this device has ended.
  bool complete = false;
};

// Longest text kept from a device, and most SLP URLs and DNS-SD services per device: a
// device cannot make a record grow without bound.
inline constexpr std::size_t kMaxText = 1024;
inline constexpr std::size_t kMaxListItems = 32;

// The record of all devices found in one run: one entry per IPv4 address, at most `cap`
// of them. Searches look devices up and change their fields directly, then call
// changed() so that the engine can send its follow-ups and call the front end back.
class DeviceBook {
 public:
  virtual ~DeviceBook() = default;
  // The device at `address`, created when new (with `how` noted either way). Null when
  // the book is full: the device is then counted as dropped and must not be kept.
  virtual Device *find_or_add(in_addr address, std::uint32_t how) = 0;
  // The device at `address`, or null.
  virtual Device *find(in_addr address) = 0;
  // A search changed the fields of `device` (answered SNMP, got a URL, services...).
  virtual void changed(Device &device) = 0;
  // A datagram that matched nothing outstanding, or a device past the cap.
  virtual void note_dropped(std::uint64_t count = 1) = 0;
  // Progress counters, for the progress callback.
  virtual void note_sent(std::uint64_t count = 1) = 0;
  virtual void note_answer(std::uint64_t count = 1) = 0;
  virtual void note_address_done(std::uint64_t count = 1) = 0;
};

// What every search may read while it runs.
struct SearchContext {
  DeviceBook *book = nullptr;
  // Packets per second that all searches together may send; a search takes from the
  // shared budget with take_send() before every datagram it sends.
  class Pacer *pacer = nullptr;
};

// Token bucket over the loop's clock: `rate` sends per second, bursts of a tenth of a
// second's sends at most (never fewer than `burst`).
//
// Adaptive between `floor` and `ceiling`, the way a TCP sender or a port scanner's timing
// is: until the first loss the rate doubles every tenth of a second (a slow start: a
// sweep is over in seconds, and growing by a quarter took a second of the run to reach
// the ceiling), after it grows by a quarter every tenth of a second, up to the ceiling;
// evidence of loss (an answer that came only to a retry, a send the kernel refused, a
// device that answered and then went silent) halves it, at most once per fifth of a
// second so that one burst of losses counts once. A fixed rate is a floor equal to the
// ceiling.
class Pacer {
 public:
  Pacer(double rate, double burst) : Pacer(rate, rate, rate, burst) {}
  Pacer(double start, double floor, double ceiling, double burst)
      : rate_(start), floor_(std::min(floor, ceiling)), ceiling_(ceiling),
        min_burst_(burst), tokens_(burst_now()) {}
  bool take_send(TimePoint now) {
    refill(now);
    if (tokens_ < 1.0) return false;
    tokens_ -= 1.0;
    return true;
  }
  // When the next send may go out.
  TimePoint next_send(TimePoint now) {
    refill(now);
    if (tokens_ >= 1.0) return now;
    return now + std::chrono::duration_cast<Clock::duration>(
                     std::chrono::duration<double>((1.0 - tokens_) / rate_));
  }
  void note_loss(TimePoint now) {
    if (floor_ >= ceiling_ || now - last_cut_ < std::chrono::milliseconds(200)) return;
    last_cut_ = now;
    last_growth_ = now;
    slow_start_ = false;
    rate_ = std::max(floor_, rate_ / 2);
    tokens_ = std::min(tokens_, burst_now());
  }
  double rate() const { return rate_; }

 private:
  double burst_now() const { return std::max(min_burst_, rate_ / 10.0); }
  void refill(TimePoint now) {
    if (last_ == TimePoint{}) last_ = last_growth_ = now;
    if (floor_ < ceiling_ && now - last_growth_ >= std::chrono::milliseconds(100)) {
      last_growth_ = now;
      rate_ = std::min(ceiling_, rate_ * (slow_start_ ? 2.0 : 1.25));
    }
    double dt = std::chrono::duration<double>(now - last_).count();
    last_ = now;
    tokens_ = std::min(burst_now(), tokens_ + dt * rate_);
  }
  double rate_, floor_, ceiling_, min_burst_, tokens_;
  TimePoint last_{}, last_growth_{}, last_cut_{};
  bool slow_start_ = true;
};

// A search that follows up the devices other searches found (a description, a web
// probe). The engine offers it every device that changed.
class FollowUpSearch {
 public:
  virtual ~FollowUpSearch() = default;
  // Starts this search's follow-up of `device` when it applies to what is known of it
  // now; true when one started. It ends with FollowUps::follow_up_done (which may come
  // before this returns). Offered again on later changes until it returns true.
  virtual bool follow_up(const Device &device, TimePoint now) = 0;
};

class Search {
 public:
  virtual ~Search() = default;
  // Opens sockets and sends what goes out at once. False: the search cannot run at all
  // (it is then left out, and counts as a search that failed to go out).
  virtual bool start(const SearchContext &context, TimePoint now) = 0;
  // Appends the descriptors to watch and their events (POLLIN, POLLOUT).
  virtual void watched(std::vector<pollfd> &fds) = 0;
  // One of its descriptors is ready.
  virtual void on_ready(int fd, short revents, TimePoint now) = 0;
  // When on_timer must next run; nullopt when only descriptors can wake it.
  virtual std::optional<TimePoint> next_wakeup() const = 0;
  virtual void on_timer(TimePoint now) = 0;
  // Nothing more in flight and nothing left to send.
  virtual bool done() const = 0;
  // Something a device-callback front end may use to tell the searches apart.
  virtual const char *name() const = 0;
  // Whether any datagram could be sent (a search that never sent failed as a whole).
  virtual bool sent_any() const = 0;
  // False for a search that only follows up what others found (web probes).
  virtual bool finds_devices() const { return true; }
  // Sends the kernel refused for a while and that went out later.
  virtual std::uint64_t deferred() const { return 0; }
};

}  // namespace kivo::discover
