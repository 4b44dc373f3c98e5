#include <arpa/inet.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"
#include "kivo8/slp_sess.h"
#include "slp/slp_internal.h"
#include "support/slp_lan.h"
#include "support/alloc_failure.h"
#include "support/peers.h"
#include "support/record_owners.h"

namespace {

using kivo8::test::IfinfoEntry;

using kivo8::test::Netns;
using kivo8::test::Process;
using kivo8::test::SlpLan;

constexpr const char *kGroup = "239.255.255.253";
constexpr const char *kPrinter = "service:printer";

struct in_addr ip(const char *text) {
  struct in_addr a;
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}
std::string text_of(struct in_addr a) {
  char buf[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &a, buf, sizeof buf);
}

IfinfoEntry make_target(const char *local, int32_t seconds, int32_t hops) {
  IfinfoEntry t(ifinfo_new());
  EXPECT_NE(t, nullptr);
  if (t == nullptr) return t;
  t->addr = ip(local);
  t->count = seconds;
  t->flag = hops;
  return t;
}

struct SessionDeleter {
  void operator()(slp_session *s) const { slp_free_session(s); }
};
using Session = std::unique_ptr<slp_session, SessionDeleter>;

struct RepliesDeleter {
  void operator()(slp_srvreplies *r) const { slp_free_srvreplies(r); }
};
using Replies = std::unique_ptr<slp_srvreplies, RepliesDeleter>;

std::vector<std::string> urls_of(const slp_srvreply *r) {
  std::vector<std::string> out;
  for (const slp_url_node *n = r->urls; n != nullptr; n = n->next) out.emplace_back(n->entry->url);
  return out;
}

// One value of a line that the service agent logged (its JSON text, quotes included).
std::string logged(const std::string &line, const std::string &key) {
  std::smatch m;
  if (!std::regex_search(line, m, std::regex("\"" + key + "\": (\"[^\"]*\"|[0-9-]+|null)")))
    return "<missing>";
  return m[1];
}

class SlpRequest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mt_res_init(), 0);
    _slp_set_xid(0);
  }
  void TearDown() override { mt_res_free(); }

  // Runs one request from inside the hub namespace, where the target's interface lives.
  int32_t request_in(Netns &ns, const ifinfo *target, slp_srvreplies **result,
                     const char *type = kPrinter, const char *scopes = "DEFAULT",
                     double *seconds = nullptr, int32_t status = 0) {
    ns.enter();
    const struct in_addr group = ip(kGroup);
    Session session(slp_create_session(AF_INET, &group, target));
    EXPECT_NE(session, nullptr);
    int32_t rc = -1000;
    if (session != nullptr) {
      session->status = status;
      auto start = std::chrono::steady_clock::now();
      rc = slp_service_request(session.get(), type, scopes, target, result);
      if (seconds != nullptr)
        *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    ns.leave();
    return rc;
  }
};

TEST(SlpSession, CreationTakesTheTargetsWindowAndHops) {
  const struct in_addr group = ip(kGroup);
  EXPECT_EQ(slp_create_session(23, &group, nullptr), nullptr);
  EXPECT_EQ(slp_create_session(AF_INET, nullptr, nullptr), nullptr);

  IfinfoEntry target = make_target("10.47.0.1", 5, 3);
  Session s(slp_create_session(AF_INET, &group, target.get()));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->version, 2);
  EXPECT_STREQ(s->lang, "en");
  EXPECT_EQ(s->hops, 3);
  EXPECT_EQ(s->status, 0);
  ASSERT_NE(s->udp, nullptr);
  EXPECT_EQ(s->udp->timeout, 5);
  EXPECT_EQ(s->udp->retries, 1);
  EXPECT_EQ(s->udp->port, SLP_PORT);
  EXPECT_EQ(s->udp->address.s_addr, group.s_addr);

  Session bare(slp_create_session(AF_INET, &group, nullptr));
  ASSERT_NE(bare, nullptr);
  EXPECT_EQ(bare->hops, 0);
  EXPECT_EQ(bare->udp->timeout, 2) << "the transport's own default";
  slp_free_session(nullptr);

  kivo8::test::sweep_allocation_failures([&] {
    Session t(slp_create_session(AF_INET, &group, target.get()));
    return t != nullptr;
  });
}

