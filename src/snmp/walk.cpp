// Walks of one or more subtrees by repeated GETNEXT requests.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>

#include "core/alloc.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/udp_sess.h"
#include "snmp/session_internal.h"

namespace {

constexpr uint32_t kSlot = SNMP_VAR_NAME_STORAGE;

// No real agent's tree comes near these; an agent whose names keep increasing would
// otherwise keep a walk going, and its memory growing, for ever. Counted in variables and
// in the bytes their records take, since a few long values weigh as much as many short
// ones. Atomic: a caller may raise them while another thread walks.
std::atomic<uint32_t> g_walk_cap{KIVO_WALK_MAX_VARIABLES};
std::atomic<uint64_t> g_walk_bytes{KIVO_WALK_MAX_BYTES};

// What one response keeps in memory once it is linked into the walk's list.
uint64_t held_bytes(const snmp_pdu *response) noexcept {
  uint64_t bytes = sizeof(snmp_pdu) + sizeof(snmp_pdu_list) + response->community_len;
  for (const snmp_var *var = response->variables; var != nullptr; var = var->next)
    bytes += sizeof(snmp_var) + var->value_length;
  return bytes;
}

struct MemFree {
  void operator()(void *p) const noexcept { kivo8::mem_free(p); }
};
struct PduFree {
  void operator()(snmp_pdu *p) const noexcept { snmp_free_pdu(p); }
};
struct ListFree {
  void operator()(snmp_pdu_list *p) const noexcept { snmp_free_pdu_list(p); }
};

// The working names: one slot of 128 sub-identifiers per root, advanced in step.
struct WorkingNames {
  std::unique_ptr<uint32_t, MemFree> subids;
  std::unique_ptr<uint32_t, MemFree> lengths;
  uint32_t count = 0;

