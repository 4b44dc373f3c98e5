// The engine's own searches (SNMP broadcast, range scan and describe, every version; SLP;
// web probes) and the options they share. Library-internal.
#pragma once

#include <netinet/in.h>

#include <array>
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
#include "snmpv3/usm.h"

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

// The one SNMP search, for v1, v2c and v3 alike: one socket, one sweep cursor, one
// pending map by request id, one expiry queue, paced by the shared Pacer. (The sweep's
// own requests, a few hundred thousand at full pace, are kept in a ring of their own:
// see Scan.) The sweep sends
// each address its v1/v2c GETs and the SNMPv3 engine-id probe; a device that answered
// is then described, over v1/v2c with the community that answered and, when a user is
// given, over SNMPv3 with the engine id its probe reported. Every request, whatever its
// version, waits in pending_ and leaves through the same receive and expiry paths.
class SnmpSearch final : public Search, public FollowUpSearch {
 public:
  // `user`: the SNMPv3 user (keys derived) that describes the devices the engine-id probe
  // found; null: they are found only.
  SnmpSearch(std::vector<SnmpTarget> targets, std::int32_t retries,
             std::int32_t describe_timeout_ms, FollowUps &follow_ups, std::uint16_t port = 161,
             std::shared_ptr<const kivo8::v3::User> user = nullptr);
  ~SnmpSearch() override;
  bool start(const SearchContext &context, TimePoint now) override;
  void watched(std::vector<pollfd> &fds) override;
  void on_ready(int fd, short revents, TimePoint now) override;
  std::optional<TimePoint> next_wakeup() const override;
  void on_timer(TimePoint now) override;
  bool done() const override;
  const char *name() const override { return "snmp"; }
  bool sent_any() const override { return sent_any_; }

  // Asks a device for its names and whether it is a printer: over v1/v2c with the
  // community that answered, and (with a user) over SNMPv3 once the probe has learnt its
  // engine id; one after the other when both apply, one follow-up either way, ended by
  // follow_up_done().
  bool follow_up(const Device &device, TimePoint now) override;
  std::uint64_t deferred() const override { return deferred_; }
  std::uint64_t addresses_total() const { return addresses_total_; }

  // Most devices with a description exchange in flight; the others wait their turn.
  static constexpr std::size_t kMaxDescribing = 64;

 private:
  // What a request asks. Sweep and broadcast requests take their version from their
  // community (SNMP_VERSION_3: the engine-id probe); describe and printer-check requests
  // from the device's describe record (SNMP_VERSION_3: the authenticated GET).
  // Sweep requests (one per address of a range and community) are not Pending: see Scan.
  enum class Purpose : std::uint8_t { kBroadcast, kDescribe, kPrinterCheck };
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
  // One sweep request in flight. A /16 at full pace has a few hundred thousand of these
  // out at once (every address waits out its time-out), and a table node and an expiry
  // entry for each took 24 MiB; so they are kept small, in send order, in a ring found by
  // request id without a table: the id is the request's place in the ring, through a
  // keyed permutation (scan_id) so that ids stay unpredictable.
  struct Scan {
    TimePoint expires;
    std::uint32_t address;    // host order
    std::uint16_t target;     // index into targets_
    std::uint8_t community;   // index into the target's communities
    std::uint8_t tries_left : 6;
    std::uint8_t retried : 1;  // an answer now shows that a request or answer was lost
    std::uint8_t live : 1;     // not yet answered or timed out
  };
  // An address to ask again after a time-out, waiting for its turn to be sent.
  struct Resend {
    std::uint32_t address;
    std::uint16_t target;
    std::uint8_t community;
    std::uint8_t tries_left;
  };
  // One device's description, whatever the version it is read with.
  struct Describe {
    std::int32_t version = -1;  // of the stage under way; -1: waiting for its turn
    std::string community;      // v1/v2c
    std::vector<std::vector<std::uint32_t>> names;  // still to ask
    std::uint8_t tries_left = 0;
    bool community_tried = false, v3_tried = false;
    // SNMPv3: the agent's engine as its probe reported it (the clock kept by ours), one
    // resynchronisation on a "not in time window" Report, and why the last reply was
    // not taken, should nothing better come.
    kivo8::v3::EngineState engine;
    bool resynced = false;
    std::int32_t dropped_code = 0;
  };
  using Describing = std::unordered_map<std::uint32_t, Describe>;

