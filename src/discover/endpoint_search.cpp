// Endpoint probes and IPP questions of the discovery engine.
#include "discover/endpoint_search.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "ipp/client.h"
#include "ipp/markers.h"
#include "ipp/message.h"
#include "ipp/uri.h"

namespace kivo::discover {

namespace {

constexpr std::size_t kMaxResource = 255;

std::string address_text(std::uint32_t address) {
  char buf[INET_ADDRSTRLEN] = "";
  in_addr a{};
  a.s_addr = address;
  (void)::inet_ntop(AF_INET, &a, buf, sizeof buf);
  return buf;
}

// The scheme a DNS-SD service type stands for, if it is a print service.
std::optional<Scheme> scheme_of_service(std::string_view type) {
  if (type == "_ipps._tcp") return Scheme::kIpps;
  if (type == "_ipp._tcp") return Scheme::kIpp;
  if (type == "_pdl-datastream._tcp") return Scheme::kSocket;
  if (type == "_printer._tcp") return Scheme::kLpd;
  return std::nullopt;
}

const std::string *txt_value(const Service &s, std::string_view key) {
  for (const auto &[k, v] : s.txt)
    if (k == key) return &v;
  return nullptr;
}

std::string cut(std::string text) {
  if (text.size() > kMaxText) text.resize(kMaxText);
  return text;
}

std::string uri_of(Scheme scheme, std::uint32_t address, std::uint16_t port, std::string_view resource) {
  const char *name = scheme == Scheme::kIpps     ? "ipps"
                     : scheme == Scheme::kIpp    ? "ipp"
                     : scheme == Scheme::kSocket ? "socket"
                                                 : "lpd";
  std::string uri = std::string(name) + "://" + address_text(address) + ":" + std::to_string(port);
  uri += resource;
  return uri;
}

// What a successful Get-Printer-Attributes told of the printer.
void take_answer(IppFacts &f, const kivo8::ipp::Message &m) {
  using kivo8::ipp::Attribute;
  auto text = [&m](std::string_view name) -> std::string {
    const Attribute *a = m.find(name);
    return a != nullptr && a->first() != nullptr ? cut(a->first()->text) : std::string();
  };
  f.answered = true;
  f.make_and_model = text("printer-make-and-model");
  f.name = text("printer-name");
  f.info = text("printer-info");
  f.location = text("printer-location");
  f.more_info = text("printer-more-info");
  f.uuid = text("printer-uuid");
  f.device_id = text("printer-device-id");
  f.state = 0;
  if (const Attribute *a = m.find("printer-state"); a != nullptr && a->first() != nullptr) {
    const std::int32_t s = a->first()->integer;
    if (s >= 3 && s <= 5) f.state = s;
  }
  f.state_reasons.clear();
  if (const Attribute *a = m.find("printer-state-reasons"); a != nullptr)
    for (const auto &v : a->values) {
      if (f.state_reasons.size() + v.text.size() + 1 > kMaxText) break;
      if (!f.state_reasons.empty()) f.state_reasons += ',';
      f.state_reasons += v.text;
    }
  f.driverless = kivo8::ipp::driverless(m) ? 1 : 0;
  f.markers = kivo8::ipp::markers_of(m);
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_host(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return lower(x) == lower(y); });
}

}  // namespace

std::uint16_t offered_ipps_port(const kivo8::ipp::Message &answer, std::string_view address, std::uint16_t port,
                                std::string_view resource) {
  const kivo8::ipp::Attribute *a = answer.find("printer-uri-supported");
  if (a == nullptr) return 0;
  const std::size_t n = std::min(a->values.size(), kMaxUrisRead);
  std::vector<kivo8::ipp::Uri> uris;
  for (std::size_t i = 0; i < n; ++i)
    if (auto u = kivo8::ipp::parse_uri(a->values[i].text)) uris.push_back(std::move(*u));
  // A URI without a path names the root.
  auto at_resource = [resource](const kivo8::ipp::Uri &u) {
    return u.resource.empty() ? resource == "/" : u.resource == resource;
  };
  for (const kivo8::ipp::Uri &u : uris) {
    if (!u.tls || !at_resource(u)) continue;
    if (same_host(u.host, address)) return u.port;
    // The name the printer calls itself by where it answered is the address it was
    // reached at, whatever that name resolves to elsewhere.
    for (const kivo8::ipp::Uri &plain : uris)
      if (!plain.tls && plain.port == port && at_resource(plain) && same_host(plain.host, u.host)) return u.port;
  }
  return 0;
}

