// HTTP/1.1 as IPP uses it: one POST of an application/ipp body, one response read back.
//
// Pure code, no sockets: the request writer returns bytes, the response reader is fed
// whatever the socket gave and says whether it needs more, is done or refuses. Every size
// the peer states is checked against a fixed cap before anything is kept: headers
// (kMaxHeader in all), a body (kMaxBody, whether announced by Content-Length, by chunk
// sizes or by the connection closing), one chunk-size line. A response that states a
// length past the cap is refused at once rather than read until the cap is reached.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kivo8::ipp {

inline constexpr std::size_t kMaxHeader = std::size_t{16} * 1024;
inline constexpr std::size_t kMaxBody = std::size_t{1} << 20;
inline constexpr std::size_t kMaxChunkLine = 1024;

// The request head for POSTing `content_length` bytes of application/ipp to `resource`;
// `host` is the Host header's value (host or [v6] with ":port" when not the default).
// Empty when a text would break the head (a CR, LF or NUL in host or resource).
std::string http_post_head(std::string_view host, std::string_view resource,
                           std::size_t content_length);

enum class HttpRead : std::uint8_t {
  NeedMore,
  Done,
  BadStatusLine,
  BadHeader,      // a header line without a colon, a folded line, a bad Content-Length
  HeaderTooBig,
  BodyTooBig,     // a Content-Length, chunk size or body past kMaxBody
  BadChunk,       // a chunk-size line that is not hex, too long, or data without its CRLF
  UnsupportedEncoding,  // a Transfer-Encoding other than chunked
  Truncated,      // the connection closed before the body's end
};
const char *http_read_text(HttpRead r) noexcept;

class HttpResponseReader {
 public:
  // Takes the next bytes from the connection; returns NeedMore until the response is
  // complete (Done) or refused. Bytes after the end of the response are ignored.
  HttpRead feed(std::span<const std::uint8_t> bytes);
  // The connection closed: Done when the body was delimited by the close, else Truncated
  // (or the earlier result).
  HttpRead finish();

  int status() const noexcept { return status_; }
  const std::string &content_type() const noexcept { return content_type_; }
  const std::vector<std::uint8_t> &body() const noexcept { return body_; }
  HttpRead result() const noexcept { return result_; }

 private:
  enum class Phase : std::uint8_t { Head, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Close, End };
  HttpRead head_line(std::string_view line);
  HttpRead end_of_head();
  HttpRead step(std::span<const std::uint8_t> &in);
  HttpRead fail(HttpRead r) { return result_ = r; }

  Phase phase_ = Phase::Head;
  HttpRead result_ = HttpRead::NeedMore;
  std::string line_;          // the line being gathered (head, chunk size, trailer)
  std::size_t head_bytes_ = 0;
  bool status_seen_ = false;
  int status_ = 0;
  bool chunked_ = false;
  bool has_length_ = false;
  std::uint64_t length_ = 0;  // Content-Length, or the bytes left of the current chunk
  std::string content_type_;
  std::vector<std::uint8_t> body_;
};

}  // namespace kivo8::ipp