  enum class Sent { kOk, kLater, kFailed };
  void send_some(TimePoint now);
  // Sends the next sweep request (a resend first); false when sending must pause.
  bool send_scan(TimePoint now);
  Sent send_datagram(std::uint32_t address, TimePoint now);
  Sent transmit(std::uint32_t reqid, Pending &p, TimePoint now);
  bool encode(std::uint32_t reqid, const Pending &p);
  bool encode_scan(std::uint32_t reqid, const SnmpTarget &target, std::size_t community);
  // Request ids of sweep requests, from their sequence numbers and back. Sweep ids have
  // bit 30 set and every other request's id has it clear, so the two never meet.
  std::uint32_t scan_id(std::uint64_t seq) const;
  // The live sweep request with this id, or null.
  Scan *find_scan(std::uint32_t id);
  void expire_scans(TimePoint now);
  // A sweep request ends (answered, timed out, refused): it frees its neighbour entry and,
  // for the first community of an address, counts the address done.
  void scan_ended(Scan &s);
  bool encode_v3(std::uint32_t reqid, Describe &d, const kivo8::snmp::Outgoing &pdu);
  void receive(TimePoint now);
  void handle(const kivo8::snmp::Message &m, std::uint32_t source, std::uint16_t port, TimePoint now);
  void handle_v3(std::span<const std::uint8_t> datagram, std::uint32_t source, std::uint16_t port,
                 TimePoint now);
  static std::uint32_t new_reqid();
  bool from_right_place(const Pending &p, std::uint32_t source, std::uint16_t port) const;
  // The version a request was sent with.
  std::int32_t version_of(const Pending &p) const;
  using PendingIt = std::unordered_map<std::uint32_t, Pending>::iterator;
  // The engine-id probe's Report, from a sweep request or a broadcast one; false when it
  // does not read as one (the request then stays open).
  bool engine_report(const kivo8::v3::Envelope &env, std::size_t target, bool retried,
                     std::uint32_t source, TimePoint now);
  void v3_reply(std::span<const std::uint8_t> datagram, const kivo8::v3::Envelope &env, PendingIt it,
                TimePoint now);
  void answered_scan(std::size_t target, std::size_t community, bool broadcast,
                     std::uint32_t source);
  void describe_reply(std::uint32_t address, const kivo8::snmp::Message &m, TimePoint now);
  void printer_check_reply(std::uint32_t address, const kivo8::snmp::Message &m, TimePoint now);
  // Starts the next stage of a device's description (v1/v2c, then v3), or ends it.
  void next_stage(std::uint32_t address, TimePoint now);
  // Starts waiting descriptions while there is room.
  void admit(TimePoint now);
  void send_describe(std::uint32_t address, TimePoint now);
  // The SNMPv3 user could not describe the device: it learns why.
  void refused(std::uint32_t address, std::int32_t code);
  void finish_stage(std::uint32_t address, TimePoint now);
  void expire(TimePoint now);
  bool sweep_blocked() const;

  std::vector<SnmpTarget> targets_;
  std::uint16_t port_;
  std::int32_t retries_;
  std::int32_t describe_timeout_ms_;
  FollowUps &follow_ups_;
  std::shared_ptr<const kivo8::v3::User> user_;
  kivo8::v3::KeyCache keys_;
  SearchContext context_{};
  kivo8::UniqueFd sock_;
  bool sent_any_ = false;
  // Requests not yet sent: follow-ups and retries first, then the sweep's next address.
  std::deque<std::uint32_t> urgent_;  // request ids
  std::size_t sweep_target_ = 0;
  std::uint64_t sweep_next_ = 0;  // next address of targets_[sweep_target_] (64 bits: last+1)
  std::uint16_t sweep_community_ = 0;
  std::uint64_t addresses_total_ = 0;
  // By request id. An SNMPv3 request's msgID is its request id too (new_reqid() keeps
  // both below 2^31), so one lookup matches a reply of any version.
  std::unordered_map<std::uint32_t, Pending> pending_;
  // The sweep's requests in send order: scans_[i] has sequence number scan_front_ + i.
  std::deque<Scan> scans_;
  std::uint64_t scan_front_ = 0;
  std::size_t scans_live_ = 0;
  std::deque<Resend> resends_;
  std::array<std::uint32_t, 4> scan_keys_{};
  Describing describing_;  // by address, host order
  // Descriptions waiting for one of the kMaxDescribing places (addresses, host order).
  std::deque<std::uint32_t> describe_queue_;
  std::size_t describing_now_ = 0;
  bool admitting_ = false;
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
  std::vector<std::uint8_t> v3_scratch_;  // a decrypted scoped PDU
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
