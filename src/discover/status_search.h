// Printer state and supplies in the discovery engine: a follow-up search that reads the
// status of every device described as a printer, over the version and community (or the
// SNMPv3 user) that described it, inside the engine's one loop. Each read is the status
// module's own reader (status/reader.h): this search only carries its requests and
// answers, so a device's record is the one a blocking read of it gives.
//
// At most `max_reading` reads are under way at once, each with one request out; the
// others wait their turn. A read that the run's end cuts short leaves no status.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/unique_fd.h"
#include "discover/search.h"
#include "discover/searches.h"
#include "snmp/pdu_view.h"
#include "snmpv3/usm.h"
#include "status/reader.h"

namespace kivo::discover {

struct StatusSearchOptions {
  std::uint16_t port = 161;
  std::chrono::milliseconds timeout{2000};  // per transmission of a request
  int transmissions = 2;                    // of each request, the first included
  // The user of SNMPv3 reads (devices that answered SNMPv3 only); null: none.
  std::shared_ptr<const kivo8::v3::User> user;
  std::size_t max_reading = 64;
};

class StatusSearch final : public Search, public FollowUpSearch {
 public:
  StatusSearch(const StatusSearchOptions &options, FollowUps &follow_ups);
  ~StatusSearch() override;
  bool start(const SearchContext &context, TimePoint now) override;
  void watched(std::vector<pollfd> &fds) override;
  void on_ready(int fd, short revents, TimePoint now) override;
  std::optional<TimePoint> next_wakeup() const override;
  void on_timer(TimePoint now) override;
  bool done() const override { return queue_.empty() && reading_.empty(); }
  const char *name() const override { return "status"; }
  bool finds_devices() const override { return false; }
  bool sent_any() const override { return true; }
  // Reads the status of a device described as a printer over SNMP.
  bool follow_up(const Device &device, TimePoint now) override;

 private:
  struct Read;
  void send(Read &r, TimePoint now);
  bool encode(Read &r, std::uint32_t id);
  void receive(TimePoint now);
  void take(std::span<const std::uint8_t> datagram, const sockaddr_in &from, TimePoint now);
  void answered(Read &r, std::int32_t rc, const kivo8::snmp::Message *response, TimePoint now);
  void finish(Read &r);
  // Stops matching answers to the read's request out.
  void forget(Read &r);

  StatusSearchOptions options_;
  FollowUps &follow_ups_;
  SearchContext context_{};
  kivo8::UniqueFd fd_;
  std::unique_ptr<kivo8::v3::User> user_;
  kivo8::v3::KeyCache keys_;
  std::deque<std::unique_ptr<Read>> queue_;
  std::vector<std::unique_ptr<Read>> reading_;
  std::unordered_map<std::uint32_t, Read *> by_id_;
  std::vector<std::uint8_t> packet_, receive_buffer_, scratch_;
  std::vector<kivo8::snmp::Binding> bindings_;  // of the request being encoded
};

}  // namespace kivo::discover
