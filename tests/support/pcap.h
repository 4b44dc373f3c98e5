// A classic pcap file of SNMP requests as tshark reads them: raw IPv4 datagrams (link
// type 101) from 127.0.0.1:40000 to 127.0.0.1:161, one per message, so that a test can
// hand the bytes we encode to an independent dissector.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace kivo8::test {

inline void write_snmp_pcap(const std::string &path, const std::vector<std::vector<std::uint8_t>> &messages) {
  using Bytes = std::vector<std::uint8_t>;
  std::ofstream out(path, std::ios::binary);
  auto le32 = [&](std::uint32_t v) {
    const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
    out.write(b, 4);
  };
  auto le16 = [&](std::uint16_t v) {
    const char b[2] = {char(v), char(v >> 8)};
    out.write(b, 2);
  };
  // Global header: magic, version 2.4, no zone, no accuracy, snap length, raw IPv4.
  le32(0xA1B2C3D4);
  le16(2);
  le16(4);
  le32(0);
  le32(0);
  le32(65535);
  le32(101);
  std::uint32_t seconds = 1;
  for (const Bytes &m : messages) {
    const std::size_t udp_len = 8 + m.size(), ip_len = 20 + udp_len;
    Bytes p = {0x45, 0, std::uint8_t(ip_len >> 8), std::uint8_t(ip_len), 0, 1, 0, 0, 64, 17, 0, 0,
               127, 0, 0, 1, 127, 0, 0, 1};
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 20; i += 2) sum += (p[i] << 8) | p[i + 1];
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    p[10] = std::uint8_t(~sum >> 8);
    p[11] = std::uint8_t(~sum);
    const Bytes udp = {0x9C, 0x40, 0x00, 0xA1, std::uint8_t(udp_len >> 8), std::uint8_t(udp_len), 0, 0};
    p.insert(p.end(), udp.begin(), udp.end());
    p.insert(p.end(), m.begin(), m.end());
    le32(seconds++);
    le32(0);
    le32(static_cast<std::uint32_t>(p.size()));
    le32(static_cast<std::uint32_t>(p.size()));
    out.write(reinterpret_cast<const char *>(p.data()), static_cast<std::streamsize>(p.size()));
  }
}

}  // namespace kivo8::test
