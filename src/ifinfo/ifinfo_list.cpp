// The search-target list: making, copying and freeing targets, linking them in (a saved
// target takes the place of the one it matches), counting and finding them.
#include <cstring>

#include "core/alloc.h"
#include "ifinfo/ifinfo_internal.h"
#include "kivo8/ifinfo.h"

namespace kivo8 {
ifinfo *ifinfo_root = nullptr;
}

namespace {

using kivo8::_ifinfo_first;
using kivo8::_ifinfo_head;

uint32_t host_order(struct in_addr a) noexcept { return ntohl(a.s_addr); }

bool has_name(const ifinfo *e) noexcept { return e->name[0] != '\0'; }

bool in_subnet(const ifinfo *e, struct in_addr a) noexcept {
  return (a.s_addr & e->addr2.s_addr) == (e->addr1.s_addr & e->addr2.s_addr);
}

template <typename Pred>
int32_t count_if(ifinfo *first, Pred pred) noexcept {
  int32_t n = 0;
  for (ifinfo *e = _ifinfo_first(first); e != nullptr; e = e->next)
    if (pred(e)) ++n;
  return n;
}

}  // namespace

extern "C" {

KIVO8_API ifinfo *ifinfo_new(void) noexcept {
  auto *e = kivo8::mem_new<ifinfo>();
  if (e == nullptr) return nullptr;
  e->count = 3;
  e->flag = 0;
  snmp_comm_init(&e->comms);
  return e;
}

KIVO8_API ifinfo *ifinfo_copy(const ifinfo *entry) noexcept {
  if (entry == nullptr) return nullptr;
  auto *copy = kivo8::mem_new<ifinfo>();
  if (copy == nullptr) return nullptr;
  *copy = *entry;
  copy->next = nullptr;
  copy->comms = nullptr;
  copy->scopes = nullptr;
  for (snmp_comm *c = entry->comms; c != nullptr; c = c->next) {
    if (snmp_comm_add(&copy->comms, c->name) != nullptr) continue;
    // A refused name (empty or repeated, which a rename may leave behind) is skipped as
    // the add rule says; a name lost to exhausted memory fails the whole copy rather than
    // hand back a list that looks complete.
    bool refused = c->name == nullptr || c->name[0] == '\0' ||
                   snmp_comm_find(copy->comms, c->name) != nullptr;
    if (!refused) {
      snmp_comm_free(&copy->comms);
      kivo8::mem_free(copy);
      return nullptr;
    }
  }
  if (ifinfo_get_type(entry) == IFINFO_SLP && entry->scopes != nullptr)
    copy->scopes = kivo8::mem_strdup(entry->scopes);  // null is tolerated: no scope text
  return copy;
}

KIVO8_API void ifinfo_free(ifinfo *entry) noexcept {
  if (entry == nullptr) return;
  kivo8::mem_free(entry->scopes);
  snmp_comm_free(&entry->comms);
  kivo8::mem_free(entry);
}

KIVO8_API void ifinfo_free_list(ifinfo *first) noexcept {
  ifinfo *e = _ifinfo_first(first);
  while (e != nullptr) {
    ifinfo *next = e->next;
    ifinfo_free(e);
    e = next;
  }
}

KIVO8_API void ifinfo_init_list(ifinfo **head_ref) noexcept { *_ifinfo_head(head_ref) = nullptr; }

KIVO8_API void ifinfo_add(ifinfo **head_ref, ifinfo *entry) noexcept {
  if (entry == nullptr) return;
  ifinfo **head = _ifinfo_head(head_ref);
  // An entry that is already linked here would replace itself (and be freed) or end up
  // linked twice; the list already owns it, so there is nothing to do.
  for (ifinfo *e = *head; e != nullptr; e = e->next)
    if (e == entry) return;
  bool new_is_slp = ifinfo_get_type(entry) == IFINFO_SLP;
  for (ifinfo **link = head; !new_is_slp && *link != nullptr; link = &(*link)->next) {
    ifinfo *old = *link;
    if (ifinfo_get_type(old) == IFINFO_SLP) continue;
    if (old->addr2.s_addr != entry->addr2.s_addr || old->addr1.s_addr != entry->addr1.s_addr)
      continue;
    if (has_name(old) && !has_name(entry)) {
      std::memcpy(entry->name, old->name, sizeof entry->name);
      entry->addr = old->addr;
    }
    entry->next = old->next;
    *link = entry;
    ifinfo_free(old);
    return;
  }
  entry->next = *head;
  *head = entry;
}

KIVO8_API void ifinfo_remove(ifinfo **head_ref, ifinfo *entry) noexcept {
  if (entry == nullptr) return;
  for (ifinfo **link = _ifinfo_head(head_ref); *link != nullptr; link = &(*link)->next) {
    if (*link == entry) {
      *link = entry->next;
      break;
    }
  }
  ifinfo_free(entry);
}

KIVO8_API void ifinfo_renumber_ids(ifinfo *first) noexcept {
  int32_t local_bcast = 0, range = 10000, slp = 20000;
  for (ifinfo *e = _ifinfo_first(first); e != nullptr; e = e->next) {
    switch (ifinfo_get_type(e)) {
      case IFINFO_RANGE: e->id = ++range; break;
      case IFINFO_SLP: e->id = ++slp; break;
      default: e->id = ++local_bcast; break;
    }
  }
}

KIVO8_API int32_t ifinfo_get_num(ifinfo *first) noexcept {
  return count_if(first, [](const ifinfo *) { return true; });
}

KIVO8_API int32_t ifinfo_get_num_type(ifinfo *first, int32_t kind) noexcept {
  return count_if(first, [kind](const ifinfo *e) { return ifinfo_get_type(e) == kind; });
}

KIVO8_API int32_t ifinfo_get_num_local(ifinfo *first) noexcept {
  return count_if(first, [](const ifinfo *e) { return has_name(e); });
}

KIVO8_API int32_t ifinfo_get_num_bcast(ifinfo *first) noexcept {
  return count_if(first, [](const ifinfo *e) {
    int32_t k = ifinfo_get_type(e);
    return k == IFINFO_LOCAL || k == IFINFO_BCAST;
  });
}

KIVO8_API int32_t ifinfo_get_num_range(ifinfo *first) noexcept {
  return ifinfo_get_num_type(first, IFINFO_RANGE);
}

KIVO8_API int32_t ifinfo_get_num_slp(ifinfo *first) noexcept {
  return ifinfo_get_num_type(first, IFINFO_SLP);
}

KIVO8_API ifinfo *ifinfo_getat(ifinfo *first, int32_t n) noexcept {
  if (n < 0) return nullptr;
  ifinfo *e = _ifinfo_first(first);
  for (int32_t i = 0; i < n && e != nullptr; ++i) e = e->next;
  return e;
}

KIVO8_API ifinfo *ifinfo_search_id(ifinfo *first, int32_t id) noexcept {
  for (ifinfo *e = _ifinfo_first(first); e != nullptr; e = e->next)
    if (e->id == id) return e;
  return nullptr;
}

KIVO8_API int32_t ifinfo_get_type(const ifinfo *entry) noexcept {
  if (entry == nullptr || has_name(entry)) return IFINFO_LOCAL;
  if (entry->id >= 0 && entry->id <= 9999) return IFINFO_BCAST;
  if (entry->id >= 10000 && entry->id <= 19999) return IFINFO_RANGE;
  return IFINFO_SLP;
}

KIVO8_API int32_t ifinfo_checkip(const ifinfo *entry, const struct in_addr *address_ptr) noexcept {
  if (entry == nullptr || address_ptr == nullptr) return -1;
  switch (ifinfo_get_type(entry)) {
    case IFINFO_LOCAL:
    case IFINFO_BCAST: return in_subnet(entry, *address_ptr) ? 0 : -1;
    case IFINFO_RANGE: {
      uint32_t a = host_order(*address_ptr);
      return host_order(entry->addr1) <= a && a <= host_order(entry->addr2) ? 0 : -1;
    }
    case IFINFO_SLP: return 0;
    default: return -1;
  }
}

KIVO8_API ifinfo *ifinfo_getif(ifinfo *first, const struct in_addr *address_ptr) noexcept {
  if (address_ptr == nullptr) return nullptr;
  for (ifinfo *e = _ifinfo_first(first); e != nullptr; e = e->next)
    if (has_name(e) && ifinfo_checkip(e, address_ptr) == 0) return e;
  return nullptr;
}

KIVO8_API ifinfo *ifinfo_getif_ex(ifinfo *first, const struct in_addr *address_ptr) noexcept {
  if (address_ptr == nullptr) return nullptr;
  for (ifinfo *e = _ifinfo_first(first); e != nullptr; e = e->next) {
    int32_t k = ifinfo_get_type(e);
    if ((k == IFINFO_LOCAL || k == IFINFO_BCAST) && ifinfo_checkip(e, address_ptr) == 0) return e;
  }
  return nullptr;
}

KIVO8_API int32_t ifinfo_isbroadcast(const ifinfo *entry) noexcept {
  if (entry == nullptr) return 0;
  return (entry->addr1.s_addr | entry->addr2.s_addr) == 0xFFFFFFFFu ? 1 : 0;
}

}  // extern "C"
