// SNMPv3 engine-id discovery as a search of the discovery engine. Every SNMPv3 agent
// answers a request with an empty engine id (and no user) with a Report that carries its
// engine id, whatever users it has: v3-only devices are found without credentials
// ("snmpv3" in found_by, the engine id in the record). With credentials, each device
// found is then asked for its description with an authenticated (and, for authPriv,
// encrypted) GET, and described like the devices that answer v1/v2c.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "core/unique_fd.h"
#include "discover/search.h"
#include "kivo8/snmpv3.h"
#include "snmp/pdu.h"
#include "snmpv3/message.h"
#include "snmpv3/usm.h"

namespace kivo::discover {

// The discovery request: a reportable GET without bindings, no security, empty engine id,
// user and context. Its length, 0 when `out` is too small.
std::size_t snmpv3_discovery_request(std::int32_t msg_id, std::span<std::uint8_t> out) noexcept;

// The engine id that a reply to the discovery request carries: the authoritative engine
// id of its USM parameters, when the message decodes, answers `msg_id` and names an engine
// of 1 to 32 octets. Boots and time come with it.
struct EngineReport {
  std::vector<std::uint8_t> engine_id;
  std::uint32_t boots = 0;
  std::uint32_t time = 0;
};
std::optional<EngineReport> snmpv3_parse_engine_report(std::span<const std::uint8_t> datagram,
                                                       std::int32_t msg_id);

struct Snmpv3Target {
  in_addr address{};
  bool broadcast = false;  // any sender may answer; otherwise only `address`
};

struct Snmpv3SearchOptions {
  std::vector<Snmpv3Target> targets;
  std::uint16_t port = 161;
  std::chrono::milliseconds timeout{2000};
  int retries = 1;
  // Describe the devices found with these credentials; nullopt: find them only. The
  // texts are only read by the constructor.
  std::optional<kivo_snmpv3_options> credentials;
  // Or a user whose keys are derived already (used when `credentials` is not given).
  std::shared_ptr<const kivo8::v3::User> user;
  // Most description exchanges in flight; the others wait.
  std::size_t max_describing = 64;
};

class Snmpv3Search final : public Search {
 public:
  explicit Snmpv3Search(const Snmpv3SearchOptions &options);
  // Options refused (bad credentials), with the library's code; the search then does
  // not start.
  std::int32_t setup_code() const { return setup_code_; }

  bool start(const SearchContext &context, TimePoint now) override;
  void watched(std::vector<pollfd> &fds) override;
  void on_ready(int fd, short revents, TimePoint now) override;
  std::optional<TimePoint> next_wakeup() const override;
  void on_timer(TimePoint now) override;
  bool done() const override;
  const char *name() const override { return "snmpv3"; }
  bool sent_any() const override { return sent_any_; }

 private:
  struct Probe {
    Snmpv3Target target;
    int transmissions_left = 0;
    std::int32_t msg_id = 0;
    TimePoint due{};  // next send, or the end of the current wait
    bool waiting = false;
    bool finished = false;
  };
  struct Describe {
    in_addr address{};
    kivo8::v3::EngineState engine;
    int transmissions_left = 0;
    bool resynced = false;
    std::int32_t dropped_code = 0;  // why the last reply was not taken, if one was not
    std::int32_t msg_id = 0;
    std::uint32_t reqid = 0;
    TimePoint due{};
    bool waiting = false;
    bool finished = false;
  };

  void send_probe(Probe &p, TimePoint now);
  void send_describe(Describe &d, TimePoint now);
  void receive(TimePoint now);
  // The describe ended without a description: the device learns why.
  void refused(Describe &d, std::int32_t code);
  void found(in_addr from, const EngineReport &report);
  void described(Describe &d, const snmp_pdu &pdu);
  std::int32_t next_msg_id();

  Snmpv3SearchOptions options_;
  std::int32_t setup_code_ = 0;
  kivo8::v3::User user_;
  kivo8::v3::KeyCache keys_;
  kivo8::UniqueFd fd_;
  SearchContext context_{};
  std::vector<Probe> probes_;
  std::vector<std::unique_ptr<Describe>> describes_;
  std::unordered_map<std::int32_t, std::size_t> probe_by_id_;
  std::unordered_map<std::int32_t, Describe *> describe_by_id_;
  std::uint32_t msg_counter_ = 0;
  bool sent_any_ = false;
  std::unique_ptr<snmp_pdu, void (*)(snmp_pdu *)> describe_pdu_{nullptr, snmp_free_pdu};
};

}  // namespace kivo::discover
