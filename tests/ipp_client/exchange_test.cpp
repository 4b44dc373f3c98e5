// The exchange as the discovery engine will drive it: several at once in one poll loop,
// each by its own descriptor, events and deadline; a stalled one fails by its deadline
// without holding up the others. And the exported call under exhausted memory.
#include <gtest/gtest.h>
#include <poll.h>
#include <time.h>

#include <memory>
#include <vector>

#include "core/alloc.h"
#include "ipp/client.h"
#include "kivo8/ipp.h"
#include "support/ipp_craft.h"
#include "support/ipp_server.h"

namespace kivo8::test::ipp {
namespace {

std::uint64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

TEST(IppExchange, ManyDrivenByOnePollLoopEachEndByItsOwnDeadline) {
  const Bytes body = small_response();
  IppServer honest([&body](int fd, const Post &, IppServer &) {
    IppServer::send_all(fd, http_ok(std::string(body.begin(), body.end())));
  });
  IppServer silent([](int, const Post &, IppServer &s) { while (!s.stopping()) s.nap(100); });
  const std::uint64_t start = now_ms();
  std::vector<std::unique_ptr<kivo8::ipp::Exchange>> xs;
  for (int i = 0; i < 6; ++i) {
    const IppServer &server = i % 3 == 2 ? silent : honest;
    const sockaddr_in peer = loopback_address(server.port());
    kivo8::ipp::Request rq;
    rq.host_header = "127.0.0.1:" + std::to_string(server.port());
    rq.resource = "/ipp/print";
    rq.printer_uri = "ipp://" + rq.host_header + "/ipp/print";
    rq.request_id = static_cast<std::uint32_t>(i + 1);
    xs.push_back(std::make_unique<kivo8::ipp::Exchange>(reinterpret_cast<const sockaddr *>(&peer), sizeof peer, rq,
                                                        start + 1000));
  }
  // Bounded: every exchange ends by its deadline, one second from the start.
  for (int rounds = 0; rounds < 10000; ++rounds) {
    std::vector<pollfd> fds;
    std::vector<kivo8::ipp::Exchange *> owners;
    std::uint64_t next = UINT64_MAX;
    for (auto &x : xs) {
      if (x->finished()) continue;
      fds.push_back({x->fd(), x->events(), 0});
      owners.push_back(x.get());
      next = std::min(next, x->deadline_ms());
    }
    if (fds.empty()) break;
    const std::uint64_t now = now_ms();
    ::poll(fds.data(), fds.size(), next > now ? static_cast<int>(next - now) : 0);
    for (std::size_t i = 0; i < fds.size(); ++i) owners[i]->advance(fds[i].revents, now_ms());
  }
  const double seconds = static_cast<double>(now_ms() - start) / 1000.0;
  for (std::size_t i = 0; i < xs.size(); ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(xs[i]->finished());
    if (i % 3 == 2) {
      EXPECT_EQ(xs[i]->failure(), kivo8::ipp::Failure::Timeout);
      EXPECT_EQ(xs[i]->detail(), "timed out reading the response");
    } else {
      EXPECT_EQ(xs[i]->state(), kivo8::ipp::State::Done) << xs[i]->detail();
      EXPECT_EQ(xs[i]->response().find("printer-make-and-model")->first()->text, "Kivo Lab 9");
    }
    EXPECT_EQ(xs[i]->events(), 0);
    EXPECT_LT(xs[i]->fd(), 0);
  }
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 1.0 + 3.0);
}

TEST(IppExchange, ExhaustedMemoryGivesNoResultAndENOMEM) {
  kivo_ipp_result *r = nullptr;
  alloc_testing::fail_nth(1);
  EXPECT_EQ(kivo_ipp_get_printer_attributes("ipp://127.0.0.1:1/", nullptr, &r), KIVO_IPP_ENOMEM);
  alloc_testing::reset();
  EXPECT_EQ(r, nullptr);
}

}  // namespace
}  // namespace kivo8::test::ipp
