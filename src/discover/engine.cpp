// The discovery engine's event loop, its book of devices and the records it hands out.
#include "discover/engine.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "discover/classify.h"
#include "discover/mdns_search.h"
#include "discover/naming.h"
#include "discover/plan.h"
#include "discover/status_search.h"
#include "status/ipp.h"
#include "status/record.h"
#include "kivo8/dev_group.h"

namespace kivo::discover {

namespace {

// Progress is reported at most this often (and once at the end).
constexpr auto kProgressEvery = std::chrono::milliseconds(100);
// The longest a poll sleeps, so that a cancel is seen even if its wake-up were lost.
constexpr auto kLongestSleep = std::chrono::milliseconds(250);

struct StatusFree {
  void operator()(kivo_status *s) const noexcept { kivo_status_free(s); }
};

}  // namespace

struct Engine::Entry {
  Device device;
  device_record record{};
  device_info info{};
  kivo_discover_device view{};
  std::vector<const char *> url_texts;
  std::vector<kivo_discover_service> services;
  std::vector<std::vector<const char *>> service_addresses;
  std::vector<std::vector<kivo_discover_txt>> service_txt;
  std::unique_ptr<kivo_status, StatusFree> status;
  std::vector<kivo_discover_endpoint> endpoints;
  int outstanding = 0;
  bool announced = false;
  // Which of the engine's follow-up searches (by index) have started one for it.
  std::uint32_t asked = 0;
};

Engine::Engine(ifinfo *targets, Options options)
    : targets_(targets), options_(std::move(options)),
      wake_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Engine::~Engine() {
  if (in_group_)
    if (device_group *all = device_groups_all_devices())
      for (auto &e : entries_) (void)device_group_remove(all, &e->record);
}

void Engine::cancel() noexcept {
  cancelled_.store(true);
  std::uint64_t one = 1;
  if (wake_.valid()) (void)!::write(wake_.get(), &one, sizeof one);
}

Engine::Entry *Engine::entry_of(in_addr address) {
  auto it = by_address_.find(address.s_addr);
  return it == by_address_.end() ? nullptr : it->second;
}

Device *Engine::find(in_addr address) {
  Entry *e = entry_of(address);
  return e != nullptr ? &e->device : nullptr;
}

Device *Engine::find_or_add(in_addr address, std::uint32_t how) {
  if (Entry *e = entry_of(address)) {
    e->device.found_by |= how;
    return &e->device;
  }
  if (entries_.size() >= options_.max_devices) {
    ++devices_dropped_;
    return nullptr;
  }
  auto e = std::make_unique<Entry>();
  e->device.address = address;
  e->device.found_by = how;
  e->record.address = address;
  Entry *raw = e.get();
  entries_.push_back(std::move(e));
  by_address_[address.s_addr] = raw;
  return &raw->device;
}

void Engine::changed(Device &device) {
  Entry *e = entry_of(device.address);
  if (e == nullptr) return;
  TimePoint now = Clock::now();
  // Follow-ups are counted before they start: one may end at once (a refused connect).
  bool first = !e->announced;
  if (first) {
    e->announced = true;
    events_.emplace_back(KIVO_DISCOVER_EVENT_FOUND, e);
  }
  bool started = false;
  for (std::size_t i = 0; i < follow_ups_.size() && i < 32; ++i) {
    const std::uint32_t bit = 1u << i;
    if ((e->asked & bit) != 0) continue;
    ++e->outstanding;
    if (follow_ups_[i]->follow_up(device, now)) {
      e->asked |= bit;
      started = true;
    } else {
      --e->outstanding;
    }
  }
  // A follow-up that ended at once has completed the device already (follow_up_done).
  if (first && !started && e->outstanding == 0) complete(*e);
}

void Engine::follow_up_done(in_addr address) {
  Entry *e = entry_of(address);
  if (e == nullptr || e->outstanding == 0) return;
  if (--e->outstanding == 0) complete(*e);
}

void Engine::complete(Entry &e) {
  finalize(e);
  e.device.complete = true;
  events_.emplace_back(KIVO_DISCOVER_EVENT_COMPLETE, &e);
}

// Names and kind from everything known so far, and the device record that goes with them.
void Engine::finalize(Entry &e) {
  Device &d = e.device;
  classify(d);
  // A printer that answered IPP has a status even with SNMP off; where SNMP gave one,
  // IPP only fills what SNMP lacked.
  if (status_wanted_ && d.ipp.answered && !e.status) {
    const kivo8::status::Status ipp = kivo8::status::from_ipp(d.ipp.markers);
    if (d.status) {
      kivo8::status::fill_gaps(*d.status, ipp);
    } else if (ipp.status_from != kivo8::status::Source::kNone || ipp.errors_from != kivo8::status::Source::kNone ||
               ipp.supplies_from != kivo8::status::Source::kNone || ipp.ipp_state) {
      d.status = ipp;
    }
  }
  if (d.status && !e.status) {
    e.status.reset(kivo8::status::make_record(*d.status));
    if (!e.status) throw std::bad_alloc();
    d.status.reset();  // the record holds it all now
  }

  // The record wants the caller's (mutable) entry: found in the caller's list rather than
  // cast from the searches' read-only view of it.
  e.record.target = nullptr;
  for (ifinfo *t = targets_; t != nullptr && d.target != nullptr; t = t->next)
    if (t == d.target) {
      e.record.target = t;
      break;
    }
  (void)std::snprintf(e.record.product, sizeof e.record.product, "%s", d.product_name.c_str());
  if (d.kind == Kind::kPrinter) {
    e.info.type = DEVICE_TYPE_STDMIB;
    e.record.info = &e.info;
  } else if (d.kind == Kind::kPrinterNoSnmp) {
    e.info.type = DEVICE_TYPE_NOSNMP;
    e.record.info = &e.info;
  } else {
    e.record.info = nullptr;
  }
}

void Engine::refresh_view(Entry &e) const {
  const Device &d = e.device;
  kivo_discover_device &v = e.view;
  v = kivo_discover_device{};
  v.address = d.address;
  v.found_by = d.found_by;
  v.snmp_version = d.snmp_version;
  v.community = d.community.c_str();
  v.sys_descr = d.sys_descr.c_str();
  v.sys_object_id = d.sys_object_id.c_str();
  v.sys_name = d.sys_name.c_str();
  v.snmpv3_error = d.snmpv3_error;
  v.hr_device_type = d.hr_device_type.c_str();
  v.hr_device_descr = d.hr_device_descr.c_str();
  v.printer_name = d.printer_name.c_str();
  v.device_id = d.device_id.c_str();
  v.device_id_mfg = d.mfg.c_str();
  v.device_id_mdl = d.mdl.c_str();
  v.device_id_cmd = d.cmd.c_str();
  v.make = d.make.c_str();
  v.model = d.model.c_str();
  v.product_name = d.product_name.c_str();
  v.kind = d.complete ? static_cast<std::int32_t>(d.kind) : KIVO_DISCOVER_KIND_UNKNOWN;
  v.web_server = static_cast<std::int32_t>(d.web);
  e.url_texts.clear();
  for (const auto &u : d.slp_urls) e.url_texts.push_back(u.c_str());
  v.slp_urls = e.url_texts.empty() ? nullptr : e.url_texts.data();
  v.slp_url_count = static_cast<std::uint32_t>(e.url_texts.size());
  v.engine_id = d.engine_id.empty() ? nullptr : d.engine_id.data();
  v.engine_id_length = static_cast<std::uint32_t>(d.engine_id.size());
  e.services.clear();
  e.service_addresses.assign(d.services.size(), {});
  e.service_txt.assign(d.services.size(), {});
  for (std::size_t i = 0; i < d.services.size(); ++i) {
    const Service &s = d.services[i];
    for (const auto &a : s.addresses) e.service_addresses[i].push_back(a.c_str());
    for (const auto &[k, val] : s.txt) e.service_txt[i].push_back({k.c_str(), val.c_str()});
    kivo_discover_service out{};
    out.instance = s.instance.c_str();
    out.type = s.type.c_str();
    out.host = s.host.c_str();
    out.port = s.port;
    out.addresses = e.service_addresses[i].empty() ? nullptr : e.service_addresses[i].data();
    out.address_count = static_cast<std::uint32_t>(e.service_addresses[i].size());
    out.txt = e.service_txt[i].empty() ? nullptr : e.service_txt[i].data();
    out.txt_count = static_cast<std::uint32_t>(e.service_txt[i].size());
    e.services.push_back(out);
  }
  v.services = e.services.empty() ? nullptr : e.services.data();
  v.service_count = static_cast<std::uint32_t>(e.services.size());
  v.record = &e.record;
  e.endpoints.clear();
  for (const Endpoint &p : d.endpoints)
    e.endpoints.push_back({static_cast<std::int32_t>(p.scheme), p.port, p.uri.c_str(), p.from_dnssd ? 1 : 0});
  v.endpoints = e.endpoints.empty() ? nullptr : e.endpoints.data();
  v.endpoint_count = static_cast<std::uint32_t>(e.endpoints.size());
  const IppFacts &ipp = d.ipp;
  auto or_null = [](const std::string &t) { return t.empty() ? nullptr : t.c_str(); };
  v.driverless = ipp.answered ? ipp.driverless : -1;
  v.printer_uuid = or_null(ipp.uuid);
  v.ipp_make_and_model = or_null(ipp.make_and_model);
  v.ipp_location = or_null(ipp.location);
  v.ipp_state = ipp.state;
  v.ipp_state_reasons = or_null(ipp.state_reasons);
  v.tls_fingerprint = or_null(ipp.tls_fingerprint);
  v.status = e.status.get();
}

void Engine::deliver_events() {
  // Callbacks run here, between searches' turns, never from inside a search.
  while (!events_.empty()) {
    auto events = std::move(events_);
    events_.clear();
    for (auto &[event, entry] : events) {
      if (event == KIVO_DISCOVER_EVENT_FOUND) finalize(*entry);
      refresh_view(*entry);
      if (options_.on_device != nullptr) options_.on_device(event, &entry->view, options_.user);
    }
  }
}

void Engine::report_progress(bool force) {
  if (options_.progress == nullptr) return;
  TimePoint now = Clock::now();
  kivo_discover_progress p{};
  p.requests_sent = sent_;
  p.addresses_done = std::min(addresses_done_, addresses_total_);
  p.addresses_total = addresses_total_;
  p.answers = answers_;
  p.devices = entries_.size();
  bool same = std::memcmp(&p, &last_reported_, sizeof p) == 0;
  if (!force && (same || now - last_progress_ < kProgressEvery)) return;
  last_progress_ = now;
  last_reported_ = p;
  options_.progress(&p, options_.user);
}

void Engine::build_searches(Plan &plan, TimePoint deadline) {
  addresses_total_ = plan.addresses_total;
  // One SNMP search for every version: the sweep carries v1, v2c and the SNMPv3
  // engine-id probes, and describes what answered, with the user over SNMPv3.
  if (!plan.snmp.empty()) {
    auto s = std::make_unique<SnmpSearch>(
        std::move(plan.snmp), options_.retries, plan.describe_timeout_ms, *this, options_.snmp_port,
        (options_.searches & KIVO_DISCOVER_SNMPV3) != 0 ? options_.snmpv3_user : nullptr);
    follow_ups_.push_back(s.get());
    searches_.push_back(std::move(s));
  }
  if (!plan.slp.empty())
    searches_.push_back(std::make_unique<SlpSearch>(std::move(plan.slp), options_.slp_service_type));
  if (plan.mdns) {
    kivo8::mdns::SearchOptions m;
    m.interfaces = plan.mdns_interfaces;
    m.window_ms = plan.mdns_window_ms;
    if (options_.max_devices > 0) m.limits.max_devices = options_.max_devices;
    searches_.push_back(kivo8::mdns::make_discover_search(m));
  }
  if ((options_.searches & KIVO_DISCOVER_WEB) != 0) {
    auto w = std::make_unique<WebSearch>(options_.web_timeout_ms, options_.web_in_flight, *this);
    follow_ups_.push_back(w.get());
    searches_.push_back(std::move(w));
  }
  if ((options_.searches & KIVO_DISCOVER_ENDPOINTS) != 0) {
    auto s = std::make_unique<EndpointSearch>(options_.endpoint_timeout_ms, options_.endpoint_in_flight,
                                              deadline, *this, options_.endpoint_ports);
    follow_ups_.push_back(s.get());
    searches_.push_back(std::move(s));
  }
  // Last of the follow-ups: a device is offered to them in order, and the status read
  // starts on the change that made it a printer, over what described it.
  status_wanted_ = (options_.searches & KIVO_DISCOVER_STATUS) != 0;
  if (plan.status) {
    StatusSearchOptions st;
    st.port = options_.snmp_port;
    st.timeout = std::chrono::milliseconds(plan.describe_timeout_ms);
    st.transmissions = std::max(options_.retries, 1) + 1;
    if ((options_.searches & KIVO_DISCOVER_SNMPV3) != 0) st.user = options_.snmpv3_user;
    auto s = std::make_unique<StatusSearch>(st, *this);
    follow_ups_.push_back(s.get());
    searches_.push_back(std::move(s));
  }
}

void Engine::loop(TimePoint deadline) {
  std::vector<pollfd> fds;
  std::vector<Search *> owners;
  while (!cancelled_.load()) {
    if (std::all_of(live_.begin(), live_.end(), [](Search *s) { return s->done(); })) break;
    TimePoint now = Clock::now();
    if (now >= deadline) {
      deadline_reached_ = true;
      break;
    }
    fds.clear();
    owners.clear();
    fds.push_back({wake_.get(), POLLIN, 0});
    owners.push_back(nullptr);
    TimePoint wake = std::min(deadline, now + kLongestSleep);
    for (Search *s : live_) {
      s->watched(fds);
      owners.resize(fds.size(), s);
      if (auto at = s->next_wakeup()) wake = std::min(wake, *at);
    }
    if (options_.progress != nullptr) wake = std::min(wake, now + kProgressEvery);
    auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wake - now).count();
    if (wake > now && wait == 0) wait = 1;  // poll's unit: never spin just short of a timer
    int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::max<std::int64_t>(wait, 0)));
    now = Clock::now();
    if (n > 0) {
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        if (owners[i] == nullptr) {
          std::uint64_t value = 0;
          (void)!::read(wake_.get(), &value, sizeof value);
          continue;
        }
        owners[i]->on_ready(fds[i].fd, fds[i].revents, now);
      }
    }
    for (Search *s : live_) {
      // The clock is read after the search names its time: a search that is due "now"
      // (a send the pacer allows at once) must not be passed over.
      auto at = s->next_wakeup();
      TimePoint t = Clock::now();
      if (at && *at <= t) s->on_timer(t);
    }
    deliver_events();
    report_progress(false);
  }
}

