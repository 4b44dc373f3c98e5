// Eight sessions on eight threads asking one snmpd at once: every answer right, no request
// id shared.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "support/session_helpers.h"

namespace kivo8::test {
namespace {

const char *const kSysDescr = "1.3.6.1.2.1.1.1.0";
const char *const kSysName = "1.3.6.1.2.1.1.5.0";

}  // namespace
TEST(SnmpdSessionThreads, EightSessionsOnEightThreadsAtOnce) {
  KIVO8_REQUIRE_PROGRAM("snmpd");
  ASSERT_EQ(mt_res_init(), 0);
  {
    Snmpd agent;
    ASSERT_TRUE(agent.ok());
    constexpr int kThreads = 8;
    constexpr int kRounds = 15;
    std::atomic<int> failures{0};
    std::vector<std::vector<uint32_t>> reqids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        Communities communities;
        SessionPtr s = open_session("127.0.0.1", agent.port(), t % 2, communities.head, 3, 3);
        if (!s) {
          ++failures;
          return;
        }
        OidList names({kSysDescr, kSysName});
        for (int round = 0; round < kRounds; ++round) {
          snmp_pdu *raw = nullptr;
          int32_t rc = snmp_get(s.get(), names.get(), &raw);
          PduPtr response(raw);
          auto vars = bindings(response.get());
          if (rc != 0 || vars.size() != 2 || string_of(vars[1]) != agent.config().sys_name) {
            ++failures;
            continue;
          }
          reqids[t].push_back(response->reqid);
        }
        OidList roots({"1.3.6.1.2.1.1.9.1.3"});
        snmp_pdu_list *list = nullptr;
        if (snmp_walk(s.get(), roots.get(), &list) != 0 || snmp_pdu_list_length(list) != 10)
          ++failures;
        snmp_free_pdu_list(list);
      });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    // Request ids come from one locked counter: no two requests shared one.
    std::set<uint32_t> distinct;
    std::size_t total = 0;
    for (const auto &ids : reqids) {
      distinct.insert(ids.begin(), ids.end());
      total += ids.size();
    }
    EXPECT_EQ(total, std::size_t(kThreads * kRounds));
    EXPECT_EQ(distinct.size(), total);
  }
  mt_res_free();
}

}  // namespace kivo8::test
