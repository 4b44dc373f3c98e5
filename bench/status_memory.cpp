// Memory a status read holds against a printer whose tables are full: 256 supplies, 256
// colorants, 256 alerts and 32 console lines, every text `text` octets long (24, as a
// usual printer's, or kMaxText, the most a read keeps of one). An agent in the program
// answers the reader's requests from that table as SNMPv2c replies of at most
// SNMP_PACKET_SIZE octets (a GETBULK answer as many rows as fit, a GET or GETNEXT answer
// that does not fit a tooBig), each encoded, decoded into the library's message and
// handed to the reader, as the discovery engine does.
//
// BM_StatusReadKept: the heap the read holds when it ends (heap_bytes, from mallinfo2
// before and after) and the bytes of its store of kept bindings (kept_bytes).
// BM_StatusReadWholeReplies: what a reader that kept its replies held for the same read:
// every reply as a decoded snmp_pdu and a view of each of its bindings until the end
// (heap_bytes, the store of kept bindings taken out).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu.h"
#include "snmp/pdu_view.h"
#include "status/reader.h"

namespace {

namespace snmp = kivo8::snmp;
namespace status = kivo8::status;
using status::Oid;

double heap_bytes() {
  struct mallinfo2 m = mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd);
}

struct Value {
  std::uint8_t type = SNMP_TYPE_INTEGER;
  std::uint64_t number = 0;
  std::string text;
};
using Mib = std::map<Oid, Value>;

Oid at(status::oid::Name base, std::initializer_list<std::uint32_t> index) {
  Oid n(base.begin(), base.end());
  n.insert(n.end(), index);
  return n;
}

Value integer(std::int32_t v) { return {SNMP_TYPE_INTEGER, static_cast<std::uint64_t>(v), {}}; }
Value text(std::size_t length, char fill) { return {SNMP_TYPE_OCTET_STR, 0, std::string(length, fill)}; }

constexpr std::uint32_t kAddress = 0x0100007f;  // 127.0.0.1 in network order

Mib printer(std::size_t length) {
  namespace oid = status::oid;
  Mib m;
  m[at(oid::kSysUpTime, {})] = {SNMP_TYPE_TIMETICKS, 123456, {}};
  m[at(oid::kSysContact, {})] = text(length, 'c');
  m[at(oid::kSysLocation, {})] = text(length, 'l');
  m[at(oid::kIpAdEntIfIndex, {127, 0, 0, 1})] = integer(1);
  m[at(oid::kIfPhysAddress, {1})] = {SNMP_TYPE_OCTET_STR, 0, "\x00\x1b\x2c\x3d\x4e\x5f"};
  m[at(oid::kHrDeviceStatus, {1})] = integer(2);
  m[at(oid::kHrPrinterStatus, {1})] = integer(3);
  m[at(oid::kHrPrinterErrorState, {1})] = {SNMP_TYPE_OCTET_STR, 0, std::string(2, '\0')};
  m[at(oid::kPrtSerial, {1})] = text(length, 's');
  m[at(oid::kPrtLifeCount, {1, 1})] = {SNMP_TYPE_COUNTER, 98765, {}};
  for (std::uint32_t i = 1; i <= status::kMaxDisplayLines; ++i)
    m[at(oid::kPrtConsoleText, {1, i})] = text(length, 'd');
  for (std::uint32_t i = 1; i <= status::kMaxSupplies; ++i) {
    for (std::uint32_t column : status::kSupplyColumns)
      m[at(oid::kPrtSuppliesEntry, {column, 1, i})] = column == 6 ? text(length, 'x') : integer(100);
    m[at(oid::kPrtColorantValue, {1, i})] = text(length, 'k');
    for (std::uint32_t column : status::kAlertColumns)
      m[at(oid::kPrtAlertEntry, {column, 1, i})] = column == 8 ? text(length, 'a') : integer(5);
  }
  return m;
}

snmp::Binding binding(const Oid &name, const Value *v, std::uint8_t exception) {
  snmp::Binding b;
  b.name = name;
  if (v == nullptr) {
    b.type = exception;
    return b;
  }
  b.type = v->type;
  b.number = v->number;
  b.value = {reinterpret_cast<const std::uint8_t *>(v->text.data()), v->text.size()};
  return b;
}

