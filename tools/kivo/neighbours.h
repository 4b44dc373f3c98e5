// The hardware (MAC) addresses of on-link devices, as the kernel's IPv4 neighbour table
// holds them once a search has talked to them: read from /proc/net/arp, no raw socket.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace kivo {

// Address (host order) to "aa:bb:cc:dd:ee:ff", from the text of /proc/net/arp: complete
// entries only (flag 0x2), lines that are not of the table's form skipped, at most
// 65536 entries.
std::map<std::uint32_t, std::string> parse_neighbours(std::string_view table);
// The same from the file; empty when it cannot be read.
std::map<std::uint32_t, std::string> read_neighbours(const char *path = "/proc/net/arp");

}  // namespace kivo