TEST_F(SlpRequest, RepliesComeNewestFirstWithTheirSenders) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  SlpLan lan;
  const std::string a = lan.add_device({"--delay", "0.1",
                                        "--url", "service:printer:lpr://10.47.0.2:515/queue",
                                        "--url", "service:printer:ipp://10.47.0.2/ipp",
                                        "--url", "service:x-board://10.47.0.2",
                                        "--auth-blocks", "0,2,1", "--lifetime", "1200"});
  const std::string b = lan.add_device({"--delay", "0.3", "--short", "10"});
  const std::string c = lan.add_device({"--delay", "0.6", "--error", "3", "--count", "2",
                                        "--lang", "de-CH"});
  IfinfoEntry target = make_target(SlpLan::kHubAddress, 2, 0);
  slp_srvreplies *result = nullptr;
  double seconds = 0;
  ASSERT_EQ(request_in(lan.hub(), target.get(), &result, kPrinter, "DEFAULT", &seconds), 0);
  Replies replies(result);
  // The 2 s window, up to a second more, and room for a loaded machine under valgrind.
  EXPECT_GE(seconds, 1.9);
  EXPECT_LT(seconds, 2.0 + 1.0 + 3.0);

  // The 10-byte datagram is no reply; the others stand in reverse order of arrival.
  ASSERT_NE(result, nullptr);
  ASSERT_NE(result->next, nullptr);
  EXPECT_EQ(result->next->next, nullptr);

  EXPECT_EQ(text_of(result->address), c);
  ASSERT_NE(result->reply, nullptr);
  EXPECT_EQ(result->reply->error, 3u);
  EXPECT_EQ(result->reply->url_count, 2u);
  EXPECT_EQ(result->reply->urls, nullptr);

  const slp_srvreplies *second = result->next;
  EXPECT_EQ(text_of(second->address), a);
  ASSERT_NE(second->reply, nullptr);
  EXPECT_EQ(second->reply->error, 0u);
  EXPECT_EQ(second->reply->url_count, 3u);
  EXPECT_EQ(urls_of(second->reply), (std::vector<std::string>{
                                         "service:printer:lpr://10.47.0.2:515/queue",
                                         "service:printer:ipp://10.47.0.2/ipp",
                                         "service:x-board://10.47.0.2"}));
  EXPECT_EQ(second->reply->urls->entry->lifetime, 1200u);
  EXPECT_EQ(text_of(slp_get_in_addr_from_url(second->reply->urls->entry)), a);

  // Each device saw the one request, as sent: type, scopes, tag and a time-to-live of 1.
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    auto seen = lan.requests_seen(i);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(logged(seen[0], "service_type"), "\"service:printer\"") << seen[0];
    EXPECT_EQ(logged(seen[0], "scopes"), "\"DEFAULT\"");
    EXPECT_EQ(logged(seen[0], "lang"), "\"en\"");
    EXPECT_EQ(logged(seen[0], "from"), "\"10.47.0.1\"");
    EXPECT_EQ(logged(seen[0], "ttl"), "1");
  }
}

TEST_F(SlpRequest, SilenceGivesOneEmptyNodeAfterTheWindow) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  SlpLan lan;
  // A device that offers another service type keeps quiet, as a service agent does.
  lan.add_device({"--match", "service:scanner", "--url", "service:scanner://10.47.0.2"});
  IfinfoEntry target = make_target(SlpLan::kHubAddress, 2, 0);
  slp_srvreplies *result = nullptr;
  double seconds = 0;
  ASSERT_EQ(request_in(lan.hub(), target.get(), &result, kPrinter, "", &seconds), 0);
  Replies replies(result);
  // The window of 2 s is counted in whole seconds (up to one more), plus room for a
  // loaded machine under valgrind: what matters is that the call waits its window and
  // then returns.
  EXPECT_GE(seconds, 1.9);
  EXPECT_LT(seconds, 2.0 + 1.0 + 3.0);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(result->next, nullptr);
  EXPECT_EQ(result->reply, nullptr);
  EXPECT_EQ(result->address.s_addr, 0u);
  EXPECT_EQ(lan.requests_seen(0).size(), 1u) << "the request did reach the device";
}

