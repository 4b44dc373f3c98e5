// Text on its way into CUPS: the lines a backend prints when cupsd asks it for devices,
// and the queue names and shell words of `kivo setup`.
//
// cupsd reads a discovery line as a class, a URI and up to four quoted strings, a
// backslash escaping the byte after it. A device's bytes must never end a string early,
// start a new line or reach a web page or a queue list as control characters, so every
// text from a device passes through cups_backend_text and nothing else.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kivo {

// Longest text kept for make-and-model, info and location, and for the device id (CUPS
// keeps these attributes as IPP names and texts; a 1284 id is often longer than a name).
constexpr std::size_t kCupsTextBytes = 127;
constexpr std::size_t kCupsDeviceIdBytes = 255;

// `bytes` as one quoted string of a backend line: read as UTF-8 (other bytes as Latin-1,
// see to_utf8), every control character (C0, DEL, C1) made a blank, cut to at most
// `max_bytes` bytes of text at a character boundary, then '"' and '\' escaped with a
// backslash and the whole put in double quotes.
std::string cups_backend_text(std::string_view bytes, std::size_t max_bytes);

// A URI a backend line may carry as it is: not empty, at most 511 bytes (so that the
// longest line, every text escaped, stays within the 2 KiB cupsd reads a line in),
// printable ASCII without blanks, quotes or backslashes. Device URIs come from the engine, built
// from addresses and DNS-SD resource names; one that is not fit is left out rather than
// mended, since a changed URI would name another printer.
bool cups_uri_ok(std::string_view uri);

struct CupsDeviceLine {
  std::string uri;             // checked by cups_uri_ok
  std::string make_and_model;  // empty: "Unknown"
  std::string info;
  std::string device_id;
  std::string location;
};
// `network URI "make-and-model" "info" "device-id" "location"` and a line end; nothing
// when the URI is not fit.
std::optional<std::string> cups_backend_line(const CupsDeviceLine &device);

// A CUPS queue name made from a printer's name: letters, digits, '_' and '-' kept (other
// runs of bytes become one '_'), no leading or trailing '_', at most 127 bytes; "printer"
// when nothing is left.
std::string cups_queue_name(std::string_view name);
// True when `name` is a queue name CUPS takes as it is (what cups_queue_name makes).
bool cups_queue_name_ok(std::string_view name);

// One word for a POSIX shell: as it is when it holds only safe characters, else in
// single quotes (a quote inside as '\'').
std::string shell_word(std::string_view text);

}  // namespace kivo
