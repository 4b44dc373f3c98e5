// One Get-Printer-Attributes exchange as a non-blocking state machine:
// connect -> [TLS handshake] -> write -> read -> done or failed.
//
// The owner polls fd() for events() and calls advance() when the descriptor is ready or
// the deadline has passed; nothing here blocks or reads a clock, so a poll loop can drive
// many exchanges at once and a test can drive one with a clock of its own. Memory is
// bounded by the HTTP reader's caps (header 16 KiB, body 1 MiB) and the message decoder's.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ipp/message.h"

namespace kivo8::ipp {

enum class State : std::uint8_t { Connecting, Handshaking, Writing, Reading, Done, Failed };

enum class Failure : std::uint8_t {
  None,
  Connect,     // refused, unreachable, reset
  Timeout,     // the deadline passed first
  Tls,         // the handshake or the TLS stream failed
  Verify,      // the certificate did not verify (only when verification was asked for)
  Http,        // not an HTTP response, or one the reader refused (see http_text)
  HttpStatus,  // an HTTP status other than 200
  TooBig,      // a header or body past the caps
  Ipp,         // the body is not an IPP message (see ipp_text)
  Memory,
};
const char *failure_text(Failure f) noexcept;

struct Request {
  std::string host_header;  // Host: value
  std::string server_name;  // for TLS: SNI and the name verified; empty for an address
  std::string resource;     // "/ipp/print"
  std::string printer_uri;  // printer-uri sent in the request
  std::string user;         // requesting-user-name; empty for none
  bool tls = false;
  bool verify = false;
  std::uint32_t request_id = 1;
};

// Attributes asked for when none are given.
std::vector<std::string_view> default_requested_attributes();

class Exchange {
 public:
  // Starts connecting to `peer`; `deadline_ms` is on the owner's clock. Check state(): a
  // connect that fails at once leaves the exchange Failed.
  Exchange(const sockaddr *peer, socklen_t peer_len, const Request &request,
           std::uint64_t deadline_ms);
  ~Exchange();
  Exchange(const Exchange &) = delete;
  Exchange &operator=(const Exchange &) = delete;

  int fd() const noexcept;
  short events() const noexcept;  // POLLIN and/or POLLOUT; 0 once finished
  std::uint64_t deadline_ms() const noexcept;
  State state() const noexcept;
  bool finished() const noexcept { return state() == State::Done || state() == State::Failed; }

  // Moves on after poll reported `revents` (0 when woken by the deadline) at `now_ms`.
  void advance(short revents, std::uint64_t now_ms);

  Failure failure() const noexcept;
  std::string detail() const;  // the failure in words, for people
  int http_status() const noexcept;
  const Message &response() const noexcept;  // valid when Done
  bool tls_used() const noexcept;
  bool tls_verified() const noexcept;
  std::string tls_fingerprint() const;  // SHA-256 of the peer's certificate, hex; empty if none

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The resources tried in turn for a printer whose URI names none: where most printers
// answer, then the older and the shortest forms.
std::vector<std::string> usual_resources();

// After a failed exchange: whether the resource was not the printer's (an HTTP error
// status, or a body that is not IPP), so that another is worth a try. Anything else
// would fail the same way again.
bool try_another_resource(const Exchange &x) noexcept;

// An answer that counts: the exchange is done and its IPP status a success (below
// 0x0100; some successes carry notes).
bool answered(const Exchange &x) noexcept;

// True when a printer's attributes say it prints without a driver: it takes PWG raster or
// PDF, and speaks IPP 2.0 or later.
bool driverless(const Message &m);

}  // namespace kivo8::ipp