  uint32_t *name(uint32_t i) const noexcept { return subids.get() + std::size_t(i) * kSlot; }
  uint32_t &length(uint32_t i) const noexcept { return lengths.get()[i]; }
};

bool within(const snmp_var *var, const snmp_oid &root) noexcept {
  if (var->name == nullptr || var->name_length < root.name_length) return false;
  return std::memcmp(var->name, root.name, std::size_t(root.name_length) * 4) == 0;
}

bool ends_view(const snmp_var *var) noexcept {
  return var->type == SNMP_ENDOFMIBVIEW || var->type == SNMP_NOSUCHOBJECT ||
         var->type == SNMP_NOSUCHINSTANCE;
}

// True when `name` comes strictly after `asked` in OID order.
bool after(const uint32_t *name, uint32_t name_length, const uint32_t *asked,
           uint32_t asked_length) noexcept {
  uint32_t common = name_length < asked_length ? name_length : asked_length;
  for (uint32_t i = 0; i < common; ++i)
    if (name[i] != asked[i]) return name[i] > asked[i];
  return name_length > asked_length;
}

enum class Step { next, done, failed };

// Judges one response: whether the walk goes on with it, ends normally or fails.
Step judge(const snmp_pdu *response, const snmp_oid *roots, const WorkingNames &work) noexcept {
  uint32_t i = 0;
  for (const snmp_var *var = response->variables; var != nullptr && i < work.count;
       var = var->next, ++i)
    if (!within(var, roots[i]) || ends_view(var)) return Step::done;
  // Every root needs its next name, or the walk would ask for the same names again.
  if (i < work.count) return Step::failed;
  // An agent that does not move forward would keep the walk going for ever.
  i = 0;
  for (const snmp_var *var = response->variables; i < work.count; var = var->next, ++i)
    if (var->name_length > kSlot ||
        !after(var->name, var->name_length, work.name(i), work.length(i)))
      return Step::failed;
  return Step::next;
}

int32_t walk(const SnmpExchange &link, const snmp_oid *oids, snmp_pdu_list **list_ref) noexcept {
  std::unique_ptr<snmp_pdu_list, ListFree> list(snmp_create_pdu_list());
  if (!list) return SNMP_ERR_NOMEM;

  WorkingNames work;
  while (oids[work.count].name_length != 0) {
    const snmp_oid &root = oids[work.count];
    if (root.name_length > kSlot || root.name == nullptr) return SNMP_ERR_OTHER;
    ++work.count;
  }
  // An empty list names no subtree; asking an agent for the next of nothing would only
  // draw an empty answer.
  if (work.count == 0) return SNMP_ERR_NOPDU;
  work.subids.reset(static_cast<uint32_t *>(kivo8::mem_alloc(std::size_t(work.count) * kSlot * 4)));
  work.lengths.reset(static_cast<uint32_t *>(kivo8::mem_alloc(std::size_t(work.count) * 4)));
  if (!work.subids || !work.lengths) return SNMP_ERR_NOMEM;
  for (uint32_t i = 0; i < work.count; ++i) {
    std::memcpy(work.name(i), oids[i].name, std::size_t(oids[i].name_length) * 4);
    work.length(i) = oids[i].name_length;
  }

  snmp_pdu_list *tail = list.get();
  uint64_t variables = 0, bytes = 0;
  const uint64_t max_variables = g_walk_cap.load(std::memory_order_relaxed);
  const uint64_t max_bytes = g_walk_bytes.load(std::memory_order_relaxed);
  for (;;) {
    std::unique_ptr<snmp_pdu, PduFree> request(snmp_create_pdu(SNMP_MSG_GETNEXT));
    if (!request) return SNMP_ERR_NOMEM;
    for (uint32_t i = 0; i < work.count; ++i)
      if (snmp_add_null_var(request.get(), work.name(i), work.length(i)) == nullptr)
        return SNMP_ERR_NOMEM;
    snmp_pdu *raw = nullptr;
    int32_t code = link.exchange(link.context, request.get(), &raw);
    std::unique_ptr<snmp_pdu, PduFree> response(raw);
    request.reset();
    if (code != SNMP_ERR_NONE) return code;
    if (!response) return SNMP_ERR_OTHER;
    if (response->errstat != 0) {
      // noSuchName is how an SNMPv1 agent says that nothing follows.
      if (response->errstat != 2) return SNMP_ERR_OTHER;
      break;
    }
    Step step = judge(response.get(), oids, work);
    if (step == Step::done) break;
    if (step == Step::failed) return SNMP_ERR_OTHER;

    variables += work.count;
    bytes += held_bytes(response.get());
    if (variables > max_variables || bytes > max_bytes) return SNMP_ERR_OTHER;
    uint32_t i = 0;
    for (const snmp_var *var = response->variables; i < work.count; var = var->next, ++i) {
      std::memcpy(work.name(i), var->name, std::size_t(var->name_length) * 4);
      work.length(i) = var->name_length;
    }
    snmp_pdu_list *node = tail;
    if (tail->pdu != nullptr) {
      node = snmp_create_pdu_list();
      if (node == nullptr) return SNMP_ERR_NOMEM;
      tail->next = node;
      tail = node;
    }
    node->address = link.address(link.context);
    node->pdu = response.release();
  }
  if (list->pdu != nullptr) *list_ref = list.release();
  return SNMP_ERR_NONE;
}

int32_t exchange_v1(void *session, snmp_pdu *request, snmp_pdu **response) noexcept {
  return snmp_synch_response(static_cast<snmp_session *>(session), request, response);
}

in_addr address_v1(void *session) noexcept {
  return static_cast<snmp_session *>(session)->udp->from_address;
}

}  // namespace

extern "C" KIVO8_API int32_t kivo_snmp_walk_limits(uint32_t max_variables,
                                                   uint64_t max_bytes) noexcept {
  g_walk_cap = max_variables == 0 ? KIVO_WALK_MAX_VARIABLES : max_variables;
  g_walk_bytes = max_bytes == 0 ? KIVO_WALK_MAX_BYTES : max_bytes;
  return 0;
}

int32_t _snmp_walk_with(const SnmpExchange &link, const snmp_oid *oids,
                        snmp_pdu_list **list_ref) noexcept {
  if (list_ref == nullptr) return SNMP_ERR_OTHER;
  *list_ref = nullptr;
  if (oids == nullptr) return SNMP_ERR_NOPDU;
  return walk(link, oids, list_ref);
}

extern "C" KIVO8_API int32_t snmp_walk(snmp_session *session, const snmp_oid *oids,
                                       snmp_pdu_list **list_ref) noexcept {
  if (session == nullptr || list_ref == nullptr || session->udp == nullptr)
    return SNMP_ERR_OTHER;
  return _snmp_walk_with({exchange_v1, address_v1, session}, oids, list_ref);
}
