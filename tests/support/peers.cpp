#include "support/peers.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace kivo8::test {

bool in_ci() {
  const char *ci = std::getenv("CI");
  return ci != nullptr && std::strcmp(ci, "true") == 0;
}

std::string find_program(const std::string &name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : "";
  const char *path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  dirs += ":/usr/sbin:/sbin:/usr/local/sbin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return "";
}

int sh(const std::string &command) {
  int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

std::string sh_output(const std::string &command, int *status) {
  std::string out;
  FILE *pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (status != nullptr) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  int rc = pclose(pipe);
  if (status != nullptr) *status = (rc != -1 && WIFEXITED(rc)) ? WEXITSTATUS(rc) : -1;
  return out;
}

bool can_make_netns() {
  static int known = -1;
  if (known < 0) {
    if (geteuid() != 0 || find_program("ip").empty()) {
      known = 0;
    } else {
      std::string probe = "kv8probe-" + std::to_string(getpid());
      known = sh("ip netns add " + probe + " >/dev/null 2>&1") == 0 ? 1 : 0;
      if (known == 1) sh("ip netns del " + probe + " >/dev/null 2>&1");
    }
  }
  return known == 1;
}

Process::Process(const std::vector<std::string> &argv, const std::string &netns,
                 const std::string &log_path) {
  std::vector<std::string> full;
  if (!netns.empty()) full = {"ip", "netns", "exec", netns};
  full.insert(full.end(), argv.begin(), argv.end());
  std::vector<char *> args;
  for (auto &a : full) args.push_back(a.data());
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    // Own process group, so stop() can end whatever the peer forks.
    setpgid(0, 0);
    int out = open(log_path.empty() ? "/dev/null" : log_path.c_str(),
                   O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
      close(out);
    }
    int in = open("/dev/null", O_RDONLY);
    if (in >= 0) {
      dup2(in, 0);
      close(in);
    }
    execvp(args[0], args.data());
    _exit(127);
  }
  if (pid_ > 0) setpgid(pid_, pid_);
}

Process::Process(Process &&other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

Process &Process::operator=(Process &&other) noexcept {
  if (this != &other) {
    stop();
    pid_ = other.pid_;
    other.pid_ = -1;
  }
  return *this;
}

Process::~Process() { stop(); }

bool Process::running() {
  if (pid_ <= 0) return false;
  int status;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    pid_ = -1;
    return false;
  }
  return r == 0;
}

void Process::stop() {
  if (pid_ <= 0) return;
  kill(-pid_, SIGTERM);
  kill(pid_, SIGTERM);
  for (int i = 0; i < 40; ++i) {
    int status;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      kill(-pid_, SIGKILL);
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(-pid_, SIGKILL);
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

int Process::wait() {
  if (pid_ <= 0) return -1;
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {
std::atomic<int> g_netns_counter{0};
}

Netns::Netns() {
  name_ = "kv8-" + std::to_string(getpid()) + "-" + std::to_string(g_netns_counter++);
  if (kivo8::test::sh("ip netns add " + name_) != 0) {
    ADD_FAILURE() << "cannot create network namespace " << name_;
    return;
  }
  must("ip link set lo up");
}

Netns::~Netns() {
  leave();
  // End every process still inside (peers that outlived their owner), then the namespace.
  kivo8::test::sh("for p in $(ip netns pids " + name_ + " 2>/dev/null); do kill -9 $p; done");
  kivo8::test::sh("ip netns del " + name_ + " >/dev/null 2>&1");
}

int Netns::sh(const std::string &command) const {
  std::string quoted;
  for (char c : command) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return kivo8::test::sh("ip netns exec " + name_ + " sh -c '" + quoted + "'");
}

void Netns::must(const std::string &command) const {
  int rc = sh(command);
  if (rc != 0) ADD_FAILURE() << "in " << name_ << ": `" << command << "` exited " << rc;
}

std::string Netns::sh_output(const std::string &command) const {
  std::string quoted;
  for (char c : command) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return kivo8::test::sh_output("ip netns exec " + name_ + " sh -c '" + quoted + "'");
}

void Netns::enter() {
  if (saved_ns_ < 0) saved_ns_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  std::string path = "/var/run/netns/" + name_;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot enter " << name_;
  if (fd >= 0) close(fd);
}

void Netns::leave() {
  if (saved_ns_ < 0) return;
  if (setns(saved_ns_, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot leave " << name_;
  close(saved_ns_);
  saved_ns_ = -1;
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/kivo8-test-XXXXXX";
  const char *p = mkdtemp(tmpl);
  if (p == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path_ = p != nullptr ? p : "/tmp";
}

TempDir::~TempDir() {
  if (path_.rfind("/tmp/kivo8-test-", 0) == 0) sh("rm -rf '" + path_ + "'");
}

namespace {
int free_port(int type) {
  int fd = socket(AF_INET, type, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(fd);
  return port;
}
}  // namespace

int free_udp_port() { return free_port(SOCK_DGRAM); }
int free_tcp_port() { return free_port(SOCK_STREAM); }

bool wait_until(double seconds, const std::function<bool()> &ready) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ready();
}

std::string source_dir() { return KIVO8_SOURCE_DIR; }
std::string binary_dir() { return KIVO8_BINARY_DIR; }

}  // namespace kivo8::test
