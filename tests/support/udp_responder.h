// A scripted UDP peer that answers with bytes the test crafts, for replies no real agent
// sends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/net_util.h"
#include "support/peers.h"
#include "support/snmp_craft.h"

namespace kivo8::test {

// A thread that owns one UDP socket and answers every datagram by a handler. The handler
// gets the datagram and its number (0 for the first) and returns the replies to send back
// to the sender, each after a delay counted from the previous reply. Delays are waited
// out interruptibly, so the destructor returns promptly.
class UdpResponder {
 public:
  struct Reply {
    craft::Bytes bytes;
    int delay_ms = 0;
  };
  using Handler = std::function<std::vector<Reply>(const craft::Bytes &request, int index)>;

  // Binds `address`:`port` (port 0: a free port chosen by the system) inside `netns`
  // (empty: the test's own namespace).
  UdpResponder(Handler handler, const std::string &address = "127.0.0.1", int port = 0,
               const std::string &netns = "");
  ~UdpResponder();
  UdpResponder(const UdpResponder &) = delete;
  UdpResponder &operator=(const UdpResponder &) = delete;

  bool ok() const { return fd_ >= 0; }
  int port() const { return port_; }
  int received() const { return received_.load(); }
  // Replies actually handed to the socket.
  int sent() const { return sent_.load(); }
  // Arrival times of the datagrams, in seconds on the steady clock.
  std::vector<double> arrival_times() const;
  // Waits up to `seconds` until at least `n` datagrams have arrived.
  bool wait_received(int n, double seconds);

 private:
  void run();
  bool sleep_ms(int ms);

  Handler handler_;
  int fd_ = -1;
  int port_ = -1;
  std::atomic<int> received_{0};
  std::atomic<int> sent_{0};
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<double> arrivals_;
  std::thread thread_;
};

}  // namespace kivo8::test
