// What `kivo status` prints: each device's state and supplies as text for a person, as
// JSON, or as OpenMetrics text. Nothing here talks to the network.
//
// Device texts are bytes as the device sent them: the text view shows them through
// safe_text (no control character reaches the terminal), JSON through json_string, and
// OpenMetrics label values through openmetrics_label() — one function per output.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "json_out.h"
#include "kivo8/status.h"

namespace kivo {

struct DeviceStatus {
  std::string address;                 // as given on the command line
  const kivo_status *status = nullptr;  // null when the read failed
  std::string error;                   // why, when it failed
};

void print_status_text(std::FILE *out, const std::vector<DeviceStatus> &devices);
// A JSON array, one object per device (an object with "address" and "error" for one
// that did not answer).
std::string status_json(const std::vector<DeviceStatus> &devices);
// OpenMetrics text ending in "# EOF", every family once with the samples of all devices.
std::string status_openmetrics(const std::vector<DeviceStatus> &devices);

// A label value for OpenMetrics: backslash, double quote and line feed escaped as the
// format wants, every byte that is not part of valid UTF-8 replaced by U+FFFD; nothing
// else changes (the format takes any other character as it is).
std::string openmetrics_label(std::string_view text);

// One device's status as `kivo status --json` writes it after its "address" (state,
// device_status, errors, alerts, supplies ...): `kivo discover --status` puts the same
// object under "status".
Json status_fields_json(const kivo_status &status);

// The state and supplies in one short line for a table cell, device texts through
// safe_text: "idle; black 75%, cyan 40%, waste 80% left; 2 alerts", the state followed by
// the error flags that are set ("other: doorOpen, jammed").
std::string status_brief(const kivo_status &status);

// The bar of a supply ("[#########...........]  45%") or what stands for its level.
std::string supply_gauge(const kivo_status_supply &supply,
                         std::int32_t source = KIVO_STATUS_SOURCE_SNMP);

}  // namespace kivo
