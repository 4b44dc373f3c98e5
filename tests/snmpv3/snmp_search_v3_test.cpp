// SNMPv3 in the discovery engine's one SNMP search, driven by a small loop of the test's
// own over the search contract, with snmpd on loopback (on its own port) as the agent: the
// sweep's engine-id probe finds it without credentials and keeps its engine id; with a
// user the same search describes it over SNMPv3 (refusals named on the device, one
// resynchronisation of the agent's clock), and describes an agent that answers v2c and
// v3 over both; descriptions of any version past the most in flight wait for a place
// (crafted v2c peers on loopback addresses); the sweep's requests asked again under new
// ids, and stale answers refused; the pure probe builder and Report parser on their own.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <map>
#include <set>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "discover/searches.h"
#include "discover/snmpv3_probe.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "snmpv3/message.h"
#include "snmpv3/usm.h"
#include "support/device_book.h"
#include "support/snmp_agents.h"
#include "support/udp_responder.h"

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

TEST(Snmpv3Probe, RequestBuilderAndReportParserAgree) {
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
  EXPECT_FALSE(snmpv3_parse_engine_report(env, 77));
  for (std::size_t cut = 0; cut < n; ++cut) EXPECT_FALSE(snmpv3_parse_engine_report({buf, cut}, 77));
}

constexpr const char *kUser = "scout";
constexpr const char *kAuthPass = "ink-and-paper";
constexpr const char *kPrivPass = "toner-secret";
constexpr const char *kPrinterName = "Kestrel LX-410";

// The user's keys derived as the engine derives them.
std::shared_ptr<const kivo8::v3::User> user(const char *name, const char *auth, const char *priv) {
  kivo_snmpv3_options o{};
  o.size = sizeof o;
  o.user = name;
  o.level = KIVO_SNMPV3_AUTH_PRIV;
  o.auth_protocol = KIVO_SNMPV3_AUTH_SHA256;
  o.auth_password = auth;
  o.priv_protocol = KIVO_SNMPV3_PRIV_AES;
  o.priv_password = priv;
  auto u = std::make_shared<kivo8::v3::User>();
  EXPECT_EQ(u->set(o), SNMP_ERR_NONE);
  return u;
}

// A book that moves the clock of every engine the probe reports far from the agent's
// before the description starts: the agent then answers "not in time window".
class SkewedBook : public Book {
 public:
  void changed(Device &d) override {
    if (!d.engine_id.empty() && skewed.insert(d.address.s_addr).second) d.engine_time += 100000;
    Book::changed(d);
  }
  std::set<std::uint32_t> skewed;
};

class SearchSnmpd : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_PROGRAM("snmpd");
    ASSERT_EQ(mt_res_init(), 0);
    kivo8::test::SnmpdConfig c;
    // The community's view lacks the Printer-MIB; the user's has it, with a printer name:
    // only an SNMPv3 description makes the agent a printer.
    c.view_lines.push_back("view kv3 included .1.3.6.1.2.1.1");
    c.view_lines.push_back("view kv3 included .1.3.6.1.2.1.43");
    c.extra_lines = {std::string("createUser ") + kUser + " SHA-256 " + kAuthPass + " AES " + kPrivPass,
                     std::string("rouser ") + kUser + " priv -V kv3",
                     std::string("override .1.3.6.1.2.1.43.5.1.1.16.1 octet_str \"") + kPrinterName + "\""};
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
  // The agent and a silent address, each a one-address range with `requests` (the
  // engine-id probe alone unless told), swept with one retry; the search describes what
  // answers, with `u` over SNMPv3.
  std::unique_ptr<SnmpSearch> sweep(Book &book, std::shared_ptr<const kivo8::v3::User> u = nullptr,
                                    const std::vector<Community> &requests = {{SNMP_VERSION_3, {}}}) {
    std::vector<SnmpTarget> targets;
    for (in_addr a : {agent_->address(), kivo8::test::ipv4("127.0.0.9")}) {
      const std::uint32_t h = ntohl(a.s_addr);
      targets.push_back({nullptr, h, h, 0xFFFFFFFFu, false, false, 400, requests});
    }
    auto s = std::make_unique<SnmpSearch>(std::move(targets), 1, 400, book,
                                          static_cast<std::uint16_t>(agent_->port()), std::move(u));
    book.describer = s.get();
    return s;
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
  EXPECT_EQ(d.snmpv3_error, 0);
  EXPECT_EQ(book.follow_ups_done, 0u);  // no user: nothing to describe it with
  EXPECT_EQ(book.done, 2u);  // the agent, and the silent address after its retries
  EXPECT_EQ(book.sent, 3u);
}

