// Reading one device: one GET for the scalars, GETNEXT walks of the tables (all columns
// of a table in step), then the decoder over everything gathered.
//
// Every table goes through read_table() alone, so that it can move to GETBULK by changing
// that one function; nothing else here knows how a table is walked.
#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/guard.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/snmpv3.h"
#include "kivo8/status.h"
#include "kivo8/udp_sess.h"
#include "status/model.h"
#include "status/record.h"

namespace kivo8::status {

namespace {

using Oid = std::vector<std::uint32_t>;

Oid copy(oid::Name name) { return {name.begin(), name.end()}; }

// The two kinds of session behind one face.
class Transport {
 public:
  virtual ~Transport() = default;
  virtual std::int32_t get(const snmp_oid *oids, snmp_pdu **out) = 0;
  virtual std::int32_t getnext(const snmp_oid *oids, snmp_pdu **out) = 0;
};

class CommunityTransport final : public Transport {
 public:
  explicit CommunityTransport(snmp_session *s) : session_(s) {}
  std::int32_t get(const snmp_oid *oids, snmp_pdu **out) override {
    return snmp_get(session_, oids, out);
  }
  std::int32_t getnext(const snmp_oid *oids, snmp_pdu **out) override {
    return snmp_getnext(session_, oids, out);
  }

 private:
  snmp_session *session_;
};

class UserTransport final : public Transport {
 public:
  explicit UserTransport(kivo_snmpv3_session *s) : session_(s) {}
  std::int32_t get(const snmp_oid *oids, snmp_pdu **out) override {
    return kivo_snmpv3_get(session_, oids, out);
  }
  std::int32_t getnext(const snmp_oid *oids, snmp_pdu **out) override {
    return kivo_snmpv3_getnext(session_, oids, out);
  }

