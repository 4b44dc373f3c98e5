// Builds printer devices from DNS-SD replies, within fixed caps, and asks for what is missing.
#include "mdns/collector.h"

#include <algorithm>
#include <cstring>

namespace kivo8::mdns {

namespace {

bool same_key(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

const DnsName *printer_type_of(const DnsName &instance) {
  if (instance.labels.size() < 2) return nullptr;
  const DnsName type = instance.suffix(1);
  for (const auto &t : printer_types())
    if (same_name(t, type)) return &t;
  return nullptr;
}

bool is_browse_name(const DnsName &name) {
  for (const auto &b : browse_names())
    if (same_name(b, name)) return true;
  return false;
}

// RFC 5952 text: lower-case hex, the longest run of two or more zero groups as "::".
std::string ipv6_text(const std::uint8_t a[16]) {
  std::uint16_t g[8];
  for (std::size_t i = 0; i < 8; ++i) g[i] = static_cast<std::uint16_t>(a[2 * i] << 8 | a[2 * i + 1]);
  int best = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i > best_len && j - i >= 2) best = i, best_len = j - i;
    i = j;
  }
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    bool lead = true;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const int nibble = (g[i] >> shift) & 0xF;
      if (nibble == 0 && lead && shift != 0) continue;
      lead = false;
      out += hex[nibble];
    }
  }
  return out;
}

}  // namespace

const std::vector<DnsName> &browse_names() {
  static const std::vector<DnsName> names = {
      DnsName::parse("_ipp._tcp.local"),
      DnsName::parse("_ipps._tcp.local"),
      DnsName::parse("_printer._tcp.local"),
      DnsName::parse("_pdl-datastream._tcp.local"),
      DnsName::parse("_universal._sub._ipp._tcp.local"),
      DnsName::parse("_universal._sub._ipps._tcp.local"),
  };
  return names;
}

const std::vector<DnsName> &printer_types() {
  static const std::vector<DnsName> types(browse_names().begin(), browse_names().begin() + 4);
  return types;
}

const std::vector<std::string> &kept_txt_keys() {
  static const std::vector<std::string> keys = {"ty",   "product", "usb_MFG", "usb_MDL", "note",
                                                "adminurl", "rp", "pdl",   "UUID",    "Color",
                                                "Duplex",   "TLS", "txtvers"};
  return keys;
}

