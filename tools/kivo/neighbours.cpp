#include "neighbours.h"

#include <arpa/inet.h>

#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

namespace kivo {

namespace {

constexpr std::size_t kMaxEntries = 65536;
constexpr unsigned kComplete = 0x2;  // ATF_COM: the hardware address is known

bool is_mac(const std::string &s) {
  if (s.size() != 17) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool colon = i % 3 == 2;
    if (colon ? s[i] != ':' : std::isxdigit(static_cast<unsigned char>(s[i])) == 0) return false;
  }
  return s != "00:00:00:00:00:00";
}

// "0x2" as a number; nothing else.
bool hex_flags(const std::string &s, unsigned &out) {
  if (s.size() < 3 || s.size() > 6 || s[0] != '0' || (s[1] != 'x' && s[1] != 'X')) return false;
  out = 0;
  for (std::size_t i = 2; i < s.size(); ++i) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
    out = out * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return true;
}

}  // namespace

std::map<std::uint32_t, std::string> parse_neighbours(std::string_view table) {
  std::map<std::uint32_t, std::string> out;
  std::istringstream lines{std::string(table)};
  std::string line;
  std::getline(lines, line);  // the headings
  while (std::getline(lines, line) && out.size() < kMaxEntries) {
    std::istringstream fields(line);
    std::string ip, hw_type, flags, mac;
    if (!(fields >> ip >> hw_type >> flags >> mac)) continue;
    in_addr a{};
    unsigned f = 0;
    if (inet_pton(AF_INET, ip.c_str(), &a) != 1 || !hex_flags(flags, f) || (f & kComplete) == 0 ||
        !is_mac(mac))
      continue;
    for (char &c : mac) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    out[ntohl(a.s_addr)] = mac;
  }
  return out;
}

std::map<std::uint32_t, std::string> read_neighbours(const char *path) {
  std::ifstream in(path);
  if (!in) return {};
  std::ostringstream text;
  text << in.rdbuf();
  return parse_neighbours(text.str());
}

}  // namespace kivo
