// The one description of a device over SNMP, whatever the version that reads it: the
// objects asked for, which Device field each fills, and how an object identifier is
// written as text. The SNMP search reads its answers here, v1/v2c and SNMPv3 alike.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "discover/search.h"
#include "kivo8/snmp_sess.h"
#include "snmp/pdu_view.h"

namespace kivo::discover {

using Name = std::vector<std::uint32_t>;

// sysDescr, sysObjectID, sysName, hrDeviceType.1, hrDeviceDescr.1,
// prtGeneralPrinterName.1, the standard IEEE 1284 device id and the private one that many
// print servers answer, in the order a describe GET asks for them.
const std::vector<Name> &describe_names();

// The Printer-MIB, whose presence (below it) makes a device a printer.
const Name &printer_mib();

// An object identifier as dotted decimals, without a leading dot ("1.3.6.1.4.1.11").
std::string dotted(std::span<const std::uint32_t> oid);

// Fills the field of `device` that the binding `v` answers, when it is one of
// describe_names() with a value. True when the binding shows the device is a printer (a
// printer name, or the printer device type).
bool apply_binding(Device &device, const kivo8::snmp::Binding &v);

}  // namespace kivo::discover