// authPriv over the search's own socket: a v3-only printer named by what it tells, its
// object id in the one dotted form of every version. The agent's clock learnt from the
// probe, or (skewed) far from it, which costs one resynchronisation and nothing else.
TEST_F(SearchSnmpd, DescribesTheAgentWithTheUser) {
  for (bool skewed : {false, true}) {
    SCOPED_TRACE(skewed ? "clock skewed: resynchronised once" : "clock as the probe learnt it");
    std::unique_ptr<Book> book = skewed ? std::make_unique<SkewedBook>() : std::make_unique<Book>();
    auto search = sweep(*book, user(kUser, kAuthPass, kPrivPass));
    run({search.get()}, *book, 10);
    EXPECT_EQ(book->follow_ups_done, 1u);
    ASSERT_EQ(book->devices.size(), 1u);
    const Device &d = book->devices.begin()->second;
    EXPECT_EQ(d.engine_id, engine_);
    EXPECT_EQ(d.snmpv3_error, 0);
    EXPECT_EQ(d.snmp_version, SNMP_VERSION_3);
    EXPECT_EQ(d.sys_descr, "Kivo test agent");
    EXPECT_EQ(d.sys_name, "kv-agent");
    EXPECT_EQ(d.printer_name, kPrinterName);
    EXPECT_EQ(d.kind, Kind::kPrinter);
    // One dotted form for every version: no leading dot.
    EXPECT_EQ(d.sys_object_id, "1.3.6.1.4.1.8072.3.2.10");
    // The probes (one to the agent, two to the silent address), the describe GET, and
    // with a skewed clock the same GET once more.
    EXPECT_EQ(book->sent, skewed ? 5u : 4u);
  }
}

// A user the agent refuses: found, not described, and the device says why.
TEST_F(SearchSnmpd, RefusalsAreNamedOnTheDevice) {
  struct Case {
    const char *fault;
    const char *name, *auth, *priv;
    std::int32_t code;
  } cases[] = {
      {"wrong authentication pass phrase", kUser, "not-the-pass-phrase", kPrivPass, KIVO_SNMPV3_ERR_WRONG_DIGEST},
      {"unknown user", "nobody", kAuthPass, kPrivPass, KIVO_SNMPV3_ERR_UNKNOWN_USER},
      // snmpd drops what it cannot decrypt, without a Report: the device says the user
      // got no answer.
      {"wrong privacy pass phrase", kUser, kAuthPass, "not-the-toner", SNMP_ERR_TIMEOUT},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fault);
    Book book;
    auto search = sweep(book, user(c.name, c.auth, c.priv));
    run({search.get()}, book, 10);
    EXPECT_EQ(book.follow_ups_done, 1u);
    ASSERT_EQ(book.devices.size(), 1u);
    const Device &d = book.devices.begin()->second;
    EXPECT_EQ(d.engine_id, engine_);
    EXPECT_EQ(d.snmpv3_error, c.code);
    EXPECT_TRUE(d.sys_descr.empty());
    EXPECT_EQ(d.snmp_version, -1);
    EXPECT_NE(d.kind, Kind::kPrinter);
  }
}