std::string clean_text(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  std::size_t i = 0;
  while (i < raw.size()) {
    const auto c = static_cast<unsigned char>(raw[i]);
    std::size_t len = 0;
    std::uint32_t min = 0;
    if (c < 0x80) {
      out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
      ++i;
      continue;
    }
    if ((c & 0xE0) == 0xC0) len = 2, min = 0x80;
    else if ((c & 0xF0) == 0xE0) len = 3, min = 0x800;
    else if ((c & 0xF8) == 0xF0) len = 4, min = 0x10000;
    bool ok = len != 0 && len <= raw.size() - i;
    std::uint32_t cp = ok ? (c & (0xFF >> (len + 1))) : 0;
    for (std::size_t k = 1; ok && k < len; ++k) {
      const auto cc = static_cast<unsigned char>(raw[i + k]);
      ok = (cc & 0xC0) == 0x80;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8; C1
    // controls would reach a terminal as controls.
    ok = ok && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF) && !(cp >= 0x80 && cp < 0xA0);
    if (ok) {
      out.append(raw.substr(i, len));
      i += len;
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

const std::string *Service::txt_value(std::string_view key) const {
  for (const auto &k : txt)
    if (same_key(k.key, key)) return &k.value;
  return nullptr;
}

Collector::Instance *Collector::instance_for(const DnsName &name, std::uint32_t source,
                                             std::int64_t now_ms) {
  const DnsName *type = printer_type_of(name);
  if (type == nullptr) return nullptr;
  std::string key = name.key();
  if (auto it = instance_index_.find(key); it != instance_index_.end()) return &instances_[it->second];
  if (instances_.size() >= limits_.max_instances) {
    ++counters_.records_dropped;
    return nullptr;
  }
  Instance in;
  in.name = name;
  in.type = type->text();
  in.label = clean_text(name.labels.front());
  in.source = source;
  in.due_ms = now_ms + limits_.settle_ms;
  instance_index_.emplace(std::move(key), instances_.size());
  instances_.push_back(std::move(in));
  return &instances_.back();
}

Collector::Host *Collector::host_for(const DnsName &name, std::int64_t now_ms, bool create) {
  std::string key = name.key();
  if (auto it = host_index_.find(key); it != host_index_.end()) return &hosts_[it->second];
  if (!create) return nullptr;
  if (hosts_.size() >= limits_.max_hosts) {
    ++counters_.records_dropped;
    return nullptr;
  }
  Host host;
  host.name = name;
  host.due_ms = now_ms + limits_.settle_ms;
  host_index_.emplace(std::move(key), hosts_.size());
  hosts_.push_back(std::move(host));
  return &hosts_.back();
}

void Collector::take_srv(Instance &in, const Record &rec, std::int64_t now_ms) {
  // A target of "." says the service is not offered there.
  if (in.have_srv || rec.srv.target.labels.empty()) return;
  in.have_srv = true;
  in.port = rec.srv.port;
  in.host_key = rec.srv.target.key();
  in.host_text = clean_text(rec.srv.target.text());
  host_for(rec.srv.target, now_ms, true);
}

void Collector::take_txt(Instance &in, const Record &rec) {
  if (in.have_txt) return;
  in.have_txt = true;
  for (const auto &entry : rec.txt) {
    const std::size_t eq = entry.find('=');
    const std::string_view key = std::string_view(entry).substr(0, eq);
    for (const auto &kept : kept_txt_keys()) {
      if (!same_key(kept, key)) continue;
      // Only the first occurrence of a key counts.
      const bool seen = std::any_of(in.txt.begin(), in.txt.end(),
                                    [&](const TxtKey &k) { return k.key == kept; });
      if (!seen)
        in.txt.push_back({kept, eq == std::string::npos ? std::string() : clean_text(entry.substr(eq + 1))});
      break;
    }
  }
}

void Collector::take_address(Host &host, const Record &rec) {
  if (host.v4.size() + host.v6.size() >= limits_.max_addresses_per_host) {
    ++counters_.records_dropped;
    return;
  }
  if (rec.type == static_cast<std::uint16_t>(RrType::A)) {
    std::uint32_t a;
    std::memcpy(&a, rec.addr, 4);
    if (std::find(host.v4.begin(), host.v4.end(), a) == host.v4.end()) host.v4.push_back(a);
  } else {
    std::string text = ipv6_text(rec.addr);
    if (std::find(host.v6.begin(), host.v6.end(), text) == host.v6.end()) host.v6.push_back(std::move(text));
  }
}

void Collector::feed(std::span<const std::uint8_t> datagram, std::uint32_t source_ipv4,
                     std::int64_t now_ms) {
  ++counters_.datagrams;
  auto m = decode_message(datagram);
  if (!m) {
    ++counters_.damaged;
    return;
  }
  if (!m->is_response() || m->opcode() != 0 || m->rcode() != 0) {
    ++counters_.ignored;
    return;
  }
  // Services first, so that the addresses of the hosts they name are kept from the same
  // datagram whatever the order of its records.
  for (const Record &rec : m->records) {
    if (rec.klass != kClassIn) continue;
    switch (static_cast<RrType>(rec.type)) {
      case RrType::PTR:
        if (is_browse_name(rec.name)) instance_for(rec.ptr, source_ipv4, now_ms);
        break;
      case RrType::SRV:
        if (Instance *in = instance_for(rec.name, source_ipv4, now_ms)) take_srv(*in, rec, now_ms);
        break;
      case RrType::TXT:
        if (Instance *in = instance_for(rec.name, source_ipv4, now_ms)) take_txt(*in, rec);
        break;
      default:
        break;
    }
  }
  for (const Record &rec : m->records) {
    if (rec.klass != kClassIn) continue;
    if (rec.type != static_cast<std::uint16_t>(RrType::A) && rec.type != static_cast<std::uint16_t>(RrType::AAAA))
      continue;
    if (Host *host = host_for(rec.name, now_ms, false)) take_address(*host, rec);
  }
}

std::vector<std::vector<Question>> Collector::followups(std::int64_t now_ms) {
  std::vector<std::vector<Question>> out;
  for (Instance &in : instances_) {
    if ((in.have_srv && in.have_txt) || in.asked >= limits_.max_followups || now_ms < in.due_ms) continue;
    std::vector<Question> qs;
    if (!in.have_srv) qs.push_back({in.name, static_cast<std::uint16_t>(RrType::SRV), kClassIn});
    if (!in.have_txt) qs.push_back({in.name, static_cast<std::uint16_t>(RrType::TXT), kClassIn});
    out.push_back(std::move(qs));
    ++in.asked;
    in.due_ms = now_ms + limits_.settle_ms;
  }
  for (Host &host : hosts_) {
    if (!host.v4.empty() || host.asked >= limits_.max_followups || now_ms < host.due_ms) continue;
    out.push_back({{host.name, static_cast<std::uint16_t>(RrType::A), kClassIn},
                   {host.name, static_cast<std::uint16_t>(RrType::AAAA), kClassIn}});
    ++host.asked;
    host.due_ms = now_ms + limits_.settle_ms;
  }
  return out;
}

bool Collector::incomplete() const {
  for (const Instance &in : instances_)
    if (!(in.have_srv && in.have_txt) && in.asked < limits_.max_followups) return true;
  for (const Host &host : hosts_)
    if (host.v4.empty() && host.asked < limits_.max_followups) return true;
  return false;
}

std::vector<Device> Collector::devices() {
  std::vector<Device> out;
  std::unordered_map<std::uint32_t, std::size_t> by_address;
  std::unordered_map<std::uint32_t, bool> dropped;
  for (const Instance &in : instances_) {
    const Host *host = nullptr;
    if (in.have_srv)
      if (auto it = host_index_.find(in.host_key); it != host_index_.end()) host = &hosts_[it->second];
    const std::uint32_t address = host != nullptr && !host->v4.empty() ? host->v4.front() : in.source;
    auto it = by_address.find(address);
    if (it == by_address.end()) {
      if (out.size() >= limits_.max_devices) {
        dropped[address] = true;
        continue;
      }
      it = by_address.emplace(address, out.size()).first;
      out.emplace_back().ipv4 = address;
    }
    Device &d = out[it->second];
    if (d.services.size() >= limits_.max_services_per_device) continue;
    if (host != nullptr) {
      if (d.host.empty()) d.host = in.host_text;
      for (std::uint32_t a : host->v4)
        if (a != d.ipv4 && std::find(d.more_ipv4.begin(), d.more_ipv4.end(), a) == d.more_ipv4.end())
          d.more_ipv4.push_back(a);
      for (const auto &a : host->v6)
        if (std::find(d.ipv6.begin(), d.ipv6.end(), a) == d.ipv6.end()) d.ipv6.push_back(a);
    }
    d.services.push_back({in.type, in.label, in.have_srv ? in.host_text : std::string(), in.port, in.txt});
  }
  counters_.devices_dropped = dropped.size();
  return out;
}

}  // namespace kivo8::mdns
