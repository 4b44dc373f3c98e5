// The engine's own searches (SNMP broadcast, range scan and describe; SLP; web probes)
// and the options they share. Library-internal.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <queue>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/unique_fd.h"
#include "discover/search.h"
#include "kivo8/ifinfo.h"
#include "kivo8/snmp_sess.h"
#include "snmp/pdu_view.h"

namespace kivo::discover {

// One request every address of a target gets: a v1 or v2c GET with a community, or
// (SNMP_VERSION_3, no name) the SNMPv3 engine-id discovery probe.
struct Community {
  std::int32_t version;  // SNMP_VERSION_1, SNMP_VERSION_2c or SNMP_VERSION_3
  std::string name;
};

// Where SNMP requests go: every address of a range, or one broadcast address.
struct SnmpTarget {
  const ifinfo *entry;       // the search target (not owned)
  std::uint32_t first, last; // host order; equal for a broadcast
  std::uint32_t mask;        // host order; for a broadcast, which sources may answer
  bool broadcast;
  // On one of this host's links: every silent address takes a neighbour entry for its
  // whole resolution, so the sweep keeps few enough in flight for the table to hold them.
  bool on_link = false;
  std::int32_t timeout_ms;
  std::vector<Community> communities;
};

// Called by the SNMP and web searches when one of a device's follow-ups ends.
class FollowUps {
 public:
  virtual ~FollowUps() = default;
  virtual void follow_up_done(in_addr address) = 0;
};

class SnmpSearch final : public Search, public FollowUpSearch {
 public:
  SnmpSearch(std::vector<SnmpTarget> targets, std::int32_t retries,
             std::int32_t describe_timeout_ms, FollowUps &follow_ups, std::uint16_t port = 161);
  ~SnmpSearch() override;
  bool start(const SearchContext &context, TimePoint now) override;
  void watched(std::vector<pollfd> &fds) override;
  void on_ready(int fd, short revents, TimePoint now) override;
  std::optional<TimePoint> next_wakeup() const override;
  void on_timer(TimePoint now) override;
  bool done() const override;
  const char *name() const override { return "snmp"; }
  bool sent_any() const override { return sent_any_; }

  // Asks the device for its names and whether it is a printer, with the community that
  // answered; follow_up_done() once that has ended.
  void describe(in_addr address, std::int32_t version, const std::string &community);
  // Describes a device that answered v1 or v2c.
  bool follow_up(const Device &device, TimePoint now) override;
  std::uint64_t deferred() const override { return deferred_; }
  std::uint64_t addresses_total() const { return addresses_total_; }

 private:
  enum class Purpose : std::uint8_t { kScan, kBroadcast, kDescribe, kPrinterCheck };
  struct Pending {
    std::uint32_t address;  // host order: the agent, or the broadcast address
    std::uint32_t mask;     // sources accepted: (source & mask) == (address & mask)
    Purpose purpose;
    std::uint8_t tries_left;
    std::uint16_t target;     // index into targets_
    std::uint16_t community;  // index into the target's communities
    TimePoint expires;      // meaningful once sent
    std::int32_t timeout_ms;
    bool sent;
    bool retried = false;  // sent again after a time-out: an answer now shows a loss
  };
  struct Describe {
    std::int32_t version;
    std::string community;
    std::vector<std::vector<std::uint32_t>> names;  // still to ask
    std::uint8_t tries_left;
  };

  enum class Sent { kOk, kLater, kFailed };
  void send_some(TimePoint now);
  Sent transmit(std::uint32_t reqid, Pending &p, TimePoint now);
  bool encode(std::uint32_t reqid, const Pending &p);
  void receive(TimePoint now);
  void handle(const kivo8::snmp::Message &m, std::uint32_t source, std::uint16_t port, TimePoint now);
  static std::uint32_t new_reqid();
  void engine_report(std::span<const std::uint8_t> datagram, std::uint32_t source, std::uint16_t port);
  void answered_scan(const Pending &p, const kivo8::snmp::Message &m, std::uint32_t source);
  void describe_reply(std::uint32_t address, const kivo8::snmp::Message &m, TimePoint now);
  void printer_check_reply(std::uint32_t address, const kivo8::snmp::Message &m);
  void send_describe(std::uint32_t address, TimePoint now);
  void finish_describe(std::uint32_t address);
  void expire(TimePoint now);
  // Forgets a request; every scan request leaves through here (answered, timed out,
  // refused) so that the on-link count stays right.
  void retire(std::unordered_map<std::uint32_t, Pending>::iterator it);
  bool sweep_blocked() const;

