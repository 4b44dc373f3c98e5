// The endpoint search: for each device another search found, TCP connects to the print
// ports (IPP 631, raw socket 9100, LPD 515) that DNS-SD did not already announce, then
// one IPP Get-Printer-Attributes where the device speaks IPP or IPPS. All of it runs on
// the engine's loop over non-blocking sockets; at most `in_flight` connects and exchanges
// are open at once, whatever the number of devices, and each lasts at most `timeout` and
// never past the run's deadline (the engine drops the search there).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/unique_fd.h"
#include "discover/search.h"
#include "discover/searches.h"

namespace kivo8::ipp {
class Exchange;
struct Message;
}

namespace kivo::discover {

inline constexpr std::int32_t kDefaultEndpointTimeoutMs = 2000;
inline constexpr std::uint32_t kDefaultEndpointInFlight = 32;

// The ports probed; a test may move them (its peers cannot always take the real ones).
struct EndpointPorts {
  std::uint16_t ipp = 631, socket = 9100, lpd = 515;
};

// Where a scheme's endpoints come in a device's list: ipps 0, ipp 1, socket 2, lpd 3.
int endpoint_rank(Scheme scheme);

// Every endpoint of `device`: the DNS-SD print services it announced and the ports that
// accepted a probe (one per scheme and port), best first: ipps, ipp, socket, lpd. IPP
// URIs carry the resource that answered, else the one DNS-SD named, else /ipp/print.
std::vector<Endpoint> list_endpoints(const Device &device);

// The resource a DNS-SD TXT `rp` value names ("ipp/print" -> "/ipp/print"); empty when
// there is none or it could not go into a URI and an HTTP request line as it is.
std::string resource_of_rp(std::string_view rp);

// The IPPS port a printer that answered plain IPP names for itself in
// printer-uri-supported: an ipps:// URI whose resource is `resource` (where it answered)
// and whose host is `address` (dotted) or the host of its own ipp:// URI on `port` (where
// it answered), so that the same host is meant. Zero when it names none. At most the
// first kMaxUrisRead values are read.
inline constexpr std::size_t kMaxUrisRead = 16;
std::uint16_t offered_ipps_port(const kivo8::ipp::Message &answer, std::string_view address, std::uint16_t port,
                                std::string_view resource);

class EndpointSearch final : public Search, public FollowUpSearch {
 public:
  EndpointSearch(std::int32_t timeout_ms, std::uint32_t in_flight, TimePoint deadline,
                 FollowUps &follow_ups, EndpointPorts ports = {});
  ~EndpointSearch() override;
  bool start(const SearchContext &context, TimePoint now) override;
  void watched(std::vector<pollfd> &fds) override;
  void on_ready(int fd, short revents, TimePoint now) override;
  std::optional<TimePoint> next_wakeup() const override;
  void on_timer(TimePoint now) override;
  bool done() const override { return queue_.empty() && open_.empty(); }
  const char *name() const override { return "endpoints"; }
  bool finds_devices() const override { return false; }
  bool sent_any() const override { return true; }
  bool follow_up(const Device &device, TimePoint now) override;

  // The most connects and exchanges that were open at once (for tests of the cap).
  std::size_t peak_in_flight() const { return peak_; }

 private:
  // One step for one device: a connect to a port, or an IPP exchange to a resource.
  struct Task {
    std::uint32_t address = 0;  // network order
    Scheme scheme = Scheme::kIpp;
    std::uint16_t port = 0;
    bool ipp = false;           // an exchange rather than a connect probe
  };
  struct Open;
  // What is left to do for one device.
  struct Job {
    int connects_left = 0;
    bool ipp_known = false;       // where to ask is known (DNS-SD, or 631 accepted)
    bool ipp_running = false;     // an exchange queued or open
    bool finished = false;
    bool tls = false;
    bool ipps_offered = false;    // the IPPS port plain IPP named is being tried
    std::uint16_t ipp_port = 0;
    std::vector<std::string> resources;  // still to try, in order
  };

  void open_more(TimePoint now);
  void start_task(const Task &t, TimePoint now);
  void finish(std::size_t index, TimePoint now);
  void connect_ended(const Task &t, bool accepted, TimePoint now);
  void exchange_ended(Open &o, TimePoint now);
  void next_ipp(std::uint32_t address, TimePoint now);
  void job_done(std::uint32_t address);
  std::uint64_t ms(TimePoint t) const;

  std::int32_t timeout_ms_;
  std::uint32_t in_flight_;
  TimePoint deadline_;
  FollowUps &follow_ups_;
  EndpointPorts ports_;
  SearchContext context_{};
  std::deque<Task> queue_;
  std::vector<std::unique_ptr<Open>> open_;
  std::unordered_map<std::uint32_t, Job> jobs_;
  std::size_t peak_ = 0;
  std::uint32_t request_id_ = 1;
};

}  // namespace kivo::discover