int endpoint_rank(Scheme s) {
  switch (s) {
    case Scheme::kIpps: return 0;
    case Scheme::kIpp: return 1;
    case Scheme::kSocket: return 2;
    case Scheme::kLpd: return 3;
  }
  return 4;
}

std::string resource_of_rp(std::string_view rp) {
  if (rp.size() > kMaxResource) return {};
  // Characters a URI path may carry as they are; anything else (spaces, quotes, controls)
  // would have to be escaped, and a printer that announces it is not worth guessing at.
  for (char c : rp) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       std::string_view("-._~/%:@!$&'()*+,;=").find(c) != std::string_view::npos;
    if (!plain) return {};
  }
  if (!rp.empty() && rp.front() == '/') return std::string(rp);
  // Built piecewise: g++ 12 warns falsely (-Wrestrict) on "literal" + std::string&&.
  std::string resource = "/";
  resource.append(rp);
  return resource;
}

std::vector<Endpoint> list_endpoints(const Device &d) {
  std::vector<Endpoint> out;
  const std::uint32_t a = d.address.s_addr;
  auto have = [&out](Scheme s, std::uint16_t port) {
    return std::any_of(out.begin(), out.end(), [&](const Endpoint &e) { return e.scheme == s && e.port == port; });
  };
  for (const Service &s : d.services) {
    const auto scheme = scheme_of_service(s.type);
    if (!scheme || s.port == 0 || have(*scheme, s.port)) continue;
    const std::string *rp = txt_value(s, "rp");
    std::string resource = rp != nullptr ? resource_of_rp(*rp) : std::string();
    if (*scheme == Scheme::kIpp || *scheme == Scheme::kIpps) {
      if (resource.empty()) resource = kivo8::ipp::usual_resources().front();
      if (d.ipp.answered && d.ipp.port == s.port && d.ipp.tls == (*scheme == Scheme::kIpps))
        resource = d.ipp.resource;
    } else if (*scheme == Scheme::kSocket || resource == "/") {
      // A raw socket has no resource; an LPD URI names a queue or nothing.
      resource.clear();
    }
    out.push_back({*scheme, s.port, uri_of(*scheme, a, s.port, resource), true});
  }
  for (const Endpoint &p : d.probed) {
    if (have(p.scheme, p.port)) continue;
    std::string resource;
    // A probed IPPS port is one the plain answer named at its own resource.
    if (p.scheme == Scheme::kIpp || p.scheme == Scheme::kIpps)
      resource = d.ipp.answered && (d.ipp.port == p.port || p.scheme == Scheme::kIpps)
                     ? d.ipp.resource
                     : kivo8::ipp::usual_resources().front();
    out.push_back({p.scheme, p.port, uri_of(p.scheme, a, p.port, resource), false});
  }
  std::stable_sort(out.begin(), out.end(),
                   [](const Endpoint &x, const Endpoint &y) { return endpoint_rank(x.scheme) < endpoint_rank(y.scheme); });
  return out;
}

struct EndpointSearch::Open {
  Task task;
  kivo8::UniqueFd fd;                          // a connect probe
  std::unique_ptr<kivo8::ipp::Exchange> exchange;  // or an IPP exchange
  std::string resource;
  TimePoint ends;
};

EndpointSearch::EndpointSearch(std::int32_t timeout_ms, std::uint32_t in_flight, TimePoint deadline,
                               FollowUps &follow_ups, EndpointPorts ports)
    : timeout_ms_(std::max(timeout_ms, 1)), in_flight_(std::max<std::uint32_t>(in_flight, 1)),
      deadline_(deadline), follow_ups_(follow_ups), ports_(ports) {}

EndpointSearch::~EndpointSearch() = default;

bool EndpointSearch::start(const SearchContext &context, TimePoint) {
  context_ = context;
  return true;
}

