// A printer's state and supplies as the status decoder makes them from the bindings that
// table walks return. Pure code: no sockets, no C records (those are made at the
// exported edge, status.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace kivo8::status {

// One variable binding as a walk returns it, the value in the form snmp_var holds it:
// INTEGER as a host-order int32_t, Counter32, Gauge32 and TimeTicks as a host-order
// uint32_t, OCTET STRING as its bytes. Exception values (noSuchObject ...) carry no bytes.
struct Binding {
  std::span<const std::uint32_t> name;
  std::uint8_t type = 0;
  std::span<const std::uint8_t> value;
};

// Caps on what the decoder keeps, whatever the bindings hold: the reader asks for no more
// rows than these, and a device (or a fuzzer) that sends more still cannot grow a record.
constexpr std::size_t kMaxSupplies = 256;
constexpr std::size_t kMaxAlerts = 256;
constexpr std::size_t kMaxColorants = 256;
constexpr std::size_t kMaxDisplayLines = 32;
// Device texts longer than this are cut: no MIB text is longer than 255 octets.
constexpr std::size_t kMaxText = 4096;

// Where a part of a status came from. SNMP's Printer MIB is the first choice; IPP's
// printer attributes fill what SNMP did not give (or the whole status of a printer that
// does not answer SNMP).
enum class Source : std::uint8_t { kNone = 0, kSnmp = 1, kIpp = 2 };

struct Supply {
  std::uint32_t device = 0;  // hrDeviceIndex the row belongs to
  std::int32_t index = 0;
  std::optional<std::int32_t> supply_class, type, unit, max_capacity, level, colorant_index;
  std::optional<std::string> description, colorant;

  // Percentage of the level, only where the device's numbers define one.
  std::optional<std::int32_t> percent() const;
  bool is_receptacle() const;
  bool operator==(const Supply &) const = default;
};

struct Alert {
  std::uint32_t device = 0;
  std::int32_t index = 0;
  std::optional<std::int32_t> severity, training_level, group, group_index, location, code;
  std::optional<std::string> description;
  bool operator==(const Alert &) const = default;
};

struct Status {
  std::optional<std::int32_t> printer_status, device_status;
  std::optional<std::uint32_t> errors;  // bit n = error n (bit 0 lowPaper)
  std::vector<Supply> supplies;         // in index order
  bool supplies_truncated = false;
  std::vector<Alert> alerts;
  bool alerts_truncated = false;
  std::optional<std::uint32_t> page_count, uptime_ticks;
  std::optional<std::string> serial, location, contact;
  std::optional<std::string> mac;  // "00:1b:..."
  std::vector<std::string> display;
  // Where the printer status, the error bits and the supplies came from (kNone when
  // neither gave them). The decoder of SNMP bindings sets kSnmp for what it read.
  Source status_from = Source::kNone, errors_from = Source::kNone, supplies_from = Source::kNone;
  // IPP's own words, kept as the printer gave them: printer-state (3 idle, 4 processing,
  // 5 stopped) and the printer-state-reasons that name no error bit, comma-separated.
  std::optional<std::int32_t> ipp_state;
  std::optional<std::string> ipp_reasons_other;
  bool operator==(const Status &) const = default;
};

// The error bits of an hrPrinterDetectedErrorState value: the first two octets, bit 0 the
// top bit of the first; an empty string has none, later octets are ignored.
std::uint32_t error_bits(std::span<const std::uint8_t> octets) noexcept;

// Reads every binding it knows and ignores the rest (other objects, exception values,
// values of the wrong type). `address` is the agent's IPv4 address in network order, the
// one the request went to: its ipAdEntIfIndex (or ipAddressIfIndex) picks the interface
// whose MAC is reported.
Status decode(std::span<const Binding> bindings, std::uint32_t address);

// No name the decoder reads is longer than this (ipAddressIfIndex.1.4.a.b.c.d): a reader
// need not keep a binding with a longer one.
inline constexpr std::size_t kLongestNameRead = 16;

