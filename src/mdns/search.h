// The multicast DNS search: one-shot queries through every local IPv4 interface, and the
// unicast answers they bring fed to a Collector.
//
// One non-blocking socket per interface address, bound to that address on an ephemeral
// port with IP_MULTICAST_IF set to it: responders answer a query from a port other than
// 5353 by unicast to that port, so no listener on the host's port 5353 is disturbed and
// the reply tells which interface it came through. Each browse name goes out in a query
// of its own, once at the start and once more `repeat_ms` later; follow-up questions for
// incomplete instances go out as the collector asks for them.
//
// The Search never blocks and starts no thread: a caller's event loop polls fds(), calls
// readable() for a ready socket and tick() at next_due_ms(). run_search() is such a loop
// on the calling thread, for callers that want nothing else done meanwhile.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "core/unique_fd.h"
#include "mdns/collector.h"

namespace kivo8::mdns {

struct SearchOptions {
  // Interface addresses to query through (network order); empty: every local interface
  // that is up, not loopback and multicast-capable.
  std::vector<std::uint32_t> interfaces;
  std::int64_t window_ms = 2000;
  std::int64_t repeat_ms = 1000;
  Limits limits;
  // Where queries go (network order address, host order port): the mDNS group and port;
  // tests may point it elsewhere.
  std::uint32_t group = 0;  // 0: 224.0.0.251
  std::uint16_t port = 5353;
};

struct SearchStats {
  std::uint64_t queries_sent = 0;    // datagrams, counting each interface
  std::uint64_t send_errors = 0;
  std::uint64_t wrong_port = 0;      // replies not from port 5353, ignored as RFC 6762 asks
  std::uint64_t replies = 0;         // datagrams fed to the collector
  std::uint64_t interfaces = 0;
};

class Search {
 public:
  explicit Search(const SearchOptions &options);
  // A gate asked before every datagram goes out (a caller's shared send budget); while it
  // says no, datagrams wait in order and next_due_ms() comes back soon.
  void set_send_gate(std::function<bool(std::int64_t now_ms)> gate) { gate_ = std::move(gate); }
  // Opens the sockets and sends the first queries; false when no interface could be used.
  bool start(std::int64_t now_ms);
  std::vector<int> fds() const;
  // Reads what is waiting on `fd` (at most a bounded number of datagrams per call).
  void readable(int fd, std::int64_t now_ms);
  // Sends the repeat and the follow-ups that are due.
  void tick(std::int64_t now_ms);
  // When tick() next has something to do; the window's end when nothing else.
  std::int64_t next_due_ms() const;
  bool finished(std::int64_t now_ms) const { return now_ms >= end_ms_; }

  Collector &collector() { return collector_; }
  const SearchStats &stats() const { return stats_; }

 private:
  void send_all(const std::vector<Question> &questions);
  void flush(std::int64_t now_ms);

  struct Outgoing {
    std::size_t socket;
    std::vector<std::uint8_t> bytes;
  };

  SearchOptions options_;
  Collector collector_;
  SearchStats stats_;
  std::vector<UniqueFd> sockets_;
  std::int64_t end_ms_ = 0;
  std::int64_t repeat_at_ = 0;
  bool repeated_ = false;
  std::int64_t followup_at_ = 0;
  std::function<bool(std::int64_t)> gate_;
  // Bounded: at most the browse names and the collector's capped follow-ups, per socket.
  std::deque<Outgoing> outbox_;
};

// Local IPv4 interface addresses a search goes through by default (network order).
std::vector<std::uint32_t> local_interfaces();

// Runs a whole search on the calling thread and gives the devices found.
std::vector<Device> run_search(const SearchOptions &options, Counters *counters = nullptr,
                               SearchStats *stats = nullptr);

// Milliseconds of the monotonic clock.
std::int64_t monotonic_ms();

}  // namespace kivo8::mdns
