// The multicast DNS search inside the discovery engine: its loop calls, its device book.
#include "discover/mdns_search.h"

#include <arpa/inet.h>

#include <algorithm>
#include <unordered_set>

#include "discover/classify.h"
#include "discover/naming.h"

namespace kivo8::mdns {

namespace {

using kivo::discover::TimePoint;

std::int64_t ms(TimePoint t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}
TimePoint at(std::int64_t ms) {
  return TimePoint(std::chrono::duration_cast<kivo::discover::Clock::duration>(std::chrono::milliseconds(ms)));
}

std::string dotted(std::uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr a{};
  a.s_addr = address;
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

std::string_view without_suffix(std::string_view text, std::string_view suffix) {
  if (text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix)
    return text.substr(0, text.size() - suffix.size());
  return text;
}

// How often found devices are written into the book while replies come in: often
// enough for a front end's "device found" callback, rarely enough that a flood of
// replies does not turn into a flood of record updates.
constexpr std::int64_t kSyncEveryMs = 200;

class DiscoverSearch final : public kivo::discover::Search {
 public:
  explicit DiscoverSearch(const SearchOptions &options) : search_(options) {}

  bool start(const kivo::discover::SearchContext &context, TimePoint now) override {
    context_ = context;
    if (context_.pacer != nullptr)
      search_.set_send_gate([this](std::int64_t t) { return context_.pacer->take_send(at(t)); });
    const bool ok = search_.start(ms(now));
    note_progress();
    if (!ok) done_ = true;
    return ok;
  }

  void watched(std::vector<pollfd> &fds) override {
    if (done_) return;
    for (int fd : search_.fds()) fds.push_back({fd, POLLIN, 0});
  }

  void on_ready(int fd, short, TimePoint now) override {
    if (done_) return;
    search_.readable(fd, ms(now));
    note_progress();
    dirty_ = true;
  }

  std::optional<TimePoint> next_wakeup() const override {
    if (done_) return std::nullopt;
    std::int64_t due = search_.next_due_ms();
    if (dirty_) due = std::min(due, last_sync_ + kSyncEveryMs);
    return at(due);
  }

  void on_timer(TimePoint now) override {
    if (done_) return;
    const std::int64_t t = ms(now);
    search_.tick(t);
    note_progress();
    if (search_.finished(t)) {
      sync();
      done_ = true;
    } else if (dirty_ && t >= last_sync_ + kSyncEveryMs) {
      sync();
      last_sync_ = t;
    }
  }

  bool done() const override { return done_; }
  const char *name() const override { return "mdns"; }
  bool sent_any() const override { return search_.stats().queries_sent > 0; }

 private:
  void note_progress() {
    kivo::discover::DeviceBook *book = context_.book;
    if (book == nullptr) return;
    const SearchStats &s = search_.stats();
    const Counters &c = search_.collector().counters();
    if (s.queries_sent > sent_) book->note_sent(s.queries_sent - sent_);
    if (s.replies > replies_) book->note_answer(s.replies - replies_);
    const std::uint64_t dropped = s.wrong_port + c.damaged + c.records_dropped;
    if (dropped > dropped_) book->note_dropped(dropped - dropped_);
    sent_ = s.queries_sent;
    replies_ = s.replies;
    dropped_ = dropped;
  }

  void sync() {
    dirty_ = false;
    kivo::discover::DeviceBook *book = context_.book;
    if (book == nullptr) return;
    for (const Device &found : search_.collector().devices()) {
      // A device the book had no room for stays out; asking again would count it again.
      if (refused_.count(found.ipv4) != 0) continue;
      in_addr address{};
      address.s_addr = found.ipv4;
      kivo::discover::Device *device = book->find_or_add(address, kivo::discover::kFoundMdns);
      if (device == nullptr) {
        refused_.insert(found.ipv4);
        continue;
      }
      const bool first = (device->found_by & kivo::discover::kFoundMdns) == 0;
      device->found_by |= kivo::discover::kFoundMdns;
      if (merge_into(*device, found) || first) book->changed(*device);
    }
  }

  mdns::Search search_;
  kivo::discover::SearchContext context_;
  bool done_ = false;
  bool dirty_ = false;
  std::int64_t last_sync_ = 0;
  std::uint64_t sent_ = 0, replies_ = 0, dropped_ = 0;
  std::unordered_set<std::uint32_t> refused_;
};

}  // namespace

std::vector<kivo::discover::Service> book_services(const Device &found) {
  std::vector<kivo::discover::Service> out;
  std::vector<std::string> addresses{dotted(found.ipv4)};
  for (std::uint32_t a : found.more_ipv4) addresses.push_back(dotted(a));
  addresses.insert(addresses.end(), found.ipv6.begin(), found.ipv6.end());
  for (const Service &s : found.services) {
    if (out.size() >= kivo::discover::kMaxListItems) break;
    kivo::discover::Service b;
    b.instance = s.instance + "." + s.type;
    b.type = std::string(without_suffix(s.type, ".local"));
    b.host = s.host;
    b.port = s.port;
    if (!s.host.empty()) b.addresses = addresses;
    for (const TxtKey &k : s.txt) b.txt.emplace_back(k.key, k.value);
    out.push_back(std::move(b));
  }
  return out;
}

void add_mdns_naming(const std::vector<kivo::discover::Service> &services, kivo::discover::NamingInput &in) {
  auto txt = [](const kivo::discover::Service &s, std::string_view key) -> std::string_view {
    for (const auto &[k, v] : s.txt)
      if (k == key) return v;
    return {};
  };
  for (const auto &s : services) {
    if (in.mdns_instance.empty())
      in.mdns_instance = without_suffix(without_suffix(s.instance, ".local"), "." + s.type);
    if (in.mdns_product.empty()) in.mdns_product = txt(s, "product");
    if (in.mdns_ty.empty()) in.mdns_ty = txt(s, "ty");
    if (in.mdns_usb_mfg.empty()) in.mdns_usb_mfg = txt(s, "usb_MFG");
    if (in.mdns_usb_mdl.empty()) in.mdns_usb_mdl = txt(s, "usb_MDL");
  }
}

bool merge_into(kivo::discover::Device &device, const Device &found) {
  bool changed = false;
  auto services = book_services(found);
  auto same = [](const kivo::discover::Service &a, const kivo::discover::Service &b) {
    return a.instance == b.instance && a.type == b.type && a.host == b.host && a.port == b.port &&
           a.addresses == b.addresses && a.txt == b.txt;
  };
  if (services.size() != device.services.size() ||
      !std::equal(services.begin(), services.end(), device.services.begin(), same)) {
    device.services = std::move(services);
    changed = true;
  }
  const auto kind = device.kind;
  const std::string product = device.product_name;
  kivo::discover::classify(device);
  changed = changed || device.kind != kind || device.product_name != product;
  return changed;
}

SearchOptions options_for_targets(const ifinfo *targets, std::int32_t timeout_ms, std::uint32_t max_devices) {
  SearchOptions options;
  std::int64_t longest = 0;
  // The list is the caller's; its length is bounded by what the caller built, and an
  // address is taken once however often it is listed.
  for (const ifinfo *e = targets; e != nullptr; e = e->next) {
    if (ifinfo_get_type(e) != IFINFO_LOCAL || e->addr.s_addr == 0) continue;
    if (std::find(options.interfaces.begin(), options.interfaces.end(), e->addr.s_addr) == options.interfaces.end())
      options.interfaces.push_back(e->addr.s_addr);
    longest = std::max<std::int64_t>(longest, std::int64_t(std::max(e->count, 1)) * 1000);
  }
  options.window_ms = timeout_ms > 0 ? timeout_ms : longest > 0 ? longest : 2000;
  if (max_devices > 0) options.limits.max_devices = max_devices;
  return options;
}

std::unique_ptr<kivo::discover::Search> make_discover_search(const SearchOptions &options) {
  return std::make_unique<DiscoverSearch>(options);
}

}  // namespace kivo8::mdns
