#include "discover_watch.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "common.h"

namespace kivo {

InterruptWatch::InterruptWatch(kivo_discover *search) : search_(search) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  // Blocked before the thread starts, so that it inherits the mask as well and SIGINT
  // reaches the signalfd rather than ending the process.
  masked_ = pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
  if (!masked_) return;
  signal_fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  stop_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (signal_fd_ < 0 || stop_fd_ < 0) return;  // Ctrl-C then waits for the search's end
  thread_ = std::thread([this] { watch(signal_fd_, stop_fd_); });
}

void InterruptWatch::watch(int signal_fd, int stop_fd) {
  pollfd fds[2] = {{signal_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0) continue;  // EINTR
    if ((fds[1].revents & POLLIN) != 0) return;
    signalfd_siginfo info{};
    if ((fds[0].revents & POLLIN) != 0 && read(signal_fd, &info, sizeof info) == sizeof info) {
      interrupted_.store(true);
      kivo_discover_cancel(search_);
    }
  }
}

bool InterruptWatch::finish() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    (void)!write(stop_fd_, &one, sizeof one);
    thread_.join();
  }
  return interrupted_.load();
}

InterruptWatch::~InterruptWatch() {
  finish();
  if (signal_fd_ >= 0) close(signal_fd_);
  if (stop_fd_ >= 0) close(stop_fd_);
  if (masked_) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    (void)pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

void Progress::update(const kivo_discover_progress &p) {
  if (quiet_ || p.addresses_total == 0) return;
  const std::uint64_t done = std::min(p.addresses_done, p.addresses_total);
  if (terminal_) {
    const int filled = static_cast<int>(done * 30 / p.addresses_total);
    std::string line = "\r[" + std::string(static_cast<std::size_t>(filled), '#') +
                       std::string(static_cast<std::size_t>(30 - filled), '.') + "] " +
                       std::to_string(done) + "/" + std::to_string(p.addresses_total);
    (void)std::fputs(line.c_str(), stderr);
    (void)std::fflush(stderr);
    bar_shown_ = true;
    return;
  }
  // A scan over in a moment says nothing; a longer one a line when another tenth is done,
  // two seconds apart at the least.
  const std::uint64_t tenth = done * 10 / p.addresses_total;
  const auto now = std::chrono::steady_clock::now();
  if (started_ == std::chrono::steady_clock::time_point{}) started_ = now;
  // Once every address is asked only the answers' time-out is left: nothing to report.
  if (done == p.addresses_total || tenth <= last_tenth_ || now - started_ < kQuiet ||
      now - last_line_ < kQuiet)
    return;
  last_tenth_ = tenth;
  last_line_ = now;
  put(stderr, "kivo discover: " +
                  subst(tr("{1} of {2} addresses asked, {3} devices so far"),
                        {std::to_string(done), std::to_string(p.addresses_total),
                         std::to_string(p.devices)}) +
                  "\n");
}

void Progress::finish() {
  if (bar_shown_) (void)std::fputs("\n", stderr);
  bar_shown_ = false;
}

}  // namespace kivo
