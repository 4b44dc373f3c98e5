// Walks of one or more subtrees by repeated GETNEXT or GETBULK requests: the one engine.

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "core/alloc.h"
#include "core/guard.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/udp_sess.h"
#include "snmp/session_internal.h"
#include "snmp/walk.h"

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

struct PduFree {
  void operator()(snmp_pdu *p) const noexcept { snmp_free_pdu(p); }
};
struct ListFree {
  void operator()(snmp_pdu_list *p) const noexcept { snmp_free_pdu_list(p); }
};

bool within(const snmp_var *var, std::span<const uint32_t> root) noexcept {
  if (var->name == nullptr || var->name_length < root.size()) return false;
  return std::memcmp(var->name, root.data(), root.size() * 4) == 0;
}

bool ends_view(const snmp_var *var) noexcept {
  return var->type == SNMP_ENDOFMIBVIEW || var->type == SNMP_NOSUCHOBJECT ||
         var->type == SNMP_NOSUCHINSTANCE;
}

// True when `var`'s name comes strictly after `asked` in OID order.
bool after(const snmp_var *var, std::span<const uint32_t> asked) noexcept {
  const std::size_t common = std::min<std::size_t>(var->name_length, asked.size());
  for (std::size_t i = 0; i < common; ++i)
    if (var->name[i] != asked[i]) return var->name[i] > asked[i];
  return var->name_length > asked.size();
}

// Keeps in the response's chain only the bindings marked taken; frees the others.
void keep_taken(snmp_pdu *response, const std::vector<bool> &taken) noexcept {
  snmp_var **link = &response->variables;
  std::size_t j = 0;
  while (*link != nullptr) {
    snmp_var *var = *link;
    if (j < taken.size() && taken[j]) {
      link = &var->next;
    } else {
      *link = var->next;
      snmp_free_var(var);
    }
    ++j;
  }
}

constexpr int32_t kTooBig = 1;
constexpr int32_t kNoSuchName = 2;

}  // namespace

