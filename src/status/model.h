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

struct Supply {
  std::uint32_t device = 0;  // hrDeviceIndex the row belongs to
  std::int32_t index = 0;
  std::optional<std::int32_t> supply_class, type, unit, max_capacity, level, colorant_index;
  std::optional<std::string> description, colorant;

  // Percentage of the level, only where the device's numbers define one.
  std::optional<std::int32_t> percent() const;
  bool is_receptacle() const;
};

struct Alert {
  std::uint32_t device = 0;
  std::int32_t index = 0;
  std::optional<std::int32_t> severity, training_level, group, group_index, location, code;
  std::optional<std::string> description;
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
};

// The error bits of an hrPrinterDetectedErrorState value: the first two octets, bit 0 the
// top bit of the first; an empty string has none, later octets are ignored.
std::uint32_t error_bits(std::span<const std::uint8_t> octets) noexcept;

// Reads every binding it knows and ignores the rest (other objects, exception values,
// values of the wrong type). `address` is the agent's IPv4 address in network order, the
// one the request went to: its ipAdEntIfIndex picks the interface whose MAC is reported.
Status decode(std::span<const Binding> bindings, std::uint32_t address);

// The object identifiers the decoder reads, for the reader and the tests.
namespace oid {
using Oid = std::vector<std::uint32_t>;
extern const Oid kSysUpTime, kSysContact, kSysLocation;
extern const Oid kIfPhysAddress;     // column, indexed by ifIndex
extern const Oid kIpAdEntIfIndex;    // column, indexed by the address
extern const Oid kHrDeviceStatus;    // column, indexed by hrDeviceIndex
extern const Oid kHrPrinterStatus, kHrPrinterErrorState;
extern const Oid kPrtSerial;         // prtGeneralSerialNumber
extern const Oid kPrtLifeCount;      // prtMarkerLifeCount
extern const Oid kPrtSuppliesEntry;  // columns 2 .. 9 below it
extern const Oid kPrtColorantValue;
extern const Oid kPrtConsoleText;
extern const Oid kPrtAlertEntry;     // columns 2 .. 8 below it
}  // namespace oid

}  // namespace kivo8::status