void Engine::teardown() {
  for (Search *s : live_) deferred_ += s->deferred();
  // What the follow-ups did not finish is described as far as it went.
  for (auto &e : entries_) {
    finalize(*e);
    e->device.complete = true;
  }
  std::sort(entries_.begin(), entries_.end(), [](const auto &a, const auto &b) {
    return ntohl(a->device.address.s_addr) < ntohl(b->device.address.s_addr);
  });
  merge_by_uuid();
  for (auto &e : entries_) refresh_view(*e);
  report_progress(true);
  follow_ups_.clear();
  live_.clear();
  searches_.clear();
}

namespace {

// A UUID as one text however it was written: with or without "urn:uuid:", in any case.
// Empty when there is none.
std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char &c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

std::string uuid_key(std::string_view uuid) {
  constexpr std::string_view kUrn = "urn:uuid:";
  std::string key = lower_ascii(uuid);
  if (key.rfind(kUrn, 0) == 0) key.erase(0, kUrn.size());
  return key;
}

bool is_print_service(std::string_view type) {
  return type == "_ipp._tcp" || type == "_ipps._tcp" || type == "_printer._tcp" || type == "_pdl-datastream._tcp";
}

// Every UUID the device gave: its printer-uuid and the UUID key of its DNS-SD print
// services (TXT keys are compared without case).
std::vector<std::string> uuid_keys(const Device &d) {
  std::vector<std::string> keys;
  auto add = [&keys](std::string key) {
    if (!key.empty() && std::find(keys.begin(), keys.end(), key) == keys.end()) keys.push_back(std::move(key));
  };
  add(uuid_key(d.ipp.uuid));
  for (const Service &s : d.services) {
    if (!is_print_service(s.type)) continue;
    for (const auto &[k, v] : s.txt)
      if (lower_ascii(k) == "uuid") add(uuid_key(v));
  }
  return keys;
}

}  // namespace