  std::vector<SnmpTarget> targets_;
  std::uint16_t port_;
  std::int32_t retries_;
  std::int32_t describe_timeout_ms_;
  FollowUps &follow_ups_;
  SearchContext context_{};
  kivo8::UniqueFd sock_;
  bool sent_any_ = false;
  // Requests not yet sent: follow-ups and retries first, then the sweep's next address.
  std::deque<std::uint32_t> urgent_;  // request ids
  std::size_t sweep_target_ = 0;
  std::uint64_t sweep_next_ = 0;  // next address of targets_[sweep_target_] (64 bits: last+1)
  std::uint16_t sweep_community_ = 0;
  std::uint64_t addresses_total_ = 0;
  std::unordered_map<std::uint32_t, Pending> pending_;  // by request id
  std::unordered_map<std::uint32_t, Describe> describing_;  // by address, host order
  using Expiry = std::pair<TimePoint, std::uint32_t>;
  std::priority_queue<Expiry, std::vector<Expiry>, std::greater<>> expiries_;
  TimePoint blocked_until_{};
  bool want_write_ = false;
  std::uint64_t deferred_ = 0;
  // On-link addresses of the sweep with requests still out, and how many each has: the
  // neighbour table holds an entry per address, however many requests go to it.
  std::unordered_map<std::uint32_t, std::uint16_t> on_link_requests_;
  std::vector<std::uint8_t> packet_;
  std::vector<std::uint8_t> receive_buffer_;
};

// SLP Service Requests by multicast through each local interface; every URL of every
// reply is noted at the address it names (or at the sender).
struct SlpInterface {
  const ifinfo *entry;
  in_addr local;
  std::int32_t timeout_ms;
  std::int32_t hops;
  std::string scopes;
};

class SlpSearch final : public Search {
 public:
  SlpSearch(std::vector<SlpInterface> interfaces, std::string service_type);
  bool start(const SearchContext &context, TimePoint now) override;
  void watched(std::vector<pollfd> &fds) override;
  void on_ready(int fd, short revents, TimePoint now) override;
  std::optional<TimePoint> next_wakeup() const override;
  void on_timer(TimePoint now) override;
  bool done() const override;
  const char *name() const override { return "slp"; }
  bool sent_any() const override { return sent_any_; }

 private:
  struct Socket {
    kivo8::UniqueFd fd;
    std::uint16_t xid;
    TimePoint ends;
    const ifinfo *entry;
    bool open;
  };
  std::vector<SlpInterface> interfaces_;
  std::string service_type_;
  std::vector<Socket> sockets_;
  SearchContext context_{};
  bool sent_any_ = false;
  std::vector<std::uint8_t> receive_buffer_;
};

// HEAD requests to port 80 of each device, at most `in_flight` at once.
class WebSearch final : public Search, public FollowUpSearch {
 public:
  WebSearch(std::int32_t timeout_ms, std::uint32_t in_flight, FollowUps &follow_ups);
  bool start(const SearchContext &context, TimePoint now) override;
  void watched(std::vector<pollfd> &fds) override;
  void on_ready(int fd, short revents, TimePoint now) override;
  std::optional<TimePoint> next_wakeup() const override;
  void on_timer(TimePoint now) override;
  bool done() const override { return queue_.empty() && probes_.empty(); }
  const char *name() const override { return "web"; }
  bool finds_devices() const override { return false; }
  bool sent_any() const override { return true; }
  void probe(in_addr address, TimePoint now);
  bool follow_up(const Device &device, TimePoint now) override {
    probe(device.address, now);
    return true;
  }

 private:
  struct Probe {
    kivo8::UniqueFd fd;
    in_addr address;
    TimePoint ends;
    bool connected = false;
    std::size_t got = 0;
    char answer[64] = {};
  };
  void open_more(TimePoint now);
  void finish(std::size_t index, bool yes);
  std::int32_t timeout_ms_;
  std::uint32_t in_flight_;
  FollowUps &follow_ups_;
  SearchContext context_{};
  std::deque<in_addr> queue_;
  std::vector<std::unique_ptr<Probe>> probes_;
};

}  // namespace kivo::discover