namespace kivo8::snmp {

bool SnmpWalker::add_root(const uint32_t *name, uint32_t length) {
  if (name == nullptr || length == 0 || length > kSlot) return false;
  roots_.emplace_back(name, name + length);
  current_.push_back(roots_.back());
  active_.push_back(roots_.size() - 1);
  return true;
}

snmp_pdu *SnmpWalker::request(uint32_t repetitions) const {
  std::unique_ptr<snmp_pdu, PduFree> pdu(
      snmp_create_pdu(rules_.bulk ? SNMP_MSG_GETBULK : SNMP_MSG_GETNEXT));
  if (!pdu) return nullptr;
  if (rules_.bulk) {
    // A GetBulkRequest carries non-repeaters and max-repetitions where other PDUs carry
    // the error status and index: every name of ours repeats.
    pdu->errstat = 0;
    pdu->errindex = static_cast<int32_t>(repetitions);
  }
  for (std::size_t k : active_) {
    const auto &name = current_[k];
    if (snmp_add_null_var(pdu.get(), name.data(), static_cast<uint32_t>(name.size())) == nullptr)
      return nullptr;
  }
  return pdu.release();
}

// Bindings come row after row, one per root asked for in each row. Only the bindings the
// response holds are looked at, however many rows the agent chose to send.
SnmpWalker::Judged SnmpWalker::judge(snmp_pdu *response, uint64_t rows_left) {
  std::vector<snmp_var *> vars;
  for (snmp_var *var = response->variables; var != nullptr; var = var->next) vars.push_back(var);
  const std::size_t n = active_.size();
  // A GETNEXT answer holds one row; bindings past it are not ours to read.
  std::size_t usable = rules_.bulk ? vars.size() : std::min(vars.size(), n);
  if (rows_left < usable / n + 1) usable = std::min<std::size_t>(usable, rows_left * n);
  std::vector<bool> taken(vars.size(), false);
  Judged j;

  if (!rules_.roots_apart) {
    // As a GETNEXT walk always did: an end for any root (leaving its subtree, or an
    // exception inside it, which the caller may want to see) ends the walk; a first row
    // the agent left short gives nothing to ask for next.
    auto end_row = [&](std::size_t row, std::size_t cells) {
      bool ends = false;
      for (std::size_t i = 0; i < cells; ++i) {
        snmp_var *var = vars[row * n + i];
        const bool inside = within(var, roots_[active_[i]]);
        if (!inside || ends_view(var)) ends = true;
        if (inside && ends_view(var) && rules_.keep_end) {
          taken[row * n + i] = true;
          ++j.taken;
        }
      }
      return ends;
    };
    if (usable < n) {
      if (!end_row(0, usable)) return {WalkEnd::failed, true, SNMP_ERR_OTHER};
      j.finished = true;
    }
    for (std::size_t row = 0; !j.finished && (row + 1) * n <= usable; ++row) {
      std::span<snmp_var *const> cells(vars.data() + row * n, n);
      if (end_row(row, n)) {
        j.finished = true;
        break;
      }
      // An agent that does not move forward would keep the walk going for ever.
      for (std::size_t i = 0; i < n; ++i)
        if (cells[i]->name_length > kSlot || !after(cells[i], current_[active_[i]]))
          return {WalkEnd::failed, true, SNMP_ERR_OTHER};
      for (std::size_t i = 0; i < n; ++i) {
        current_[active_[i]].assign(cells[i]->name, cells[i]->name + cells[i]->name_length);
        taken[row * n + i] = true;
      }
      ++j.rows;
      j.taken += n;
    }
  } else {
    std::vector<bool> ended(n, false), seen(n, false);
    uint64_t last_row = 0;
    for (std::size_t at = 0; at < usable; ++at) {
      const std::size_t i = at % n;
      if (ended[i]) continue;
      seen[i] = true;
      snmp_var *var = vars[at];
      const std::size_t k = active_[i];
      if (!within(var, roots_[k]) || ends_view(var) || var->name_length > kSlot ||
          !after(var, current_[k])) {
        ended[i] = true;
        continue;
      }
      current_[k].assign(var->name, var->name + var->name_length);
      taken[at] = true;
      ++j.taken;
      last_row = at / n + 1;
    }
    j.rows = last_row;
    // A root that got nothing from a GETNEXT, or from a reply that moved no root, has
    // nothing more to give; in a GETBULK reply that moved others it is asked again.
    std::vector<std::size_t> still;
    for (std::size_t i = 0; i < n; ++i)
      if (!ended[i] && (seen[i] || (rules_.bulk && j.taken > 0))) still.push_back(active_[i]);
    active_ = std::move(still);
    j.finished = active_.empty();
  }
  keep_taken(response, taken);
  return j;
}

WalkResult SnmpWalker::run(const WalkSink &sink) {
  const uint64_t max_variables = g_walk_cap.load(std::memory_order_relaxed);
  const uint64_t max_bytes = g_walk_bytes.load(std::memory_order_relaxed);
  uint64_t variables = 0, bytes = 0;
  uint32_t repetitions = std::max<uint32_t>(rules_.max_repetitions, 1);
  for (;;) {
    if (active_.empty()) return {WalkEnd::done, SNMP_ERR_NONE};
    const uint64_t rows_left = rules_.max_rows == 0   ? UINT64_MAX
                              : rules_.max_rows > rows_ ? rules_.max_rows - rows_
                                                        : 0;
    if (rows_left == 0) return {WalkEnd::done, SNMP_ERR_NONE};
    const uint32_t asked =
        rules_.bulk ? static_cast<uint32_t>(std::min<uint64_t>(repetitions, rows_left)) : 1;
    std::unique_ptr<snmp_pdu, PduFree> request_pdu(request(asked));
    if (!request_pdu) return {WalkEnd::failed, SNMP_ERR_NOMEM};
    snmp_pdu *raw = nullptr;
    const int32_t code = link_.exchange(link_.context, request_pdu.get(), &raw);
    std::unique_ptr<snmp_pdu, PduFree> response(raw);
    request_pdu.reset();
    // A reply cut by the receive buffer does not decode: too big, like a tooBig status.
    const bool too_big = code == SNMP_ERR_DECODE ||
                         (code == SNMP_ERR_NONE && response && response->errstat == kTooBig);
    if (too_big) {
      if (rules_.bulk && asked > 1) {
        repetitions = asked / 2;
        continue;
      }
      return {WalkEnd::too_big, code == SNMP_ERR_NONE ? SNMP_ERR_OTHER : code};
    }
    if (code == SNMP_ERR_TIMEOUT && rules_.bulk && rules_.next_after_silence && !answered_) {
      rules_.bulk = false;
      fell_back_ = true;
      continue;
    }
    if (code != SNMP_ERR_NONE) return {WalkEnd::failed, code};
    if (!response) return {WalkEnd::failed, SNMP_ERR_OTHER};
    answered_ = true;
    if (response->errstat != 0) {
      // noSuchName is how an SNMPv1 agent says that nothing follows a name.
      if (response->errstat == kNoSuchName) {
        if (!rules_.roots_apart) return {WalkEnd::done, SNMP_ERR_NONE};
        const int32_t at = response->errindex;
        if (at >= 1 && static_cast<std::size_t>(at) <= active_.size()) {
          active_.erase(active_.begin() + (at - 1));
          continue;
        }
      }
      return {WalkEnd::refused, SNMP_ERR_OTHER};
    }
    const Judged judged = judge(response.get(), rows_left);
    if (judged.end == WalkEnd::failed) return {WalkEnd::failed, judged.code};
    rows_ += judged.rows;
    if (judged.taken > 0) {
      variables += judged.taken;
      bytes += held_bytes(response.get());
      if (variables > max_variables || bytes > max_bytes) return {WalkEnd::failed, SNMP_ERR_OTHER};
      const int32_t kept = sink.keep(sink.context, response.release());
      if (kept < 0) return {WalkEnd::failed, kept};
      if (kept > 0) return {WalkEnd::stopped, SNMP_ERR_NONE};
    }
    if (judged.finished) return {WalkEnd::done, SNMP_ERR_NONE};
  }
}

}  // namespace kivo8::snmp