 private:
  kivo_snmpv3_session *session_;
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

bool is_exception(const snmp_var *v) {
  return v->type == SNMP_NOSUCHOBJECT || v->type == SNMP_NOSUCHINSTANCE ||
         v->type == SNMP_ENDOFMIBVIEW;
}

bool inside(const snmp_var *v, const Oid &root) {
  return v->name != nullptr && v->name_length > root.size() &&
         std::equal(root.begin(), root.end(), v->name);
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
std::int32_t get_scalars(Transport &t, std::vector<Oid> names, Gathered &out,
                         bool first = false) {
  while (!names.empty()) {
    auto oids = oid_list(names);
    snmp_pdu *raw = nullptr;
    std::int32_t rc = t.get(oids.data(), &raw);
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

constexpr std::int32_t kTooBig = 1;

// One table walk, column by column in step.
class TableWalk {
 public:
  TableWalk(Transport &t, oid::Name entry, std::span<const std::uint32_t> columns,
            Gathered &out)
      : t_(t), out_(out) {
    if (columns.empty()) {
      roots_.emplace_back(entry.begin(), entry.end());
    } else {
      roots_.reserve(columns.size());
      for (std::uint32_t c : columns) {
        roots_.emplace_back(entry.begin(), entry.end());
        roots_.back().push_back(c);
      }
    }
    current_ = roots_;
    active_.resize(roots_.size());
    for (std::size_t i = 0; i < active_.size(); ++i) active_[i] = i;
  }

  std::int32_t run(std::size_t max_rows) {
    // Each noSuchName or too-big answer ends or narrows a request without giving a row.
    std::size_t requests_left = 2 * max_rows + roots_.size();
    std::size_t rows = 0;
    while (!active_.empty() && rows < max_rows && requests_left-- > 0) {
      std::vector<std::size_t> still;
      Outcome o = ask(active_, still);
      if (o.failed) return o.rc;
      if (o.no_such_name != 0) {
        active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(o.no_such_name - 1));
        continue;
      }
      if (o.too_big) {
        // One value (a description of thousands of characters, say) makes the row too big
        // for one reply: ask for the row a column at a time, and step over the columns
        // whose value alone is too big, so that the rows after it are still read.
        if (!row_by_column(still)) break;
      } else if (o.refused) {
        break;
      }
      active_ = std::move(still);
      ++rows;
    }
    return SNMP_ERR_NONE;
  }

 private:
  struct Outcome {
    bool failed = false;  // a transport failure: `rc`
    std::int32_t rc = SNMP_ERR_NONE;
    std::size_t no_such_name = 0;  // SNMPv1's end of a column: the position asked
    bool too_big = false;
    bool refused = false;  // any other error status or an undecodable reply
  };

  // One GETNEXT for the columns `asked`; the columns that gave a next value go to `still`.
  Outcome ask(const std::vector<std::size_t> &asked, std::vector<std::size_t> &still) {
    Outcome o;
    std::vector<Oid> names;
    names.reserve(asked.size());
    for (std::size_t k : asked) names.push_back(current_[k]);
    auto oids = oid_list(names);
    snmp_pdu *raw = nullptr;
    std::int32_t rc = t_.getnext(oids.data(), &raw);
    Pdu response(raw);
    if (rc == SNMP_ERR_NONE && !response) rc = SNMP_ERR_OTHER;
    if (rc != SNMP_ERR_NONE) {
      // A reply larger than the receive buffer arrives cut and does not decode.
      if (rc == SNMP_ERR_DECODE) {
        o.too_big = true;
      } else if (transport_failed(rc)) {
        o.failed = true;
        o.rc = rc;
      } else {
        o.refused = true;
      }
      return o;
    }
    if (response->errstat == kNoSuchName && response->errindex >= 1 &&
        response->errindex <= static_cast<std::int32_t>(asked.size())) {
      o.no_such_name = static_cast<std::size_t>(response->errindex);
      return o;
    }
    if (response->errstat == kTooBig) {
      o.too_big = true;
      return o;
    }
    if (response->errstat > 0) {
      o.refused = true;
      return o;
    }
    const snmp_var *v = response->variables;
    for (std::size_t k : asked) {
      if (v == nullptr) break;
      const Oid &at = current_[k];
      bool increases = v->name != nullptr &&
                       std::lexicographical_compare(at.begin(), at.end(), v->name,
                                                    v->name + v->name_length);
      if (!is_exception(v) && inside(v, roots_[k]) && increases) {
        out_.add(v);
        current_[k].assign(v->name, v->name + v->name_length);
        still.push_back(k);
      }
      v = v->next;
    }
    out_.keep(std::move(response));
    return o;
  }

  // The row asked a column at a time; false when no column gave its row (nothing tells
  // where the row after it starts).
  bool row_by_column(std::vector<std::size_t> &still) {
    std::vector<std::size_t> skipped;
    std::optional<Oid> row;  // the row's index, from a column that answered
    for (std::size_t k : active_) {
      std::vector<std::size_t> took;
      Outcome o = ask({k}, took);
      if (o.failed) return false;
      if (o.too_big) {
        skipped.push_back(k);
      } else if (!took.empty()) {
        still.push_back(k);
        row.emplace(current_[k].begin() + static_cast<std::ptrdiff_t>(roots_[k].size()),
                    current_[k].end());
      }
    }
    if (!row) return false;
    for (std::size_t k : skipped) {
      current_[k] = roots_[k];
      current_[k].insert(current_[k].end(), row->begin(), row->end());
      still.push_back(k);
    }
    // Bindings of a reply follow the order of the names asked: keep the columns in order.
    std::sort(still.begin(), still.end());
    return true;
  }

  Transport &t_;
  Gathered &out_;
  std::vector<Oid> roots_, current_;
  std::vector<std::size_t> active_;
};

// Walks the columns below `entry` (or the one column `entry` when `columns` is empty) in
// step, at most `max_rows` rows: each request asks, for every column not yet finished,
// the name after the last one it gave. A column ends when its next name leaves it or
// does not increase, at an exception value, or at an SNMPv1 noSuchName for it. This is
// the one place that knows how a table is read (GETNEXT now; GETBULK can take its place).
std::int32_t read_table(Transport &t, oid::Name entry, std::span<const std::uint32_t> columns,
                        std::size_t max_rows, Gathered &out) {
  TableWalk walk(t, entry, columns, out);
  return walk.run(max_rows);
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

std::int32_t read_device(Transport &t, in_addr address, kivo_status **status_ref) {
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
    kivo8::status::CommunityTransport t(session);
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
    kivo8::status::UserTransport t(session);
    return kivo8::status::read_device(t, *address, status_ref);
  });
}
