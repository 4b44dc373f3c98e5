// An IPP printer of the tests' own on 127.0.0.1: it reads each POST whole (bounded), keeps
// what it was asked, and answers with whatever the test's reply function writes, honest or
// hostile. The listening thread ends with the object.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "support/tcp_loopback.h"

namespace kivo8::test::ipp {

struct Post {
  std::string path;
  std::string head;
  std::string body;
};

class IppServer {
 public:
  // `reply` writes its answer to the connection; it may stall, trickle or close. It should
  // return once `stopping()` is true.
  using Reply = std::function<void(int fd, const Post &post, IppServer &server)>;

  explicit IppServer(Reply reply, bool read_request = true)
      : listener_(loopback_socket(true)), reply_(std::move(reply)), read_request_(read_request) {
    port_ = bound_port(listener_.get());
    thread_ = std::thread([this] { serve(); });
  }
  ~IppServer() {
    stopping_ = true;
    ::shutdown(listener_.get(), SHUT_RDWR);
    thread_.join();
  }
  IppServer(const IppServer &) = delete;
  IppServer &operator=(const IppServer &) = delete;

  std::uint16_t port() const { return port_; }
  bool stopping() const { return stopping_; }
  std::vector<Post> posts() {
    std::lock_guard<std::mutex> lock(mutex_);
    return posts_;
  }
  // Sleeps up to `ms`, sooner when the server is stopping.
  void nap(int ms) {
    for (int i = 0; i < ms / 10 && !stopping_; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  static void send_all(int fd, const std::string &bytes) {
    std::size_t at = 0;
    while (at < bytes.size()) {
      const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
      if (n <= 0) return;
      at += static_cast<std::size_t>(n);
    }
  }

 private:
  void serve() {
    while (!stopping_) {
      pollfd p{listener_.get(), POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (!conn) continue;
      Post post;
      if (read_request_ && !read_post(conn.get(), post)) continue;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        posts_.push_back(post);
      }
      reply_(conn.get(), post, *this);
    }
  }

  bool read_post(int fd, Post &post) {
    std::string in;
    char buf[4096];
    std::size_t want = std::string::npos;
    while (in.size() < (1u << 20)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 2000) <= 0) return false;
      const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return false;
      in.append(buf, static_cast<std::size_t>(n));
      const std::size_t end = in.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      if (want == std::string::npos) {
        post.head = in.substr(0, end + 4);
        const std::size_t cl = post.head.find("Content-Length: ");
        want = end + 4 + (cl == std::string::npos ? 0 : std::stoul(post.head.substr(cl + 16)));
        const std::size_t sp = post.head.find(' ');
        post.path = post.head.substr(sp + 1, post.head.find(' ', sp + 1) - sp - 1);
      }
      if (in.size() >= want) {
        post.body = in.substr(end + 4, want - end - 4);
        return true;
      }
    }
    return false;
  }

  UniqueFd listener_;
  std::uint16_t port_ = 0;
  Reply reply_;
  bool read_request_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::vector<Post> posts_;
  std::thread thread_;
};

inline std::string http_ok(const std::string &body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/ipp\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

}  // namespace kivo8::test::ipp
