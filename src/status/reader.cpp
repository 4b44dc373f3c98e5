// A status read as a state machine: one GET for the scalars (and the MAC of the interface
// that holds the address asked), the printers' rows, their device status, then walks of
// the tables (GETBULK where the version has it), then the decoder over everything gathered.
#include "status/reader.h"

#include <algorithm>
#include <cstring>

#include "kivo8/snmpv3.h"

namespace kivo8::status {

namespace {

constexpr std::int32_t kTooBig = 1;
constexpr std::int32_t kNoSuchName = 2;

Oid copy(oid::Name name) { return {name.begin(), name.end()}; }

bool is_exception(const snmp::Binding &b) {
  return b.type == SNMP_NOSUCHOBJECT || b.type == SNMP_NOSUCHINSTANCE || b.type == SNMP_ENDOFMIBVIEW;
}

bool inside(const snmp::Binding &b, const Oid &root) {
  return b.name.size() > root.size() && std::equal(root.begin(), root.end(), b.name.begin());
}

bool increases(const snmp::Binding &b, const Oid &at) {
  return std::lexicographical_compare(at.begin(), at.end(), b.name.begin(), b.name.end());
}

}  // namespace

std::uint8_t *Kept::place(std::size_t size) {
  constexpr std::size_t kFirstBlock = 4096, kLargestBlock = 65536;
  used_ = (used_ + 3) & ~std::size_t{3};
  if (blocks_.empty() || size > block_size_ - std::min(used_, block_size_)) {
    const std::size_t next = blocks_.empty() ? kFirstBlock : std::min(2 * block_size_, kLargestBlock);
    block_size_ = std::max(next, size);
    blocks_.emplace_back(new std::uint8_t[block_size_]);
    held_ += block_size_;
    used_ = 0;
  }
  std::uint8_t *at = blocks_.back().get() + used_;
  used_ += size;
  return at;
}

void Kept::add(const snmp::Binding &b) {
  if (b.name.size() > kLongestNameRead) return;
  Entry e;
  e.type = b.type;
  const std::span<const std::uint32_t> name = b.name;
  std::uint32_t word = 0;
  std::span<const std::uint8_t> value;
  switch (b.type) {
    case SNMP_TYPE_INTEGER:
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
      word = b.unsigned32();
      value = {reinterpret_cast<const std::uint8_t *>(&word), sizeof word};
      break;
    case SNMP_TYPE_OCTET_STR:
      value = b.value.first(std::min(b.value.size(), octets_read(b.name)));
      break;
    default:
      break;
  }
  if (!name.empty()) {
    auto *arcs = reinterpret_cast<std::uint32_t *>(place(name.size_bytes()));
    std::copy(name.begin(), name.end(), arcs);
    e.name = arcs;
    e.name_size = static_cast<std::uint16_t>(name.size());
  }
  if (!value.empty()) {
    std::uint8_t *octets = place(value.size());
    std::copy(value.begin(), value.end(), octets);
    e.value = octets;
    e.value_size = static_cast<std::uint16_t>(value.size());
  }
  entries_.push_back(e);
}

Binding Kept::operator[](std::size_t i) const {
  const Entry &e = entries_[i];
  return {{e.name, e.name_size}, e.type, {e.value, e.value_size}};
}

std::vector<Binding> Kept::views() const {
  std::vector<Binding> out;
  out.reserve(entries_.size());
  for (std::size_t i = 0; i < entries_.size(); ++i) out.push_back((*this)[i]);
  return out;
}

std::size_t Kept::held_bytes() const {
  return held_ + entries_.capacity() * sizeof(Entry) +
         blocks_.capacity() * sizeof(decltype(blocks_)::value_type);
}

bool transport_failed(std::int32_t rc) noexcept {
  return rc == SNMP_ERR_TIMEOUT || rc == SNMP_ERR_RECV || rc == SNMP_ERR_SEND ||
         rc == SNMP_ERR_NOMEM || rc == SNMP_ERR_NOCOMM || rc == SNMP_ERR_VERSION ||
         rc <= KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL;
}

struct TableWalk::Outcome {
  bool failed = false;           // a transport failure: `rc`
  std::int32_t rc = SNMP_ERR_NONE;
  std::size_t no_such_name = 0;  // SNMPv1's end of a column: the position asked
  bool too_big = false;
  bool refused = false;          // any other error status or an undecodable reply
};

TableWalk::TableWalk(oid::Name entry, std::span<const std::uint32_t> columns,
                     std::size_t max_rows, bool bulk)
    : max_rows_(max_rows), bulk_(bulk) {
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
  // Each noSuchName or too-big answer ends or narrows a request without giving a row.
  requests_left_ = 2 * max_rows + roots_.size();
}

bool TableWalk::next(Request &out) {
  out.command = Command::getnext;
  out.names.clear();
  if (by_column_) {
    out.names.push_back(current_[active_[column_]]);
    return true;
  }
  if (ended_ || active_.empty() || rows_ >= max_rows_ || requests_left_ == 0) {
    ended_ = true;
    return false;
  }
  --requests_left_;
  out.names.reserve(active_.size());
  for (std::size_t k : active_) out.names.push_back(current_[k]);
  if (bulk_) {
    out.command = Command::getbulk;
    out.max_repetitions = static_cast<std::uint32_t>(
        std::min<std::size_t>(repetitions_, max_rows_ - rows_));
  }
  return true;
}

// The answer to a GetBulkRequest: its bindings come row after row, one per column asked
// in each row. A column that ends in one row is not read in the rows after it.
std::int32_t TableWalk::answer_bulk(std::int32_t rc, const snmp::Message *response, Kept &kept) {
  if (rc == SNMP_ERR_NONE && response == nullptr) rc = SNMP_ERR_OTHER;
  if (rc == SNMP_ERR_TIMEOUT && !bulk_answered_) {
    bulk_ = false;
    fell_back_ = true;
    ++requests_left_;  // the same names are asked again, by GETNEXT
    return SNMP_ERR_NONE;
  }
  const bool too_big = rc == SNMP_ERR_DECODE || (rc == SNMP_ERR_NONE && response->error_status == kTooBig);
  if (too_big) {
    if (rc == SNMP_ERR_NONE) bulk_answered_ = true;
    ++requests_left_;
    if (repetitions_ > 1) {
      repetitions_ /= 2;
    } else {
      // One row is too big: ask it a column at a time, as a GETNEXT walk does.
      by_column_ = true;
      column_ = 0;
      skipped_.clear();
      still_.clear();
      row_.reset();
    }
    return SNMP_ERR_NONE;
  }
  if (rc != SNMP_ERR_NONE) {
    if (transport_failed(rc)) {
      ended_ = true;
      return rc;
    }
    ended_ = true;  // refused: the table ends, the read goes on
    return SNMP_ERR_NONE;
  }
  bulk_answered_ = true;
  if (response->error_status > 0) {
    ended_ = true;
    return SNMP_ERR_NONE;
  }
  const std::vector<std::size_t> asked = active_;
  std::vector<bool> open(asked.size(), true);
  const std::span<const snmp::Binding> bindings = response->bindings();
  std::size_t at = 0;
  while (at < bindings.size() && rows_ < max_rows_) {
    bool advanced = false;
    for (std::size_t i = 0; i < asked.size() && at < bindings.size(); ++i, ++at) {
      if (!open[i]) continue;
      const std::size_t k = asked[i];
      const snmp::Binding &v = bindings[at];
      if (!is_exception(v) && inside(v, roots_[k]) && increases(v, current_[k])) {
        kept.add(v);
        current_[k].assign(v.name.begin(), v.name.end());
        advanced = true;
      } else {
        open[i] = false;
      }
    }
    if (!advanced) break;
    ++rows_;
  }
  active_.clear();
  for (std::size_t i = 0; i < asked.size(); ++i)
    if (open[i]) active_.push_back(asked[i]);
  // An answer that gave no row at all while columns stay open would be asked again and
  // again: it ends the table.
  if (at == 0 && !active_.empty()) ended_ = true;
  return SNMP_ERR_NONE;
}

TableWalk::Outcome TableWalk::judge(std::int32_t rc, const snmp::Message *response,
                                    std::span<const std::size_t> asked,
                                    std::vector<std::size_t> &still, Kept &kept) {
  Outcome o;
  if (rc == SNMP_ERR_NONE && response == nullptr) rc = SNMP_ERR_OTHER;
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
  if (response->error_status == kNoSuchName && response->error_index >= 1 &&
      response->error_index <= static_cast<std::int32_t>(asked.size())) {
    o.no_such_name = static_cast<std::size_t>(response->error_index);
    return o;
  }
  if (response->error_status == kTooBig) {
    o.too_big = true;
    return o;
  }
  if (response->error_status > 0) {
    o.refused = true;
    return o;
  }
  const std::span<const snmp::Binding> bindings = response->bindings();
  for (std::size_t i = 0; i < asked.size() && i < bindings.size(); ++i) {
    const std::size_t k = asked[i];
    const snmp::Binding &v = bindings[i];
    if (!is_exception(v) && inside(v, roots_[k]) && increases(v, current_[k])) {
      kept.add(v);
      current_[k].assign(v.name.begin(), v.name.end());
      still.push_back(k);
    }
  }
  return o;
}

std::int32_t TableWalk::answer(std::int32_t rc, const snmp::Message *response, Kept &kept) {
  if (by_column_) {
    const std::size_t k = active_[column_];
    std::vector<std::size_t> took;
    Outcome o = judge(rc, response, std::span(&k, 1), took, kept);
    if (o.failed) {
      ended_ = true;
      by_column_ = false;
      return o.rc;
    }
    if (o.too_big) {
      skipped_.push_back(k);
    } else if (!took.empty()) {
      still_.push_back(k);
      row_.emplace(current_[k].begin() + static_cast<std::ptrdiff_t>(roots_[k].size()),
                   current_[k].end());
    }
    if (++column_ == active_.size()) end_row_by_column();
    return SNMP_ERR_NONE;
  }
  if (bulk_) return answer_bulk(rc, response, kept);
  std::vector<std::size_t> still;
  Outcome o = judge(rc, response, active_, still, kept);
  if (o.failed) {
    ended_ = true;
    return o.rc;
  }
  if (o.no_such_name != 0) {
    active_.erase(active_.begin() + static_cast<std::ptrdiff_t>(o.no_such_name - 1));
    return SNMP_ERR_NONE;
  }
  if (o.too_big) {
    // One value (a description of thousands of characters, say) makes the row too big
    // for one reply: ask for the row a column at a time, and step over the columns whose
    // value alone is too big, so that the rows after it are still read.
    by_column_ = true;
    column_ = 0;
    skipped_.clear();
    still_.clear();
    row_.reset();
    return SNMP_ERR_NONE;
  }
  if (o.refused) {
    ended_ = true;
    return SNMP_ERR_NONE;
  }
  active_ = std::move(still);
  ++rows_;
  return SNMP_ERR_NONE;
}

void TableWalk::end_row_by_column() {
  by_column_ = false;
  // No column gave its row: nothing tells where the row after it starts.
  if (!row_) {
    ended_ = true;
    return;
  }
  for (std::size_t k : skipped_) {
    current_[k] = roots_[k];
    current_[k].insert(current_[k].end(), row_->begin(), row_->end());
    still_.push_back(k);
  }
  // Bindings of a reply follow the order of the names asked: keep the columns in order.
  std::sort(still_.begin(), still_.end());
  active_ = std::move(still_);
  still_.clear();
  ++rows_;
}

Reader::Reader(std::uint32_t address, bool bulk) : address_(address), bulk_(bulk) {
  std::uint8_t a[4];
  std::memcpy(a, &address, 4);
  ip_entry_ = copy(oid::kIpAdEntIfIndex);
  ip_entry_.insert(ip_entry_.end(), {a[0], a[1], a[2], a[3]});
  ip_address_ = copy(oid::kIpAddressIfIndex);
  ip_address_.insert(ip_address_.end(), {1, 4, a[0], a[1], a[2], a[3]});
  settle();
}

void Reader::end(std::int32_t rc) {
  finished_ = true;
  result_ = rc;
  stage_ = Stage::done;
}

void Reader::open_get() {
  stage_open_ = true;
  one_by_one_ = false;
  get_answered_ = false;
}

void Reader::ask_get() {
  request_ = {Command::get, one_by_one_ ? std::vector<Oid>{scalars_.front()} : scalars_, 0};
}

// A GET's answer holds one binding per name asked: an agent that sends more does not get
// them kept (nor, through hrPrinterStatus names, asked for in the next stage).
void Reader::keep(const snmp::Message &response) {
  const auto bindings = response.bindings();
  for (const snmp::Binding &b : bindings.first(std::min(bindings.size(), request_.names.size())))
    bindings_.add(b);
}

std::optional<std::int32_t> Reader::if_index(const Oid &name) const {
  for (std::size_t i = 0; i < bindings_.size(); ++i) {
    const Binding b = bindings_[i];
    if (b.type == SNMP_TYPE_INTEGER && b.value.size() == 4 && std::ranges::equal(b.name, name)) {
      std::int32_t v = 0;
      std::memcpy(&v, b.value.data(), 4);
      return v;
    }
  }
  return std::nullopt;
}

std::vector<std::uint32_t> Reader::printer_devices() const {
  const oid::Name root = oid::kHrPrinterStatus;
  std::vector<std::uint32_t> out;
  for (std::size_t i = 0; i < bindings_.size(); ++i) {
    const Binding b = bindings_[i];
    if (b.name.size() == root.size() + 1 && std::equal(root.begin(), root.end(), b.name.begin()))
      out.push_back(b.name.back());
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// Moves to the next request: the open stage's, else the first of the stages after it
// that has one to ask.
void Reader::settle() {
  while (!finished_) {
    switch (stage_) {
      case Stage::scalars:
        if (!stage_open_) {
          scalars_ = {copy(oid::kSysUpTime), copy(oid::kSysContact), copy(oid::kSysLocation),
                      ip_entry_, ip_address_};
          open_get();
        }
        if (!scalars_.empty()) {
          ask_get();
          return;
        }
        stage_ = Stage::phys;
        stage_open_ = false;
        break;
      case Stage::phys:
        if (!stage_open_) {
          scalars_.clear();
          auto ifindex = if_index(ip_entry_);
          if (!ifindex || *ifindex <= 0) ifindex = if_index(ip_address_);
          if (ifindex && *ifindex > 0) {
            scalars_.push_back(copy(oid::kIfPhysAddress));
            scalars_.back().push_back(static_cast<std::uint32_t>(*ifindex));
          }
          open_get();
        }
        if (!scalars_.empty()) {
          ask_get();
          return;
        }
        stage_ = Stage::printers;
        stage_open_ = false;
        break;
      case Stage::printers:
        if (!stage_open_) {
          walk_.emplace(oid::kHrPrinterEntry, kPrinterColumns, kPrinterRows, bulk_);
          stage_open_ = true;
        }
        if (walk_->next(request_)) return;
        stage_ = Stage::device_status;
        stage_open_ = false;
        break;
      case Stage::device_status:
        if (!stage_open_) {
          scalars_.clear();
          for (std::uint32_t device : printer_devices()) {
            scalars_.push_back(copy(oid::kHrDeviceStatus));
            scalars_.back().push_back(device);
          }
          open_get();
        }
        if (!scalars_.empty()) {
          ask_get();
          return;
        }
        stage_ = Stage::tables;
        stage_open_ = false;
        table_ = 0;
        break;
      case Stage::tables:
        if (table_ >= std::size(kTables)) {
          stage_ = Stage::done;
          break;
        }
        if (!stage_open_) {
          const TablePlan &t = kTables[table_];
          walk_.emplace(t.entry, t.columns, t.rows, bulk_);
          stage_open_ = true;
        }
        if (walk_->next(request_)) return;
        ++table_;
        stage_open_ = false;
        break;
      case Stage::done:
        finished_ = true;
        return;
    }
  }
}

void Reader::answer(std::int32_t rc, const snmp::Message *response) {
  if (finished_) return;
  if (rc == SNMP_ERR_NONE && response == nullptr) rc = SNMP_ERR_OTHER;
  if (stage_ == Stage::printers || stage_ == Stage::tables) {
    std::int32_t ended = walk_->answer(rc, response, bindings_);
    // A device that left a GETBULK unanswered is asked by GETNEXT for the rest of the read.
    if (walk_->fell_back()) bulk_ = false;
    if (ended != SNMP_ERR_NONE) return end(ended);
  } else {
    // A GET. An SNMPv1 agent answers noSuchName for the whole request when it lacks one
    // of the names: that name is dropped and the rest asked again. For the first request
    // of a read every failure counts: a device none of whose replies decode has not
    // answered, and must not be reported as a printer with nothing to say.
    const bool first = stage_ == Stage::scalars;
    const bool too_big = rc == SNMP_ERR_DECODE || (rc == SNMP_ERR_NONE && response->error_status == kTooBig);
    if (too_big && !one_by_one_ && scalars_.size() > 1) {
      // One value too big for a reply (a location of thousands of characters, say) must
      // not take the others asked with it along: the names are asked again one at a
      // time, and a name whose value alone is too big is stepped over.
      one_by_one_ = true;
    } else if (one_by_one_) {
      if (rc != SNMP_ERR_NONE && transport_failed(rc)) return end(rc);
      if (rc == SNMP_ERR_NONE) {
        get_answered_ = true;
        if (response->error_status <= 0) keep(*response);
      }
      scalars_.erase(scalars_.begin());
      if (scalars_.empty() && first && !get_answered_) return end(rc);
    } else if (rc != SNMP_ERR_NONE) {
      if (first || transport_failed(rc)) return end(rc);
      scalars_.clear();
    } else if (response->error_status == kNoSuchName && response->error_index >= 1 &&
               response->error_index <= static_cast<std::int32_t>(scalars_.size())) {
      scalars_.erase(scalars_.begin() + (response->error_index - 1));
    } else {
      if (response->error_status <= 0) keep(*response);
      scalars_.clear();
    }
  }
  settle();
}

Status Reader::status() const { return decode(bindings_.views(), address_); }

}  // namespace kivo8::status
