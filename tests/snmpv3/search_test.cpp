// SNMPv3 in the discovery engine, driven by a small loop of the test's own over the search
// contract: the SNMP sweep's engine-id probe finds snmpd on loopback (on its own port)
// without credentials and keeps its engine id; the SNMPv3 follow-up search describes it
// with them; a silent address ends by its time-out; the pure request builder and Report
// parser on their own.
#include <gtest/gtest.h>
#include <poll.h>

#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

#include "discover/searches.h"
#include "discover/snmpv3_search.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "snmpv3/message.h"
#include "support/device_book.h"
#include "support/snmp_agents.h"

namespace {

using namespace kivo::discover;

using Book = kivo8::test::RecordingBook;

// The engine's loop in miniature: poll the searches' descriptors until their next wake-up.
void run(const std::vector<Search *> &searches, Book &book, double limit_seconds) {
  Pacer pacer(1000, 50);
  SearchContext ctx{&book, &pacer};
  for (Search *s : searches) ASSERT_TRUE(s->start(ctx, Clock::now()));
  const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(limit_seconds));
  auto all_done = [&] {
    return std::all_of(searches.begin(), searches.end(), [](Search *s) { return s->done(); });
  };
  while (!all_done()) {
    ASSERT_LT(Clock::now(), end) << "the search did not end";
    std::vector<pollfd> fds;
    int wait_ms = 100;
    for (Search *s : searches) {
      s->watched(fds);
      if (auto next = s->next_wakeup())
        wait_ms = std::min(wait_ms, static_cast<int>(std::clamp<long long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(*next - Clock::now()).count(), 0, 100)));
    }
    ::poll(fds.data(), fds.size(), wait_ms);
    for (const pollfd &p : fds)
      if (p.revents != 0)
        for (Search *s : searches) {
          std::vector<pollfd> own;
          s->watched(own);
          for (const pollfd &o : own)
            if (o.fd == p.fd) s->on_ready(p.fd, p.revents, Clock::now());
        }
    for (Search *s : searches) s->on_timer(Clock::now());
  }
}

TEST(Snmpv3Search, RequestBuilderAndReportParserAgree) {
  std::uint8_t buf[256];
  const std::size_t n = snmpv3_discovery_request(77, buf);
  ASSERT_GT(n, 0u);
  kivo8::v3::Envelope env;
  ASSERT_EQ(kivo8::v3::parse_envelope({buf, n}, env), kivo8::v3::CodecError::none);
  EXPECT_EQ(env.msg_id, 77);
  EXPECT_EQ(env.flags, kivo8::v3::kFlagReportable);
  EXPECT_TRUE(env.engine_id.empty());
  EXPECT_TRUE(env.user.empty());
  // Our own request names no engine: not a device.
  EXPECT_FALSE(snmpv3_parse_engine_report({buf, n}, 77));
  for (std::size_t cut = 0; cut < n; ++cut) EXPECT_FALSE(snmpv3_parse_engine_report({buf, cut}, 77));
}

class SearchSnmpd : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_PROGRAM("snmpd");
    ASSERT_EQ(mt_res_init(), 0);
    kivo8::test::SnmpdConfig c;
    c.extra_lines = {"createUser scout SHA-256 ink-and-paper AES toner-secret",
                     "rouser scout priv -V kv"};
    agent_ = std::make_unique<kivo8::test::Snmpd>(c);
    ASSERT_TRUE(agent_->ok());
    // The engine id as a v3 session learns it.
    kivo_snmpv3_options o{};
    o.size = sizeof o;
    o.user = "nobody";
    o.level = KIVO_SNMPV3_NOAUTH_NOPRIV;
    o.port = static_cast<uint16_t>(agent_->port());
    in_addr a = agent_->address();
    kivo_snmpv3_session *s = kivo_snmpv3_create(&a, &o, nullptr);
    ASSERT_EQ(kivo_snmpv3_discover(s), 0);
    std::uint8_t id[32];
    std::uint32_t len = sizeof id;
    ASSERT_EQ(kivo_snmpv3_engine_id(s, id, &len), 0);
    engine_.assign(id, id + len);
    kivo_snmpv3_free(s);
  }
  // The agent and a silent address, each a one-address range with the engine-id probe
  // alone, swept with one retry.
  std::unique_ptr<SnmpSearch> sweep(Book &book) {
    std::vector<SnmpTarget> targets;
    for (in_addr a : {agent_->address(), kivo8::test::ipv4("127.0.0.9")}) {
      const std::uint32_t h = ntohl(a.s_addr);
      targets.push_back({nullptr, h, h, 0xFFFFFFFFu, false, false, 400, {{SNMP_VERSION_3, {}}}});
    }
    return std::make_unique<SnmpSearch>(std::move(targets), 1, 400, book,
                                        static_cast<std::uint16_t>(agent_->port()));
  }
  Snmpv3SearchOptions options() {
    Snmpv3SearchOptions o;
    o.port = static_cast<std::uint16_t>(agent_->port());
    o.timeout = std::chrono::milliseconds(400);
    o.retries = 1;
    return o;
  }
  std::unique_ptr<kivo8::test::Snmpd> agent_;
  std::vector<std::uint8_t> engine_;
};

TEST_F(SearchSnmpd, FindsTheAgentWithoutCredentialsAndKeepsItsEngineId) {
  Book book;
  auto search = sweep(book);
  run({search.get()}, book, 10);
  ASSERT_EQ(book.devices.size(), 1u);
  const Device &d = book.devices.begin()->second;
  EXPECT_EQ(d.address.s_addr, agent_->address().s_addr);
  EXPECT_EQ(d.found_by, static_cast<std::uint32_t>(kFoundSnmpv3));
  EXPECT_EQ(d.engine_id, engine_);
  EXPECT_TRUE(d.sys_descr.empty());
  EXPECT_EQ(book.done, 2u);  // the agent, and the silent address after its retries
  EXPECT_EQ(book.sent, 3u);
}

TEST_F(SearchSnmpd, DescribesTheAgentWithCredentials) {
  Book book;
  Snmpv3SearchOptions o = options();
  kivo_snmpv3_options creds{};
  creds.size = sizeof creds;
  creds.user = "scout";
  creds.level = KIVO_SNMPV3_AUTH_PRIV;
  creds.auth_protocol = KIVO_SNMPV3_AUTH_SHA256;
  creds.auth_password = "ink-and-paper";
  creds.priv_protocol = KIVO_SNMPV3_PRIV_AES;
  creds.priv_password = "toner-secret";
  o.credentials = creds;
  Snmpv3Search describer(o);
  ASSERT_EQ(describer.setup_code(), 0);
  describer.set_follow_ups(&book);
  book.describer = &describer;
  auto search = sweep(book);
  run({search.get(), &describer}, book, 10);
  EXPECT_EQ(book.follow_ups_done, 1u);
  ASSERT_EQ(book.devices.size(), 1u);
  const Device &d = book.devices.begin()->second;
  EXPECT_EQ(d.engine_id, engine_);
  EXPECT_EQ(d.snmp_version, SNMP_VERSION_3);
  EXPECT_EQ(d.sys_descr, "Kivo test agent");
  EXPECT_EQ(d.sys_name, "kv-agent");
  // One dotted form for every version: no leading dot.
  EXPECT_EQ(d.sys_object_id, "1.3.6.1.4.1.8072.3.2.10");
}

}  // namespace
