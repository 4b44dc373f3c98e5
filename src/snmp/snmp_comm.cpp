// Community lists: the names a search target tries, kept in a chain of records.
#include "kivo8/snmp_comm.h"

#include <cstring>

#include "core/alloc.h"

namespace {

char empty_name[1] = {'\0'};

bool same_text(const snmp_comm *entry, const char *name, std::size_t len) noexcept {
  return entry->name != nullptr && static_cast<std::size_t>(entry->length) == len &&
         std::memcmp(entry->name, name, len) == 0;
}

}  // namespace

extern "C" {

KIVO8_API snmp_comm snmp_comm_null = {nullptr, 0, empty_name};

KIVO8_API void snmp_comm_init(snmp_comm **head_ref) noexcept {
  if (head_ref != nullptr) *head_ref = nullptr;
}

KIVO8_API snmp_comm *snmp_comm_add(snmp_comm **head_ref, const char *name) noexcept {
  if (head_ref == nullptr || name == nullptr || name[0] == '\0') return nullptr;
  std::size_t len = std::strlen(name);
  // The length field is 32-bit; a longer text could never be compared or encoded.
  if (len > INT32_MAX) return nullptr;
  for (snmp_comm *e = *head_ref; e != nullptr; e = e->next)
    if (same_text(e, name, len)) return nullptr;

  auto *entry = kivo8::mem_new<snmp_comm>();
  if (entry == nullptr) return nullptr;
  entry->name = static_cast<char *>(kivo8::mem_alloc(len + 1));
  if (entry->name == nullptr) {
    kivo8::mem_free(entry);
    return nullptr;
  }
  std::memcpy(entry->name, name, len + 1);
  entry->length = static_cast<int32_t>(len);
  entry->next = *head_ref;
  *head_ref = entry;
  return entry;
}

KIVO8_API void snmp_comm_remove(snmp_comm **head_ref, snmp_comm *comm) noexcept {
  if (head_ref == nullptr || comm == nullptr) return;
  for (snmp_comm **link = head_ref; *link != nullptr; link = &(*link)->next) {
    if (*link == comm) {
      *link = comm->next;
      kivo8::mem_free(comm->name);
      kivo8::mem_free(comm);
      return;
    }
  }
}

KIVO8_API void snmp_comm_rename(snmp_comm *comm, const char *name) noexcept {
  // The shared empty entry has no block of its own to write into.
  if (comm == nullptr || name == nullptr || comm == &snmp_comm_null) return;
  std::size_t len = std::strlen(name);
  if (len > INT32_MAX) return;
  if (comm->name != nullptr && len <= static_cast<std::size_t>(comm->length)) {
    std::memcpy(comm->name, name, len + 1);
  } else {
    // Allocate before freeing, so that a failure leaves the entry as it was.
    auto *block = static_cast<char *>(kivo8::mem_alloc(len + 1));
    if (block == nullptr) return;
    std::memcpy(block, name, len + 1);
    kivo8::mem_free(comm->name);
    comm->name = block;
  }
  comm->length = static_cast<int32_t>(len);
}

KIVO8_API void snmp_comm_free(snmp_comm **head_ref) noexcept {
  if (head_ref == nullptr) return;
  snmp_comm *e = *head_ref;
  while (e != nullptr) {
    snmp_comm *next = e->next;
    kivo8::mem_free(e->name);
    kivo8::mem_free(e);
    e = next;
  }
  *head_ref = nullptr;
}

KIVO8_API snmp_comm *snmp_comm_getat(snmp_comm *first, int32_t index) noexcept {
  if (index < 0) return nullptr;
  snmp_comm *e = first;
  for (int32_t i = 0; i < index && e != nullptr; ++i) e = e->next;
  return e;
}

KIVO8_API int32_t snmp_comm_count(snmp_comm *first) noexcept {
  // One walk instead of probing every position from the start: same count, linear time.
  int32_t n = 0;
  for (snmp_comm *e = first; e != nullptr && n < INT32_MAX; e = e->next) ++n;
  return n;
}

KIVO8_API snmp_comm *snmp_comm_find(snmp_comm *first, const char *name) noexcept {
  if (first == nullptr || name == nullptr) return nullptr;
  std::size_t len = std::strlen(name);
  for (snmp_comm *e = first; e != nullptr; e = e->next)
    if (same_text(e, name, len)) return e;
  return nullptr;
}

}  // extern "C"
