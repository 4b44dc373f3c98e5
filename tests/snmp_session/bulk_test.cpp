// Walks by GETBULK against scripted agents that each get GetBulkRequest wrong in their own
// way (one row whatever was asked, more rows than asked, tooBig above a size, tooBig
// always, names that go backwards, a short last row), and our request as tshark reads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <mutex>

#include "support/pcap.h"
#include "support/session_helpers.h"

namespace kivo8::test {
namespace {

using craft::Bytes;
using craft::Oid;

// The agent's tree: 40 integers below 1.3.6.1.4.1.99.1 in two columns (.1.i and .2.i,
// i = 1..20), then one name past the subtree.
std::vector<craft::Binding> tree() {
  std::vector<craft::Binding> out;
  for (std::uint32_t column : {1u, 2u})
    for (std::uint32_t i = 1; i <= 20; ++i)
      out.push_back({{1, 3, 6, 1, 4, 1, 99, 1, column, i}, craft::integer(column * 100 + i)});
  out.push_back({{1, 3, 6, 1, 4, 1, 99, 2, 0}, craft::integer(7)});
  return out;
}

// The binding after `name` in the tree, or endOfMibView.
craft::Binding next_of(const std::vector<craft::Binding> &t, const Oid &name) {
  for (const auto &b : t)
    if (b.name > name) return b;
  return {name, craft::null(0x82)};
}

// What a request asked for, as the agent saw it.
struct Seen {
  std::uint8_t tag;
  std::int64_t repetitions;
};

// An agent answering GETBULK row after row from tree(); `rows_for` decides how many rows
// it sends for the repetitions asked, `refuse` answers tooBig instead.
class BulkAgent {
 public:
  struct Behaviour {
    std::function<std::int64_t(std::int64_t asked)> rows_for = [](std::int64_t n) { return n; };
    std::function<bool(std::int64_t asked)> refuse = [](std::int64_t) { return false; };
    // Rewrites the bindings of a reply before it goes out.
    std::function<void(std::vector<craft::Binding> &)> spoil = [](std::vector<craft::Binding> &) {};
  };

  explicit BulkAgent(Behaviour b)
      : behaviour_(std::move(b)), responder_([this](const Bytes &req, int) { return answer(req); }) {}

  int port() const { return responder_.port(); }
  bool ok() const { return responder_.ok(); }
  std::vector<Seen> seen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  Bytes first_request() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_;
  }

 private:
  std::vector<UdpResponder::Reply> answer(const Bytes &req) {
    craft::Request r = craft::decode_request(req);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back({r.pdu_tag, r.errindex});
      if (first_.empty()) first_ = req;
    }
    const std::vector<craft::Binding> t = tree();
    if (r.pdu_tag == 0xA5 && behaviour_.refuse(r.errindex)) {
      // tooBig with the names asked for, as net-snmp's agent answers it.
      std::vector<craft::Binding> asked;
      for (const Oid &name : r.names) asked.push_back({name, craft::null()});
      return {{response_to(req, asked, 1), 0}};
    }
    std::int64_t rows = r.pdu_tag == 0xA5 ? behaviour_.rows_for(r.errindex) : 1;
    std::vector<craft::Binding> out;
    std::vector<Oid> at = r.names;
    for (std::int64_t row = 0; row < rows; ++row)
      for (Oid &name : at) {
        craft::Binding b = next_of(t, name);
        name = b.name;
        out.push_back(b);
      }
    behaviour_.spoil(out);
    return {{response_to(req, out), 0}};
  }

  Behaviour behaviour_;
  mutable std::mutex mutex_;
  std::vector<Seen> seen_;
  Bytes first_;
  UdpResponder responder_;
};

std::vector<std::string> names_in(const snmp_pdu_list *list) {
  std::vector<std::string> out;
  for (const snmp_pdu_list *n = list; n != nullptr; n = n->next)
    for (const snmp_var *v = n->pdu->variables; v != nullptr; v = v->next)
      out.push_back(name_of(v) + "=" + std::to_string(int_of(v)));
  return out;
}

std::vector<std::string> whole_subtree(const std::string &below) {
  std::vector<std::string> out;
  for (const auto &b : tree()) {
    std::string name = craft::oid_text(b.name);
    if (name.rfind(below + ".", 0) == 0) {
      std::uint32_t column = b.name[8], i = b.name[9];
      out.push_back(name + "=" + std::to_string(column * 100 + i));
    }
  }
  return out;
}

