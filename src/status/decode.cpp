// From the bindings of the status walks to the status record.
//
// Rows are gathered by their index (hrDeviceIndex and the row's own index), so bindings
// may come in any order, columns may be missing from some rows and indexes may have gaps.
// The printer is the lowest hrDeviceIndex with an hrPrinterTable row; its state, serial
// number, page counter and console lines are the ones reported.
#include <algorithm>
#include <cstring>
#include <map>
#include <type_traits>
#include <utility>

#include "status/model.h"

namespace kivo8::status {

namespace {

constexpr std::uint8_t kInteger = 0x02;
constexpr std::uint8_t kOctetString = 0x04;
constexpr std::uint8_t kCounter = 0x41;
constexpr std::uint8_t kGauge = 0x42;
constexpr std::uint8_t kTimeTicks = 0x43;
constexpr std::size_t kMaxMacOctets = 20;
constexpr std::size_t kErrorOctets = 2;  // the octets error_bits() reads
constexpr std::int32_t kUnitPercent = 19;
constexpr std::int32_t kClassReceptacle = 4;

// The sub-identifiers after `prefix`, or nothing when the name does not start with it.
std::optional<std::span<const std::uint32_t>> below(std::span<const std::uint32_t> name,
                                                     oid::Name prefix) {
  if (name.size() < prefix.size() || !std::equal(prefix.begin(), prefix.end(), name.begin()))
    return std::nullopt;
  return name.subspan(prefix.size());
}

std::optional<std::int32_t> as_int(const Binding &b) {
  if (b.type != kInteger || b.value.size() != sizeof(std::int32_t)) return std::nullopt;
  std::int32_t v = 0;
  std::memcpy(&v, b.value.data(), sizeof v);
  return v;
}

// A counter; an INTEGER that is not negative counts too, as some devices send one.
std::optional<std::uint32_t> as_unsigned(const Binding &b) {
  if (b.value.size() != sizeof(std::uint32_t)) return std::nullopt;
  if (b.type == kCounter || b.type == kGauge || b.type == kTimeTicks) {
    std::uint32_t v = 0;
    std::memcpy(&v, b.value.data(), sizeof v);
    return v;
  }
  auto i = as_int(b);
  if (i && *i >= 0) return static_cast<std::uint32_t>(*i);
  return std::nullopt;
}

std::optional<std::string> as_text(const Binding &b) {
  if (b.type != kOctetString) return std::nullopt;
  auto bytes = b.value.first(std::min(b.value.size(), kMaxText));
  return std::string(reinterpret_cast<const char *>(bytes.data()), bytes.size());
}

std::optional<std::int32_t> as_index(std::uint32_t sub) {
  if (sub > static_cast<std::uint32_t>(INT32_MAX)) return std::nullopt;
  return static_cast<std::int32_t>(sub);
}

using RowKey = std::pair<std::uint32_t, std::uint32_t>;  // hrDeviceIndex, row index

// The row for `key`, made when there is room for one more; null when the table is full.
template <typename Row>
Row *row_for(std::map<RowKey, Row> &rows, const RowKey &key, std::size_t cap, bool &truncated) {
  auto it = rows.find(key);
  if (it != rows.end()) return &it->second;
  if (rows.size() >= cap) {
    truncated = true;
    return nullptr;
  }
  return &rows[key];
}

std::string mac_text(const std::string &octets) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  std::size_t n = std::min(octets.size(), kMaxMacOctets);
  for (std::size_t i = 0; i < n; ++i) {
    auto o = static_cast<unsigned char>(octets[i]);
    if (i != 0) out += ':';
    out += digits[o >> 4];
    out += digits[o & 0x0f];
  }
  return out;
}

// The value for device `device` when there is one, else the first by key.
template <typename K, typename V>
const V *pick(const std::map<K, V> &values, std::optional<std::uint32_t> device) {
  if (values.empty()) return nullptr;
  if (device) {
    for (const auto &[key, value] : values) {
      if constexpr (std::is_same_v<K, RowKey>) {
        if (key.first == *device) return &value;
      } else {
        if (key == *device) return &value;
      }
    }
  }
  return &values.begin()->second;
}

struct Gathered {
  std::map<std::uint32_t, std::int32_t> device_status, printer_status;
  std::map<std::uint32_t, std::uint32_t> errors;
  std::map<std::uint32_t, std::string> serial;
  std::map<RowKey, std::uint32_t> life_count;
  std::map<RowKey, Supply> supplies;
  bool supplies_truncated = false;
  std::map<RowKey, std::string> colorants;
  bool colorants_truncated = false;
  std::map<RowKey, Alert> alerts;
  bool alerts_truncated = false;
  std::map<RowKey, std::string> display;
  bool display_truncated = false;
  std::map<std::uint32_t, std::string> phys_address;
  std::optional<std::uint32_t> answering_if;
};

void take_supply(Gathered &g, std::span<const std::uint32_t> rest, const Binding &b) {
  if (rest.size() != 3) return;
  auto index = as_index(rest[2]);
  if (!index) return;
  Supply *s = row_for(g.supplies, {rest[1], rest[2]}, kMaxSupplies, g.supplies_truncated);
  if (s == nullptr) return;
  s->device = rest[1];
  s->index = *index;
  switch (rest[0]) {
    case 3: s->colorant_index = as_int(b); break;
    case 4: s->supply_class = as_int(b); break;
    case 5: s->type = as_int(b); break;
    case 6: s->description = as_text(b); break;
    case 7: s->unit = as_int(b); break;
    case 8: s->max_capacity = as_int(b); break;
    case 9: s->level = as_int(b); break;
    default: break;
  }
}

void take_alert(Gathered &g, std::span<const std::uint32_t> rest, const Binding &b) {
  if (rest.size() != 3) return;
  auto index = as_index(rest[2]);
  if (!index) return;
  Alert *a = row_for(g.alerts, {rest[1], rest[2]}, kMaxAlerts, g.alerts_truncated);
  if (a == nullptr) return;
  a->device = rest[1];
  a->index = *index;
  switch (rest[0]) {
    case 2: a->severity = as_int(b); break;
    case 3: a->training_level = as_int(b); break;
    case 4: a->group = as_int(b); break;
    case 5: a->group_index = as_int(b); break;
    case 6: a->location = as_int(b); break;
    case 7: a->code = as_int(b); break;
    case 8: a->description = as_text(b); break;
    default: break;
  }
}

void take(Gathered &g, const Binding &b, const std::uint8_t (&address)[4], Status &out) {
  auto name = b.name;
  if (auto rest = below(name, oid::kPrtSuppliesEntry)) return take_supply(g, *rest, b);
  if (auto rest = below(name, oid::kPrtAlertEntry)) return take_alert(g, *rest, b);
  if (auto rest = below(name, oid::kPrtColorantValue); rest && rest->size() == 2) {
    auto text = as_text(b);
    if (!text) return;
    std::string *slot =
        row_for(g.colorants, {(*rest)[0], (*rest)[1]}, kMaxColorants, g.colorants_truncated);
    if (slot != nullptr) *slot = std::move(*text);
    return;
  }
  if (auto rest = below(name, oid::kPrtConsoleText); rest && rest->size() == 2) {
    auto text = as_text(b);
    if (!text) return;
    std::string *slot =
        row_for(g.display, {(*rest)[0], (*rest)[1]}, kMaxDisplayLines, g.display_truncated);
    if (slot != nullptr) *slot = std::move(*text);
    return;
  }
  if (auto rest = below(name, oid::kPrtLifeCount); rest && rest->size() == 2) {
    auto v = as_unsigned(b);
    if (v && g.life_count.size() < kMaxSupplies) g.life_count[{(*rest)[0], (*rest)[1]}] = *v;
    return;
  }
  if (auto rest = below(name, oid::kPrtSerial); rest && rest->size() == 1) {
    auto text = as_text(b);
    if (text && g.serial.size() < kMaxSupplies) g.serial[(*rest)[0]] = std::move(*text);
    return;
  }
  if (auto rest = below(name, oid::kHrPrinterStatus); rest && rest->size() == 1) {
    auto v = as_int(b);
    if (v && g.printer_status.size() < kMaxSupplies) g.printer_status[(*rest)[0]] = *v;
    return;
  }
  if (auto rest = below(name, oid::kHrPrinterErrorState); rest && rest->size() == 1) {
    if (b.type == kOctetString && g.errors.size() < kMaxSupplies)
      g.errors[(*rest)[0]] = error_bits(b.value);
    return;
  }
  if (auto rest = below(name, oid::kHrDeviceStatus); rest && rest->size() == 1) {
    auto v = as_int(b);
    if (v && g.device_status.size() < kMaxSupplies) g.device_status[(*rest)[0]] = *v;
    return;
  }
  auto rest_ip = below(name, oid::kIpAdEntIfIndex);
  if (!rest_ip) {
    // The newer table's index starts with the address type ipv4(1) and its length 4.
    rest_ip = below(name, oid::kIpAddressIfIndex);
    if (rest_ip && rest_ip->size() == 6 && (*rest_ip)[0] == 1 && (*rest_ip)[1] == 4)
      rest_ip = rest_ip->subspan(2);
  }
  if (rest_ip) {
    bool ours = rest_ip->size() == 4 &&
                std::equal(rest_ip->begin(), rest_ip->end(), std::begin(address),
                           [](std::uint32_t sub, std::uint8_t octet) { return sub == octet; });
    auto v = as_int(b);
    if (ours && v && *v > 0 && !g.answering_if) g.answering_if = static_cast<std::uint32_t>(*v);
    return;
  }
  if (auto rest = below(name, oid::kIfPhysAddress); rest && rest->size() == 1) {
    auto text = as_text(b);
    if (text && !text->empty() && g.phys_address.size() < kMaxSupplies)
      g.phys_address[(*rest)[0]] = std::move(*text);
    return;
  }
  std::span<const std::uint32_t> n = name;
  if (std::ranges::equal(n, oid::kSysUpTime)) {
    if (b.type == kTimeTicks) out.uptime_ticks = as_unsigned(b);
  } else if (std::ranges::equal(n, oid::kSysContact)) {
    out.contact = as_text(b);
  } else if (std::ranges::equal(n, oid::kSysLocation)) {
    out.location = as_text(b);
  }
}

}  // namespace

