// kivo run as the CUPS backend kivo-cups: with no arguments cupsd (cups-deviced) asks it
// for the printers it can find, one backend line per device; it prints nothing itself.
#include <arpa/inet.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "common.h"
#include "cups_backend.h"
#include "cups_line.h"
#include "discover_options.h"

namespace kivo {

namespace {

// cupsd listens to discovery backends only for the time-out its client asked for (15
// seconds when lpinfo or the web interface give none); what comes later is lost. The
// search therefore ends after 8 seconds whatever is still in flight, which leaves room
// for the start-up and a loaded machine.
constexpr std::int32_t kBackendDeadlineMs = 8000;

// CUPS's exit status for a backend that cannot do the job (CUPS_BACKEND_FAILED).
constexpr int kBackendFailed = 1;

// The schemes CUPS prints with that the engine finds, best first as it orders them.
bool printable(const kivo_discover_endpoint &e) {
  return (e.scheme == KIVO_ENDPOINT_IPPS || e.scheme == KIVO_ENDPOINT_IPP ||
          e.scheme == KIVO_ENDPOINT_SOCKET || e.scheme == KIVO_ENDPOINT_LPD) &&
         e.uri != nullptr && cups_uri_ok(e.uri);
}

std::string text(const char *s) { return s != nullptr ? s : ""; }

}  // namespace

std::optional<CupsDeviceLine> backend_device(const kivo_discover_device &d) {
  const kivo_discover_endpoint *best = nullptr;
  for (std::uint32_t i = 0; i < d.endpoint_count && best == nullptr; ++i)
    if (printable(d.endpoints[i])) best = &d.endpoints[i];
  if (best == nullptr) return std::nullopt;
  CupsDeviceLine line;
  line.uri = best->uri;
  line.make_and_model = text(d.ipp_make_and_model);
  if (line.make_and_model.empty() && d.device_id_mfg[0] != '\0' && d.device_id_mdl[0] != '\0')
    line.make_and_model = std::string(d.device_id_mfg) + " " + d.device_id_mdl;
  if (line.make_and_model.empty()) line.make_and_model = text(d.product_name);
  std::string name = text(d.product_name);
  if (name.empty()) name = line.make_and_model;
  char address[INET_ADDRSTRLEN] = "";
  (void)inet_ntop(AF_INET, &d.address, address, sizeof address);
  // The address goes first so that a long name cut at the end still shows which printer
  // it is.
  line.info = address;
  if (!name.empty()) {
    line.info += ' ';
    line.info += name;
  }
  line.device_id = text(d.device_id);
  line.location = text(d.ipp_location);
  return line;
}

bool run_as_backend(std::string_view argv0) {
  const std::size_t slash = argv0.rfind('/');
  const std::string_view base = slash == std::string_view::npos ? argv0 : argv0.substr(slash + 1);
  // Printing a job, cupsd passes the device URI as argv[0] ("kivo-cups:/...").
  return base == "kivo-cups" || argv0.substr(0, 10) == "kivo-cups:";
}

int cups_backend(int argc, char **argv) {
  (void)argv;
  if (argc == 6 || argc == 7) {
    (void)std::fputs("ERROR: kivo-cups only finds printers; it does not print. Give the queue the "
               "printer's own URI (ipp://, ipps://, socket:// or lpd://), as kivo-cups "
               "lists it.\n",
               stderr);
    return kBackendFailed;
  }
  if (argc != 1) {
    (void)std::fputs("Usage: kivo-cups (run by cupsd to list the network printers it finds)\n", stderr);
    return kBackendFailed;
  }
  DiscoverOptions opt;
  opt.quiet = true;
  opt.communities = default_communities();
  const int rc = discover_records(opt, kBackendDeadlineMs,
                                  [](const kivo_discover_device &d, std::FILE *out) {
                                    const auto device = backend_device(d);
                                    if (!device) return;
                                    if (const auto line = cups_backend_line(*device))
                                      (void)std::fputs(line->c_str(), out);
                                  });
  // No printer found, or no network to search, is an empty list, not a failure.
  (void)rc;
  return 0;
}

}  // namespace kivo