// One search, one socket: the agent answers the v2c sweep and the probe, is described
// over v2c with the community (which does not show the Printer-MIB) and then over SNMPv3
// with the user (which does): a printer, that keeps the version it first answered.
TEST_F(SearchSnmpd, DescribesOverV2cAndV3InOneRun) {
  Book book;
  auto search = sweep(book, user(kUser, kAuthPass, kPrivPass),
                      {{SNMP_VERSION_2c, agent_->config().community}, {SNMP_VERSION_3, {}}});
  std::vector<pollfd> fds;
  run({search.get()}, book, 10);
  search->watched(fds);
  EXPECT_EQ(fds.size(), 1u);
  EXPECT_EQ(book.follow_ups_done, 1u);
  ASSERT_EQ(book.devices.size(), 1u);
  const Device &d = book.devices.begin()->second;
  EXPECT_EQ(d.found_by, static_cast<std::uint32_t>(kFoundScan | kFoundSnmpv3));
  EXPECT_EQ(d.snmp_version, SNMP_VERSION_2c);
  EXPECT_EQ(d.community, agent_->config().community);
  EXPECT_EQ(d.engine_id, engine_);
  EXPECT_EQ(d.snmpv3_error, 0);
  EXPECT_EQ(d.sys_descr, "Kivo test agent");
  EXPECT_EQ(d.printer_name, kPrinterName);
  EXPECT_EQ(d.kind, Kind::kPrinter);
}

// A book that has the search describe every device it finds.
class DescribeAll : public Book {
 public:
  void changed(Device &d) override {
    ++changes;
    if (describer != nullptr && asked.insert(d.address.s_addr).second)
      (void)describer->follow_up(d, Clock::now());
  }
};

// More devices answer than may be described at once, and none answers its description:
// the first kMaxDescribing are asked at once, the next only when one of those has given
// up (two transmissions of a second each), never all together.
TEST(SnmpSearchDescribing, DescriptionsPastTheMostInFlightWaitForAPlace) {
  constexpr std::size_t kDevices = SnmpSearch::kMaxDescribing + 6;
  // Answers the sweep's three names; silent to the describe GET.
  auto handler = [](const kivo8::test::craft::Bytes &request, int) {
    namespace craft = kivo8::test::craft;
    craft::Request r = craft::decode_request(request);
    std::vector<kivo8::test::UdpResponder::Reply> replies;
    if (!r.ok || r.names.size() != 3) return replies;
    craft::Message m;
    m.version = r.version;
    m.community = r.community;
    m.reqid = r.reqid;
    for (const auto &name : r.names) m.bindings.push_back({name, craft::octets("x")});
    replies.push_back({craft::encode(m), 0});
    return replies;
  };
  std::vector<std::unique_ptr<kivo8::test::UdpResponder>> peers;
  int port = 0;
  for (std::size_t i = 0; i < kDevices; ++i) {
    peers.push_back(std::make_unique<kivo8::test::UdpResponder>(
        handler, "127.0.1." + std::to_string(i + 1), port));
    ASSERT_TRUE(peers.back()->ok());
    port = peers.back()->port();
  }
  const std::uint32_t first = ntohl(kivo8::test::ipv4("127.0.1.1").s_addr);
  const std::uint32_t last = first + static_cast<std::uint32_t>(kDevices) - 1;
  std::vector<SnmpTarget> targets = {
      {nullptr, first, last, 0xFFFFFFFFu, false, false, 400, {{SNMP_VERSION_2c, "vellum"}}}};
  DescribeAll book;
  SnmpSearch search(std::move(targets), 0, 1000, book, static_cast<std::uint16_t>(port));
  book.describer = &search;
  run({&search}, book, 30);
  EXPECT_EQ(book.devices.size(), kDevices);
  EXPECT_EQ(book.follow_ups_done, kDevices);
  // When each peer first heard its describe GET (its second datagram).
  std::vector<double> asked;
  for (const auto &p : peers) {
    const std::vector<double> at = p->arrival_times();
    ASSERT_GE(at.size(), 2u);
    asked.push_back(at[1]);
  }
  std::sort(asked.begin(), asked.end());
  // A place frees two seconds after its description began at the earliest; without the
  // limit every GET goes out within the sweep's first tenths of a second.
  EXPECT_GE(asked[SnmpSearch::kMaxDescribing] - asked[0], 1.5);
}