std::optional<std::int32_t> Supply::percent() const {
  if (!level || *level < 0) return std::nullopt;
  if (unit == kUnitPercent) {
    if (*level <= 100) return *level;
    return std::nullopt;
  }
  if (!max_capacity || *max_capacity <= 0 || *level > *max_capacity) return std::nullopt;
  // Nearest whole percent, in 64 bits so that no level can overflow.
  std::int64_t l = *level, m = *max_capacity;
  return static_cast<std::int32_t>((l * 200 + m) / (2 * m));
}

bool Supply::is_receptacle() const { return supply_class == kClassReceptacle; }

std::uint32_t error_bits(std::span<const std::uint8_t> octets) noexcept {
  std::uint32_t bits = 0;
  // Bit 15 is not defined by the MIB; devices that set it get no name for it.
  constexpr int kDefinedBits = 15;
  static_assert(kDefinedBits <= 8 * kErrorOctets);
  for (int bit = 0; bit < kDefinedBits; ++bit) {
    std::size_t octet = static_cast<std::size_t>(bit / 8);
    if (octet >= octets.size()) break;
    if ((octets[octet] & (0x80u >> (bit % 8))) != 0) bits |= 1u << bit;
  }
  return bits;
}

std::size_t octets_read(std::span<const std::uint32_t> name) noexcept {
  // A bound, taken by prefix alone: take() may read less of a name (a wrong index length),
  // never more.
  if (auto rest = below(name, oid::kPrtSuppliesEntry)) return !rest->empty() && (*rest)[0] == 6 ? kMaxText : 0;
  if (auto rest = below(name, oid::kPrtAlertEntry)) return !rest->empty() && (*rest)[0] == 8 ? kMaxText : 0;
  if (below(name, oid::kPrtColorantValue) || below(name, oid::kPrtConsoleText) || below(name, oid::kPrtSerial) ||
      std::ranges::equal(name, oid::kSysContact) || std::ranges::equal(name, oid::kSysLocation))
    return kMaxText;
  if (below(name, oid::kHrPrinterErrorState)) return kErrorOctets;
  if (below(name, oid::kIfPhysAddress)) return kMaxMacOctets;
  return 0;
}