class BulkWalk : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mt_res_init(), 0); }
  void TearDown() override { mt_res_free(); }

  int32_t walk(const BulkAgent &agent, const std::vector<std::string> &roots, uint32_t reps,
               ListPtr &out, int32_t version = SNMP_VERSION_2c) {
    SessionPtr s = open_session("127.0.0.1", agent.port(), version, communities_.head, 2, 1);
    if (!s) return -100;
    OidList names(roots);
    kivo_walk_options o{};
    o.size = sizeof o;
    o.max_repetitions = reps;
    snmp_pdu_list *raw = reinterpret_cast<snmp_pdu_list *>(1);
    int32_t rc = kivo_snmp_bulkwalk(s.get(), names.get(), &o, &raw);
    out.reset(raw);
    return rc;
  }
  Communities communities_;
};

TEST_F(BulkWalk, AgentsThatSendOtherRowCountsAreWalkedCompletely) {
  struct {
    const char *name;
    BulkAgent::Behaviour behaviour;
    uint32_t reps;
    std::vector<std::int64_t> asked;  // max-repetitions of the first requests, in order
  } cases[] = {
      {"rows as asked", {}, 6, {6, 6, 6, 6}},
      {"one row whatever is asked", {[](std::int64_t) { return 1; }}, 10, {10, 10, 10}},
      {"three times the rows asked", {[](std::int64_t n) { return 3 * n; }}, 2, {2, 2, 2, 2}},
      {"no more than 7 rows", {[](std::int64_t n) { return std::min<std::int64_t>(n, 7); }}, 50,
       {50, 50, 50}},
      {"tooBig above 2 rows: halved, and kept halved",
       {[](std::int64_t n) { return n; }, [](std::int64_t n) { return n > 2; }},
       10,
       {10, 5, 2, 2, 2}},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    BulkAgent agent(c.behaviour);
    ASSERT_TRUE(agent.ok());
    ListPtr list;
    ASSERT_EQ(walk(agent, {"1.3.6.1.4.1.99.1.1"}, c.reps, list), SNMP_ERR_NONE);
    // Exactly the subtree: nothing of column 2 or beyond, though replies held it.
    EXPECT_EQ(names_in(list.get()), whole_subtree(".1.3.6.1.4.1.99.1.1"));
    std::vector<Seen> seen = agent.seen();
    ASSERT_GE(seen.size(), c.asked.size());
    for (std::size_t i = 0; i < c.asked.size(); ++i) {
      EXPECT_EQ(seen[i].tag, 0xA5);
      EXPECT_EQ(seen[i].repetitions, c.asked[i]) << "request " << i;
    }
  }
}

TEST_F(BulkWalk, TwoRootsInStepEndWhenTheFirstEnds) {
  // Column 1 ends after 20 rows, and the walk with it, as snmp_walk's does.
  BulkAgent agent({[](std::int64_t n) { return n; }});
  ASSERT_TRUE(agent.ok());
  ListPtr list;
  ASSERT_EQ(walk(agent, {"1.3.6.1.4.1.99.1.1", "1.3.6.1.4.1.99.1.2"}, 8, list), SNMP_ERR_NONE);
  std::vector<std::string> got = names_in(list.get()), want;
  std::vector<std::string> one = whole_subtree(".1.3.6.1.4.1.99.1.1"),
                           two = whole_subtree(".1.3.6.1.4.1.99.1.2");
  for (std::size_t i = 0; i < one.size(); ++i) {
    want.push_back(one[i]);
    want.push_back(two[i]);
  }
  EXPECT_EQ(got, want);
}

TEST_F(BulkWalk, BrokenAgentsFailTheWalk) {
  struct {
    const char *name;
    BulkAgent::Behaviour behaviour;
    std::size_t requests;  // sent before the walk gave up
  } cases[] = {
      {"tooBig at every size: 10, 5, 2, 1, then failure",
       {[](std::int64_t n) { return n; }, [](std::int64_t) { return true; }},
       4},
      {"names that go backwards in the third row",
       {[](std::int64_t n) { return n; }, [](std::int64_t) { return false; },
        [](std::vector<craft::Binding> &b) {
          if (b.size() >= 3) b[2].name = b[0].name;
        }},
       1},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    BulkAgent agent(c.behaviour);
    ASSERT_TRUE(agent.ok());
    ListPtr list;
    EXPECT_EQ(walk(agent, {"1.3.6.1.4.1.99.1.1"}, 10, list), SNMP_ERR_OTHER);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(agent.seen().size(), c.requests);
  }
}