std::uint64_t EndpointSearch::ms(TimePoint t) const {
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

bool EndpointSearch::follow_up(const Device &device, TimePoint now) {
  const std::uint32_t address = device.address.s_addr;
  if (jobs_.count(address) != 0) return true;
  Job job;
  bool announced[5] = {};
  std::string rp_resource;
  std::uint16_t ipp_port = 0, ipps_port = 0;
  for (const Service &s : device.services) {
    const auto scheme = scheme_of_service(s.type);
    if (!scheme || s.port == 0) continue;
    announced[static_cast<int>(*scheme)] = true;
    if (*scheme == Scheme::kIpps && ipps_port == 0) ipps_port = s.port;
    if (*scheme == Scheme::kIpp && ipp_port == 0) ipp_port = s.port;
    if ((*scheme == Scheme::kIpps || *scheme == Scheme::kIpp) && rp_resource.empty())
      if (const std::string *rp = txt_value(s, "rp")) rp_resource = resource_of_rp(*rp);
  }
  // IPPS when announced (its certificate fingerprint is worth having), else IPP.
  if (ipps_port != 0 || ipp_port != 0) {
    job.ipp_known = true;
    job.tls = ipps_port != 0;
    job.ipp_port = ipps_port != 0 ? ipps_port : ipp_port;
  }
  if (!rp_resource.empty()) job.resources.push_back(rp_resource);
  else
    job.resources = kivo8::ipp::usual_resources();
  std::vector<Task> tasks;
  if (!announced[static_cast<int>(Scheme::kIpp)] && !announced[static_cast<int>(Scheme::kIpps)])
    tasks.push_back({address, Scheme::kIpp, ports_.ipp, false});
  if (!announced[static_cast<int>(Scheme::kSocket)])
    tasks.push_back({address, Scheme::kSocket, ports_.socket, false});
  if (!announced[static_cast<int>(Scheme::kLpd)]) tasks.push_back({address, Scheme::kLpd, ports_.lpd, false});
  if (job.ipp_known) tasks.push_back({address, job.tls ? Scheme::kIpps : Scheme::kIpp, job.ipp_port, true});
  if (tasks.empty()) return false;
  job.connects_left = static_cast<int>(std::count_if(tasks.begin(), tasks.end(), [](const Task &t) { return !t.ipp; }));
  job.ipp_running = job.ipp_known;
  jobs_.emplace(address, std::move(job));
  for (const Task &t : tasks) queue_.push_back(t);
  open_more(now);
  return true;
}

void EndpointSearch::open_more(TimePoint now) {
  while (!queue_.empty() && open_.size() < in_flight_) {
    const Task t = queue_.front();
    queue_.pop_front();
    start_task(t, now);
  }
}

void EndpointSearch::start_task(const Task &t, TimePoint now) {
  auto o = std::make_unique<Open>();
  o->task = t;
  o->ends = std::min(deadline_, now + std::chrono::milliseconds(timeout_ms_));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(t.port);
  to.sin_addr.s_addr = t.address;
  if (!t.ipp) {
    o->fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!o->fd || (::connect(o->fd.get(), reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 &&
                   errno != EINPROGRESS)) {
      connect_ended(t, false, now);
      return;
    }
  } else {
    auto it = jobs_.find(t.address);
    if (it == jobs_.end()) return;
    if (it->second.resources.empty()) {  // nothing left to ask: the question has ended
      it->second.ipp_running = false;
      job_done(t.address);
      return;
    }
    o->resource = it->second.resources.front();
    it->second.resources.erase(it->second.resources.begin());
    kivo8::ipp::Request request;
    const std::string host = address_text(t.address) + ":" + std::to_string(t.port);
    request.host_header = host;
    request.resource = o->resource;
    request.printer_uri = std::string(t.scheme == Scheme::kIpps ? "ipps://" : "ipp://") + host + o->resource;
    request.tls = t.scheme == Scheme::kIpps;
    request.verify = false;
    request.request_id = request_id_++;
    o->exchange = std::make_unique<kivo8::ipp::Exchange>(reinterpret_cast<const sockaddr *>(&to),
                                                         static_cast<socklen_t>(sizeof to), request, ms(o->ends));
    if (o->exchange->finished()) {
      exchange_ended(*o, now);
      return;
    }
  }
  open_.push_back(std::move(o));
  peak_ = std::max(peak_, open_.size());
}

void EndpointSearch::watched(std::vector<pollfd> &fds) {
  for (const auto &o : open_) {
    if (o->exchange) {
      if (o->exchange->fd() >= 0 && o->exchange->events() != 0)
        fds.push_back({o->exchange->fd(), o->exchange->events(), 0});
    } else {
      fds.push_back({o->fd.get(), POLLOUT, 0});
    }
  }
}

// Takes open_[index] out and acts on how it ended.
void EndpointSearch::finish(std::size_t index, TimePoint now) {
  std::unique_ptr<Open> o = std::move(open_[index]);
  open_.erase(open_.begin() + static_cast<std::ptrdiff_t>(index));
  if (o->exchange) {
    exchange_ended(*o, now);
  } else {
    int error = 0;
    socklen_t len = sizeof error;
    const bool accepted = now < o->ends && ::getsockopt(o->fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) == 0 &&
                          error == 0;
    connect_ended(o->task, accepted, now);
  }
}

void EndpointSearch::on_ready(int fd, short revents, TimePoint now) {
  for (std::size_t i = 0; i < open_.size(); ++i) {
    Open &o = *open_[i];
    if (o.exchange) {
      if (o.exchange->fd() != fd) continue;
      o.exchange->advance(revents, ms(now));
      if (o.exchange->finished()) finish(i, now);
    } else {
      if (o.fd.get() != fd) continue;
      finish(i, now);
    }
    break;
  }
  open_more(now);
}

std::optional<TimePoint> EndpointSearch::next_wakeup() const {
  std::optional<TimePoint> at;
  for (const auto &o : open_)
    if (!at || o->ends < *at) at = o->ends;
  return at;
}

void EndpointSearch::on_timer(TimePoint now) {
  for (std::size_t i = 0; i < open_.size();) {
    Open &o = *open_[i];
    if (o.ends > now) {
      ++i;
      continue;
    }
    if (o.exchange) o.exchange->advance(0, ms(now));
    finish(i, now);
  }
  open_more(now);
}

void EndpointSearch::connect_ended(const Task &t, bool accepted, TimePoint now) {
  auto it = jobs_.find(t.address);
  if (it == jobs_.end()) return;
  Job &job = it->second;
  --job.connects_left;
  if (accepted) {
    if (Device *d = context_.book->find(in_addr{t.address})) d->probed.push_back({t.scheme, t.port, {}, false});
    // An open IPP port is asked what it is, unless DNS-SD already named where to ask.
    if (t.scheme == Scheme::kIpp && !job.ipp_known) {
      job.ipp_known = true;
      job.ipp_running = true;
      job.ipp_port = t.port;
      queue_.push_back({t.address, Scheme::kIpp, t.port, true});
      open_more(now);
    }
  }
  job_done(t.address);
}

void EndpointSearch::exchange_ended(Open &o, TimePoint now) {
  const std::uint32_t address = o.task.address;
  auto it = jobs_.find(address);
  if (it == jobs_.end()) return;
  Job &job = it->second;
  const kivo8::ipp::Exchange &x = *o.exchange;
  if (job.ipps_offered) {
    // The IPPS port the plain answer named is an endpoint once its TLS handshake went
    // through (the fingerprint is taken there), whatever came after; the plain answer
    // keeps its place.
    if (Device *d = context_.book->find(in_addr{address}); d != nullptr && !x.tls_fingerprint().empty()) {
      d->probed.push_back({Scheme::kIpps, o.task.port, {}, false});
      d->ipp.tls_fingerprint = x.tls_fingerprint();
    }
    job.ipps_offered = false;
    job.ipp_running = false;
    job_done(address);
    return;
  }
  // The same rules as kivo_ipp_get_printer_attributes: what counts as an answer, and
  // which failures make the next resource worth a try.
  if (kivo8::ipp::answered(x)) {
    if (Device *d = context_.book->find(in_addr{address})) {
      take_answer(d->ipp, x.response());
      d->ipp.tls = o.task.scheme == Scheme::kIpps;
      d->ipp.port = o.task.port;
      d->ipp.resource = o.resource;
      d->ipp.tls_fingerprint = d->ipp.tls ? x.tls_fingerprint() : std::string();
      if (o.task.scheme == Scheme::kIpp) {
        const std::uint16_t ipps = offered_ipps_port(x.response(), address_text(address), o.task.port, o.resource);
        const bool have = std::any_of(d->probed.begin(), d->probed.end(),
                                      [](const Endpoint &e) { return e.scheme == Scheme::kIpps; });
        if (ipps != 0 && !have) {
          job.ipps_offered = true;
          job.resources = {o.resource};
          queue_.push_back({address, Scheme::kIpps, ipps, true});
          open_more(now);
          return;
        }
      }
    }
  } else if (kivo8::ipp::try_another_resource(x) && !job.resources.empty()) {
    queue_.push_back(o.task);
    open_more(now);
    return;
  }
  job.ipp_running = false;
  job_done(address);
}

void EndpointSearch::job_done(std::uint32_t address) {
  auto it = jobs_.find(address);
  if (it == jobs_.end() || it->second.finished || it->second.connects_left > 0 || it->second.ipp_running)
    return;
  // The job stays in the book (emptied) so that the device is never probed twice.
  it->second.resources.clear();
  it->second.finished = true;
  follow_ups_.follow_up_done(in_addr{address});
}

}  // namespace kivo::discover
