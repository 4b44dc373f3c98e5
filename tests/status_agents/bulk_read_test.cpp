// How a status read asks for its tables: GETBULK on SNMPv2c, GETNEXT on SNMPv1, and
// GETNEXT for the rest of the read once a device left its first GETBULK unanswered (some
// devices' SNMPv2c has no GetBulkRequest) - with the same record every way.
#include <gtest/gtest.h>

#include <algorithm>
#include <mutex>

#include "kivo8/status.h"
#include "support/session_helpers.h"
#include "support/record_owners.h"

namespace kivo8::test {
namespace {

using craft::Bytes;
using craft::Oid;

// A small printer: sysUpTime, one hrPrinter row, six supplies, two alerts.
std::vector<craft::Binding> printer() {
  std::vector<craft::Binding> t = {
      {craft::parse_oid("1.3.6.1.2.1.1.3.0"), craft::integer(4242, 0x43)},
      {craft::parse_oid("1.3.6.1.2.1.25.3.2.1.5.1"), craft::integer(2)},
      {craft::parse_oid("1.3.6.1.2.1.25.3.5.1.1.1"), craft::integer(3)},
      {craft::parse_oid("1.3.6.1.2.1.25.3.5.1.2.1"), craft::octets(std::string(1, '\0'))},
  };
  for (int column : {4, 6, 8, 9})
    for (int i = 1; i <= 6; ++i)
      t.push_back({craft::parse_oid("1.3.6.1.2.1.43.11.1.1." + std::to_string(column) + ".1." +
                                    std::to_string(i)),
                   column == 6 ? craft::octets("Toner " + std::to_string(i))
                               : craft::integer(column == 8 ? 100 : column == 9 ? 10 * i : 3)});
  for (int column : {2, 8})
    for (int i = 1; i <= 2; ++i)
      t.push_back({craft::parse_oid("1.3.6.1.2.1.43.18.1.1." + std::to_string(column) + ".1." +
                                    std::to_string(i)),
                   column == 8 ? craft::octets("Alert " + std::to_string(i)) : craft::integer(4)});
  std::sort(t.begin(), t.end(), [](const auto &a, const auto &b) { return a.name < b.name; });
  return t;
}

class Printer {
 public:
  explicit Printer(bool answers_bulk)
      : answers_bulk_(answers_bulk),
        responder_([this](const Bytes &req, int) { return answer(req); }) {}
  int port() const { return responder_.port(); }
  std::vector<std::uint8_t> tags() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tags_;
  }

 private:
  std::vector<UdpResponder::Reply> answer(const Bytes &req) {
    const craft::Request r = craft::decode_request(req);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      tags_.push_back(r.pdu_tag);
    }
    if (r.pdu_tag == 0xA5 && !answers_bulk_) return {};
    const auto tree = printer();
    auto next = [&](const Oid &name) -> craft::Binding {
      for (const auto &b : tree)
        if (b.name > name) return b;
      return {name, craft::null(0x82)};
    };
    // SNMPv1 has no exception values: noSuchName for the whole request, naming the first.
    auto no_such_name = [&](std::size_t index) {
      craft::Message m;
      m.version = 0;
      m.reqid = r.reqid;
      m.errstat = 2;
      m.errindex = static_cast<std::int64_t>(index) + 1;
      for (const Oid &n : r.names) m.bindings.push_back({n, craft::null()});
      return std::vector<UdpResponder::Reply>{{craft::encode(m), 0}};
    };
    std::vector<craft::Binding> out;
    if (r.pdu_tag == 0xA0) {
      for (const Oid &name : r.names) {
        auto it = std::find_if(tree.begin(), tree.end(), [&](const auto &b) { return b.name == name; });
        out.push_back(it != tree.end() ? *it : craft::Binding{name, craft::null(0x80)});
      }
    } else {
      const std::int64_t rows = r.pdu_tag == 0xA5 ? r.errindex : 1;
      std::vector<Oid> at = r.names;
      for (std::int64_t row = 0; row < rows; ++row)
        for (Oid &name : at) {
          out.push_back(next(name));
          name = out.back().name;
        }
    }
    if (r.version == 0)
      for (std::size_t i = 0; i < out.size(); ++i)
        if (out[i].value[0] >= 0x80) return no_such_name(i % r.names.size());
    return {{response_to(req, out), 0}};
  }

  bool answers_bulk_;
  mutable std::mutex mutex_;
  std::vector<std::uint8_t> tags_;
  UdpResponder responder_;
};

TEST(StatusBulk, TablesByGetBulkOnV2cByGetNextOnV1AndAfterAnUnansweredGetBulk) {
  ASSERT_EQ(mt_res_init(), 0);
  Communities communities;
  struct {
    const char *name;
    int32_t version;
    bool answers_bulk;
  } cases[] = {
      {"SNMPv2c", SNMP_VERSION_2c, true},
      {"SNMPv1", SNMP_VERSION_1, true},
      {"SNMPv2c, GETBULK left unanswered", SNMP_VERSION_2c, false},
  };
  std::size_t v2c_requests = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Printer agent(c.answers_bulk);
    SessionPtr s = open_session("127.0.0.1", agent.port(), c.version, communities.head, 1, 2);
    ASSERT_TRUE(s);
    kivo_status *raw = nullptr;
    ASSERT_EQ(kivo_status_read(s.get(), &raw), SNMP_ERR_NONE);
    StatusRecord record(raw);
    EXPECT_EQ(record->printer_status, 3);
    EXPECT_EQ(record->device_status, 2);
    ASSERT_EQ(record->supply_count, 6u);
    EXPECT_EQ(std::string(record->supplies[5].description.data), "Toner 6");
    EXPECT_EQ(record->supplies[5].percent, 60);
    EXPECT_EQ(record->alert_count, 2u);

    const std::vector<std::uint8_t> tags = agent.tags();
    const auto bulk = std::count(tags.begin(), tags.end(), 0xA5);
    const auto first_next = std::find(tags.begin(), tags.end(), 0xA1);
    if (c.version == SNMP_VERSION_1) {
      EXPECT_EQ(bulk, 0);
    } else if (c.answers_bulk) {
      EXPECT_EQ(first_next, tags.end());
      v2c_requests = tags.size();
    } else {
      // The first GETBULK, sent once and re-sent once, then GETNEXT to the end.
      EXPECT_EQ(bulk, 2);
      EXPECT_NE(first_next, tags.end());
      EXPECT_EQ(std::count(first_next, tags.end(), 0xA5), 0);
      EXPECT_GT(tags.size(), v2c_requests);
    }
  }
  mt_res_free();
}

}  // namespace
}  // namespace kivo8::test
