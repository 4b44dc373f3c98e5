// The exported IPP calls: a URI in, a result record out, one blocking poll loop over the
// non-blocking exchange in between.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <deque>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/guard.h"
#include "ipp/client.h"
#include "ipp/markers.h"
#include "status/ipp.h"
#include "status/record.h"
#include "ipp/uri.h"
#include "kivo8/ipp.h"

namespace kivo8::ipp {

namespace {

constexpr std::uint32_t kDefaultTimeoutMs = 5000;

std::uint64_t now_ms() {
  timespec ts{};
  (void)clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

// The record and everything it points at, freed together.
struct Result : kivo_ipp_result {
  Message message;
  std::string error_text, uri_text, sha256;
  std::deque<std::vector<kivo_ipp_attribute>> attribute_arrays;
  std::deque<std::vector<kivo_ipp_value>> value_arrays;

  const kivo_ipp_attribute *convert(const std::vector<Attribute> &attrs) {
    auto &out = attribute_arrays.emplace_back();
    out.reserve(attrs.size());
    for (const Attribute &a : attrs) {
      auto &vals = value_arrays.emplace_back();
      vals.reserve(a.values.size());
      for (const Value &v : a.values) {
        kivo_ipp_value c{};
        c.tag = v.tag;
        c.extension = v.extension;
        c.integer = v.integer;
        c.upper = v.upper;
        c.xres = v.xres;
        c.yres = v.yres;
        c.units = v.units;
        std::copy(v.date.begin(), v.date.end(), c.date);
        c.text = v.text.c_str();
        c.text_length = static_cast<std::uint32_t>(v.text.size());
        c.language = v.language.c_str();
        c.members = v.members.empty() ? nullptr : convert(v.members);
        c.member_count = static_cast<std::uint32_t>(v.members.size());
        vals.push_back(c);
      }
      out.push_back(kivo_ipp_attribute{a.name.c_str(), a.group, vals.data(),
                                       static_cast<std::uint32_t>(vals.size())});
    }
    return out.data();
  }

  void seal() {
    error = error_text.c_str();
    uri = uri_text.c_str();
    tls_sha256 = sha256.c_str();
    attributes = message.attributes.empty() ? nullptr : convert(message.attributes);
    attribute_count = static_cast<std::uint32_t>(message.attributes.size());
  }
};

std::int32_t code_of(Failure f) {
  switch (f) {
    case Failure::None: return KIVO_IPP_OK;
    case Failure::Connect: return KIVO_IPP_ECONNECT;
    case Failure::Timeout: return KIVO_IPP_ETIMEDOUT;
    case Failure::Tls: return KIVO_IPP_ETLS;
    case Failure::Verify: return KIVO_IPP_EVERIFY;
    case Failure::Http:
    case Failure::HttpStatus: return KIVO_IPP_EHTTP;
    case Failure::TooBig: return KIVO_IPP_ETOOBIG;
    case Failure::Ipp: return KIVO_IPP_EPROTO;
    case Failure::Memory: return KIVO_IPP_ENOMEM;
  }
  return KIVO_IPP_EPROTO;
}

// Drives one exchange to its end by the deadline.
void run(Exchange &x) {
  while (!x.finished()) {
    const std::uint64_t now = now_ms();
    const std::uint64_t left = x.deadline_ms() > now ? x.deadline_ms() - now : 0;
    pollfd p{x.fd(), x.events(), 0};
    int r = 0;
    if (left > 0) {
      r = ::poll(&p, 1, static_cast<int>(left > 60000 ? 60000 : left));
      if (r < 0 && errno != EINTR) r = 0;
    }
    // An error or hang-up counts as ready: the next read or write finds out which.
    x.advance(r > 0 ? p.revents : short{0}, now_ms());
  }
}

void get(const char *uri_text, const kivo_ipp_options &opt, Result &res) {
  res.code = KIVO_IPP_EINVAL;
  res.ipp_status = -1;
  res.uri_text = uri_text;
  const std::optional<Uri> uri = parse_uri(uri_text);
  if (!uri) {
    res.error_text = "not an ipp:// or ipps:// URI";
    return;
  }
  res.tls = uri->tls ? 1 : 0;
  const std::uint64_t deadline = now_ms() + (opt.timeout_ms == 0 ? kDefaultTimeoutMs : opt.timeout_ms);

  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_ADDRCONFIG;
  addrinfo *found = nullptr;
  const std::string port = std::to_string(uri->port);
  if (int e = ::getaddrinfo(uri->host.c_str(), port.c_str(), &hints, &found); e != 0 || found == nullptr) {
    res.code = KIVO_IPP_ERESOLVE;
    res.error_text = std::string("cannot resolve ") + uri->host + ": " + gai_strerror(e);
    return;
  }
  std::unique_ptr<addrinfo, decltype(&freeaddrinfo)> own(found, freeaddrinfo);

  std::vector<std::string> resources;
  if (uri->resource.empty() || uri->resource == "/")
    resources = usual_resources();
  else
    resources = {uri->resource};

  for (std::size_t i = 0; i < resources.size(); ++i) {
    Request rq;
    rq.host_header = uri->host_header();
    rq.server_name = uri->numeric_host ? "" : uri->host;
    rq.resource = resources[i];
    rq.printer_uri = uri->with_resource(resources[i]);
    rq.user = opt.user == nullptr ? "" : opt.user;
    rq.tls = uri->tls;
    rq.verify = (opt.flags & KIVO_IPP_VERIFY) != 0;
    rq.request_id = static_cast<std::uint32_t>(i + 1);
    Exchange x(found->ai_addr, found->ai_addrlen, rq, deadline);
    run(x);
    res.uri_text = rq.printer_uri;
    res.http_status = x.http_status();
    res.sha256 = x.tls_fingerprint();
    res.tls_verified = x.tls_verified() ? 1 : 0;
    if (x.state() == State::Done) {
      res.message = x.response();
      res.version_major = res.message.major;
      res.version_minor = res.message.minor;
      res.ipp_status = res.message.code;
      if (!answered(x)) {
        res.code = KIVO_IPP_ESTATUS;
        char buf[64];
        (void)std::snprintf(buf, sizeof buf, "IPP status 0x%04x", unsigned(res.message.code));
        res.error_text = buf;
      } else {
        res.code = KIVO_IPP_OK;
        res.error_text.clear();
      }
      return;
    }
    res.code = code_of(x.failure());
    res.error_text = x.detail();
    if (!try_another_resource(x)) return;
  }
}

}  // namespace

}  // namespace kivo8::ipp

using kivo8::ipp::Result;

extern "C" KIVO8_API int32_t kivo_ipp_get_printer_attributes(const char *uri,
                                                             const kivo_ipp_options *options,
                                                             kivo_ipp_result **result) noexcept {
  if (result != nullptr) *result = nullptr;
  if (uri == nullptr || result == nullptr) return KIVO_IPP_EINVAL;
  kivo_ipp_options opt{};
  if (options != nullptr) {
    const std::size_t n = options->size < sizeof opt ? options->size : sizeof opt;
    std::memcpy(&opt, options, n);
  }
  void *block = kivo8::mem_alloc(sizeof(Result));
  if (block == nullptr) return KIVO_IPP_ENOMEM;
  // The record is built in the block; whatever fails after that (bad_alloc from a string
  // or array) destroys it, frees the block and reports exhausted memory.
  Result *r = kivo8::guarded<Result *>(nullptr, [&] { return new (block) Result(); });
  if (r == nullptr) {
    kivo8::mem_free(block);
    return KIVO_IPP_ENOMEM;
  }
  const bool built = kivo8::guarded(false, [&] {
    kivo8::ipp::get(uri, opt, *r);
    r->seal();
    return true;
  });
  if (!built) {
    r->~Result();
    kivo8::mem_free(block);
    return KIVO_IPP_ENOMEM;
  }
  *result = r;
  return r->code;
}

extern "C" KIVO8_API void kivo_ipp_result_free(kivo_ipp_result *result) noexcept {
  if (result == nullptr) return;
  auto *r = static_cast<Result *>(result);
  r->~Result();
  kivo8::mem_free(r);
}

extern "C" KIVO8_API const kivo_ipp_attribute *kivo_ipp_find(const kivo_ipp_result *result,
                                                             const char *name) noexcept {
  if (result == nullptr || name == nullptr) return nullptr;
  for (std::uint32_t i = 0; i < result->attribute_count; ++i)
    if (std::strcmp(result->attributes[i].name, name) == 0) return &result->attributes[i];
  return nullptr;
}

extern "C" KIVO8_API int32_t kivo_ipp_driverless(const kivo_ipp_result *result) noexcept {
  if (result == nullptr) return 0;
  return kivo8::ipp::driverless(static_cast<const Result *>(result)->message) ? 1 : 0;
}

extern "C" KIVO8_API int32_t kivo_ipp_status(const kivo_ipp_result *result, kivo_status **status_ref) noexcept {
  if (status_ref != nullptr) *status_ref = nullptr;
  if (result == nullptr || status_ref == nullptr || result->code != KIVO_IPP_OK) return KIVO_IPP_EINVAL;
  const auto &message = static_cast<const Result *>(result)->message;
  kivo_status *record = kivo8::guarded<kivo_status *>(nullptr, [&] {
    return kivo8::status::make_record(kivo8::status::from_ipp(kivo8::ipp::markers_of(message)));
  });
  if (record == nullptr) return KIVO_IPP_ENOMEM;
  *status_ref = record;
  return KIVO_IPP_OK;
}