TEST_F(BulkWalk, ShortLastRowIsAskedAgain) {
  // Two roots, and every reply cut one binding short of its last row: the cut row is
  // asked for again, never half taken.
  BulkAgent agent({[](std::int64_t n) { return n; }, [](std::int64_t) { return false; },
                   [](std::vector<craft::Binding> &b) {
                     if (b.size() > 2) b.pop_back();
                   }});
  ASSERT_TRUE(agent.ok());
  ListPtr list;
  ASSERT_EQ(walk(agent, {"1.3.6.1.4.1.99.1.1", "1.3.6.1.4.1.99.1.2"}, 4, list), SNMP_ERR_NONE);
  EXPECT_EQ(names_in(list.get()).size(), 40u);
  for (const snmp_pdu_list *n = list.get(); n != nullptr; n = n->next)
    EXPECT_EQ(bindings(n->pdu).size() % 2, 0u);
}

TEST_F(BulkWalk, SnmpV1SessionAndZeroRepetitionsWalkByGetNext) {
  for (auto [version, reps] : {std::pair{SNMP_VERSION_1, 10u}, std::pair{SNMP_VERSION_2c, 0u}}) {
    SCOPED_TRACE(version == SNMP_VERSION_1 ? "SNMPv1" : "max_repetitions 0");
    BulkAgent agent({});
    ASSERT_TRUE(agent.ok());
    ListPtr list;
    ASSERT_EQ(walk(agent, {"1.3.6.1.4.1.99.1.2"}, reps, list, version), SNMP_ERR_NONE);
    EXPECT_EQ(names_in(list.get()), whole_subtree(".1.3.6.1.4.1.99.1.2"));
    for (const Seen &s : agent.seen()) EXPECT_EQ(s.tag, 0xA1);
  }
}

TEST_F(BulkWalk, CallbackGetsTheRowsAsTheyComeAndCanStop) {
  BulkAgent agent({});
  ASSERT_TRUE(agent.ok());
  SessionPtr s = open_session("127.0.0.1", agent.port(), SNMP_VERSION_2c, communities_.head, 2, 1);
  ASSERT_TRUE(s);
  struct Tally {
    std::vector<std::string> names;
    std::size_t stop_after;
  } tally{{}, 7};
  kivo_walk_options o{};
  o.size = sizeof o;
  o.max_repetitions = 3;
  o.context = &tally;
  o.callback = [](void *context, const snmp_pdu *response) -> int32_t {
    auto *t = static_cast<Tally *>(context);
    for (const snmp_var *v = response->variables; v != nullptr; v = v->next)
      t->names.push_back(name_of(v) + "=" + std::to_string(int_of(v)));
    return t->names.size() >= t->stop_after ? 1 : 0;
  };
  OidList names({"1.3.6.1.4.1.99.1.1"});
  ASSERT_EQ(kivo_snmp_bulkwalk(s.get(), names.get(), &o, nullptr), SNMP_ERR_NONE);
  std::vector<std::string> want = whole_subtree(".1.3.6.1.4.1.99.1.1");
  want.resize(9);  // three replies of three rows
  EXPECT_EQ(tally.names, want);
  EXPECT_EQ(agent.seen().size(), 3u);
}

TEST_F(BulkWalk, TsharkReadsOurGetBulkRequest) {
  KIVO8_REQUIRE_PROGRAM("tshark");
  BulkAgent agent({});
  ASSERT_TRUE(agent.ok());
  ListPtr list;
  ASSERT_EQ(walk(agent, {"1.3.6.1.4.1.99.1.1", "1.3.6.1.4.1.99.1.2"}, 37, list), SNMP_ERR_NONE);
  TempDir dir;
  const std::string pcap = dir.file("bulk.pcap");
  write_snmp_pcap(pcap, {agent.first_request()});
  const std::string fields = sh_output(
      "tshark -n -r '" + pcap +
      "' -T fields -e snmp.non_repeaters -e snmp.max_repetitions -e snmp.name 2>/dev/null");
  EXPECT_EQ(fields, "0\t37\t1.3.6.1.4.1.99.1.1,1.3.6.1.4.1.99.1.2\n");
  const std::string text = sh_output("tshark -n -r '" + pcap + "' -V 2>&1");
  EXPECT_NE(text.find("getBulkRequest"), std::string::npos) << text;
  EXPECT_NE(text.find("max-repetitions: 37"), std::string::npos) << text;
  EXPECT_EQ(text.find("Malformed"), std::string::npos) << text;
  EXPECT_EQ(text.find("Expert Info"), std::string::npos) << text;
}

}  // namespace
}  // namespace kivo8::test