namespace {

// Gathers the responses into a list, each node with the address it came from.
struct ListSink {
  std::unique_ptr<snmp_pdu_list, ListFree> list{snmp_create_pdu_list()};
  snmp_pdu_list *tail = list.get();
  const SnmpExchange *link;

  static int32_t keep(void *context, snmp_pdu *response) noexcept {
    auto *self = static_cast<ListSink *>(context);
    std::unique_ptr<snmp_pdu, PduFree> owned(response);
    snmp_pdu_list *node = self->tail;
    if (node->pdu != nullptr) {
      node = snmp_create_pdu_list();
      if (node == nullptr) return SNMP_ERR_NOMEM;
      self->tail->next = node;
      self->tail = node;
    }
    node->address = self->link->address(self->link->context);
    node->pdu = owned.release();
    return 0;
  }
};

// Hands each response to the caller's callback, then frees it.
struct CallbackSink {
  kivo_walk_callback callback;
  void *context;

  static int32_t keep(void *context, snmp_pdu *response) noexcept {
    auto *self = static_cast<CallbackSink *>(context);
    std::unique_ptr<snmp_pdu, PduFree> owned(response);
    return self->callback(self->context, owned.get()) != 0 ? 1 : 0;
  }
};

int32_t walk(const SnmpExchange &link, const snmp_oid *oids, const kivo_walk_options &options,
             bool can_bulk, snmp_pdu_list **list_ref) {
  kivo8::snmp::WalkRules rules;
  rules.bulk = can_bulk && options.max_repetitions != 0;
  rules.max_repetitions = options.max_repetitions;
  rules.keep_end = (options.flags & KIVO_WALK_KEEP_END) != 0;
  kivo8::snmp::SnmpWalker walker(link, rules);
  std::size_t count = 0;
  for (; oids[count].name_length != 0; ++count)
    if (!walker.add_root(oids[count].name, oids[count].name_length)) return SNMP_ERR_OTHER;
  // An empty list names no subtree; asking an agent for the next of nothing would only
  // draw an empty answer.
  if (count == 0) return SNMP_ERR_NOPDU;

  ListSink gathered;
  CallbackSink handed{options.callback, options.context};
  kivo8::snmp::WalkSink sink{ListSink::keep, &gathered};
  if (options.callback != nullptr) {
    sink = {CallbackSink::keep, &handed};
  } else {
    if (!gathered.list) return SNMP_ERR_NOMEM;
    gathered.link = &link;
  }
  const kivo8::snmp::WalkResult result = walker.run(sink);
  switch (result.end) {
    case kivo8::snmp::WalkEnd::done:
    case kivo8::snmp::WalkEnd::stopped:
      break;
    case kivo8::snmp::WalkEnd::refused:
      return SNMP_ERR_OTHER;
    case kivo8::snmp::WalkEnd::too_big:
    case kivo8::snmp::WalkEnd::failed:
      return result.code;
  }
  if (list_ref != nullptr && gathered.list && gathered.list->pdu != nullptr)
    *list_ref = gathered.list.release();
  return SNMP_ERR_NONE;
}

int32_t exchange_v1(void *session, snmp_pdu *request, snmp_pdu **response) noexcept {
  return snmp_synch_response(static_cast<snmp_session *>(session), request, response);
}

in_addr address_v1(void *session) noexcept {
  return static_cast<snmp_session *>(session)->udp->from_address;
}

}  // namespace

