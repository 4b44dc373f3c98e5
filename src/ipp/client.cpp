#include "ipp/client.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/unique_fd.h"
#include "ipp/http.h"

namespace kivo8::ipp {

const char *failure_text(Failure f) noexcept {
  switch (f) {
    case Failure::None: return "ok";
    case Failure::Connect: return "could not connect";
    case Failure::Timeout: return "timed out";
    case Failure::Tls: return "TLS failed";
    case Failure::Verify: return "certificate not verified";
    case Failure::Http: return "bad HTTP response";
    case Failure::HttpStatus: return "HTTP error status";
    case Failure::TooBig: return "response too big";
    case Failure::Ipp: return "bad IPP response";
    case Failure::Memory: return "out of memory";
  }
  return "?";
}

std::vector<std::string_view> default_requested_attributes() {
  return {"printer-make-and-model", "printer-name", "printer-info", "printer-location",
          "printer-state", "printer-state-reasons", "printer-uuid", "printer-more-info",
          "document-format-supported", "ipp-versions-supported", "urf-supported",
          "pwg-raster-document-resolution-supported", "marker-names", "marker-types",
          "marker-colors", "marker-levels", "printer-device-id", "printer-uri-supported"};
}

namespace {

struct SslCtxFree {
  void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL *s) const { SSL_free(s); }
};

// strerror's text without its shared buffer (the GNU strerror_r returns the text).
std::string error_text(int e) {
  char buf[128] = "";
  return ::strerror_r(e, buf, sizeof buf);
}

std::string hex(const unsigned char *p, unsigned n) {
  std::string out;
  char b[4];
  for (unsigned i = 0; i < n; ++i) {
    (void)std::snprintf(b, sizeof b, "%02X", p[i]);
    out += b;
  }
  return out;
}

}  // namespace

struct Exchange::Impl {
  Request request;
  std::uint64_t deadline = 0;
  State state = State::Connecting;
  Failure failure = Failure::None;
  std::string detail;
  UniqueFd fd;
  std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
  std::unique_ptr<SSL, SslFree> ssl;
  short want = POLLOUT;
  std::vector<std::uint8_t> out;  // head and body to send
  std::size_t sent = 0;
  HttpResponseReader reader;
  Message response;
  bool verified = false;
  std::string fingerprint;

  void fail(Failure f, std::string why = {}) {
    state = State::Failed;
    failure = f;
    detail = why.empty() ? failure_text(f) : std::move(why);
    want = 0;
    ssl.reset();
    ctx.reset();
    fd.reset();
  }

  bool build_request() {
    const auto wanted = default_requested_attributes();
    std::vector<std::uint8_t> body;
    if (!encode(get_printer_attributes_request(request.request_id, request.printer_uri,
                                               request.user, wanted),
                body))
      return false;
    const std::string head = http_post_head(request.host_header, request.resource, body.size());
    if (head.empty()) return false;
    out.assign(head.begin(), head.end());
    out.insert(out.end(), body.begin(), body.end());
    return true;
  }

