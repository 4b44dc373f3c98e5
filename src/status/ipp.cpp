// IPP's printer state and markers in the status model.
#include "status/ipp.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

#include "kivo8/status.h"

namespace kivo8::status {

namespace {

constexpr std::int32_t kPrinterIdle = 3, kPrinterPrinting = 4, kPrinterOther = 1;
constexpr std::int32_t kIppIdle = 3, kIppProcessing = 4, kIppStopped = 5;
constexpr std::int32_t kClassConsumed = 3, kClassReceptacle = 4;
constexpr std::int32_t kUnitPercent = 19;
constexpr std::int32_t kFirstType = 3, kLastType = 36;  // toner(3) .. matteInk(36)

struct ReasonBit {
  std::string_view reason;
  int bit;
};
// Only reasons whose meaning is the MIB's error: "media-needed" is a tray that ran out,
// as noPaper is; "marker-supply-*" is toner or ink alike, as the MIB's toner bits are
// used for either.
constexpr std::array<ReasonBit, 17> kReasonBits{{
    {"media-low", 0},
    {"media-empty", 1},
    {"media-needed", 1},
    {"toner-low", 2},
    {"marker-supply-low", 2},
    {"toner-empty", 3},
    {"marker-supply-empty", 3},
    {"door-open", 4},
    {"cover-open", 4},
    {"media-jam", 5},
    {"offline", 6},
    {"shutdown", 6},
    {"input-tray-missing", 8},
    {"output-tray-missing", 9},
    {"marker-supply-missing", 10},
    {"output-area-almost-full", 11},
    {"output-area-full", 12},
}};

std::string_view without_severity(std::string_view reason) noexcept {
  for (std::string_view suffix : {"-report", "-warning", "-error"})
    if (reason.size() > suffix.size() && reason.substr(reason.size() - suffix.size()) == suffix)
      return reason.substr(0, reason.size() - suffix.size());
  return reason;
}

// "waste-toner" and "wasteToner" name the same type: compared letter by letter, a hyphen
// on one side standing for the upper-case letter after it on the other.
bool same_type_name(std::string_view keyword, std::string_view mib) noexcept {
  std::size_t k = 0, m = 0;
  while (k < keyword.size() && m < mib.size()) {
    char c = keyword[k];
    if (c == '-') {
      if (++k == keyword.size()) return false;
      c = keyword[k];
      if (c < 'a' || c > 'z') return false;
      c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      return false;  // keywords are lower case
    }
    if (c != mib[m]) return false;
    ++k;
    ++m;
  }
  return k == keyword.size() && m == mib.size();
}

bool is_waste(std::int32_t type) noexcept {
  // wasteToner, wasteInk, wasteWax, wasteWater, wastePaper
  return type == 4 || type == 8 || type == 14 || type == 24 || type == 26;
}

template <typename T>
const T *at(const std::vector<T> &list, std::size_t i) {
  return i < list.size() ? &list[i] : nullptr;
}

}  // namespace

std::optional<int> error_bit_of_reason(std::string_view reason) noexcept {
  const std::string_view plain = without_severity(reason);
  for (const ReasonBit &r : kReasonBits)
    if (r.reason == plain) return r.bit;
  return std::nullopt;
}

std::optional<std::int32_t> supply_type_of_marker(std::string_view keyword) noexcept {
  for (std::int32_t t = kFirstType; t <= kLastType; ++t) {
    const char *name = kivo_status_type_name(t);
    if (name != nullptr && same_type_name(keyword, name)) return t;
  }
  return std::nullopt;
}

Status from_ipp(const IppMarkers &ipp) {
  Status out;
  if (ipp.state) {
    out.ipp_state = *ipp.state;
    if (*ipp.state == kIppIdle) out.printer_status = kPrinterIdle;
    else if (*ipp.state == kIppProcessing) out.printer_status = kPrinterPrinting;
    else if (*ipp.state == kIppStopped) out.printer_status = kPrinterOther;
    if (out.printer_status) out.status_from = Source::kIpp;
  }
  if (ipp.reasons) {
    std::uint32_t bits = 0;
    std::string other;
    for (const std::string &reason : *ipp.reasons) {
      if (reason.empty() || reason == "none") continue;
      if (auto bit = error_bit_of_reason(reason)) {
        bits |= 1u << *bit;
        continue;
      }
      if (other.size() + reason.size() + 1 > kMaxText) continue;
      if (!other.empty()) other += ',';
      other += reason;
    }
    out.errors = bits;
    out.errors_from = Source::kIpp;
    if (!other.empty()) out.ipp_reasons_other = std::move(other);
  }
  // One supply per marker: the lists run in step, and one a printer sent short leaves
  // that value out for the markers past its end.
  const std::size_t markers =
      std::max({ipp.names.size(), ipp.types.size(), ipp.colors.size(), ipp.levels.size()});
  for (std::size_t i = 0; i < markers && i < kMaxSupplies; ++i) {
    Supply s;
    s.index = static_cast<std::int32_t>(i + 1);
    if (const std::string *name = at(ipp.names, i)) s.description = *name;
    if (const std::string *type = at(ipp.types, i)) {
      s.type = supply_type_of_marker(*type);
      if (s.type) s.supply_class = is_waste(*s.type) ? kClassReceptacle : kClassConsumed;
    }
    if (const std::string *color = at(ipp.colors, i); color != nullptr && *color != "none")
      s.colorant = *color;
    if (const auto *level = at(ipp.levels, i); level != nullptr && *level) {
      s.level = **level;
      s.unit = kUnitPercent;  // marker-levels are percentages; below 0 they mean no amount
    }
    out.supplies.push_back(std::move(s));
  }
  out.supplies_truncated = markers > kMaxSupplies;
  if (!out.supplies.empty()) out.supplies_from = Source::kIpp;
  return out;
}

void fill_gaps(Status &snmp, const Status &ipp) {
  if (!snmp.printer_status && ipp.printer_status) {
    snmp.printer_status = ipp.printer_status;
    snmp.status_from = ipp.status_from;
  }
  if (!snmp.errors && ipp.errors) {
    snmp.errors = ipp.errors;
    snmp.errors_from = ipp.errors_from;
  }
  if (snmp.supplies.empty() && !ipp.supplies.empty()) {
    snmp.supplies = ipp.supplies;
    snmp.supplies_truncated = ipp.supplies_truncated;
    snmp.supplies_from = ipp.supplies_from;
  }
  // IPP's own words are kept whoever supplied the rest: they say more than a mapping can.
  if (!snmp.ipp_state) snmp.ipp_state = ipp.ipp_state;
  if (!snmp.ipp_reasons_other) snmp.ipp_reasons_other = ipp.ipp_reasons_other;
}

}  // namespace kivo8::status
