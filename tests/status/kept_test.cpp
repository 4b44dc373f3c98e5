// What the status reader keeps of an answer (Kept: names, and of each value only what the
// decoder reads) against the whole answer: decode() must make the same status from both,
// for the answer as the engine gets it (a Message over the datagram) and as the blocking
// read gets it (the session's PDU turned back into a Message by message_of).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu.h"
#include "snmp/pdu_view.h"
#include "status/model.h"
#include "status/reader.h"

namespace kivo8::status {
namespace {

struct PduFree {
  void operator()(snmp_pdu *p) const noexcept { snmp_free_pdu(p); }
};

struct Item {
  Oid name;
  std::uint8_t type = SNMP_TYPE_INTEGER;
  std::uint64_t number = 0;
  std::string octets;
};

Oid with(oid::Name prefix, std::initializer_list<std::uint32_t> rest = {}) {
  Oid out(prefix.begin(), prefix.end());
  out.insert(out.end(), rest);
  return out;
}

constexpr std::uint32_t kAddress = 0x0100007f;
constexpr std::uint8_t kUnknownType = 0x48;

// A Response datagram holding `items`; an item of kUnknownType goes out as a NULL whose
// tag is then changed, since the encoder writes no type it does not know.
std::vector<std::uint8_t> datagram(const std::vector<Item> &items) {
  std::vector<snmp::Binding> bindings;
  for (const Item &i : items) {
    snmp::Binding b;
    b.name = i.name;
    b.type = i.type == kUnknownType ? SNMP_TYPE_NULL : i.type;
    b.number = i.number;
    b.value = {reinterpret_cast<const std::uint8_t *>(i.octets.data()), i.octets.size()};
    if (b.type == SNMP_TYPE_OBJECT_ID) b.oid = i.name;
    bindings.push_back(b);
  }
  static const std::uint8_t community[] = {'p'};
  snmp::Outgoing m;
  m.version = SNMP_VERSION_2c;
  m.community = community;
  m.type = SNMP_MSG_RESPONSE;
  m.bindings = bindings;
  std::vector<std::uint8_t> out(1 << 20);
  out.resize(snmp::encode(m, out));
  EXPECT_FALSE(out.empty());
  // The last binding ends the datagram: its value is the last two octets.
  if (!items.empty() && items.back().type == kUnknownType) out[out.size() - 2] = kUnknownType;
  return out;
}

// The status from the whole answer, as a reader that kept the decoded PDU read it.
Status from_whole_pdu(const snmp_pdu &pdu) {
  std::vector<Binding> list;
  for (const snmp_var *v = pdu.variables; v != nullptr; v = v->next) {
    std::span<const std::uint8_t> value;
    if (v->value != nullptr) value = {v->value, v->value_length};
    list.push_back({{v->name, v->name_length}, v->type, value});
  }
  return decode(list, kAddress);
}

Status from_kept(const snmp::Message &m) {
  Kept kept;
  for (const snmp::Binding &b : m.bindings()) kept.add(b);
  return decode(kept.views(), kAddress);
}

// Both ways of receiving the answer against the whole PDU.
void expect_same_status(const std::vector<Item> &items) {
  const std::vector<std::uint8_t> bytes = datagram(items);
  snmp::Message m;
  ASSERT_EQ(m.decode(bytes), snmp::CodecError::none);
  std::unique_ptr<snmp_pdu, PduFree> pdu(_snmp_create_pdu(0));
  ASSERT_EQ(snmp::fill_pdu(m, pdu.get()), snmp::CodecError::none);
  const Status whole = from_whole_pdu(*pdu);
  EXPECT_TRUE(from_kept(m) == whole) << "engine path";
  snmp::Message again;
  ASSERT_EQ(snmp::message_of(*pdu, again), snmp::CodecError::none);
  ASSERT_EQ(again.bindings().size(), m.bindings().size());
  EXPECT_EQ(again.unknown_types, m.unknown_types);
  for (std::size_t i = 0; i < m.bindings().size(); ++i) {
    const snmp::Binding &a = again.bindings()[i], &b = m.bindings()[i];
    EXPECT_TRUE(std::ranges::equal(a.name, b.name) && a.type == b.type && a.known == b.known &&
                a.number == b.number && std::ranges::equal(a.value, b.value) && std::ranges::equal(a.oid, b.oid))
        << "binding " << i;
  }
  EXPECT_TRUE(from_kept(again) == whole) << "blocking read's path";
}

Item text(Oid name, std::size_t length, char fill = 'x') {
  return {std::move(name), SNMP_TYPE_OCTET_STR, 0, std::string(length, fill)};
}
Item number(Oid name, std::uint8_t type, std::uint64_t v) { return {std::move(name), type, v, {}}; }

TEST(StatusKept, CutValuesDecodeAsTheWholeAnswer) {
  const std::size_t kLong = kMaxText + 900;
  std::string mac = "\x00\x1b\x2c\x3d\x4e\x5f";
  mac.resize(30, '\x11');
  std::string errors = "\xff\xfe\x80\x01";
  errors.resize(300, '\x7f');
  const struct {
    const char *name;
    std::vector<Item> items;
  } cases[] = {
      {"texts longer than the decoder keeps",
       {text(with(oid::kSysContact), kLong), text(with(oid::kSysLocation), kLong, 'l'),
        text(with(oid::kPrtSerial, {1}), kLong, 's'), text(with(oid::kPrtConsoleText, {1, 1}), kLong),
        text(with(oid::kPrtSuppliesEntry, {6, 1, 1}), kLong, 'd'),
        text(with(oid::kPrtColorantValue, {1, 1}), kLong, 'c'),
        text(with(oid::kPrtAlertEntry, {8, 1, 1}), kLong, 'a'),
        number(with(oid::kPrtSuppliesEntry, {3, 1, 1}), SNMP_TYPE_INTEGER, 1)}},
      {"error state of many octets",
       {number(with(oid::kHrPrinterStatus, {1}), SNMP_TYPE_INTEGER, 3),
        {with(oid::kHrPrinterErrorState, {1}), SNMP_TYPE_OCTET_STR, 0, errors}}},
      {"MAC of more octets than one is written with",
       {number(with(oid::kIpAdEntIfIndex, {127, 0, 0, 1}), SNMP_TYPE_INTEGER, 2),
        {with(oid::kIfPhysAddress, {2}), SNMP_TYPE_OCTET_STR, 0, mac}}},
      {"empty MAC",
       {number(with(oid::kIpAdEntIfIndex, {127, 0, 0, 1}), SNMP_TYPE_INTEGER, 2),
        text(with(oid::kIfPhysAddress, {2}), 0)}},
      {"strings in number columns still make their rows",
       {text(with(oid::kPrtSuppliesEntry, {9, 1, 4}), kLong), text(with(oid::kPrtAlertEntry, {2, 1, 7}), kLong),
        text(with(oid::kHrPrinterStatus, {2}), 9), text(with(oid::kPrtLifeCount, {1, 1}), 4)}},
      {"numbers of every width and sign",
       {number(with(oid::kSysUpTime), SNMP_TYPE_TIMETICKS, 0xFFFFFFFFu),
        number(with(oid::kPrtSuppliesEntry, {9, 1, 1}), SNMP_TYPE_INTEGER, static_cast<std::uint64_t>(-3)),
        number(with(oid::kPrtSuppliesEntry, {8, 1, 1}), SNMP_TYPE_GAUGE, 0x80000000u),
        number(with(oid::kPrtLifeCount, {1, 1}), SNMP_TYPE_COUNTER, 4000000000u),
        number(with(oid::kPrtLifeCount, {1, 2}), SNMP_TYPE_COUNTER64, 0x1234567890ull),
        number(with(oid::kHrDeviceStatus, {1}), SNMP_TYPE_INTEGER, 2)}},
      {"names longer than any the decoder reads",
       {number(with(oid::kIpAddressIfIndex, {1, 4, 127, 0, 0, 1}), SNMP_TYPE_INTEGER, 2),
        number(with(oid::kIpAddressIfIndex, {1, 4, 127, 0, 0, 1, 9}), SNMP_TYPE_INTEGER, 3),
        text(with(oid::kIfPhysAddress, {2}), 6), text(with(oid::kIfPhysAddress, {3}), 6, 'm'),
        number(with(oid::kPrtSuppliesEntry, {9, 1, 1, 1, 1, 1, 1, 1, 1}), SNMP_TYPE_INTEGER, 50),
        number(with(oid::kHrPrinterStatus, {1, 2, 3, 4, 5, 6, 7}), SNMP_TYPE_INTEGER, 3)}},
      {"values the decoder never reads, the last of a type it does not know",
       {number(with(oid::kPrtSuppliesEntry, {5, 1, 2}), SNMP_NOSUCHINSTANCE, 0),
        number(with(oid::kPrtAlertEntry, {4, 1, 2}), SNMP_TYPE_OBJECT_ID, 0),
        {with(oid::kPrtSuppliesEntry, {7, 1, 2}), SNMP_TYPE_IPADDRESS, 0, "\x7f\0\0\x01"},
        number(with(oid::kHrPrinterStatus, {3}), kUnknownType, 0)}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    expect_same_status(c.items);
  }
}

// Answers drawn at random from the objects the decoder reads (and names beside them),
// with values of every type and length: a reader that cut a value the decoder reads, or
// kept a number in another form, gives another status for some of them.
TEST(StatusKept, RandomAnswersDecodeAsTheWholeAnswer) {
  const oid::Name roots[] = {oid::kSysUpTime,        oid::kSysContact,       oid::kSysLocation,
                             oid::kIfPhysAddress,    oid::kIpAdEntIfIndex,   oid::kIpAddressIfIndex,
                             oid::kHrDeviceStatus,   oid::kHrPrinterStatus,  oid::kHrPrinterErrorState,
                             oid::kPrtSerial,        oid::kPrtLifeCount,     oid::kPrtSuppliesEntry,
                             oid::kPrtColorantValue, oid::kPrtConsoleText,   oid::kPrtAlertEntry};
  const std::uint8_t types[] = {SNMP_TYPE_INTEGER, SNMP_TYPE_OCTET_STR, SNMP_TYPE_COUNTER,
                                SNMP_TYPE_GAUGE,   SNMP_TYPE_TIMETICKS, SNMP_TYPE_COUNTER64,
                                SNMP_TYPE_NULL,    SNMP_NOSUCHOBJECT,   SNMP_TYPE_OPAQUE};
  std::mt19937 random(8);
  auto pick = [&random](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(round);
    std::vector<Item> items;
    const std::size_t count = 1 + pick(40);
    for (std::size_t i = 0; i < count; ++i) {
      Item item;
      const oid::Name root = roots[pick(std::size(roots))];
      item.name.assign(root.begin(), root.end());
      if (pick(8) == 0) item.name.pop_back();
      // Now and then a name longer than any the decoder reads.
      const std::size_t index = pick(12) == 0 ? 6 + pick(20) : pick(5);
      for (std::size_t k = 0; k < index; ++k)
        item.name.push_back(k == 0 && pick(2) == 0 ? static_cast<std::uint32_t>(1 + pick(9))
                                                  : static_cast<std::uint32_t>(pick(4)));
      item.type = types[pick(std::size(types))];
      item.number = random();
      if (item.type == SNMP_TYPE_INTEGER && pick(3) == 0) item.number = static_cast<std::uint64_t>(-1 - pick(5));
      if (item.type == SNMP_TYPE_OCTET_STR || item.type == SNMP_TYPE_OPAQUE) {
        const std::size_t lengths[] = {0, 1, 2, 3, 6, 21, 300, kMaxText, kMaxText + 1};
        item.octets.resize(lengths[pick(std::size(lengths))]);
        for (char &o : item.octets) o = static_cast<char>(random());
      }
      items.push_back(std::move(item));
    }
    expect_same_status(items);
  }
}

}  // namespace
}  // namespace kivo8::status