// A printer with two addresses (two interfaces, or IPv4 aliases) answers IPP on both with
// one printer-uuid, or announces one UUID in its DNS-SD records on both: it is kept once,
// at its lowest address, with the endpoints and print services of every address (their
// URIs name the address they reach) and every way it was found. A DNS-SD UUID equal to a
// printer-uuid is the same printer. Entries are sorted by address when this runs.
void Engine::merge_by_uuid() {
  std::unordered_map<std::string, Entry *> first;
  std::vector<std::unique_ptr<Entry>> kept;
  kept.reserve(entries_.size());
  for (auto &e : entries_) {
    const std::vector<std::string> keys = uuid_keys(e->device);
    Entry *into_entry = nullptr;
    for (const std::string &k : keys)
      if (auto it = first.find(k); it != first.end()) {
        into_entry = it->second;
        break;
      }
    for (const std::string &k : keys) first.emplace(k, into_entry != nullptr ? into_entry : e.get());
    if (into_entry == nullptr) {
      kept.push_back(std::move(e));
      continue;
    }
    Device &into = into_entry->device;
    into.found_by |= e->device.found_by;
    for (const Endpoint &p : e->device.endpoints)
      if (into.endpoints.size() < kMaxListItems) into.endpoints.push_back(p);
    std::stable_sort(into.endpoints.begin(), into.endpoints.end(), [](const Endpoint &x, const Endpoint &y) {
      return endpoint_rank(x.scheme) < endpoint_rank(y.scheme);
    });
    for (Service &s : e->device.services) {
      const bool known = std::any_of(into.services.begin(), into.services.end(), [&s](const Service &t) {
        return t.instance == s.instance && t.type == s.type;
      });
      if (!known && into.services.size() < kMaxListItems) into.services.push_back(std::move(s));
    }
    // The status read at another address is the same printer's.
    if (!into_entry->status && e->status) into_entry->status = std::move(e->status);
    by_address_[e->device.address.s_addr] = into_entry;
  }
  entries_ = std::move(kept);
}