// The sweep keeps its requests in a ring and finds them by id without a table. A request
// lost once is asked again under a new id; an answer to the lost one, arriving after it
// timed out, is refused; every id is distinct and marked as the sweep's; a second search
// numbers its requests differently. Faults it catches: a resend that reuses the stale id
// or is never sent, a timed-out request still taken, an address counted done twice.
TEST(SnmpSearchSweep, LostRequestsAreAskedAgainUnderNewIdsAndStaleAnswersAreRefused) {
  namespace craft = kivo8::test::craft;
  constexpr int kPeers = 8;
  struct Seen {
    std::mutex lock;
    std::vector<std::int64_t> ids;
  };
  for (int retries : {1, 0}) {
    SCOPED_TRACE(retries);
    std::vector<std::shared_ptr<Seen>> seen;
    std::vector<std::unique_ptr<kivo8::test::UdpResponder>> peers;
    int port = 0;
    for (int i = 0; i < kPeers; ++i) {
      auto mine = std::make_shared<Seen>();
      seen.push_back(mine);
      // Drops the first request; answers the second twice: first with the id of the
      // lost request, then with its own.
      auto handler = [mine](const craft::Bytes &request, int) {
        craft::Request r = craft::decode_request(request);
        std::vector<kivo8::test::UdpResponder::Reply> replies;
        if (!r.ok) return replies;
        std::lock_guard<std::mutex> hold(mine->lock);
        mine->ids.push_back(r.reqid);
        if (mine->ids.size() != 2) return replies;
        for (std::int64_t id : {mine->ids[0], mine->ids[1]}) {
          craft::Message m;
          m.version = r.version;
          m.community = r.community;
          m.reqid = id;
          for (const auto &name : r.names) m.bindings.push_back({name, craft::octets("x")});
          replies.push_back({craft::encode(m), 0});
        }
        return replies;
      };
      peers.push_back(std::make_unique<kivo8::test::UdpResponder>(
          handler, "127.0.2." + std::to_string(i + 1), port));
      ASSERT_TRUE(peers.back()->ok());
      port = peers.back()->port();
    }
    const std::uint32_t first = ntohl(kivo8::test::ipv4("127.0.2.1").s_addr);
    std::vector<SnmpTarget> targets = {{nullptr, first, first + kPeers - 1, 0xFFFFFFFFu, false,
                                        false, 300, {{SNMP_VERSION_2c, "vellum"}}}};
    Book book;
    SnmpSearch search(std::move(targets), retries, 1000, book, static_cast<std::uint16_t>(port));
    run({&search}, book, 20);
    peers.clear();  // no datagram arrives after this
    std::set<std::int64_t> ids;
    for (const auto &p : seen) {
      ASSERT_EQ(p->ids.size(), static_cast<std::size_t>(retries + 1));
      for (std::int64_t id : p->ids) {
        EXPECT_EQ(id & 0x40000000, 0x40000000) << id;
        ids.insert(id);
      }
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kPeers * (retries + 1)));
    EXPECT_EQ(book.devices.size(), retries == 1 ? std::size_t{kPeers} : 0u);
    if (retries == 1) {
      EXPECT_GE(book.dropped, std::uint64_t{kPeers});  // the stale answers
    }
    EXPECT_EQ(book.done, std::uint64_t{kPeers});

    // Another search over the same addresses starts its ids elsewhere.
    std::atomic<std::int64_t> again{-1};  // written on the responder's thread
    auto first_id = [&again](const craft::Bytes &request, int index) {
      craft::Request r = craft::decode_request(request);
      if (index == 0 && r.ok) again.store(r.reqid);
      return std::vector<kivo8::test::UdpResponder::Reply>{};
    };
    {
      kivo8::test::UdpResponder one(first_id, "127.0.2.1", 0);
      ASSERT_TRUE(one.ok());
      std::vector<SnmpTarget> single = {{nullptr, first, first, 0xFFFFFFFFu, false, false, 100,
                                         {{SNMP_VERSION_2c, "vellum"}}}};
      Book other;
      SnmpSearch second(std::move(single), 0, 1000, other, static_cast<std::uint16_t>(one.port()));
      run({&second}, other, 10);
      ASSERT_TRUE(one.wait_received(1, 2));
    }
    EXPECT_NE(again.load(), seen[0]->ids[0]);
  }
}

}  // namespace
