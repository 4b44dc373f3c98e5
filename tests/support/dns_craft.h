// A small DNS message writer of the tests' own, for replies no real responder sends and
// for the expectations of the decoder's tests: nothing here uses the library's codec,
// so a fault in it cannot hide in what the tests expect.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kivo8::test::dns {

using Bytes = std::vector<std::uint8_t>;

inline void put16(Bytes &b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v >> 8));
  b.push_back(static_cast<std::uint8_t>(v));
}
inline void put32(Bytes &b, std::uint32_t v) {
  put16(b, static_cast<std::uint16_t>(v >> 16));
  put16(b, static_cast<std::uint16_t>(v));
}
inline Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto &p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

inline void append(Bytes &to, const Bytes &more) { to.insert(to.end(), more.begin(), more.end()); }

// Uncompressed name from dot-separated labels (no escapes); "" is the root.
inline Bytes name(const std::string &dotted) {
  Bytes out;
  std::size_t start = 0;
  while (start < dotted.size()) {
    std::size_t end = dotted.find('.', start);
    if (end == std::string::npos) end = dotted.size();
    out.push_back(static_cast<std::uint8_t>(end - start));
    out.insert(out.end(), dotted.begin() + static_cast<long>(start), dotted.begin() + static_cast<long>(end));
    start = end + 1;
  }
  out.push_back(0);
  return out;
}
// Labels, then a compression pointer to `offset`.
inline Bytes name_then_pointer(const std::string &dotted, std::uint16_t offset) {
  Bytes out = dotted.empty() ? Bytes{} : name(dotted);
  if (!out.empty()) out.pop_back();
  out.push_back(static_cast<std::uint8_t>(0xC0 | (offset >> 8)));
  out.push_back(static_cast<std::uint8_t>(offset));
  return out;
}

inline Bytes header(std::uint16_t flags, std::uint16_t qd, std::uint16_t an, std::uint16_t ns = 0,
                    std::uint16_t ar = 0, std::uint16_t id = 0) {
  Bytes out;
  for (std::uint16_t v : {id, flags, qd, an, ns, ar}) put16(out, v);
  return out;
}
inline constexpr std::uint16_t kResponse = 0x8400;  // QR and AA, as responders send

inline Bytes question(const Bytes &owner, std::uint16_t type, std::uint16_t klass = 1) {
  Bytes out = owner;
  put16(out, type);
  put16(out, klass);
  return out;
}
inline Bytes rr(const Bytes &owner, std::uint16_t type, const Bytes &rdata, std::uint16_t klass = 1,
                std::uint32_t ttl = 120) {
  Bytes out = owner;
  put16(out, type);
  put16(out, klass);
  put32(out, ttl);
  put16(out, static_cast<std::uint16_t>(rdata.size()));
  out.insert(out.end(), rdata.begin(), rdata.end());
  return out;
}
inline Bytes txt(const std::vector<std::string> &strings) {
  Bytes out;
  for (const auto &s : strings) {
    out.push_back(static_cast<std::uint8_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  }
  return out;
}
inline Bytes srv(std::uint16_t port, const Bytes &target) {
  Bytes out;
  put16(out, 0);
  put16(out, 0);
  put16(out, port);
  out.insert(out.end(), target.begin(), target.end());
  return out;
}
inline Bytes a(std::uint8_t a0, std::uint8_t a1, std::uint8_t a2, std::uint8_t a3) { return {a0, a1, a2, a3}; }

inline constexpr std::uint16_t kA = 1, kPtr = 12, kTxt = 16, kAaaa = 28, kSrv = 33;

// A whole answer for one printer instance: PTR from `type`, SRV, TXT and A, all in the
// answer section, uncompressed.
inline Bytes printer_reply(const std::string &instance, const std::string &type, const std::string &host,
                           std::uint16_t port, const std::vector<std::string> &txt_strings, Bytes address) {
  const std::string full = instance + "." + type;
  return cat({header(kResponse, 0, 4), rr(name(type), kPtr, name(full)),
              rr(name(full), kSrv, srv(port, name(host))), rr(name(full), kTxt, txt(txt_strings)),
              rr(name(host), kA, address)});
}

}  // namespace kivo8::test::dns
