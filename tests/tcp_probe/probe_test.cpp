#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kivo8/tcp_utils.h"
#include "support/tcp_loopback.h"

namespace {

using kivo8::UniqueFd;
using kivo8::test::seconds_since;
using clk = std::chrono::steady_clock;

const std::string expected_request = "HEAD / HTTP/1.0\r\n\r\n\r\n";

in_addr loopback() {
  in_addr a{};
  a.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// Accepts one connection on 127.0.0.1, reads the request, sends a fixed answer and
// closes. It gives up after a few seconds when nobody comes, so a failing probe cannot
// hang the test.
class AnsweringServer {
 public:
  explicit AnsweringServer(std::string answer)
      : listener_(kivo8::test::loopback_socket(true)), answer_(std::move(answer)) {
    port_ = kivo8::test::bound_port(listener_.get());
    worker_ = std::thread([this] { serve(); });
  }
  ~AnsweringServer() { finish(); }
  uint16_t port() const { return port_; }
  // Waits for the one exchange to end and returns the bytes the client sent.
  std::string finish() {
    if (worker_.joinable()) worker_.join();
    return request_;
  }

 private:
  void serve() {
    pollfd p{listener_.get(), POLLIN, 0};
    if (poll(&p, 1, 8000) != 1) return;
    UniqueFd conn(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn) return;
    // The request is complete after its 21 bytes; wait for them, but not for ever.
    auto start = clk::now();
    while (request_.size() < expected_request.size() && seconds_since(start) < 3) {
      pollfd c{conn.get(), POLLIN, 0};
      if (poll(&c, 1, 200) != 1) continue;
      char buf[64];
      ssize_t n = read(conn.get(), buf, sizeof buf);
      if (n <= 0) break;
      request_.append(buf, static_cast<size_t>(n));
    }
    size_t sent = 0;
    while (sent < answer_.size()) {
      ssize_t n = send(conn.get(), answer_.data() + sent, answer_.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
  }

  UniqueFd listener_;
  std::string answer_;
  uint16_t port_ = 0;
  std::string request_;
  std::thread worker_;
};

struct AnswerCase {
  const char *name;
  std::string answer;
  int32_t result;
};

class ProbeAnswer : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(ProbeAnswer, SendsTheHeadRequestAndJudgesTheStatus) {
  const AnswerCase &c = GetParam();
  AnsweringServer server(c.answer);
  in_addr addr = loopback();
  EXPECT_EQ(tcp_check_http(&addr, server.port()), c.result);
  EXPECT_EQ(server.finish(), expected_request);
}

std::string long_answer(const std::string &status_line, size_t total) {
  std::string s = status_line + "\r\nX-Filler: ";
  while (s.size() < total) s += 'f';
  return s;
}

const AnswerCase answer_cases[] = {
    {"moved_301", "HTTP/1.0 301 Moved Permanently\r\nLocation: /x\r\n\r\n", 0},
    {"found_302", "HTTP/1.1 302 Found\r\n\r\n", 0},
    {"ok_200", "HTTP/1.1 200 OK\r\nServer: test\r\n\r\n", 0},
    {"highest_success_399", "HTTP/1.0 399 Odd\r\n\r\n", 0},
    {"bad_request_400", "HTTP/1.0 400 Bad Request\r\n\r\n", -1},
    {"not_found_404", "HTTP/1.1 404 Not Found\r\n\r\n", -1},
    {"server_error_500", "HTTP/1.1 500 Oops\r\n\r\n", -1},
    {"informational_199", "HTTP/1.1 199 Early\r\n\r\n", -1},
    {"no_status_line", "SSH-2.0-something\r\n", -1},
    {"http_0_9", "HTTP/0.9 200 OK\r\n\r\n", -1},
    {"closes_without_answer", "", -1},
    // Answers that fill the whole read buffer and beyond must still be parsed in bounds.
    {"answer_of_exactly_4095_bytes", long_answer("HTTP/1.0 200 OK", 4095), 0},
    {"answer_longer_than_the_buffer", long_answer("HTTP/1.0 204 No Content", 20000), 0},
};

INSTANTIATE_TEST_SUITE_P(Servers, ProbeAnswer, ::testing::ValuesIn(answer_cases),
                         [](const auto &info) { return std::string(info.param.name); });

// Debian's lighttpd on a loopback port, serving a document root with or without an index.
class Lighttpd {
 public:
  explicit Lighttpd(bool with_index) {
    std::string root = dir_.file("www");
    EXPECT_EQ(kivo8::test::sh("mkdir -p '" + root + "'"), 0);
    if (with_index) std::ofstream(root + "/index.html") << "<html><body>printer</body></html>\n";
    port_ = static_cast<uint16_t>(kivo8::test::free_tcp_port());
    std::ofstream(dir_.file("lighttpd.conf"))
        << "server.document-root = \"" << root << "\"\n"
        << "server.bind = \"127.0.0.1\"\n"
        << "server.port = " << port_ << "\n"
        << "server.errorlog = \"" << dir_.file("error.log") << "\"\n"
        << "index-file.names = ( \"index.html\" )\n"
        << "mimetype.assign = ( \".html\" => \"text/html\" )\n";
    server_ = kivo8::test::Process(
        {kivo8::test::find_program("lighttpd"), "-D", "-f", dir_.file("lighttpd.conf")}, "",
        dir_.file("lighttpd.out"));
    ready_ = kivo8::test::wait_until(10, [&] {
      UniqueFd s(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      sockaddr_in to = kivo8::test::loopback_address(port_);
      return connect(s.get(), reinterpret_cast<sockaddr *>(&to), sizeof to) == 0;
    });
  }
  bool ready() const { return ready_; }
  uint16_t port() const { return port_; }

 private:
  kivo8::test::TempDir dir_;
  uint16_t port_ = 0;
  kivo8::test::Process server_;
  bool ready_ = false;
};

TEST(Probe, RealWebServer) {
  KIVO8_REQUIRE_PROGRAM("lighttpd");
  struct {
    bool with_index;
    int32_t result;
  } cases[] = {{true, 0}, {false, -1}};  // 200 for the index; 403 or 404 without one
  for (auto c : cases) {
    SCOPED_TRACE(c.with_index ? "with index" : "without index");
    Lighttpd server(c.with_index);
    ASSERT_TRUE(server.ready()) << "lighttpd did not start";
    in_addr addr = loopback();
    EXPECT_EQ(tcp_check_http(&addr, server.port()), c.result);
  }
}

TEST(Probe, WorksWhenItsSocketLiesAboveTheSelectLimit) {
  // A front end with many descriptors open gets probe sockets that no fd_set can hold.
  std::vector<UniqueFd> filler;
  while (filler.empty() || filler.back().get() < FD_SETSIZE + 8) {
    filler.emplace_back(dup(0));
    ASSERT_TRUE(filler.back()) << "cannot open enough descriptors";
  }
  AnsweringServer server("HTTP/1.1 200 OK\r\n\r\n");
  in_addr addr = loopback();
  EXPECT_EQ(tcp_check_http(&addr, server.port()), 0);
  EXPECT_EQ(server.finish(), expected_request);
}

TEST(Probe, NullAddressFails) { EXPECT_EQ(tcp_check_http(nullptr, 80), -1); }

}  // namespace
