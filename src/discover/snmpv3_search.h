// SNMPv3 in the discovery engine. Every SNMPv3 agent answers a request with an empty
// engine id (and no user) with a Report that carries its engine id, whatever users it
// has: the SNMP sweep sends that probe beside its v1/v2c requests (the codec is here), so
// v3-only devices are found without credentials ("snmpv3" in found_by, the engine id in
// the record). With credentials, this follow-up search then asks each of them for its
// description with an authenticated (and, for authPriv, encrypted) GET, read through the
// same describe table as a v1/v2c answer.
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
#include "discover/searches.h"
#include "kivo8/snmpv3.h"
#include "snmp/pdu_view.h"
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

struct Snmpv3SearchOptions {
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

class Snmpv3Search final : public Search, public FollowUpSearch {
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
  bool finds_devices() const override { return false; }
  bool sent_any() const override { return sent_any_; }

  // Describes the device at `address` with the credentials, the engine id, boots and time
  // coming from its engine-id Report (found by this search or by the SNMP sweep). False
  // when there are no credentials or the engine id is unusable: nothing was started.
  bool describe(in_addr address, std::span<const std::uint8_t> engine_id, std::uint32_t boots,
                std::uint32_t time);
  // Where the end of each description is told.
  void set_follow_ups(FollowUps *follow_ups) { follow_ups_ = follow_ups; }
  // Describes a device whose engine id is known, when there are credentials.
  bool follow_up(const Device &device, TimePoint now) override {
    (void)now;
    return describe(device.address, device.engine_id, device.engine_boots, device.engine_time);
  }

 private:
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

  void send_describe(Describe &d, TimePoint now);
  void receive(TimePoint now);
  // The describe ended without a description: the device learns why.
  void refused(Describe &d, std::int32_t code);
  void described(Describe &d, const kivo8::snmp::Message &pdu);
  void finish(Describe &d);
  std::int32_t next_msg_id();

  Snmpv3SearchOptions options_;
  std::int32_t setup_code_ = 0;
  kivo8::v3::User user_;
  kivo8::v3::KeyCache keys_;
  kivo8::UniqueFd fd_;
  SearchContext context_{};
  std::vector<std::unique_ptr<Describe>> describes_;
  std::unordered_map<std::int32_t, Describe *> describe_by_id_;
  std::uint32_t msg_counter_ = 0;
  bool sent_any_ = false;
  FollowUps *follow_ups_ = nullptr;
  // The describe GET's names, asked of every device; the Bindings view describe_names().
  std::vector<kivo8::snmp::Binding> describe_bindings_;
};

}  // namespace kivo::discover
