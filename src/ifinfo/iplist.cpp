// Expands the range targets of a list into one table of single addresses that worker
// threads draw from.
#include <netinet/in.h>

#include <cstdint>

#include "core/alloc.h"
#include "core/file.h"
#include "core/guard.h"
#include "ifinfo/ifinfo_internal.h"
#include "kivo8/ifinfo.h"
#include "kivo8/tcp_utils.h"
#include "kivo8/mt_support.h"
#include "mt/mt_internal.h"

namespace {

// The whole table is built up front so that a draw is one short step under the lock;
// this bound keeps that table (4 MiB of entries) from growing without limit.
constexpr std::uint64_t kMaxAddresses = 0x40000;

std::uint32_t host_order(struct in_addr a) { return ntohl(a.s_addr); }

// Both ends counted, in either order, as the address utilities count them.
std::uint32_t count_between(struct in_addr a, struct in_addr b) { return ip_count_between(&a, &b); }

std::uint64_t total_in_ranges(ifinfo *first) {
  std::uint64_t total = 0;
  for (ifinfo *e = kivo8::_ifinfo_first(first); e != nullptr; e = e->next)
    if (ifinfo_get_type(e) == IFINFO_RANGE) total += count_between(e->addr1, e->addr2);
  return total;
}

ifinfo_iplist *init_iplist(ifinfo *first) {
  kivo8::UniqueMem<ifinfo_iplist> record(kivo8::mem_new<ifinfo_iplist>());
  if (!record) return nullptr;
  std::uint64_t total = total_in_ranges(first);
  if (total > kMaxAddresses) return nullptr;
  if (total == 0) return record.release();

  kivo8::UniqueMem<ifinfo_ipentry> entries(
      static_cast<ifinfo_ipentry *>(kivo8::mem_calloc(total, sizeof(ifinfo_ipentry))));
  if (!entries) return nullptr;

  // Reversed ranges were counted above but store nothing, so `stored` may stay below
  // `total`; it can never pass it.
  std::uint64_t stored = 0;
  for (ifinfo *e = kivo8::_ifinfo_first(first); e != nullptr; e = e->next) {
    if (ifinfo_get_type(e) != IFINFO_RANGE) continue;
    std::uint32_t from = host_order(e->addr1), to = host_order(e->addr2);
    if (from > to) continue;
    for (std::uint32_t a = from;; ++a) {
      entries.get()[stored].addr.s_addr = htonl(a);
      entries.get()[stored].owner = e;
      ++stored;
      if (a == to) break;
    }
  }
  record->count = static_cast<int32_t>(stored);
  record->current = 0;
  // Only reversed ranges: an empty table holds no array, like one built from no ranges.
  record->entries = stored == 0 ? nullptr : entries.release();
  return record.release();
}

}  // namespace

extern "C" KIVO8_API uint32_t count_ip_in_range(ifinfo *first) noexcept {
  // Summed wide and held at the top: a total that wrapped past 2^32 would read as a
  // small list of ranges.
  std::uint64_t total = total_in_ranges(first);
  return total > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(total);
}

extern "C" KIVO8_API ifinfo_iplist *ifinfo_init_iplist(ifinfo *first) noexcept {
  return kivo8::guarded<ifinfo_iplist *>(nullptr, [&] { return init_iplist(first); });
}

extern "C" KIVO8_API ifinfo_ipentry *ifinfo_iplist_getnext(ifinfo_iplist *record) noexcept {
  if (record == nullptr) return nullptr;
  ifinfo_ipentry *entry = nullptr;
  {
    kivo8::SlotLock lock(MT_RES_IFINFO, 1);
    if (record->current < record->count) {
      entry = &record->entries[record->current];
      // Stored atomically so that a progress display may read it without the lock.
      __atomic_store_n(&record->current, record->current + 1, __ATOMIC_RELAXED);
    }
  }
  return entry;
}

extern "C" KIVO8_API int32_t ifinfo_iplist_getcurrent(ifinfo_iplist *record) noexcept {
  if (record == nullptr) return 0;
  return __atomic_load_n(&record->current, __ATOMIC_RELAXED);
}

extern "C" KIVO8_API int32_t ifinfo_iplist_getcount(ifinfo_iplist *record) noexcept {
  return record == nullptr ? 0 : record->count;
}

extern "C" KIVO8_API void ifinfo_free_iplist(ifinfo_iplist *record) noexcept {
  if (record == nullptr) return;
  kivo8::mem_free(record->entries);
  kivo8::mem_free(record);
}