Status decode(std::span<const Binding> bindings, std::uint32_t address) {
  Status out;
  Gathered g;
  std::uint8_t octets[4];
  std::memcpy(octets, &address, sizeof octets);
  for (const Binding &b : bindings) take(g, b, octets, out);

  std::optional<std::uint32_t> printer;
  if (!g.printer_status.empty()) printer = g.printer_status.begin()->first;
  if (!g.errors.empty() && (!printer || g.errors.begin()->first < *printer))
    printer = g.errors.begin()->first;
  if (printer) {
    if (auto it = g.printer_status.find(*printer); it != g.printer_status.end())
      out.printer_status = it->second;
    if (auto it = g.errors.find(*printer); it != g.errors.end()) out.errors = it->second;
    // Other devices of the host (its network card, its disk) have statuses of their own:
    // only the printer's is the printer's.
    if (auto it = g.device_status.find(*printer); it != g.device_status.end())
      out.device_status = it->second;
  }
  if (const auto *serial = pick(g.serial, printer)) out.serial = *serial;
  if (const auto *count = pick(g.life_count, printer)) out.page_count = *count;
  for (const auto &[key, line] : g.display) {
    if (!printer || key.first == *printer) out.display.push_back(line);
  }
  if (g.answering_if) {
    if (auto it = g.phys_address.find(*g.answering_if); it != g.phys_address.end())
      out.mac = mac_text(it->second);
  }

  for (auto &[key, supply] : g.supplies) {
    if (supply.colorant_index && *supply.colorant_index > 0) {
      auto c = g.colorants.find({key.first, static_cast<std::uint32_t>(*supply.colorant_index)});
      if (c != g.colorants.end()) supply.colorant = c->second;
    }
    out.supplies.push_back(std::move(supply));
  }
  out.supplies_truncated = g.supplies_truncated;
  for (auto &[key, alert] : g.alerts) out.alerts.push_back(std::move(alert));
  out.alerts_truncated = g.alerts_truncated;
  if (out.printer_status) out.status_from = Source::kSnmp;
  if (out.errors) out.errors_from = Source::kSnmp;
  if (!out.supplies.empty()) out.supplies_from = Source::kSnmp;
  return out;
}

}  // namespace kivo8::status