TEST_F(SlpRequest, SendFailureLeavesTheResultCellAlone) {
  KIVO8_REQUIRE_NETNS();
  Netns ns;
  // No interface of the namespace holds this address: the socket cannot be bound to it.
  IfinfoEntry target = make_target("10.99.0.1", 1, 0);
  slp_srvreplies *result = nullptr;
  EXPECT_EQ(request_in(ns, target.get(), &result), -2);
  EXPECT_EQ(result, nullptr);
  auto *sentinel = reinterpret_cast<slp_srvreplies *>(0x1);
  result = sentinel;
  EXPECT_EQ(request_in(ns, target.get(), &result), -2);
  EXPECT_EQ(result, sentinel);

  const struct in_addr group = ip(kGroup);
  Session s(slp_create_session(AF_INET, &group, target.get()));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(slp_service_request(s.get(), kPrinter, "", nullptr, &result), -2);
  EXPECT_EQ(slp_service_request(nullptr, kPrinter, "", target.get(), &result), -2);
  EXPECT_EQ(slp_service_request(s.get(), kPrinter, "", target.get(), nullptr), -2);
  EXPECT_EQ(result, sentinel);
}

TEST_F(SlpRequest, SessionStatusIsTheResultAfterTheWindow) {
  KIVO8_REQUIRE_NETNS();
  SlpLan lan;
  IfinfoEntry target = make_target(SlpLan::kHubAddress, 0, 0);
  slp_srvreplies *result = nullptr;
  EXPECT_EQ(request_in(lan.hub(), target.get(), &result, kPrinter, "", nullptr, 7), 7);
  EXPECT_EQ(result, nullptr);
}

// Out of memory on the way: the request buffer (-1, cell untouched), the first node or
// the transport's receive buffer (-1, cell null). A window of 0 seconds keeps each round
// to one datagram sent into an empty hub.
TEST_F(SlpRequest, OutOfMemoryGivesMinusOne) {
  KIVO8_REQUIRE_NETNS();
  SlpLan lan;
  IfinfoEntry target = make_target(SlpLan::kHubAddress, 0, 0);
  const struct in_addr group = ip(kGroup);
  lan.hub().enter();
  Session session(slp_create_session(AF_INET, &group, target.get()));
  ASSERT_NE(session, nullptr);
  int untouched = 0, nulled = 0;
  kivo8::test::sweep_allocation_failures([&] {
    auto *sentinel = reinterpret_cast<slp_srvreplies *>(0x1);
    slp_srvreplies *result = sentinel;
    int32_t rc = slp_service_request(session.get(), kPrinter, "DEFAULT", target.get(), &result);
    if (rc == 0) {
      EXPECT_NE(result, sentinel);
      slp_free_srvreplies(result);
      return true;
    }
    EXPECT_EQ(rc, -1);
    if (result == sentinel)
      ++untouched;
    else if (result == nullptr)
      ++nulled;
    else
      ADD_FAILURE() << "a failed request handed out a list";
    return false;
  });
  lan.hub().leave();
  EXPECT_GT(untouched, 0);
  EXPECT_GT(nulled, 0);
}

