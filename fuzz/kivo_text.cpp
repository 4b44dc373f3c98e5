// Texts that devices and files hand to kivo: whatever the bytes, the UTF-8 repair gives
// valid UTF-8, JSON strings and terminal text carry no control byte, cuts keep their width.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "json_out.h"
#include "text_out.h"

namespace {

// Independent of the code under test: strict UTF-8 as RFC 3629 defines it.
bool valid_utf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >= 0xC2 && b <= 0xDF) ? 2 : (b >= 0xE0 && b <= 0xEF) ? 3
                                  : (b >= 0xF0 && b <= 0xF4) ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    auto b1 = static_cast<unsigned char>(s.size() > i + 1 ? s[i + 1] : 0);
    if ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 > 0x9F) || (b == 0xF0 && b1 < 0x90) ||
        (b == 0xF4 && b1 > 0x8F))
      return false;
    i += n;
  }
  return true;
}

bool has_control(std::string_view s) {
  for (std::size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x20 || c == 0x7F) return true;
    if (c == 0xC2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
        static_cast<unsigned char>(s[i + 1]) <= 0x9F)
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static bool ready = [] {
    setenv("LANG", "C", 1);
    kivo::terminal_setup();
    return true;
  }();
  (void)ready;
  kivo8::fuzz::ExactCopy copy(data, size);
  std::string_view in(reinterpret_cast<const char *>(copy.bytes.get()), copy.size);
  std::string utf8 = kivo::to_utf8(in);
  if (!valid_utf8(utf8) || kivo::to_utf8(utf8) != utf8) std::abort();
  std::string json = kivo::json_string(in);
  if (!valid_utf8(json) || has_control(json)) std::abort();
  std::string safe = kivo::safe_text(in);
  if (!valid_utf8(safe) || has_control(safe)) std::abort();
  std::size_t columns = size % 64;
  if (columns >= 1 && kivo::columns_of(kivo::cut_to(safe, columns)) > columns) std::abort();
  return 0;
}
