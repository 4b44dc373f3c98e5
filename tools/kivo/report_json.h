// The input of `kivo report`: the JSON that `kivo discover --json` prints, read into the
// page's records, and several such lists (one per site) merged into one.
//
// The reader takes what it knows and passes over the rest: a field of the wrong type is
// read as absent, so a file from an older or newer kivo still makes a page. Only text
// that is not JSON at all, or JSON that is not a device list, is refused.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "report_html.h"

namespace kivo::report {

// A saved file holds at most this many devices; a discovery keeps 4096 by default.
constexpr std::size_t kMaxDevicesPerList = 100000;

// The devices of one list: a JSON array of devices, or an object with the array under
// "devices". `site` is recorded in every device's `sites`. Nothing (with the reason in
// `error`) when the text is not such JSON.
std::optional<std::vector<Device>> read_devices(std::string_view json, const std::string &site,
                                                std::string &error);

// Adds `more` to `into`: a device of `more` that is one already in `into` (the same
// uuid, or the same serial number, or the same address while neither uuid nor serial
// tells them apart) is merged into it; the others are appended.
void merge_devices(std::vector<Device> &into, std::vector<Device> more);

}  // namespace kivo::report
