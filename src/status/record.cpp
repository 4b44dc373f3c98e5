// The C record at the exported edge: every array and text in it comes from the library's
// allocation module, so that a test can fail any one of them and see nothing leak.
#include <algorithm>
#include <cstring>
#include <memory>

#include "core/alloc.h"
#include "status/record.h"

namespace kivo8::status {

namespace {

void free_text(kivo_status_text &t) noexcept {
  mem_free(t.data);
  t.data = nullptr;
  t.length = 0;
}

// Copies a text the device gave; an absent text stays null. False when memory ran out.
bool copy_text(const std::optional<std::string> &from, kivo_status_text &to) noexcept {
  if (!from) return true;
  to.data = static_cast<char *>(mem_alloc(from->size() + 1));
  if (to.data == nullptr) return false;
  if (!from->empty()) std::memcpy(to.data, from->data(), from->size());
  to.data[from->size()] = '\0';
  to.length = static_cast<std::uint32_t>(from->size());
  return true;
}

std::int32_t or_absent(const std::optional<std::int32_t> &v) noexcept {
  return v ? *v : KIVO_STATUS_ABSENT;
}

template <typename T>
T *new_array(std::size_t count) noexcept {
  if (count == 0) return nullptr;
  return static_cast<T *>(mem_calloc(count, sizeof(T)));
}

struct RecordFree {
  void operator()(kivo_status *s) const noexcept { kivo_status_free(s); }
};

std::int32_t source_code(Source s) noexcept {
  return s == Source::kSnmp  ? KIVO_STATUS_SOURCE_SNMP
         : s == Source::kIpp ? KIVO_STATUS_SOURCE_IPP
                             : KIVO_STATUS_SOURCE_NONE;
}

bool fill(const Status &from, kivo_status &to) noexcept {
  to.printer_status = or_absent(from.printer_status);
  to.printer_status_source = source_code(from.status_from);
  to.errors_source = source_code(from.errors_from);
  to.supplies_source = source_code(from.supplies_from);
  to.ipp_state = or_absent(from.ipp_state);
  if (!copy_text(from.ipp_reasons_other, to.ipp_reasons)) return false;
  to.device_status = or_absent(from.device_status);
  to.errors_given = from.errors ? 1 : 0;
  to.errors = from.errors.value_or(0);
  to.page_count = from.page_count ? static_cast<std::int64_t>(*from.page_count) : -1;
  to.uptime_ticks = from.uptime_ticks ? static_cast<std::int64_t>(*from.uptime_ticks) : -1;
  if (from.mac) {
    // The decoder makes at most 20 octets of text (59 characters): it always fits.
    std::size_t n = std::min(from.mac->size(), sizeof to.mac - 1);
    std::memcpy(to.mac, from.mac->data(), n);
    to.mac[n] = '\0';
  }
  if (!copy_text(from.serial, to.serial) || !copy_text(from.location, to.location) ||
      !copy_text(from.contact, to.contact))
    return false;

  to.supplies_truncated = from.supplies_truncated ? 1 : 0;
  if (!from.supplies.empty()) {
    to.supplies = new_array<kivo_status_supply>(from.supplies.size());
    if (to.supplies == nullptr) return false;
    to.supply_count = static_cast<std::uint32_t>(from.supplies.size());
    for (std::size_t i = 0; i < from.supplies.size(); ++i) {
      const Supply &s = from.supplies[i];
      kivo_status_supply &c = to.supplies[i];
      c.index = s.index;
      c.supply_class = or_absent(s.supply_class);
      c.type = or_absent(s.type);
      c.unit = or_absent(s.unit);
      c.max_capacity = or_absent(s.max_capacity);
      c.level = or_absent(s.level);
      c.percent = s.percent().value_or(-1);
      // Only the Printer MIB says that a receptacle's level is the space left in it.
      c.level_is_space_remaining = s.is_receptacle() && from.supplies_from != Source::kIpp ? 1 : 0;
      c.colorant_index = s.colorant_index.value_or(0);
      if (!copy_text(s.description, c.description) || !copy_text(s.colorant, c.colorant))
        return false;
    }
  }

  to.alerts_truncated = from.alerts_truncated ? 1 : 0;
  if (!from.alerts.empty()) {
    to.alerts = new_array<kivo_status_alert>(from.alerts.size());
    if (to.alerts == nullptr) return false;
    to.alert_count = static_cast<std::uint32_t>(from.alerts.size());
    for (std::size_t i = 0; i < from.alerts.size(); ++i) {
      const Alert &a = from.alerts[i];
      kivo_status_alert &c = to.alerts[i];
      c.index = a.index;
      c.severity = or_absent(a.severity);
      c.training_level = or_absent(a.training_level);
      c.group = or_absent(a.group);
      c.group_index = or_absent(a.group_index);
      c.location = or_absent(a.location);
      c.code = or_absent(a.code);
      if (!copy_text(a.description, c.description)) return false;
    }
  }

  if (!from.display.empty()) {
    to.display = new_array<kivo_status_text>(from.display.size());
    if (to.display == nullptr) return false;
    to.display_count = static_cast<std::uint32_t>(from.display.size());
    for (std::size_t i = 0; i < from.display.size(); ++i)
      if (!copy_text(from.display[i], to.display[i])) return false;
  }
  return true;
}

}  // namespace

kivo_status *make_record(const Status &status) noexcept {
  std::unique_ptr<kivo_status, RecordFree> record(mem_new<kivo_status>());
  if (!record) return nullptr;
  record->printer_status = KIVO_STATUS_ABSENT;
  record->device_status = KIVO_STATUS_ABSENT;
  record->page_count = -1;
  record->uptime_ticks = -1;
  record->ipp_state = KIVO_STATUS_ABSENT;
  if (!fill(status, *record)) return nullptr;
  return record.release();
}

}  // namespace kivo8::status

extern "C" KIVO8_API void kivo_status_free(kivo_status *status) noexcept {
  using kivo8::mem_free;
  if (status == nullptr) return;
  // Arrays are zeroed when made, so a record that failed half-way frees cleanly.
  for (std::uint32_t i = 0; status->supplies != nullptr && i < status->supply_count; ++i) {
    kivo8::status::free_text(status->supplies[i].description);
    kivo8::status::free_text(status->supplies[i].colorant);
  }
  for (std::uint32_t i = 0; status->alerts != nullptr && i < status->alert_count; ++i)
    kivo8::status::free_text(status->alerts[i].description);
  for (std::uint32_t i = 0; status->display != nullptr && i < status->display_count; ++i)
    kivo8::status::free_text(status->display[i]);
  mem_free(status->supplies);
  mem_free(status->alerts);
  mem_free(status->display);
  kivo8::status::free_text(status->serial);
  kivo8::status::free_text(status->location);
  kivo8::status::free_text(status->contact);
  kivo8::status::free_text(status->ipp_reasons);
  mem_free(status);
}
