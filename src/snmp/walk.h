// The one walk engine: every walk of the library (snmp_walk, kivo_snmp_bulkwalk, their
// SNMPv3 twins and the status reader's table reads) goes through SnmpWalker, over the
// exchange of its session kind, asking by GETNEXT or GETBULK.
//
// Invariants: a binding is taken only when it lies inside its root's subtree, holds no
// exception value and comes strictly after the last name its root gave; only bindings
// that the response holds are looked at, whatever count of rows the agent chose to send;
// every walk ends within the process-wide limits of kivo_snmp_walk_limits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "kivo8/snmp_sess.h"
#include "snmp/session_internal.h"

namespace kivo8::snmp {

struct WalkRules {
  bool bulk = false;  // GETBULK (SNMPv2c, SNMPv3), else GETNEXT
  std::uint32_t max_repetitions = KIVO_WALK_DEFAULT_REPETITIONS;
  // false: the walk ends when the first root ends, and a name that does not increase or
  // a row the agent left short fails it (snmp_walk's rules). true: each root ends alone
  // (leaving its subtree, an exception, a name that does not increase, SNMPv1's
  // noSuchName at its position) and the others go on (a table read column by column).
  bool roots_apart = false;
  std::uint64_t max_rows = 0;  // 0: only the process-wide limits
  // Some agents leave every GetBulkRequest unanswered: when the first one draws no reply
  // at all, ask the same names again by GETNEXT and go on that way (fell_back() tells).
  bool next_after_silence = false;
  // The exception value that ends a walk (not roots_apart) inside its subtree is taken.
  bool keep_end = false;
};

enum class WalkEnd {
  done,     // every root ended, or max_rows reached
  stopped,  // the sink asked to stop
  too_big,  // tooBig (or a reply that does not decode) with one row asked
  refused,  // another error status
  failed,   // `code` says why
};

struct WalkResult {
  WalkEnd end;
  std::int32_t code;  // SNMP_ERR_NONE for done and stopped
};

// Receives each response, owned from then on, with only the bindings that the walk took
// (in the response's order). 0 goes on, 1 stops the walk, a negative code fails it.
struct WalkSink {
  std::int32_t (*keep)(void *context, snmp_pdu *response) noexcept;
  void *context;
};

class SnmpWalker {
 public:
  SnmpWalker(const SnmpExchange &link, const WalkRules &rules) : link_(link), rules_(rules) {}

  // False for a null or empty name or one of more than SNMP_VAR_NAME_STORAGE arcs.
  bool add_root(const std::uint32_t *name, std::uint32_t length);
  // Runs until the end; may be run again after a too_big end once the caller has moved
  // the roots on. May throw std::bad_alloc (callers guard).
  WalkResult run(const WalkSink &sink);

  // For a caller that steps over a root by itself: the roots still going, in request
  // order, and where each one stands.
  const std::vector<std::size_t> &active() const { return active_; }
  void set_active(std::vector<std::size_t> active) { active_ = std::move(active); }
  std::span<const std::uint32_t> root(std::size_t k) const { return roots_[k]; }
  std::span<const std::uint32_t> current(std::size_t k) const { return current_[k]; }
  void move_to(std::size_t k, std::span<const std::uint32_t> name) {
    current_[k].assign(name.begin(), name.end());
  }
  // True once the walk went over to GETNEXT (next_after_silence).
  bool fell_back() const { return fell_back_; }
  // A row the caller read by itself, counted against max_rows.
  void count_row() { ++rows_; }

 private:
  snmp_pdu *request(std::uint32_t repetitions) const;
  struct Judged {
    WalkEnd end = WalkEnd::done;
    bool finished = false;  // the walk ends after this response
    std::int32_t code = SNMP_ERR_NONE;
    std::uint64_t rows = 0;
    std::uint64_t taken = 0;
  };
  Judged judge(snmp_pdu *response, std::uint64_t rows_left);

  SnmpExchange link_;
  WalkRules rules_;
  std::vector<std::vector<std::uint32_t>> roots_, current_;
  std::vector<std::size_t> active_;
  std::uint64_t rows_ = 0;  // rows taken so far, over every run
  bool answered_ = false;   // a reply came to one of our requests
  bool fell_back_ = false;
};

}  // namespace kivo8::snmp