  void start_tls() {
    ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!ctx) return fail(Failure::Memory);
    SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
    // Printers often close without a TLS close_notify once the answer is sent.
    SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (request.verify) {
      SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
      if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) return fail(Failure::Tls);
    } else {
      // Printers present self-signed certificates; their fingerprint is kept instead.
      SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_NONE, nullptr);
    }
    ssl.reset(SSL_new(ctx.get()));
    if (!ssl || SSL_set_fd(ssl.get(), fd.get()) != 1) return fail(Failure::Memory);
    SSL_set_mode(ssl.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (!request.server_name.empty()) {
      (void)SSL_set_tlsext_host_name(ssl.get(), request.server_name.c_str());
      if (request.verify && SSL_set1_host(ssl.get(), request.server_name.c_str()) != 1)
        return fail(Failure::Tls);
    }
    state = State::Handshaking;
    handshake();
  }

  // After an SSL call returned `r` <= 0: wait for what it wants, or fail.
  bool ssl_wait(int r, Failure f) {
    const int e = SSL_get_error(ssl.get(), r);
    if (e == SSL_ERROR_WANT_READ) {
      want = POLLIN;
      return true;
    }
    if (e == SSL_ERROR_WANT_WRITE) {
      want = POLLOUT;
      return true;
    }
    char buf[256] = "";
    const unsigned long code = ERR_get_error();
    if (code != 0) ERR_error_string_n(code, buf, sizeof buf);
    ERR_clear_error();
    fail(f, std::string(failure_text(f)) + (buf[0] != '\0' ? std::string(": ") + buf : ""));
    return false;
  }

  void handshake() {
    ERR_clear_error();
    const int r = SSL_connect(ssl.get());
    if (r != 1) {
      if (request.verify && SSL_get_verify_result(ssl.get()) != X509_V_OK) {
        return fail(Failure::Verify,
                    std::string("certificate not verified: ") +
                        X509_verify_cert_error_string(SSL_get_verify_result(ssl.get())));
      }
      (void)ssl_wait(r, Failure::Tls);
      return;
    }
    if (X509 *cert = SSL_get1_peer_certificate(ssl.get()); cert != nullptr) {
      unsigned char md[EVP_MAX_MD_SIZE];
      unsigned n = 0;
      if (X509_digest(cert, EVP_sha256(), md, &n) == 1) fingerprint = hex(md, n);
      X509_free(cert);
    }
    verified = request.verify && SSL_get_verify_result(ssl.get()) == X509_V_OK;
    state = State::Writing;
    want = POLLOUT;
    write();
  }

  void write() {
    while (sent < out.size()) {
      const std::size_t n = out.size() - sent;
      if (ssl) {
        ERR_clear_error();
        const int r = SSL_write(ssl.get(), out.data() + sent, static_cast<int>(n));
        if (r <= 0) {
          (void)ssl_wait(r, Failure::Tls);
          return;
        }
        sent += static_cast<std::size_t>(r);
      } else {
        const ssize_t r = ::send(fd.get(), out.data() + sent, n, MSG_NOSIGNAL);
        if (r < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            want = POLLOUT;
            return;
          }
          return fail(Failure::Connect, std::string("send: ") + error_text(errno));
        }
        sent += static_cast<std::size_t>(r);
      }
    }
    state = State::Reading;
    want = POLLIN;
  }

  void finish_http(HttpRead r) {
    if (r == HttpRead::NeedMore) return;
    if (r == HttpRead::HeaderTooBig || r == HttpRead::BodyTooBig)
      return fail(Failure::TooBig, http_read_text(r));
    if (r != HttpRead::Done) return fail(Failure::Http, http_read_text(r));
    if (reader.status() != 200)
      return fail(Failure::HttpStatus, "HTTP status " + std::to_string(reader.status()));
    const Decode d = decode(reader.body(), response);
    if (d != Decode::Ok) return fail(Failure::Ipp, std::string("bad IPP response: ") + decode_text(d));
    state = State::Done;
    want = 0;
    ssl.reset();
    ctx.reset();
    fd.reset();
  }

  void read() {
    std::uint8_t buf[16384];
    // Bounded: every pass hands bytes to the reader, which refuses past its caps.
    for (;;) {
      std::size_t got = 0;
      bool closed = false;
      if (ssl) {
        ERR_clear_error();
        const int r = SSL_read(ssl.get(), buf, sizeof buf);
        if (r > 0) {
          got = static_cast<std::size_t>(r);
        } else {
          const int e = SSL_get_error(ssl.get(), r);
          if (e == SSL_ERROR_ZERO_RETURN) {
            closed = true;
          } else {
            (void)ssl_wait(r, Failure::Tls);
            return;
          }
        }
      } else {
        const ssize_t r = ::recv(fd.get(), buf, sizeof buf, 0);
        if (r < 0) {
          if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
          return fail(Failure::Connect, std::string("recv: ") + error_text(errno));
        }
        if (r == 0) closed = true;
        got = static_cast<std::size_t>(r);
      }
      if (closed) return finish_http(reader.finish());
      const HttpRead h = reader.feed(std::span<const std::uint8_t>(buf, got));
      if (h != HttpRead::NeedMore) return finish_http(h);
    }
  }

  void connected() {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
    if (err != 0) return fail(Failure::Connect, std::string("connect: ") + error_text(err));
    if (request.tls) return start_tls();
    state = State::Writing;
    write();
  }
};