// How many octets of a string value named `name` the decoder reads at most: kMaxText of a
// text it reports, fewer of the error bits and of a MAC, none where it reads no string. A
// reader that keeps no more of each value gets the same status from decode().
std::size_t octets_read(std::span<const std::uint32_t> name) noexcept;

// The object identifiers the decoder reads, for the reader and the tests.
namespace oid {
using Name = std::span<const std::uint32_t>;
inline constexpr std::uint32_t kSysUpTime[] = {1, 3, 6, 1, 2, 1, 1, 3, 0};
inline constexpr std::uint32_t kSysContact[] = {1, 3, 6, 1, 2, 1, 1, 4, 0};
inline constexpr std::uint32_t kSysLocation[] = {1, 3, 6, 1, 2, 1, 1, 6, 0};
// Columns, indexed by ifIndex, by the IPv4 address, by hrDeviceIndex.
inline constexpr std::uint32_t kIfPhysAddress[] = {1, 3, 6, 1, 2, 1, 2, 2, 1, 6};
inline constexpr std::uint32_t kIpAdEntIfIndex[] = {1, 3, 6, 1, 2, 1, 4, 20, 1, 2};
// ipAddressIfIndex, the newer table's column, indexed by ipv4(1), 4 and the address.
inline constexpr std::uint32_t kIpAddressIfIndex[] = {1, 3, 6, 1, 2, 1, 4, 34, 1, 3};
inline constexpr std::uint32_t kHrDeviceStatus[] = {1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 5};
inline constexpr std::uint32_t kHrPrinterEntry[] = {1, 3, 6, 1, 2, 1, 25, 3, 5, 1};
inline constexpr std::uint32_t kHrPrinterStatus[] = {1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 1};
inline constexpr std::uint32_t kHrPrinterErrorState[] = {1, 3, 6, 1, 2, 1, 25, 3, 5, 1, 2};
inline constexpr std::uint32_t kPrtSerial[] = {1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 17};
inline constexpr std::uint32_t kPrtLifeCount[] = {1, 3, 6, 1, 2, 1, 43, 10, 2, 1, 4};
// prtMarkerSuppliesEntry and prtAlertEntry: their columns (2 .. 9) follow.
inline constexpr std::uint32_t kPrtSuppliesEntry[] = {1, 3, 6, 1, 2, 1, 43, 11, 1, 1};
inline constexpr std::uint32_t kPrtColorantValue[] = {1, 3, 6, 1, 2, 1, 43, 12, 1, 1, 4};
inline constexpr std::uint32_t kPrtConsoleText[] = {1, 3, 6, 1, 2, 1, 43, 16, 5, 1, 2};
inline constexpr std::uint32_t kPrtAlertEntry[] = {1, 3, 6, 1, 2, 1, 43, 18, 1, 1};
}  // namespace oid

// The tables a status read walks after the scalars and the printer rows, with the rows
// it asks for: one more than the decoder keeps, so that it sees that a device had more.
// Any reader (the synchronous one in read.cpp, or an event loop) walks these and hands
// every binding it got to decode().
struct TablePlan {
  oid::Name entry;                         // a column, or an entry whose columns follow
  std::span<const std::uint32_t> columns;  // empty: `entry` is the one column
  std::size_t rows;
};
inline constexpr std::uint32_t kSupplyColumns[] = {3, 4, 5, 6, 7, 8, 9};
inline constexpr std::uint32_t kAlertColumns[] = {2, 3, 4, 5, 6, 7, 8};
inline constexpr std::uint32_t kPrinterColumns[] = {1, 2};  // below kHrPrinterEntry
inline constexpr std::size_t kPrinterRows = 8;
inline constexpr TablePlan kTables[] = {
    {oid::kPrtSerial, {}, kPrinterRows},
    {oid::kPrtLifeCount, {}, kPrinterRows},
    {oid::kPrtConsoleText, {}, kMaxDisplayLines + 1},
    {oid::kPrtSuppliesEntry, kSupplyColumns, kMaxSupplies + 1},
    {oid::kPrtColorantValue, {}, kMaxColorants + 1},
    {oid::kPrtAlertEntry, kAlertColumns, kMaxAlerts + 1},
};

}  // namespace kivo8::status
