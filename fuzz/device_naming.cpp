// Naming of discovered devices: device ids and descriptions are whatever bytes a device
// sends; parsing and naming must stay inside them and give short, clean UTF-8.
#include <cstdint>
#include <string_view>

#include "discover/naming.h"
#include "fuzz_input.h"

namespace {

bool clean_utf8(const std::string &s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x20 || b == 0x7F) return false;
    const std::size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (n == 0 || n > s.size() - i) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

std::size_t code_points(const std::string &s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  kivo8::fuzz::ExactCopy copy(data, size);
  const std::string_view text(reinterpret_cast<const char *>(copy.bytes.get()), copy.size);

  if (auto id = kivo::discover::parse_device_id(text)) {
    if (!clean_utf8(id->manufacturer) || !clean_utf8(id->model) || !clean_utf8(id->command_set))
      __builtin_trap();
  }

  // The same bytes in every field, and split in two between the two device ids.
  kivo::discover::NamingInput in;
  in.sys_descr = in.hr_device_descr = in.printer_name = text;
  in.mdns_instance = in.mdns_product = in.mdns_ty = in.mdns_usb_mfg = in.mdns_usb_mdl = text;
  in.device_id_standard = text.substr(0, size / 2);
  in.device_id_private = text.substr(size / 2);
  in.answered_snmp = true;
  const auto name = kivo::discover::choose_name(in);
  if (!clean_utf8(name.make) || !clean_utf8(name.model) || !clean_utf8(name.product_name))
    __builtin_trap();
  if (code_points(name.product_name) > kivo::discover::kMaxNameLength) __builtin_trap();
  return 0;
}
