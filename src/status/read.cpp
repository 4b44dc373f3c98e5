// Reading one device: one GET for the scalars, walks of the tables (all columns of a table
// in step; GETBULK on SNMPv2c and SNMPv3, GETNEXT on SNMPv1) through the library's one
// walk engine, then the decoder over everything gathered.
//
// Every table goes through read_table() alone; nothing else here knows how a table is
// walked.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/guard.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/snmpv3.h"
#include "kivo8/status.h"
#include "kivo8/udp_sess.h"
#include "snmp/session_internal.h"
#include "snmp/walk.h"
#include "status/model.h"
#include "status/record.h"

namespace kivo8::status {

namespace {

using Oid = std::vector<std::uint32_t>;

Oid copy(oid::Name name) { return {name.begin(), name.end()}; }

// The session behind a read: its exchange, and whether to ask by GetBulkRequest (its
// version has it, and the device has not left one unanswered during this read).
struct Link {
  SnmpExchange exchange;
  bool bulk;
};

struct PduFree {
  void operator()(snmp_pdu *p) const noexcept { snmp_free_pdu(p); }
};
using Pdu = std::unique_ptr<snmp_pdu, PduFree>;

constexpr std::int32_t kNoSuchName = 2;

// The responses of a read, kept whole until the decoder has seen their bindings.
struct Gathered {
  std::vector<Pdu> responses;
  std::vector<Binding> bindings;

  void keep(Pdu response) { responses.push_back(std::move(response)); }
  void add(const snmp_var *v) {
    if (v->name == nullptr) return;
    std::span<const std::uint8_t> value;
    if (v->value != nullptr) value = {v->value, v->value_length};
    bindings.push_back({{v->name, v->name_length}, v->type, value});
  }
};

std::vector<snmp_oid> oid_list(std::vector<Oid> &names) {
  std::vector<snmp_oid> out;
  out.reserve(names.size() + 1);
  for (auto &n : names) out.push_back({n.data(), static_cast<std::uint32_t>(n.size())});
  out.push_back({nullptr, 0});
  return out;
}

// Transport failures end the whole read; a device's refusal (an error status, a reply
// that does not decode, such as one too big for our buffer) ends only what was asked.
bool transport_failed(std::int32_t rc) {
  return rc == SNMP_ERR_TIMEOUT || rc == SNMP_ERR_RECV || rc == SNMP_ERR_SEND ||
         rc == SNMP_ERR_NOMEM || rc == SNMP_ERR_NOCOMM || rc == SNMP_ERR_VERSION ||
         rc <= KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL;
}

// One GET of `names`. An SNMPv1 agent answers noSuchName for the whole request when it
// lacks one of them: that name is dropped and the rest asked again. For the `first`
// request of a read every failure counts: a device none of whose replies decode has not
// answered, and must not be reported as a printer with nothing to say.
std::int32_t get_scalars(const Link &t, std::vector<Oid> names, Gathered &out,
                         bool first = false) {
  while (!names.empty()) {
    auto oids = oid_list(names);
    Pdu request(_snmp_request_pdu(SNMP_MSG_GET, oids.data()));
    if (!request) return SNMP_ERR_NOMEM;
    snmp_pdu *raw = nullptr;
    std::int32_t rc = t.exchange.exchange(t.exchange.context, request.get(), &raw);
    Pdu response(raw);
    if (rc == SNMP_ERR_NONE && !response) rc = SNMP_ERR_OTHER;
    if (rc != SNMP_ERR_NONE) return first || transport_failed(rc) ? rc : SNMP_ERR_NONE;
    if (response->errstat == kNoSuchName && response->errindex >= 1 &&
        response->errindex <= static_cast<std::int32_t>(names.size())) {
      names.erase(names.begin() + (response->errindex - 1));
      continue;
    }
    if (response->errstat > 0) return SNMP_ERR_NONE;
    for (const snmp_var *v = response->variables; v != nullptr; v = v->next) out.add(v);
    out.keep(std::move(response));
    return SNMP_ERR_NONE;
  }
  return SNMP_ERR_NONE;
}

// Hands the bindings the walk took to the decoder's list, keeping their response.
std::int32_t keep_response(void *context, snmp_pdu *response) noexcept {
  Pdu owned(response);
  return guarded<std::int32_t>(SNMP_ERR_NOMEM, [&] {
    auto &out = *static_cast<Gathered *>(context);
    for (const snmp_var *v = owned->variables; v != nullptr; v = v->next) out.add(v);
    out.keep(std::move(owned));
    return 0;
  });
}

// One table walk, column by column in step.
class TableWalk {
 public:
  TableWalk(Link &t, oid::Name entry, std::span<const std::uint32_t> columns,
            std::size_t max_rows, Gathered &out)
      : t_(t), out_(out), walker_(t.exchange, rules(t, max_rows)) {
    if (columns.empty()) {
      walker_.add_root(entry.data(), static_cast<std::uint32_t>(entry.size()));
    } else {
      for (std::uint32_t c : columns) {
        Oid root = copy(entry);
        root.push_back(c);
        walker_.add_root(root.data(), static_cast<std::uint32_t>(root.size()));
      }
    }
  }

