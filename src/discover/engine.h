// The discovery engine: one event loop on the caller's thread that drives every search,
// keeps one record per IPv4 address, and calls the front end back. Library-internal; the
// exported interface is include/kivo8/discover.h.
#pragma once

#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/unique_fd.h"
#include "discover/classify.h"
#include "discover/endpoint_search.h"
#include "discover/search.h"
#include "discover/searches.h"
#include "kivo8/discover.h"
#include "kivo8/device.h"
#include "snmpv3/usm.h"

namespace kivo::discover {

// The send rate a run starts at, and the bounds it adapts between, when the caller set
// none (see Pacer).
inline constexpr std::uint32_t kDefaultRate = 10000;
inline constexpr double kAdaptiveFloor = 1000;
inline constexpr double kAdaptiveCeiling = 100000;
inline constexpr std::uint32_t kDefaultMaxDevices = 4096;
inline constexpr std::int32_t kDefaultWebTimeoutMs = 2000;
inline constexpr std::uint32_t kDefaultWebInFlight = 64;

// kivo_discover_options with every default filled in and every text copied.
struct Options {
  std::uint32_t searches = KIVO_DISCOVER_BROADCAST | KIVO_DISCOVER_RANGES | KIVO_DISCOVER_SLP |
                           KIVO_DISCOVER_WEB;
  std::uint32_t versions = KIVO_DISCOVER_V1;
  std::vector<std::string> communities;
  std::int32_t timeout_ms = 0;
  std::int32_t retries = 0;
  std::uint32_t rate = kDefaultRate;
  bool rate_given = false;  // a fixed rate; else `rate` is where the adaptive pace starts
  std::uint32_t max_devices = kDefaultMaxDevices;
  std::int32_t deadline_ms = 0;
  std::int32_t describe_timeout_ms = 0;
  std::int32_t web_timeout_ms = kDefaultWebTimeoutMs;
  std::uint32_t web_in_flight = kDefaultWebInFlight;
  std::string slp_service_type = "service:printer";
  std::string slp_scopes;
  bool slp_scopes_given = false;
  kivo_discover_progress_fn progress = nullptr;
  kivo_discover_device_fn on_device = nullptr;
  void *user = nullptr;
  // The SNMPv3 user that describes the agents the engine-id probe finds, keys derived;
  // null: find only.
  std::shared_ptr<const kivo8::v3::User> snmpv3_user;
  // Where SNMP requests of every version go (a test's agent may listen elsewhere).
  std::uint16_t snmp_port = 161;
  std::int32_t endpoint_timeout_ms = kDefaultEndpointTimeoutMs;
  std::uint32_t endpoint_in_flight = kDefaultEndpointInFlight;
  // The ports the endpoint search probes (a test's peers may listen elsewhere).
  EndpointPorts endpoint_ports;
};

struct Plan;

class Engine final : public DeviceBook, public FollowUps {
 public:
  Engine(ifinfo *targets, Options options);
  ~Engine() override;
  bool ok() const { return wake_.valid(); }

  std::int32_t run();
  void cancel() noexcept;
  std::uint32_t count() const { return static_cast<std::uint32_t>(entries_.size()); }
  const kivo_discover_device *get(std::uint32_t index) const;
  void stats(kivo_discover_stats &out) const;
  std::int32_t fill_group();

  Device *find_or_add(in_addr address, std::uint32_t how) override;
  Device *find(in_addr address) override;
  void changed(Device &device) override;
  void note_dropped(std::uint64_t count) override { datagrams_dropped_ += count; }
  void note_sent(std::uint64_t count) override { sent_ += count; }
  void note_answer(std::uint64_t count) override { answers_ += count; }
  void note_address_done(std::uint64_t count) override { addresses_done_ += count; }
  void follow_up_done(in_addr address) override;

 private:
  struct Entry;
  Entry *entry_of(in_addr address);
  void complete(Entry &e);
  void finalize(Entry &e);
  void refresh_view(Entry &e) const;
  void deliver_events();
  void report_progress(bool force);
  // The three stages of run(): the searches that the plan asks for, the loop that drives
  // them until all are done (or the deadline or a cancel), and the final records.
  void build_searches(Plan &plan, TimePoint deadline);
  // One record per printer that answers on several addresses (same printer-uuid).
  void merge_by_uuid();
  void loop(TimePoint deadline);
  void teardown();

  ifinfo *targets_;
  Options options_;
  kivo8::UniqueFd wake_;
  std::atomic<bool> cancelled_{false};
  bool ran_ = false;
  bool running_ = false;

  std::vector<std::unique_ptr<Entry>> entries_;  // in the order found; sorted after a run
  std::unordered_map<std::uint32_t, Entry *> by_address_;
  std::vector<std::pair<std::int32_t, Entry *>> events_;
  // Every search of the run; `live_` those that started, `follow_ups_` those offered
  // each changed device.
  std::vector<std::unique_ptr<Search>> searches_;
  std::vector<Search *> live_;
  std::vector<FollowUpSearch *> follow_ups_;
  std::size_t tried_ = 0, failed_ = 0;

  std::uint64_t sent_ = 0, answers_ = 0, addresses_done_ = 0, addresses_total_ = 0;
  std::uint64_t datagrams_dropped_ = 0, devices_dropped_ = 0, deferred_ = 0;
  bool deadline_reached_ = false;
  std::uint64_t elapsed_ms_ = 0;
  TimePoint last_progress_{};
  kivo_discover_progress last_reported_{};
  bool in_group_ = false;
  // KIVO_DISCOVER_STATUS: printers' IPP answers go into their status records too.
  bool status_wanted_ = false;
};

}  // namespace kivo::discover

struct kivo_discover {
  std::unique_ptr<kivo::discover::Engine> engine;
};
