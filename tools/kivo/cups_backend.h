// kivo as the CUPS discovery backend kivo-cups (see cups_backend.cpp).
#pragma once

#include <optional>
#include <string_view>

#include "cups_line.h"
#include "kivo8/discover.h"

namespace kivo {

// True when kivo was started as kivo-cups (by that name, or by cupsd with a kivo-cups
// device URI as argv[0]).
bool run_as_backend(std::string_view argv0);
// The backend: lines on standard output; 0, or CUPS's failure status for a print job.
int cups_backend(int argc, char **argv);
// The line of one device: its best endpoint CUPS prints with and its texts; nothing when
// it has no such endpoint.
std::optional<CupsDeviceLine> backend_device(const kivo_discover_device &device);

}  // namespace kivo