// The agent's reply to `q`, encoded into `out`: its length.
std::size_t reply(const Mib &mib, const status::Request &q, std::span<std::uint8_t> out) {
  static const std::uint8_t community[] = {'p', 'u', 'b', 'l', 'i', 'c'};
  std::vector<snmp::Binding> bindings;
  snmp::Outgoing m;
  m.version = SNMP_VERSION_2c;
  m.community = community;
  m.type = SNMP_MSG_RESPONSE;
  m.request_id = 1;
  auto next = [&mib](const Oid &after) { return mib.upper_bound(after); };
  if (q.command == status::Command::getbulk) {
    std::vector<const Oid *> cursor;
    for (const Oid &n : q.names) cursor.push_back(&n);
    // Rows while they fit, as agents fill a GETBULK answer.
    for (std::uint32_t row = 0; row < q.max_repetitions; ++row) {
      const std::size_t before = bindings.size();
      for (const Oid *&c : cursor) {
        auto it = next(*c);
        bindings.push_back(it == mib.end() ? binding(*c, nullptr, SNMP_ENDOFMIBVIEW)
                                           : binding(it->first, &it->second, 0));
        if (it != mib.end()) c = &it->first;
      }
      m.bindings = bindings;
      if (snmp::encode(m, out) == 0) {
        bindings.resize(before);
        break;
      }
    }
  } else {
    for (const Oid &n : q.names) {
      if (q.command == status::Command::get) {
        auto it = mib.find(n);
        bindings.push_back(it == mib.end() ? binding(n, nullptr, SNMP_NOSUCHINSTANCE)
                                           : binding(it->first, &it->second, 0));
      } else {
        auto it = next(n);
        bindings.push_back(it == mib.end() ? binding(n, nullptr, SNMP_ENDOFMIBVIEW)
                                           : binding(it->first, &it->second, 0));
      }
    }
  }
  m.bindings = bindings;
  std::size_t length = snmp::encode(m, out);
  if (length == 0) {
    m.error_status = 1;  // tooBig
    m.bindings = {};
    length = snmp::encode(m, out);
  }
  return length;
}

struct PduFree {
  void operator()(snmp_pdu *p) const noexcept { snmp_free_pdu(p); }
};

struct Figures {
  double heap = 0;
  double kept = 0;
  double replies = 0;
  double reply_octets = 0;
};

Figures read(const Mib &mib, bool hold_replies) {
  std::vector<std::uint8_t> datagram(SNMP_PACKET_SIZE);
  std::vector<std::unique_ptr<snmp_pdu, PduFree>> held;
  std::vector<status::Binding> views;
  Figures f;
  const double before = heap_bytes();
  status::Reader reader(kAddress, true);
  while (const status::Request *q = reader.request()) {
    const std::size_t n = reply(mib, *q, datagram);
    snmp::Message m;
    if (m.decode(std::span<const std::uint8_t>(datagram).first(n)) != snmp::CodecError::none) {
      reader.answer(SNMP_ERR_DECODE, nullptr);
      continue;
    }
    if (hold_replies) {
      held.emplace_back(_snmp_create_pdu(0));
      if (!held.back() || snmp::fill_pdu(m, held.back().get()) != snmp::CodecError::none) std::abort();
      for (const snmp_var *v = held.back()->variables; v != nullptr; v = v->next)
        views.push_back({{v->name, v->name_length}, v->type, {v->value, v->value_length}});
    }
    ++f.replies;
    f.reply_octets += static_cast<double>(n);
    reader.answer(SNMP_ERR_NONE, &m);
  }
  f.kept = static_cast<double>(reader.kept_bytes());
  f.heap = heap_bytes() - before - (hold_replies ? f.kept : 0);
  const status::Status s = reader.status();
  if (reader.result() != SNMP_ERR_NONE || s.supplies.size() != status::kMaxSupplies ||
      s.alerts.size() != status::kMaxAlerts || s.display.size() != status::kMaxDisplayLines)
    std::abort();  // the figures are only worth something for a whole read
  return f;
}

void report(benchmark::State &state, bool hold_replies) {
  const Mib mib = printer(static_cast<std::size_t>(state.range(0)));
  Figures f;
  for (auto _ : state) f = read(mib, hold_replies);
  state.counters["heap_bytes"] = f.heap;
  state.counters["kept_bytes"] = f.kept;
  state.counters["replies"] = f.replies;
  state.counters["reply_octets"] = f.reply_octets;
}

void BM_StatusReadKept(benchmark::State &state) { report(state, false); }
void BM_StatusReadWholeReplies(benchmark::State &state) { report(state, true); }

BENCHMARK(BM_StatusReadKept)->Arg(24)->Arg(static_cast<std::int64_t>(status::kMaxText))->Iterations(3);
BENCHMARK(BM_StatusReadWholeReplies)->Arg(24)->Arg(static_cast<std::int64_t>(status::kMaxText))->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
