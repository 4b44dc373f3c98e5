// Attack datagrams for the DNS message decoder, shared by the codec's table test and the
// namespace test whose responder sends them through the network.
#pragma once

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "mdns/dns_message.h"
#include "support/dns_craft.h"

namespace kivo8::test::dns {

inline Bytes label_of(std::size_t n, char fill = 'x') {
  Bytes out{static_cast<std::uint8_t>(n)};
  out.insert(out.end(), n, static_cast<std::uint8_t>(fill));
  return out;
}

// A wire name of exactly `octets` octets (root included), of labels of at most 63.
inline Bytes name_of_size(std::size_t octets) {
  Bytes out;
  std::size_t left = octets - 1;
  while (left > 0) {
    std::size_t n = std::min<std::size_t>(63, left - 1);
    if (left - (n + 1) == 1) --n;  // never leave a single octet, which cannot hold a label
    auto l = label_of(n);
    out.insert(out.end(), l.begin(), l.end());
    left -= n + 1;
  }
  out.push_back(0);
  return out;
}

inline Bytes ten_thousand_answers() {
  // One question naming the type, then 10,000 PTR answers whose owner points at it and
  // whose targets are distinct instance labels pointing at it too.
  Bytes msg = cat({header(kResponse, 1, 10000), question(name("_ipp._tcp.local"), kPtr)});
  for (int i = 0; i < 10000; ++i) {
    char label[8];
    std::snprintf(label, sizeof label, "p%05d", i);
    append(msg, rr(name_then_pointer("", 12), kPtr, name_then_pointer(label, 12)));
  }
  return msg;
}



struct AttackCase {
  const char *name;
  Bytes message;
  mdns::DecodeError error;
};

inline std::vector<AttackCase> attack_cases() {
  const Bytes hdr_an1 = header(kResponse, 0, 1);
  const Bytes rr_tail = {0x00, 0x01, 0x00, 0x01, 0, 0, 0, 120, 0x00, 0x04, 10, 0, 0, 1};
  return {
      {"pointer to itself", cat({hdr_an1, {0xC0, 0x0C}, rr_tail}), mdns::DecodeError::BadName},
      {"pointer loop of two", cat({header(kResponse, 2, 0), {0xC0, 0x12, 0, 1, 0, 1}, {0xC0, 0x0C, 0, 1, 0, 1}}),
       mdns::DecodeError::BadName},
      {"pointer loop of two reached backward",
       cat({header(kResponse, 2, 0), {0x01, 'a', 0xC0, 0x12, 0, 1, 0, 1}, {0x01, 'b', 0xC0, 0x0C, 0, 1, 0, 1}}),
       mdns::DecodeError::BadName},
      {"pointer forward past the end", cat({hdr_an1, {0xC0, 0xFF}, rr_tail}), mdns::DecodeError::BadName},
      {"pointer into its own labels", cat({hdr_an1, {0x01, 'a', 0xC0, 0x0C}, rr_tail}), mdns::DecodeError::BadName},
      {"label length 64", cat({hdr_an1, label_of(64), {0}, rr_tail}), mdns::DecodeError::BadName},
      {"reserved label type 0x80", cat({hdr_an1, {0x80, 0}, rr_tail}), mdns::DecodeError::BadName},
      {"name of 256 octets", cat({hdr_an1, name_of_size(256), rr_tail}), mdns::DecodeError::BadName},
      {"name of 256 octets through a pointer",
       // A question holding a 250-octet name, then an owner of two labels pointing at it.
       cat({header(kResponse, 1, 1), question(name_of_size(250), 1), label_of(3), label_of(1),
               {0xC0, 0x0C}, rr_tail}),
       mdns::DecodeError::BadName},
      {"rdlength past the end", cat({hdr_an1, name("p.local"), {0, 1, 0, 1, 0, 0, 0, 120, 0x00, 0x40, 10, 0, 0, 1}}),
       mdns::DecodeError::Truncated},
      {"txt string past its record",
       cat({header(kResponse, 0, 2), name("p.local"), {0, 16, 0, 1, 0, 0, 0, 120, 0, 3, 10, 'a', '='},
               rr(name("p.local"), kA, a(10, 0, 0, 1))}),
       mdns::DecodeError::BadRdata},
      {"A record of 5 octets", cat({hdr_an1, name("p.local"), {0, 1, 0, 1, 0, 0, 0, 120, 0, 5, 10, 0, 0, 1, 9}}),
       mdns::DecodeError::BadRdata},
      {"srv target running past rdlength",
       cat({header(kResponse, 0, 2), rr(name("p.local"), kSrv, {0, 0, 0, 0, 0x02, 0x77, 0x01}),
               {0x61, 0}, rr(name("x"), kA, a(1, 2, 3, 4))}),
       mdns::DecodeError::BadRdata},
      {"answer count the datagram cannot hold", cat({header(kResponse, 0, 10000), rr(name("p"), 1, {1, 2, 3, 4})}),
       mdns::DecodeError::Counts},
      {"header cut short", Bytes{0, 0, 0x84, 0, 0, 0, 0, 1}, mdns::DecodeError::Truncated},
  };
}

}  // namespace kivo8::test::dns