  std::int32_t run() {
    for (;;) {
      snmp::WalkResult r = walker_.run({keep_response, &out_});
      // A device that ignores GETBULK costs one time-out per read, not one per table.
      if (walker_.fell_back()) t_.bulk = false;
      if (r.end == snmp::WalkEnd::failed)
        return transport_failed(r.code) ? r.code : SNMP_ERR_NONE;
      // An answer too big even for one row: one value (a description of thousands of
      // characters, say) makes the row too big for one reply. Ask for the row a column at
      // a time, step over the columns whose value alone is too big, so that the rows
      // after it are still read. Each pass takes a row: the walk's row limit bounds it.
      if (r.end != snmp::WalkEnd::too_big || !row_by_column()) return SNMP_ERR_NONE;
    }
  }

 private:
  static snmp::WalkRules rules(const Link &t, std::size_t max_rows) {
    snmp::WalkRules r;
    r.bulk = t.bulk;
    r.roots_apart = true;
    r.max_rows = max_rows;
    r.next_after_silence = true;
    return r;
  }

  // The row asked a column at a time by GETNEXT; false when no column gave its row
  // (nothing tells where the row after it starts).
  bool row_by_column() {
    std::vector<std::size_t> still, skipped;
    std::optional<Oid> row;  // the row's index, from a column that answered
    snmp::WalkRules one_row;
    one_row.roots_apart = true;
    one_row.max_rows = 1;
    for (std::size_t k : walker_.active()) {
      snmp::SnmpWalker column(t_.exchange, one_row);
      auto root = walker_.root(k), at = walker_.current(k);
      column.add_root(root.data(), static_cast<std::uint32_t>(root.size()));
      column.move_to(0, at);
      snmp::WalkResult r = column.run({keep_response, &out_});
      if (r.end == snmp::WalkEnd::failed && transport_failed(r.code)) return false;
      if (r.end == snmp::WalkEnd::too_big) {
        skipped.push_back(k);
      } else if (!std::ranges::equal(column.current(0), at)) {
        walker_.move_to(k, column.current(0));
        still.push_back(k);
        auto name = column.current(0);
        row.emplace(name.begin() + static_cast<std::ptrdiff_t>(root.size()), name.end());
      }
    }
    if (!row) return false;
    for (std::size_t k : skipped) {
      Oid name = copy(walker_.root(k));
      name.insert(name.end(), row->begin(), row->end());
      walker_.move_to(k, name);
      still.push_back(k);
    }
    // Bindings of a reply follow the order of the names asked: keep the columns in order.
    std::sort(still.begin(), still.end());
    walker_.set_active(std::move(still));
    walker_.count_row();
    return true;
  }