Exchange::Exchange(const sockaddr *peer, socklen_t peer_len, const Request &request,
                   std::uint64_t deadline_ms)
    : impl_(std::make_unique<Impl>()) {
  Impl &x = *impl_;
  x.request = request;
  x.deadline = deadline_ms;
  if (!x.build_request()) {
    x.fail(Failure::Http, "request cannot be written");
    return;
  }
  x.fd.reset(::socket(peer->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!x.fd) {
    x.fail(Failure::Connect, std::string("socket: ") + error_text(errno));
    return;
  }
  if (::connect(x.fd.get(), peer, peer_len) != 0 && errno != EINPROGRESS) {
    x.fail(Failure::Connect, std::string("connect: ") + error_text(errno));
    return;
  }
  x.want = POLLOUT;
}

Exchange::~Exchange() = default;

int Exchange::fd() const noexcept { return impl_->fd.get(); }
short Exchange::events() const noexcept { return impl_->want; }
std::uint64_t Exchange::deadline_ms() const noexcept { return impl_->deadline; }
State Exchange::state() const noexcept { return impl_->state; }
Failure Exchange::failure() const noexcept { return impl_->failure; }
std::string Exchange::detail() const { return impl_->detail; }
int Exchange::http_status() const noexcept { return impl_->reader.status(); }
const Message &Exchange::response() const noexcept { return impl_->response; }
bool Exchange::tls_used() const noexcept { return impl_->request.tls; }
bool Exchange::tls_verified() const noexcept { return impl_->verified; }
std::string Exchange::tls_fingerprint() const { return impl_->fingerprint; }

void Exchange::advance(short revents, std::uint64_t now_ms) {
  Impl &x = *impl_;
  if (finished()) return;
  if (revents != 0) {
    switch (x.state) {
      case State::Connecting: x.connected(); break;
      case State::Handshaking: x.handshake(); break;
      case State::Writing: x.write(); break;
      case State::Reading: x.read(); break;
      case State::Done:
      case State::Failed: break;
    }
  }
  if (!finished() && now_ms >= x.deadline) {
    static constexpr const char *where[] = {"connecting", "in the TLS handshake", "sending",
                                            "reading the response"};
    x.fail(Failure::Timeout,
           std::string("timed out ") + where[static_cast<int>(x.state)]);
  }
}

std::vector<std::string> usual_resources() { return {"/ipp/print", "/ipp", "/"}; }

bool try_another_resource(const Exchange &x) noexcept {
  return x.state() == State::Failed && (x.failure() == Failure::HttpStatus || x.failure() == Failure::Ipp);
}

bool answered(const Exchange &x) noexcept { return x.state() == State::Done && x.response().code < 0x0100; }

bool driverless(const Message &m) {
  bool format = false;
  if (const Attribute *a = m.find("document-format-supported"); a != nullptr)
    for (const Value &v : a->values)
      if (v.text == "image/pwg-raster" || v.text == "application/pdf") format = true;
  bool version = false;
  if (const Attribute *a = m.find("ipp-versions-supported"); a != nullptr) {
    for (const Value &v : a->values) {
      // "2.0", "2.1", "2.2": a major version of 2 or more.
      const std::string &t = v.text;
      std::size_t i = 0;
      int major = 0;
      while (i < t.size() && i < 4 && t[i] >= '0' && t[i] <= '9') major = major * 10 + (t[i++] - '0');
      if (i > 0 && i < t.size() && t[i] == '.' && major >= 2) version = true;
    }
  }
  return format && version;
}

}  // namespace kivo8::ipp