std::int32_t Engine::run() {
  if (ran_ || running_) return KIVO_DISCOVER_EINVAL;
  running_ = true;
  ran_ = true;
  const TimePoint start = Clock::now();
  Plan plan = plan_work(targets_, options_);
  const TimePoint deadline = start + (options_.deadline_ms > 0
                                          ? std::chrono::milliseconds(options_.deadline_ms)
                                          : plan.run_length);
  build_searches(plan, deadline);

  // The bucket holds a tenth of a second's sends, so that a start-up burst stays small. A
  // rate the caller gave is kept as it is; the default one adapts to what the path takes.
  Pacer pacer = options_.rate_given
                    ? Pacer(options_.rate, 1.0)
                    : Pacer(options_.rate, kAdaptiveFloor, kAdaptiveCeiling, 1.0);
  SearchContext context{this, &pacer};
  // Searches that only follow up others' finds start first (a find may come while the
  // others start) and cannot fail to go out; of the others, a run where none could send
  // anything has failed.
  for (auto &s : searches_)
    if (!s->finds_devices()) {
      (void)s->start(context, Clock::now());
      live_.push_back(s.get());
    }
  for (auto &s : searches_) {
    if (!s->finds_devices()) continue;
    ++tried_;
    if (s->start(context, Clock::now()) || s->sent_any()) {
      live_.push_back(s.get());
    } else {
      ++failed_;
    }
  }
  deliver_events();
  report_progress(true);
  loop(deadline);
  teardown();
  elapsed_ms_ = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  running_ = false;
  if (cancelled_.load()) return KIVO_DISCOVER_CANCELLED;
  if (tried_ > 0 && failed_ == tried_) return KIVO_DISCOVER_ENOSEND;
  return KIVO_DISCOVER_OK;
}

const kivo_discover_device *Engine::get(std::uint32_t index) const {
  if (index >= entries_.size()) return nullptr;
  return &entries_[index]->view;
}

void Engine::stats(kivo_discover_stats &out) const {
  out = kivo_discover_stats{};
  out.requests_sent = sent_;
  out.answers = answers_;
  out.datagrams_dropped = datagrams_dropped_;
  out.devices_dropped = devices_dropped_;
  out.sends_deferred = deferred_;
  out.devices = static_cast<std::uint32_t>(entries_.size());
  out.deadline_reached = deadline_reached_ ? 1 : 0;
  out.elapsed_ms = elapsed_ms_;
}

std::int32_t Engine::fill_group() {
  device_group *all = device_groups_all_devices();
  if (all == nullptr) return -1;
  for (auto &e : entries_) {
    (void)device_update_status(&e->record, 0);
    (void)device_group_add(all, &e->record);
  }
  in_group_ = true;
  return 0;
}

}  // namespace kivo::discover
