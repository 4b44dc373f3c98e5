// The discovery engine's event loop, its book of devices and the records it hands out.
#include "discover/engine.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "discover/naming.h"
#include "kivo8/dev_group.h"

namespace kivo::discover {

namespace {

// Progress is reported at most this often (and once at the end).
constexpr auto kProgressEvery = std::chrono::milliseconds(100);
// The longest a poll sleeps, so that a cancel is seen even if its wake-up were lost.
constexpr auto kLongestSleep = std::chrono::milliseconds(250);

std::int32_t ms_of(std::int32_t seconds) { return std::max(seconds, 1) * 1000; }

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
  int outstanding = 0;
  bool announced = false;
  bool describe_asked = false;
  bool web_asked = false;
  bool v3_named = false;
  bool v3_failed = false;
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
  if (snmp_ != nullptr && device.snmp_version >= 0 && device.snmp_version < 3 && !e->describe_asked) {
    e->describe_asked = true;
    ++e->outstanding;
    started = true;
    snmp_->describe(device.address, device.snmp_version, device.community);
  }
  if (web_ != nullptr && !e->web_asked) {
    e->web_asked = true;
    ++e->outstanding;
    started = true;
    web_->probe(device.address, now);
  }
  // A follow-up that ended at once has completed the device already (follow_up_done).
  if (first && !started && e->outstanding == 0) complete(*e);
  // An SNMPv3 description comes after the engine-id Report that found the device, which
  // may have completed it already: it is named again from what the description told.
  if (device.snmp_version == SNMP_VERSION_3 && !e->v3_named) {
    e->v3_named = true;
    if (e->device.complete && e->outstanding == 0) complete(*e);
  }
  // So is a device whose SNMPv3 user was refused: the front end hears why.
  if (device.snmpv3_error != 0 && !e->v3_failed) {
    e->v3_failed = true;
    if (e->device.complete && e->outstanding == 0) complete(*e);
  }
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

// Names and kind from everything known so far.
void Engine::finalize(Entry &e) {
  Device &d = e.device;
  NamingInput in;
  in.sys_descr = d.sys_descr;
  in.hr_device_descr = d.hr_device_descr;
  in.printer_name = d.printer_name;
  in.sys_object_id = d.sys_object_id_raw;
  in.device_id_standard = d.device_id_standard;
  in.device_id_private = d.device_id_private;
  in.answered_snmp = d.snmp_version >= 0;
  if (!d.services.empty()) {
    const Service &s = d.services.front();
    in.mdns_instance = s.instance;
    for (const auto &[k, v] : s.txt) {
      if (k == "product") in.mdns_product = v;
      else if (k == "ty") in.mdns_ty = v;
      else if (k == "usb_MFG") in.mdns_usb_mfg = v;
      else if (k == "usb_MDL") in.mdns_usb_mdl = v;
    }
  }
  Naming n = choose_name(in);
  d.make = std::move(n.make);
  d.model = std::move(n.model);
  d.product_name = std::move(n.product_name);
  d.device_id.clear();
  d.mfg.clear();
  d.mdl.clear();
  d.cmd.clear();
  for (const std::string *raw : {&d.device_id_standard, &d.device_id_private}) {
    if (raw->empty()) continue;
    if (auto id = parse_device_id(*raw)) {
      d.device_id = *raw;
      d.mfg = id->manufacturer;
      d.mdl = id->model;
      d.cmd = id->command_set;
      break;
    }
  }
  if (d.kind != Kind::kPrinter)
    d.kind = d.snmp_version >= 0 ? Kind::kOther : Kind::kPrinterNoSnmp;

  e.record.target = const_cast<ifinfo *>(d.target);
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

TimePoint Engine::default_deadline(TimePoint start, const std::vector<SnmpTarget> &snmp,
                                   const std::vector<SlpInterface> &slp) const {
  std::int64_t longest = 0;
  for (const auto &t : snmp) longest = std::max<std::int64_t>(longest, t.timeout_ms);
  std::int64_t snmp_ms = longest * (options_.retries + 1);
  // Sending every address of the ranges comes on top of the waiting: four times the
  // time the rate asks for, since the path may not take the rate (a router resolving
  // every silent address managed about 6,000 a second on the test network).
  if (addresses_total_ > 0)
    snmp_ms += static_cast<std::int64_t>(4 * addresses_total_ * 1000 /
                                         std::max<std::uint32_t>(options_.rate, 1));
  std::int64_t slp_ms = 0;
  for (const auto &s : slp) slp_ms = std::max<std::int64_t>(slp_ms, s.timeout_ms);
  // The DNS-SD search listens for its own window (the request time-out, else the
  // longest target time-out, else 2 s); without SNMP targets nothing else would cover it.
  std::int64_t mdns_ms = 0;
  if ((options_.searches & KIVO_DISCOVER_MDNS) != 0)
    mdns_ms = options_.timeout_ms > 0 ? options_.timeout_ms : longest > 0 ? longest : 2000;
  slp_ms = std::max(slp_ms, mdns_ms);
  std::int64_t describe = 0;
  if (!snmp.empty()) {
    std::int64_t d = options_.describe_timeout_ms > 0 ? options_.describe_timeout_ms : longest;
    describe = d * (std::max(options_.retries, 1) + 1);
  }
  std::int64_t web = (options_.searches & KIVO_DISCOVER_WEB) != 0 ? options_.web_timeout_ms : 0;
  return start + std::chrono::milliseconds(std::max(snmp_ms, slp_ms) + describe + web);
}

std::int32_t Engine::run() {
  if (ran_ || running_) return KIVO_DISCOVER_EINVAL;
  running_ = true;
  ran_ = true;
  TimePoint start = Clock::now();

  std::vector<std::int32_t> versions;
  if ((options_.versions & KIVO_DISCOVER_V1) != 0) versions.push_back(SNMP_VERSION_1);
  if ((options_.versions & KIVO_DISCOVER_V2C) != 0) versions.push_back(SNMP_VERSION_2c);

  std::vector<SnmpTarget> snmp_targets;
  std::vector<SlpInterface> slp;
  std::vector<const ifinfo *> locals, slp_targets;
  for (ifinfo *e = targets_; e != nullptr; e = e->next) {
    std::int32_t kind = ifinfo_get_type(e);
    std::int32_t timeout = options_.timeout_ms > 0 ? options_.timeout_ms : ms_of(e->count);
    if (kind == IFINFO_LOCAL && e->addr.s_addr != 0) locals.push_back(e);
    if (kind == IFINFO_SLP) slp_targets.push_back(e);
    bool broadcast = (kind == IFINFO_LOCAL || kind == IFINFO_BCAST) && e->addr1.s_addr != 0 &&
                     (options_.searches & KIVO_DISCOVER_BROADCAST) != 0;
    bool range = kind == IFINFO_RANGE && (options_.searches & KIVO_DISCOVER_RANGES) != 0;
    if (!broadcast && !range) continue;
    SnmpTarget t{e, 0, 0, 0, broadcast, false, timeout, {}};
    std::vector<std::string> names;
    for (const snmp_comm *c = e->comms; c != nullptr; c = c->next)
      if (c->name != nullptr && c->length > 0) names.emplace_back(c->name, static_cast<std::size_t>(c->length));
    for (const auto &c : options_.communities)
      if (std::find(names.begin(), names.end(), c) == names.end()) names.push_back(c);
    for (std::int32_t v : versions)
      for (const auto &n : names) t.communities.push_back({v, n});
    if (t.communities.empty()) continue;
    std::uint32_t a1 = ntohl(e->addr1.s_addr), a2 = ntohl(e->addr2.s_addr);
    if (broadcast) {
      t.first = t.last = a1;
      t.mask = a2;
    } else {
      t.first = std::min(a1, a2);
      t.last = std::max(a1, a2);
      t.mask = 0xFFFFFFFFu;
      for (const ifinfo *l = targets_; l != nullptr; l = l->next) {
        if (ifinfo_get_type(l) != IFINFO_LOCAL || l->addr.s_addr == 0) continue;
        std::uint32_t own = ntohl(l->addr.s_addr), mask = ntohl(l->addr2.s_addr);
        if ((t.first & mask) == (own & mask) || (t.last & mask) == (own & mask)) t.on_link = true;
      }
      addresses_total_ += std::uint64_t{t.last} - t.first + 1;
    }
    snmp_targets.push_back(std::move(t));
  }
  if ((options_.searches & KIVO_DISCOVER_SLP) != 0) {
    for (const ifinfo *l : locals) {
      if (slp_targets.empty() || options_.slp_scopes_given) {
        // Service agents without configured scopes serve DEFAULT, and answer no request
        // whose scope list is empty.
        slp.push_back({l, l->addr,
                       options_.timeout_ms > 0 ? options_.timeout_ms : ms_of(l->count), l->flag,
                       options_.slp_scopes_given ? options_.slp_scopes : "DEFAULT"});
        continue;
      }
      for (const ifinfo *s : slp_targets)
        slp.push_back({l, l->addr, options_.timeout_ms > 0 ? options_.timeout_ms : ms_of(s->count),
                       s->flag, s->scopes != nullptr ? s->scopes : ""});
    }
  }

  TimePoint deadline = options_.deadline_ms > 0
                           ? start + std::chrono::milliseconds(options_.deadline_ms)
                           : default_deadline(start, snmp_targets, slp);

  std::int32_t describe_ms = options_.describe_timeout_ms;
  if (describe_ms <= 0) {
    describe_ms = 0;
    for (const auto &t : snmp_targets) describe_ms = std::max(describe_ms, t.timeout_ms);
    if (describe_ms == 0) describe_ms = 3000;
  }
  std::vector<std::unique_ptr<Search>> searches;
  bool have_snmp = !snmp_targets.empty();
  if (have_snmp) {
    auto s = std::make_unique<SnmpSearch>(std::move(snmp_targets), options_.retries, describe_ms, *this);
    snmp_ = s.get();
    searches.push_back(std::move(s));
  }
  if (!slp.empty()) searches.push_back(std::make_unique<SlpSearch>(std::move(slp), options_.slp_service_type));
  add_plugin_searches(options_, targets_, searches);
  std::unique_ptr<WebSearch> web;
  if ((options_.searches & KIVO_DISCOVER_WEB) != 0) {
    web = std::make_unique<WebSearch>(options_.web_timeout_ms, options_.web_in_flight, *this);
    web_ = web.get();
  }

  // The bucket holds a tenth of a second's sends, so that a start-up burst stays small.
  Pacer pacer(options_.rate, std::max(1.0, options_.rate / 10.0));
  SearchContext context{this, &pacer};
  if (web) (void)web->start(context, start);
  std::vector<Search *> live;
  std::size_t tried = searches.size(), failed = 0;
  for (auto &s : searches) {
    if (s->start(context, Clock::now()) || s->sent_any()) {
      live.push_back(s.get());
    } else {
      ++failed;
    }
  }
  if (web) live.push_back(web.get());
  deliver_events();
  report_progress(true);

  std::vector<pollfd> fds;
  std::vector<Search *> owners;
  while (!cancelled_.load()) {
    if (std::all_of(live.begin(), live.end(), [](Search *s) { return s->done(); })) break;
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
    for (Search *s : live) {
      std::size_t before = fds.size();
      s->watched(fds);
      owners.resize(fds.size(), s);
      (void)before;
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
    for (Search *s : live) {
      // The clock is read after the search names its time: a search that is due "now"
      // (a send the pacer allows at once) must not be passed over.
      auto at = s->next_wakeup();
      TimePoint t = Clock::now();
      if (at && *at <= t) s->on_timer(t);
    }
    deliver_events();
    report_progress(false);
  }
  if (snmp_ != nullptr) deferred_ = snmp_->deferred();
  // What the follow-ups did not finish is described as far as it went.
  for (auto &e : entries_) {
    finalize(*e);
    e->device.complete = true;
  }
  std::sort(entries_.begin(), entries_.end(), [](const auto &a, const auto &b) {
    return ntohl(a->device.address.s_addr) < ntohl(b->device.address.s_addr);
  });
  for (auto &e : entries_) refresh_view(*e);
  report_progress(true);
  snmp_ = nullptr;
  web_ = nullptr;
  elapsed_ms_ = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  running_ = false;
  if (cancelled_.load()) return KIVO_DISCOVER_CANCELLED;
  if (tried > 0 && failed == tried) return KIVO_DISCOVER_ENOSEND;
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
