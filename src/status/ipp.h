// A printer's status from what it answered to IPP Get-Printer-Attributes (printer-state,
// printer-state-reasons and the marker-* attributes), in the same model as an SNMP read,
// and the rule that joins the two. Pure code: the IPP answer's values come in as plain
// lists, so that this needs neither sockets nor the IPP decoder.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "status/model.h"

namespace kivo8::status {

// What a Get-Printer-Attributes answer held of the printer's state and markers, as sent.
// Lists longer than kMaxSupplies + 1 (reasons: kMaxReasons) are cut by whoever fills
// this, texts to kMaxText.
struct IppMarkers {
  std::optional<std::int32_t> state;                 // printer-state
  std::optional<std::vector<std::string>> reasons;   // printer-state-reasons
  std::vector<std::string> names, types, colors;     // marker-names, -types, -colors
  std::vector<std::optional<std::int32_t>> levels;   // marker-levels (null: not an integer)
};

inline constexpr std::size_t kMaxReasons = 64;

// The error bit a printer-state-reasons keyword stands for ("media-empty-error" ->
// noPaper), its -report, -warning or -error suffix aside; nullopt when none has that
// meaning.
std::optional<int> error_bit_of_reason(std::string_view reason) noexcept;

// The Printer MIB's supply type (PrtMarkerSuppliesTypeTC) of a marker-types keyword
// ("waste-toner" -> wasteToner(4)); nullopt for a keyword the MIB does not list.
std::optional<std::int32_t> supply_type_of_marker(std::string_view keyword) noexcept;

// The status the answer gives: printer-state as hrPrinterStatus (idle, printing; stopped
// is other), printer-state-reasons as error bits (those that name none kept as text), one
// supply per marker with its level in percent. Every part it sets says it came from IPP.
Status from_ipp(const IppMarkers &ipp);

// Fills what `snmp` lacks from `ipp`: the printer status, the error bits, the supplies
// (all of IPP's when SNMP listed none, never mixed). SNMP's values stay as they are.
void fill_gaps(Status &snmp, const Status &ipp);

}  // namespace kivo8::status
