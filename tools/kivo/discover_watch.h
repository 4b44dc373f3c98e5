// What runs beside a search: Ctrl-C, and progress on standard error.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "kivo8/discover.h"

namespace kivo {

// Ctrl-C during a search: SIGINT is blocked while the object lives and taken by a thread
// of its own (through a signalfd), which cancels the search with kivo_discover_cancel,
// the one call the library allows from another thread. No signal handler runs, so
// nothing in the library is entered from one. A Ctrl-C after the object is gone ends
// kivo as usual.
class InterruptWatch {
 public:
  explicit InterruptWatch(kivo_discover *search);
  ~InterruptWatch();
  InterruptWatch(const InterruptWatch &) = delete;
  InterruptWatch &operator=(const InterruptWatch &) = delete;
  // Stops watching (the search has returned); true when Ctrl-C came.
  bool finish();

 private:
  void watch(int signal_fd, int stop_fd);
  kivo_discover *search_;
  std::atomic<bool> interrupted_{false};
  int signal_fd_ = -1;
  int stop_fd_ = -1;
  bool masked_ = false;
  std::thread thread_;
};

// Progress of the range scans on standard error: a bar redrawn in place on a terminal,
// otherwise a line now and then (when another tenth is done, two seconds apart, none in
// the first two seconds).
class Progress {
 public:
  Progress(bool terminal, bool quiet) : terminal_(terminal), quiet_(quiet) {}
  void update(const kivo_discover_progress &p);
  // Ends the bar's line.
  void finish();
  bool wanted() const { return !quiet_; }

 private:
  bool terminal_;
  bool quiet_;
  bool bar_shown_ = false;
  std::uint64_t last_tenth_ = 0;
  std::chrono::steady_clock::time_point started_{};
  std::chrono::steady_clock::time_point last_line_{};
  static constexpr std::chrono::seconds kQuiet{2};
};

}  // namespace kivo