  Link &t_;
  Gathered &out_;
  snmp::SnmpWalker walker_;
};

// Walks the columns below `entry` (or the one column `entry` when `columns` is empty) in
// step, at most `max_rows` rows: each request asks, for every column not yet finished,
// the name after the last one it gave. A column ends when its next name leaves it or
// does not increase, at an exception value, or at an SNMPv1 noSuchName for it. This is
// the one place that knows how a table is read: GETBULK where the version has it, with
// the library walk engine's halving of the rows asked for on tooBig.
std::int32_t read_table(Link &t, oid::Name entry, std::span<const std::uint32_t> columns,
                        std::size_t max_rows, Gathered &out) {
  TableWalk walk(t, entry, columns, max_rows, out);
  return walk.run();
}

// The value of an INTEGER binding below `root` with one more sub-identifier, by index.
std::vector<std::uint32_t> indexes_below(const Gathered &g, oid::Name root) {
  std::vector<std::uint32_t> out;
  for (const Binding &b : g.bindings) {
    if (b.name.size() == root.size() + 1 && std::equal(root.begin(), root.end(), b.name.begin()))
      out.push_back(b.name.back());
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::optional<std::int32_t> if_index_of(const Gathered &g, const Oid &name) {
  for (const Binding &b : g.bindings) {
    if (b.type == SNMP_TYPE_INTEGER && b.value.size() == 4 && std::ranges::equal(b.name, name)) {
      std::int32_t v = 0;
      std::memcpy(&v, b.value.data(), 4);
      return v;
    }
  }
  return std::nullopt;
}

std::int32_t read_device(Link &t, in_addr address, kivo_status **status_ref) {
  Gathered g;
  std::uint8_t a[4];
  std::memcpy(a, &address.s_addr, 4);
  Oid ip_entry = copy(oid::kIpAdEntIfIndex);
  ip_entry.insert(ip_entry.end(), {a[0], a[1], a[2], a[3]});
  Oid ip_address = copy(oid::kIpAddressIfIndex);
  ip_address.insert(ip_address.end(), {1, 4, a[0], a[1], a[2], a[3]});

  std::int32_t rc =
      get_scalars(t,
                  {copy(oid::kSysUpTime), copy(oid::kSysContact), copy(oid::kSysLocation),
                   ip_entry, ip_address},
                  g, true);
  if (rc != SNMP_ERR_NONE) return rc;
  auto ifindex = if_index_of(g, ip_entry);
  if (!ifindex || *ifindex <= 0) ifindex = if_index_of(g, ip_address);
  if (ifindex && *ifindex > 0) {
    Oid phys = copy(oid::kIfPhysAddress);
    phys.push_back(static_cast<std::uint32_t>(*ifindex));
    if ((rc = get_scalars(t, {phys}, g)) != SNMP_ERR_NONE) return rc;
  }

  rc = read_table(t, oid::kHrPrinterEntry, kPrinterColumns, kPrinterRows, g);
  if (rc != SNMP_ERR_NONE) return rc;
  std::vector<Oid> device_status;
  for (std::uint32_t device : indexes_below(g, oid::kHrPrinterStatus)) {
    device_status.push_back(copy(oid::kHrDeviceStatus));
    device_status.back().push_back(device);
  }
  if (!device_status.empty() && (rc = get_scalars(t, device_status, g)) != SNMP_ERR_NONE)
    return rc;

  for (const TablePlan &table : kTables) {
    if ((rc = read_table(t, table.entry, table.columns, table.rows, g)) != SNMP_ERR_NONE)
      return rc;
  }

  Status status = decode(g.bindings, address.s_addr);
  *status_ref = make_record(status);
  return *status_ref != nullptr ? SNMP_ERR_NONE : SNMP_ERR_NOMEM;
}

}  // namespace

}  // namespace kivo8::status

extern "C" KIVO8_API int32_t kivo_status_read(snmp_session *session,
                                              kivo_status **status_ref) noexcept {
  if (status_ref == nullptr) return SNMP_ERR_OTHER;
  *status_ref = nullptr;
  if (session == nullptr || session->udp == nullptr) return SNMP_ERR_OTHER;
  return kivo8::guarded<std::int32_t>(SNMP_ERR_NOMEM, [&] {
    kivo8::status::Link t{_snmp_exchange_of(session), session->version == SNMP_VERSION_2c};
    return kivo8::status::read_device(t, session->udp->address, status_ref);
  });
}

extern "C" KIVO8_API int32_t kivo_status_read_v3(kivo_snmpv3_session *session,
                                                 const struct in_addr *address,
                                                 kivo_status **status_ref) noexcept {
  if (status_ref == nullptr) return SNMP_ERR_OTHER;
  *status_ref = nullptr;
  if (session == nullptr || address == nullptr) return SNMP_ERR_OTHER;
  return kivo8::guarded<std::int32_t>(SNMP_ERR_NOMEM, [&] {
    kivo8::status::Link t{_snmpv3_exchange_of(session), true};
    return kivo8::status::read_device(t, *address, status_ref);
  });
}
