// The one path of a status read, as a state machine that moves no bytes: it says which
// request goes out next and takes the answer to it, whoever carries them. The blocking
// read (read.cpp) drives it over a session, one exchange after another; the discovery
// engine drives many of them at once in its event loop. Both hand every answer here and
// get the same record from the same answers.
//
// Every table is walked by TableWalk alone (GETBULK on SNMPv2c and SNMPv3, GETNEXT on
// SNMPv1); nothing else knows how a table is read.
//
// An answer comes as the library's one message type, a view into the datagram; the reader
// copies out only the bindings it keeps (Kept), so a read holds what it keeps and never
// a whole reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "kivo8/snmp_sess.h"
#include "snmp/pdu_view.h"
#include "status/model.h"

namespace kivo8::status {

using Oid = std::vector<std::uint32_t>;

// The bindings a read keeps, copied out of the answers: each name's arcs and, of each
// value, only what the decoder reads of it, in the form it reads it (an INTEGER or a
// 32-bit unsigned value as four host-order octets, an OCTET STRING's octets as far as
// octets_read() says). Other values (exceptions, OIDs, Counter64 ...) keep their name and
// type only: the decoder reads no more of them. A binding whose name is longer than any
// the decoder reads (kLongestNameRead) is not kept at all.
//
// Names and values go into blocks that never move (4 KiB at first, twice the last up to
// 64 KiB): the store grows by what it keeps, without copying what it holds nor reserving
// twice of it, and a view stays valid as long as the store.
class Kept {
 public:
  void add(const snmp::Binding &b);
  std::size_t size() const { return entries_.size(); }
  Binding operator[](std::size_t i) const;
  std::vector<Binding> views() const;
  // The heap bytes the store holds, for the benchmark of a read's memory.
  std::size_t held_bytes() const;

 private:
  struct Entry {
    const std::uint32_t *name = nullptr;
    const std::uint8_t *value = nullptr;
    std::uint16_t name_size = 0, value_size = 0;
    std::uint8_t type = 0;
  };
  struct Free {
    void operator()(std::uint8_t *p) const noexcept { delete[] p; }
  };
  // `size` octets at a four-octet boundary of the last block, or of a new one.
  std::uint8_t *place(std::size_t size);
  std::vector<Entry> entries_;
  std::vector<std::unique_ptr<std::uint8_t[], Free>> blocks_;
  std::size_t block_size_ = 0, used_ = 0, held_ = 0;
};

enum class Command : std::uint8_t { get, getnext, getbulk };

struct Request {
  Command command = Command::get;
  std::vector<Oid> names;
  // GETBULK's max-repetitions (its non-repeaters are 0: every name repeats).
  std::uint32_t max_repetitions = 0;
};

// How many rows a GetBulkRequest of a table asks at first; a tooBig answer halves it.
inline constexpr std::uint32_t kTableRepetitions = 10;

// True for the codes that end a whole read (no answer, a socket or security failure);
// the others (an undecodable reply, a refusal) end only what was asked.
bool transport_failed(std::int32_t rc) noexcept;

// One walk of the columns below `entry` (or of the one column `entry` when `columns` is
// empty), all in step, at most `max_rows` rows: each request asks, for every column not
// yet finished, the name after the last one it gave. A column ends when its next name
// leaves it or does not increase, at an exception value, or at an SNMPv1 noSuchName for
// it. A row too big for one reply is asked a column at a time.
//
// With `bulk` the rows are asked by GETBULK, several at a time: a tooBig answer (or one
// too big to decode) halves the rows asked, down to one, and then the row is asked as
// above; an agent may send fewer or more rows than asked and only what the answer holds is
// read. A GETBULK left unanswered before any was answered turns the walk to GETNEXT, with
// the same names asked again (fell_back() tells, so that the rest of the read asks that
// way too): some agents never answer one.
class TableWalk {
 public:
  TableWalk(oid::Name entry, std::span<const std::uint32_t> columns, std::size_t max_rows,
            bool bulk = false);
  bool fell_back() const { return fell_back_; }
  // The next request, or false when the walk has ended.
  bool next(Request &out);
  // The answer to the last request (`response` is read with SNMP_ERR_NONE only); the
  // bindings it keeps are copied into `kept`. A code that ends the whole read is returned;
  // otherwise SNMP_ERR_NONE.
  std::int32_t answer(std::int32_t rc, const snmp::Message *response, Kept &kept);

 private:
  struct Outcome;
  Outcome judge(std::int32_t rc, const snmp::Message *response, std::span<const std::size_t> asked,
                std::vector<std::size_t> &still, Kept &kept);
  void end_row_by_column();
  std::int32_t answer_bulk(std::int32_t rc, const snmp::Message *response, Kept &kept);

  std::vector<Oid> roots_, current_;
  std::vector<std::size_t> active_;
  std::size_t rows_ = 0, max_rows_ = 0, requests_left_ = 0;
  bool ended_ = false;
  // Asking a row a column at a time: the position in active_, the columns whose value
  // alone is too big, those that gave their row, and the row's index once one did.
  bool by_column_ = false;
  std::size_t column_ = 0;
  std::vector<std::size_t> skipped_, still_;
  std::optional<Oid> row_;
  bool bulk_ = false, bulk_answered_ = false, fell_back_ = false;
  std::uint32_t repetitions_ = kTableRepetitions;
};

class Reader {
 public:
  // `address`: the device's IPv4 address in network order, the one the requests go to.
  // `bulk`: its version has GETBULK (SNMPv2c, SNMPv3), which the tables are then read by.
  Reader(std::uint32_t address, bool bulk);
  // The request to send now; null once the read has ended.
  const Request *request() const { return finished_ ? nullptr : &request_; }
  // The answer to request(): the code the transport gave and, with SNMP_ERR_NONE, the
  // response (null otherwise). What the reader keeps of it is copied out before this
  // returns: the message and its datagram may go right after.
  void answer(std::int32_t rc, const snmp::Message *response);
  // The heap bytes of what the read has kept so far.
  std::size_t kept_bytes() const { return bindings_.held_bytes(); }
  bool finished() const { return finished_; }
  // SNMP_ERR_NONE, or the code that ended the read (the device did not answer its first
  // request, a transport failure).
  std::int32_t result() const { return result_; }
  // The status made from every answer; only once finished with SNMP_ERR_NONE.
  Status status() const;

 private:
  enum class Stage : std::uint8_t { scalars, phys, printers, device_status, tables, done };
  void settle();
  void end(std::int32_t rc);
  void keep(const snmp::Message &response);
  void open_get();
  void ask_get();
  std::optional<std::int32_t> if_index(const Oid &name) const;
  std::vector<std::uint32_t> printer_devices() const;

  std::uint32_t address_;
  bool bulk_;
  Stage stage_ = Stage::scalars;
  bool finished_ = false;
  std::int32_t result_ = SNMP_ERR_NONE;
  Request request_;
  // The names a GET stage still asks (an SNMPv1 noSuchName removes one at a time).
  std::vector<Oid> scalars_;
  // A reply too big for the receive buffer (or a tooBig answer) to a GET of several
  // names: its names are asked one at a time from then on, in that stage; and whether
  // any of those replies decoded.
  bool one_by_one_ = false, get_answered_ = false;
  bool stage_open_ = false;
  std::size_t table_ = 0;
  std::optional<TableWalk> walk_;
  Oid ip_entry_, ip_address_;
  Kept bindings_;
};

}  // namespace kivo8::status
