// PDU and binding records: creation, filling, freeing, and the request and message ids.
#include "snmp/pdu.h"

#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KIVO8_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define KIVO8_ASAN 1
#endif
#ifdef KIVO8_ASAN
#include <sanitizer/asan_interface.h>
#define KIVO8_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KIVO8_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KIVO8_POISON(p, n) ((void)(p), (void)(n))
#define KIVO8_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include "core/alloc.h"
#include "kivo8/asn1.h"
#include "mt/mt_internal.h"

namespace {

// Both start at 0 when the library is loaded; each is only touched under its own slot.
std::uint32_t g_reqid = 0;
std::uint32_t g_msgid = 0;

std::uint32_t next_id(std::uint32_t &counter, int32_t slot) noexcept {
  kivo8::SlotLock lock(MT_RES_SNMP, slot);
  std::uint32_t id = counter + 1;
  // 0 means "no id" to a receiver; after a wrap the sequence resumes at 2.
  if (id == 0) id = 2;
  counter = id;
  return id;
}

// Freed binding records kept for the next message on the same thread. glibc's own
// per-thread cache keeps only 7 blocks of one size, fewer than the bindings of one
// message, so that every message would otherwise reach the slow path of the allocator.
// The cache is plain data (it outlives everything on its thread); a sweeper made on first
// use gives its records back to the allocator when the thread ends and closes it.
struct VarCache {
  static constexpr int kSlots = 32;
  snmp_var *slots[kSlots];
  int count;
  bool armed;
  bool closed;
};
thread_local VarCache t_vars;

struct VarSweeper {
  ~VarSweeper() {
    VarCache &c = t_vars;
    while (c.count > 0) {
      snmp_var *var = c.slots[--c.count];
      KIVO8_UNPOISON(var, sizeof *var);
      std::free(var);
    }
    c.closed = true;
  }
};

void cache_var(snmp_var *var) noexcept {
  VarCache &c = t_vars;
  if (!c.armed) {
    c.armed = true;
    thread_local VarSweeper sweeper;
    (void)sweeper;
  }
  if (c.closed || c.count == VarCache::kSlots) {
    kivo8::mem_free(var);
    return;
  }
  // A record in the cache is freed memory to the address checker.
  KIVO8_POISON(var, sizeof *var);
  c.slots[c.count++] = var;
}

bool inline_name(const snmp_var *var) noexcept { return var->name == var->name_storage; }
bool inline_value(const snmp_var *var) noexcept { return var->value == var->value_storage; }

void release_value(snmp_var *var) noexcept {
  if (var->value != nullptr && !inline_value(var)) kivo8::mem_free(var->value);
  var->value = nullptr;
  var->value_length = 0;
}

void release_name(snmp_var *var) noexcept {
  if (var->name != nullptr && !inline_name(var)) kivo8::mem_free(var->name);
  var->name = nullptr;
  var->name_length = 0;
}

// Size of the value that a fixed-size type stores, or 0 for the types with a length of
// their own.
std::uint32_t fixed_size(std::uint8_t tag) noexcept {
  switch (tag) {
    case SNMP_TYPE_INTEGER:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
      return 4;
    case SNMP_TYPE_COUNTER64:
      return sizeof(counter64);
    default:
      return 0;
  }
}

// Stores the value of a new binding by its tag; false when the tag is refused, the value
// is missing or its block cannot be had.
bool store_value(snmp_var *var, std::uint8_t tag, const void *value, std::uint32_t value_length) noexcept {
  switch (tag) {
    case SNMP_TYPE_NULL:
    case SNMP_NOSUCHOBJECT:
    case SNMP_NOSUCHINSTANCE:
    case SNMP_ENDOFMIBVIEW:
      var->value = nullptr;
      var->value_length = 0;
      return true;
    case SNMP_TYPE_INTEGER:
    case SNMP_TYPE_IPADDRESS:
    case SNMP_TYPE_COUNTER:
    case SNMP_TYPE_GAUGE:
    case SNMP_TYPE_TIMETICKS:
    case SNMP_TYPE_COUNTER64: {
      // The type fixes the size; a shorter buffer cannot hold the value and is refused
      // rather than read past.
      const std::uint32_t size = fixed_size(tag);
      if (value == nullptr || value_length < size) return false;
      std::memcpy(var->value_storage, value, size);
      var->value = var->value_storage;
      var->value_length = size;
      return true;
    }
    case SNMP_TYPE_OCTET_STR:
    case SNMP_TYPE_OPAQUE:
    case SNMP_TYPE_OBJECT_ID: {
      if (value == nullptr && value_length != 0) return false;
      if (value_length <= SNMP_VAR_VALUE_STORAGE) {
        var->value = var->value_storage;
      } else {
        // Strings get a terminator behind them so that they can be used as text.
        const bool text = tag != SNMP_TYPE_OBJECT_ID;
        const std::size_t block = std::size_t{value_length} + (text ? 1 : 0);
        var->value = static_cast<std::uint8_t *>(kivo8::mem_alloc(block));
        if (var->value == nullptr) return false;
        if (text) var->value[value_length] = 0;
      }
      if (value_length != 0) std::memcpy(var->value, value, value_length);
      var->value_length = value_length;
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

snmp_var *_snmp_var_alloc() noexcept {
  if (kivo8::mem_injected_failure()) return nullptr;
  VarCache &c = t_vars;
  if (c.count > 0) {
    snmp_var *var = c.slots[--c.count];
    KIVO8_UNPOISON(var, sizeof *var);
    return var;
  }
  return static_cast<snmp_var *>(std::malloc(sizeof(snmp_var)));
}

snmp_pdu *_snmp_create_pdu(int32_t command) noexcept {
  auto *pdu = kivo8::mem_new<snmp_pdu>();
  if (pdu == nullptr) return nullptr;
  pdu->version = -1;
  pdu->command = command;
  pdu->errstat = -1;
  pdu->errindex = -1;
  return pdu;
}

void _snmp_append_var(snmp_pdu *pdu, snmp_var *var) noexcept {
  snmp_var **link = &pdu->variables;
  while (*link != nullptr) link = &(*link)->next;
  *link = var;
}

void _snmp_set_reqid_counter(uint32_t value) noexcept {
  kivo8::SlotLock lock(MT_RES_SNMP, 1);
  g_reqid = value;
}

void _snmp_set_msgid_counter(uint32_t value) noexcept {
  kivo8::SlotLock lock(MT_RES_SNMP, 2);
  g_msgid = value;
}

extern "C" {

KIVO8_API uint32_t snmp_get_next_reqid(void) noexcept { return next_id(g_reqid, 1); }

KIVO8_API uint32_t snmp_get_next_msgid(void) noexcept { return next_id(g_msgid, 2); }

KIVO8_API snmp_pdu *snmp_create_pdu(int32_t command) noexcept {
  snmp_pdu *pdu = _snmp_create_pdu(command);
  if (pdu == nullptr) return nullptr;
  pdu->reqid = snmp_get_next_reqid();
  pdu->msgid = snmp_get_next_msgid();
  return pdu;
}

KIVO8_API void snmp_free_pdu(snmp_pdu *pdu) noexcept {
  if (pdu == nullptr) return;
  snmp_free_varbind(pdu->variables);
  kivo8::mem_free(pdu->community);
  kivo8::mem_free(pdu);
}

KIVO8_API snmp_var *snmp_pdu_add_variable(snmp_pdu *pdu, const uint32_t *name, uint32_t name_length,
                                          int32_t type, const void *value,
                                          uint32_t value_length) noexcept {
  if (pdu == nullptr) return nullptr;
  snmp_var *var = _snmp_var_alloc();
  if (var == nullptr) return nullptr;
  var->next = nullptr;
  var->name = nullptr;
  var->name_length = 0;
  var->value = nullptr;
  var->value_length = 0;
  const auto tag = static_cast<std::uint8_t>(type & 0xFF);
  var->type = tag;
  if (!store_value(var, tag, value, value_length)) {
    snmp_free_var(var);
    return nullptr;
  }
  if (name != nullptr && snmp_set_var_objid(var, name, name_length) != 0) {
    snmp_free_var(var);
    return nullptr;
  }
  _snmp_append_var(pdu, var);
  return var;
}

KIVO8_API snmp_var *snmp_add_null_var(snmp_pdu *pdu, const uint32_t *name,
                                      uint32_t name_length) noexcept {
  return snmp_pdu_add_variable(pdu, name, name_length, SNMP_TYPE_NULL, nullptr, 0);
}

KIVO8_API int32_t snmp_set_var_objid(snmp_var *var, const uint32_t *name,
                                     uint32_t name_length) noexcept {
  if (var == nullptr || (name == nullptr && name_length != 0)) return 1;
  const std::size_t bytes = std::size_t{name_length} * sizeof(uint32_t);
  if (name_length <= SNMP_VAR_NAME_STORAGE) {
    // memmove: the new name may be the binding's own (inline) name.
    if (bytes != 0) std::memmove(var->name_storage, name, bytes);
    if (!inline_name(var)) release_name(var);
    var->name = var->name_storage;
  } else {
    auto *block = static_cast<uint32_t *>(kivo8::mem_alloc(bytes));
    if (block == nullptr) {
      release_name(var);
      return 1;
    }
    std::memcpy(block, name, bytes);
    // A name set before is released only now, in case `name` pointed into it.
    release_name(var);
    var->name = block;
  }
  var->name_length = name_length;
  return 0;
}

KIVO8_API int32_t snmp_set_var_value(snmp_var *var, const void *value,
                                     uint32_t value_length) noexcept {
  if (var == nullptr) return 1;
  if (value == nullptr || value_length == 0) {
    release_value(var);
    return 0;
  }
  // The old value is released only after the copy, in case `value` points into it.
  if (value_length <= SNMP_VAR_VALUE_STORAGE) {
    std::memmove(var->value_storage, value, value_length);
    if (!inline_value(var)) release_value(var);
    var->value = var->value_storage;
  } else {
    auto *block = static_cast<std::uint8_t *>(kivo8::mem_alloc(value_length));
    if (block == nullptr) {
      release_value(var);
      return 1;
    }
    std::memcpy(block, value, value_length);
    release_value(var);
    var->value = block;
  }
  var->value_length = value_length;
  return 0;
}

KIVO8_API void snmp_free_var(snmp_var *var) noexcept {
  if (var == nullptr) return;
  release_name(var);
  release_value(var);
  cache_var(var);
}

KIVO8_API void snmp_free_varbind(snmp_var *var) noexcept {
  while (var != nullptr) {
    snmp_var *next = var->next;
    snmp_free_var(var);
    var = next;
  }
}

KIVO8_API int32_t snmp_varbind_len(const snmp_pdu *pdu) noexcept {
  if (pdu == nullptr) return 0;
  int32_t n = 0;
  for (const snmp_var *v = pdu->variables; v != nullptr; v = v->next) ++n;
  return n;
}

KIVO8_API uint8_t *snmp_get_octet_str(const snmp_var *var) noexcept {
  if (var == nullptr || var->type != SNMP_TYPE_OCTET_STR) return nullptr;
  return var->value;
}

KIVO8_API uint32_t *snmp_get_oid(const snmp_var *var) noexcept {
  if (var == nullptr || var->type != SNMP_TYPE_OBJECT_ID) return nullptr;
  return reinterpret_cast<uint32_t *>(var->value);
}

KIVO8_API void snmp_set_ip_as_oid(uint32_t *oid, const struct in_addr *address) noexcept {
  if (oid == nullptr || address == nullptr) return;
  std::uint8_t bytes[4];
  std::memcpy(bytes, &address->s_addr, 4);
  for (int i = 0; i < 4; ++i) oid[i] = bytes[i];
}

KIVO8_API snmp_pdu_list *snmp_create_pdu_list(void) noexcept {
  return kivo8::mem_new<snmp_pdu_list>();
}

KIVO8_API void snmp_free_pdu_list(snmp_pdu_list *list) noexcept {
  while (list != nullptr) {
    snmp_pdu_list *next = list->next;
    snmp_free_pdu(list->pdu);
    kivo8::mem_free(list);
    list = next;
  }
}

KIVO8_API int32_t snmp_pdu_list_length(const snmp_pdu_list *list) noexcept {
  int32_t n = 0;
  for (; list != nullptr && list->pdu != nullptr; list = list->next) ++n;
  return n;
}

}  // extern "C"
