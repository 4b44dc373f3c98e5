#include "ipp/http.h"

#include <algorithm>
#include <cstring>

#include "kivo8/tcp_utils.h"

namespace kivo8::ipp {

namespace {

bool breaks_head(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_token(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Digits only, and stops counting once past the cap, so no length can overflow.
bool parse_length(std::string_view s, std::uint64_t &out) {
  if (s.empty()) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    if (v <= kMaxBody) v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  out = v;
  return true;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string http_post_head(std::string_view host, std::string_view resource,
                           std::size_t content_length) {
  if (breaks_head(host) || breaks_head(resource) || resource.empty() || resource.front() != '/')
    return {};
  std::string head = "POST ";
  head.append(resource);
  head += " HTTP/1.1\r\nHost: ";
  head.append(host);
  head += "\r\nContent-Type: application/ipp\r\nContent-Length: ";
  head += std::to_string(content_length);
  // One exchange per connection: the reply may then also end with the close.
  head += "\r\nConnection: close\r\nUser-Agent: kivo8\r\n\r\n";
  return head;
}

const char *http_read_text(HttpRead r) noexcept {
  switch (r) {
    case HttpRead::NeedMore: return "response incomplete";
    case HttpRead::Done: return "ok";
    case HttpRead::BadStatusLine: return "not an HTTP/1.x status line";
    case HttpRead::BadHeader: return "malformed HTTP header";
    case HttpRead::HeaderTooBig: return "HTTP header too big";
    case HttpRead::BodyTooBig: return "HTTP body too big";
    case HttpRead::BadChunk: return "malformed chunk";
    case HttpRead::UnsupportedEncoding: return "unsupported transfer encoding";
    case HttpRead::Truncated: return "connection closed before the end of the response";
  }
  return "?";
}

HttpRead HttpResponseReader::head_line(std::string_view line) {
  if (!status_seen_) {
    const std::string text(line);
    const int32_t status = tcp_parse_http_status_line(text.c_str());
    if (status < 100) return fail(HttpRead::BadStatusLine);
    status_ = status;
    status_seen_ = true;
    return HttpRead::NeedMore;
  }
  if (line.front() == ' ' || line.front() == '\t') return fail(HttpRead::BadHeader);
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return fail(HttpRead::BadHeader);
  const std::string_view name = line.substr(0, colon);
  const std::string_view value = trim(line.substr(colon + 1));
  if (same_token(name, "Content-Length")) {
    std::uint64_t n = 0;
    if (!parse_length(value, n)) return fail(HttpRead::BadHeader);
    // Two lengths that disagree leave no way to know where the body ends.
    if (has_length_ && n != length_) return fail(HttpRead::BadHeader);
    if (n > kMaxBody) return fail(HttpRead::BodyTooBig);
    has_length_ = true;
    length_ = n;
  } else if (same_token(name, "Transfer-Encoding")) {
    if (!same_token(value, "chunked")) return fail(HttpRead::UnsupportedEncoding);
    chunked_ = true;
  } else if (same_token(name, "Content-Type")) {
    content_type_ = std::string(value);
  }
  return HttpRead::NeedMore;
}

HttpRead HttpResponseReader::end_of_head() {
  if (!status_seen_) return fail(HttpRead::BadStatusLine);
  if (status_ >= 100 && status_ < 200) {
    // An interim answer (100 Continue): the real one follows.
    status_seen_ = false;
    has_length_ = chunked_ = false;
    length_ = 0;
    content_type_.clear();
    return HttpRead::NeedMore;
  }
  // Transfer-Encoding wins over Content-Length, as HTTP/1.1 says.
  if (chunked_) {
    phase_ = Phase::ChunkSize;
  } else if (has_length_) {
    body_.reserve(static_cast<std::size_t>(length_));
    phase_ = length_ == 0 ? Phase::End : Phase::Body;
  } else {
    phase_ = Phase::Close;
  }
  if (phase_ == Phase::End) return result_ = HttpRead::Done;
  return HttpRead::NeedMore;
}

// Takes what it can from `in` for the current phase.
HttpRead HttpResponseReader::step(std::span<const std::uint8_t> &in) {
  switch (phase_) {
    case Phase::Head:
    case Phase::ChunkSize:
    case Phase::ChunkEnd:
    case Phase::Trailer: {
      const auto *nl = static_cast<const std::uint8_t *>(std::memchr(in.data(), '\n', in.size()));
      const std::size_t take = nl == nullptr ? in.size() : static_cast<std::size_t>(nl - in.data()) + 1;
      const std::size_t cap = (phase_ == Phase::Head || phase_ == Phase::Trailer) ? kMaxHeader : kMaxChunkLine;
      if (phase_ == Phase::Head || phase_ == Phase::Trailer) {
        head_bytes_ += take;
        if (head_bytes_ > kMaxHeader) return fail(HttpRead::HeaderTooBig);
      }
      if (line_.size() + take > cap)
        return fail(phase_ == Phase::Head ? HttpRead::HeaderTooBig : HttpRead::BadChunk);
      line_.append(reinterpret_cast<const char *>(in.data()), take);
      in = in.subspan(take);
      if (nl == nullptr) return HttpRead::NeedMore;
      std::string_view line(line_);
      line.remove_suffix(1);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      HttpRead r = HttpRead::NeedMore;
      if (phase_ == Phase::Head) {
        r = line.empty() ? end_of_head() : head_line(line);
      } else if (phase_ == Phase::ChunkEnd) {
        if (!line.empty()) r = fail(HttpRead::BadChunk);
        else phase_ = Phase::ChunkSize;
      } else if (phase_ == Phase::Trailer) {
        if (line.empty()) {
          phase_ = Phase::End;
          r = result_ = HttpRead::Done;
        }
      } else {
        // A chunk size: hex digits, then an extension after ';' that we ignore.
        const std::string_view digits = trim(line.substr(0, line.find(';')));
        std::uint64_t n = 0;
        if (digits.empty()) return fail(HttpRead::BadChunk);
        for (char c : digits) {
          const int d = hex_digit(c);
          if (d < 0) return fail(HttpRead::BadChunk);
          n = n * 16 + static_cast<std::uint64_t>(d);
          if (n > kMaxBody) return fail(HttpRead::BodyTooBig);
        }
        if (body_.size() + n > kMaxBody) return fail(HttpRead::BodyTooBig);
        length_ = n;
        phase_ = n == 0 ? Phase::Trailer : Phase::ChunkData;
      }
      line_.clear();
      return r;
    }
    case Phase::Body:
    case Phase::ChunkData: {
      const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(length_, in.size()));
      body_.insert(body_.end(), in.begin(), in.begin() + static_cast<std::ptrdiff_t>(take));
      in = in.subspan(take);
      length_ -= take;
      if (length_ == 0) {
        if (phase_ == Phase::Body) {
          phase_ = Phase::End;
          return result_ = HttpRead::Done;
        }
        phase_ = Phase::ChunkEnd;
      }
      return HttpRead::NeedMore;
    }
    case Phase::Close:
      if (body_.size() + in.size() > kMaxBody) return fail(HttpRead::BodyTooBig);
      body_.insert(body_.end(), in.begin(), in.end());
      in = {};
      return HttpRead::NeedMore;
    case Phase::End:
      in = {};
      return HttpRead::Done;
  }
  return HttpRead::NeedMore;
}

HttpRead HttpResponseReader::feed(std::span<const std::uint8_t> bytes) {
  // Each step consumes at least one byte or ends the response, so this loop is bounded.
  while (result_ == HttpRead::NeedMore && !bytes.empty()) {
    const HttpRead r = step(bytes);
    if (r != HttpRead::NeedMore) return result_ = r;
  }
  return result_;
}

HttpRead HttpResponseReader::finish() {
  if (result_ != HttpRead::NeedMore) return result_;
  if (phase_ == Phase::Close) {
    phase_ = Phase::End;
    return result_ = HttpRead::Done;
  }
  return result_ = HttpRead::Truncated;
}

}  // namespace kivo8::ipp