// The delivery callback under memory failures: a reply that cannot be decoded or linked
// is dropped whole; the list keeps what it had.
TEST(SlpReplyDelivery, CallbackLinksRepliesAndDropsWhatItCannotKeep) {
  const uint8_t reply[] = {2, 2, 0, 0, 18, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 4, 0, 0};
  udp_session from{};
  from.from_address = ip("10.47.0.9");
  slp_srvreplies *first = slp_create_srvreplies();
  ASSERT_NE(first, nullptr);
  uint8_t junk[10] = {};
  EXPECT_EQ(slp_srvreply_asynch_callback(&from, junk, 10, nullptr, first), 0);
  EXPECT_EQ(first->reply, nullptr) << "a short datagram is no reply";
  uint8_t copy[sizeof reply];
  std::memcpy(copy, reply, sizeof reply);
  EXPECT_EQ(slp_srvreply_asynch_callback(&from, copy, sizeof copy, nullptr, first), 0);
  ASSERT_NE(first->reply, nullptr);
  EXPECT_EQ(first->reply->error, 4u);
  EXPECT_EQ(text_of(first->address), "10.47.0.9");

  int nodes = 1;
  kivo8::test::sweep_allocation_failures([&] {
    from.from_address = ip("10.47.0.10");
    int32_t rc = slp_srvreply_asynch_callback(&from, copy, sizeof copy, nullptr, first);
    int now = 0;
    for (slp_srvreplies *n = first; n != nullptr; n = n->next) ++now;
    if (now == nodes) {
      EXPECT_TRUE(rc == 0 || rc == -1);
      return false;
    }
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(now, nodes + 1);
    nodes = now;
    return true;
  });
  ASSERT_NE(first->next, nullptr);
  EXPECT_EQ(text_of(first->next->address), "10.47.0.10");
  slp_free_srvreplies(first);
}

// tshark, an independent dissector, reads the request as it left the host: captured on
// the hub's bridge, with the hop count setting the IP time-to-live.
TEST_F(SlpRequest, DissectorReadsTheServiceRequest) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("tshark");
  SlpLan lan;
  // A device on the bridge gives it a carrier, so that requests leave the host at all.
  lan.add_device({"--match", "service:none"});
  const std::string capture = lan.dir().file("slp.pcap");
  const std::string log = lan.dir().file("tshark.log");
  Process tshark({"tshark", "-i", "br0", "-f", "udp dst port 427", "-c", "2", "-w", capture},
                 lan.hub().name(), log);
  ASSERT_TRUE(kivo8::test::wait_until(20, [&] {
    std::ifstream in(log);
    std::stringstream s;
    s << in.rdbuf();
    // "Capturing on" comes before the capture really runs; this line comes after.
    return s.str().find("Capture started") != std::string::npos;
  })) << "tshark did not start";

  for (int32_t hops : {0, 3}) {
    IfinfoEntry target = make_target(SlpLan::kHubAddress, 0, hops);
    slp_srvreplies *result = nullptr;
    ASSERT_EQ(request_in(lan.hub(), target.get(), &result, "service:printer", "lab,floor2"), 0);
    slp_free_srvreplies(result);
  }
  ASSERT_TRUE(kivo8::test::wait_until(15, [&] { return !tshark.running(); }))
      << "tshark did not see both requests";

  const std::string fields =
      kivo8::test::sh_output("tshark -r " + capture +
                             " -T fields -E separator='|' -e ip.dst -e udp.dstport -e ip.ttl"
                             " -e srvloc.version -e srvloc.function -e srvloc.pktlen"
                             " -e srvloc.xid -e srvloc.langtag -e srvloc.flags_v2.reqmulti"
                             " -e srvloc.srvreq.srvtypelist -e srvloc.srvreq.scopelist"
                             " -e srvloc.srvreq.predicatelen -e srvloc.srvreq.slpspilen");
  std::vector<std::string> lines;
  std::istringstream in(fields);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u) << fields;
  // 16-byte header, 10 fixed body bytes, 15 + 10 bytes of text.
  EXPECT_EQ(lines[0], "239.255.255.253|427|1|2|1|51|1|en|1|service:printer|lab,floor2|0|0");
  EXPECT_EQ(lines[1], "239.255.255.253|427|4|2|1|51|2|en|1|service:printer|lab,floor2|0|0");
}

}  // namespace