SnmpExchange _snmp_exchange_of(snmp_session *session) noexcept {
  return {exchange_v1, address_v1, session};
}

extern "C" KIVO8_API int32_t kivo_snmp_walk_limits(uint32_t max_variables,
                                                   uint64_t max_bytes) noexcept {
  g_walk_cap = max_variables == 0 ? KIVO_WALK_MAX_VARIABLES : max_variables;
  g_walk_bytes = max_bytes == 0 ? KIVO_WALK_MAX_BYTES : max_bytes;
  return 0;
}

int32_t _snmp_walk_with(const SnmpExchange &link, const snmp_oid *oids,
                        const kivo_walk_options *options, bool can_bulk,
                        snmp_pdu_list **list_ref) noexcept {
  if (list_ref != nullptr) *list_ref = nullptr;
  // Fields past what an older caller's record holds take their defaults.
  kivo_walk_options opt{};
  opt.max_repetitions = options == nullptr ? 0 : KIVO_WALK_DEFAULT_REPETITIONS;
  if (options != nullptr) {
    if (options->size < sizeof(uint32_t)) return SNMP_ERR_OTHER;
    std::memcpy(&opt, options, std::min<std::size_t>(options->size, sizeof opt));
  }
  if (list_ref == nullptr && opt.callback == nullptr) return SNMP_ERR_OTHER;
  if (oids == nullptr) return SNMP_ERR_NOPDU;
  return kivo8::guarded<int32_t>(SNMP_ERR_NOMEM,
                                 [&] { return walk(link, oids, opt, can_bulk, list_ref); });
}

extern "C" KIVO8_API int32_t snmp_walk(snmp_session *session, const snmp_oid *oids,
                                       snmp_pdu_list **list_ref) noexcept {
  if (session == nullptr || list_ref == nullptr || session->udp == nullptr)
    return SNMP_ERR_OTHER;
  return _snmp_walk_with({exchange_v1, address_v1, session}, oids, nullptr, false, list_ref);
}

const kivo_walk_options *_snmp_bulk_defaults(const kivo_walk_options *options,
                                             kivo_walk_options &defaults) noexcept {
  if (options != nullptr) return options;
  defaults = kivo_walk_options{};
  defaults.size = sizeof defaults;
  defaults.max_repetitions = KIVO_WALK_DEFAULT_REPETITIONS;
  return &defaults;
}

extern "C" KIVO8_API int32_t kivo_snmp_bulkwalk(snmp_session *session, const snmp_oid *oids,
                                                const kivo_walk_options *options,
                                                snmp_pdu_list **list_ref) noexcept {
  if (session == nullptr || session->udp == nullptr) {
    if (list_ref != nullptr) *list_ref = nullptr;
    return SNMP_ERR_OTHER;
  }
  kivo_walk_options defaults;
  // GetBulkRequest does not exist in SNMPv1: such a session walks by GETNEXT.
  return _snmp_walk_with({exchange_v1, address_v1, session}, oids,
                         _snmp_bulk_defaults(options, defaults),
                         session->version == SNMP_VERSION_2c, list_ref);
}
