#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "discover/naming.h"

namespace {

using kivo::discover::choose_name;
using kivo::discover::DeviceId;
using kivo::discover::is_generic_description;
using kivo::discover::kMaxNameLength;
using kivo::discover::NameSource;
using kivo::discover::NamingInput;
using kivo::discover::parse_device_id;
using kivo::discover::tidy_description;

std::size_t code_points(const std::string &s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

bool valid_utf8_without_controls(const std::string &s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x20 || b == 0x7F) return false;
    std::size_t n = b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

// What a device told about itself, as the engine collects it. The values are made up
// in the shapes that printers of many makers answer with.
struct Recording {
  const char *name;
  const char *sys_descr = "";
  std::vector<std::uint32_t> sys_object_id = {};
  const char *hr_device_descr = "";
  const char *printer_name = "";
  std::string device_id_standard = {};
  std::string device_id_private = {};
  const char *mdns_instance = "";
  const char *mdns_product = "";
  const char *mdns_ty = "";
  const char *mdns_usb_mfg = "";
  const char *mdns_usb_mdl = "";
  bool answered_snmp = true;
  // Expected.
  const char *make;
  const char *model;
  const char *product_name;
  NameSource source;
};

NamingInput input_of(const Recording &r) {
  NamingInput in;
  in.sys_descr = r.sys_descr;
  in.hr_device_descr = r.hr_device_descr;
  in.printer_name = r.printer_name;
  in.sys_object_id = r.sys_object_id;
  in.device_id_standard = r.device_id_standard;
  in.device_id_private = r.device_id_private;
  in.mdns_instance = r.mdns_instance;
  in.mdns_product = r.mdns_product;
  in.mdns_ty = r.mdns_ty;
  in.mdns_usb_mfg = r.mdns_usb_mfg;
  in.mdns_usb_mdl = r.mdns_usb_mdl;
  in.answered_snmp = r.answered_snmp;
  return in;
}

std::vector<std::uint32_t> enterprise(std::uint32_t n, std::vector<std::uint32_t> tail = {1}) {
  std::vector<std::uint32_t> oid = {1, 3, 6, 1, 4, 1, n};
  oid.insert(oid.end(), tail.begin(), tail.end());
  return oid;
}

const char k156[] =
    "Xerox WorkCentre 6515; System 64.50.61, Controller 1.50.61, IOT 1.2.0, Finisher N/A, "
    "Fax 2.0.4, Scanner 12.3.0, PS 5.0.7, Network 13.0.2, Boot 1.0.9, UI 9.2";
const char k229[] =
    "RICOH MP C3004ex 1.05 / RICOH Network Printer C model / RICOH Network Scanner C model / "
    "RICOH Network Facsimile C model / Embedded web server 2.0.15 / TLS 1.2 / SNMPv3 agent 4.1 "
    "/ Engine 1.07:05 / OpticalUnit 1.02 / Finisher SR3180";

const Recording kRecordings[] = {
    {.name = "multifunction whose hrDeviceDescr is an engine name",
     .sys_descr = "KONICA MINOLTA bizhub C287",
     .sys_object_id = enterprise(18334, {1, 1, 1, 2, 1, 72}),
     .hr_device_descr = "Generic 28C-1",
     .printer_name = "Generic 28C-1",
     .make = "Konica Minolta", .model = "KONICA MINOLTA bizhub C287",
     .product_name = "KONICA MINOLTA bizhub C287", .source = NameSource::sys_descr},
    {.name = "label printer named only in the private device id, with MODEL:",
     .sys_descr = "Wired Print Server PS-110, Firmware V1.2.0",
     .sys_object_id = enterprise(10642, {1, 2}),
     .hr_device_descr = "Network Print Server",
     .device_id_private =
         "MANUFACTURER:Zebra Technologies ;COMMAND SET:ZPL;MODEL:ZTC ZD421-300dpi ZPL;CLASS:PRINTER;",
     .make = "Zebra", .model = "ZTC ZD421-300dpi ZPL",
     .product_name = "Zebra ZTC ZD421-300dpi ZPL", .source = NameSource::device_id},
    {.name = "sysDescr of 156 characters cut at its first part",
     .sys_descr = k156,
     .sys_object_id = enterprise(253, {6, 3, 1, 1, 20}),
     .make = "Xerox", .model = "Xerox WorkCentre 6515",
     .product_name = "Xerox WorkCentre 6515", .source = NameSource::sys_descr},
    {.name = "sysDescr of 229 characters cut at its first part",
     .sys_descr = k229,
     .sys_object_id = enterprise(367, {1}),
     .make = "Ricoh", .model = "RICOH MP C3004ex 1.05",
     .product_name = "RICOH MP C3004ex 1.05", .source = NameSource::sys_descr},
    {.name = "a name carrying the serial number",
     .sys_descr = "Brother NC-8800w, Firmware Ver.1.17  (19.07.02),MID 8CE-M22,FID 2",
     .sys_object_id = enterprise(2435, {2, 3, 9, 1}),
     .hr_device_descr = "Brother HL-L8360CDW series S/N U63887K9N512345",
     .make = "Brother", .model = "Brother HL-L8360CDW series",
     .product_name = "Brother HL-L8360CDW series", .source = NameSource::hr_device_descr},
    {.name = "standard device id, MFG spelt long, model without the maker",
     .sys_descr = "HP ETHERNET MULTI-ENVIRONMENT,ROM none,JETDIRECT,JD153,EEPROM JSI23900012",
     .sys_object_id = enterprise(11, {2, 3, 9, 1}),
     .hr_device_descr = "HP LaserJet 400 M401dn",
     .device_id_standard = "MFG:Hewlett-Packard;CMD:PJL,PCL,PCLXL,POSTSCRIPT;MDL:LaserJet 400 M401dn;CLS:PRINTER;",
     .make = "HP", .model = "LaserJet 400 M401dn",
     .product_name = "HP LaserJet 400 M401dn", .source = NameSource::device_id},
    {.name = "device id with two length bytes in front and no last ';'",
     .sys_descr = "EPSON Built-in 11b/g/n Print Server",
     .sys_object_id = enterprise(1248, {4, 1, 2, 2}),
     .hr_device_descr = "EPSON ET-4750 Series",
     .device_id_standard = std::string("\x00\x4c", 2) +
                           "MFG:EPSON;CMD:ESCPL2,BDC,D4,D4PX,ESCPR1;MDL:ET-4750 Series;CLS:PRINTER",
     .make = "Epson", .model = "ET-4750 Series",
     .product_name = "Epson ET-4750 Series", .source = NameSource::device_id},
    {.name = "lower-case keys with spaces, both device ids answered: the standard one counts",
     .sys_descr = "Canon iR-ADV C5535 /P",
     .sys_object_id = enterprise(1602, {4, 7}),
     .device_id_standard = " mfg : Canon ; mdl : iR-ADV C5535 ; cmd : LIPSLX,UFR2 ",
     .device_id_private = "MFG:Canon;MDL:iR-ADV C5500 Series;",
     .make = "Canon", .model = "iR-ADV C5535",
     .product_name = "Canon iR-ADV C5535", .source = NameSource::device_id},
    {.name = "sysDescr with a version tail, maker from the model text",
     .sys_descr = "Lexmark MX711 version MGV.051.031 kernel 4.11.12 All-N-1",
     .sys_object_id = enterprise(641, {2, 1, 2, 4, 1}),
     .hr_device_descr = "Lexmark MX711",
     .make = "Lexmark", .model = "Lexmark MX711",
     .product_name = "Lexmark MX711", .source = NameSource::hr_device_descr},
    {.name = "maker only from the enterprise number",
     .sys_descr = "MX-3070N\r\nNetwork Firmware 5.2",
     .sys_object_id = enterprise(2385, {1, 2, 1}),
     .hr_device_descr = "Printer",
     .make = "Sharp", .model = "MX-3070N",
     .product_name = "Sharp MX-3070N", .source = NameSource::sys_descr},
    {.name = "unknown enterprise, maker from the device id as the device spells it",
     .sys_descr = "Tally T2365-2T",
     .sys_object_id = enterprise(99999, {1}),
     .device_id_standard = "MANUFACTURER:Tally Dascom;MODEL:T2365-2T;COMMAND SET:ESC/P,IBM;",
     .make = "Tally Dascom", .model = "T2365-2T",
     .product_name = "Tally Dascom T2365-2T", .source = NameSource::device_id},
    {.name = "DNS-SD only: ty names it",
     .mdns_instance = "Brother MFC-L2750DW series [3c2af4a1b2c3]",
     .mdns_product = "(Brother MFC-L2750DW series)",
     .mdns_ty = "Brother MFC-L2750DW series",
     .mdns_usb_mfg = "Brother", .mdns_usb_mdl = "MFC-L2750DW series",
     .answered_snmp = false,
     .make = "Brother", .model = "Brother MFC-L2750DW series",
     .product_name = "Brother MFC-L2750DW series", .source = NameSource::mdns_ty},
    {.name = "DNS-SD only: product in parentheses",
     .mdns_instance = "Office colour (5A1B2C)",
     .mdns_product = "(Color LaserJet MFP M477fdw)",
     .mdns_usb_mfg = "HP",
     .answered_snmp = false,
     .make = "HP", .model = "Color LaserJet MFP M477fdw",
     .product_name = "HP Color LaserJet MFP M477fdw", .source = NameSource::mdns_product},
    {.name = "DNS-SD only: usb keys",
     .mdns_instance = "Printer in the hall",
     .mdns_product = "(GPL Ghostscript)",
     .mdns_usb_mfg = "KYOCERA", .mdns_usb_mdl = "ECOSYS P2040dw",
     .answered_snmp = false,
     .make = "Kyocera", .model = "ECOSYS P2040dw",
     .product_name = "Kyocera ECOSYS P2040dw", .source = NameSource::mdns_usb},
    {.name = "DNS-SD only: the instance name, its unique suffix dropped",
     .mdns_instance = "OKI-C532-5A1B2C (00:80:87:5a:1b:2c)",
     .answered_snmp = false,
     .make = "OKI", .model = "OKI-C532-5A1B2C",
     .product_name = "OKI-C532-5A1B2C", .source = NameSource::mdns_instance},
    {.name = "SNMP beats DNS-SD",
     .sys_descr = "TOSHIBA e-STUDIO2515AC",
     .sys_object_id = enterprise(1129, {2, 3, 50}),
     .mdns_ty = "e-STUDIO Series",
     .make = "Toshiba", .model = "TOSHIBA e-STUDIO2515AC",
     .product_name = "TOSHIBA e-STUDIO2515AC", .source = NameSource::sys_descr},
    {.name = "only generic texts: the generic one rather than nothing",
     .sys_descr = "Network Printer",
     .sys_object_id = enterprise(18334, {1}),
     .hr_device_descr = "Generic 36BW-4",
     .make = "Konica Minolta", .model = "Generic 36BW-4",
     .product_name = "Konica Minolta Generic 36BW-4", .source = NameSource::generic},
    {.name = "a device that is no printer: its first line",
     .sys_descr = "Linux gw 5.10.0-21-amd64 #1 SMP Debian 5.10.162-1 x86_64",
     .sys_object_id = {1, 3, 6, 1, 4, 1, 8072, 3, 2, 10},
     .make = "", .model = "Linux gw 5.10.0-21-amd64 #1 SMP Debian",
     .product_name = "Linux gw 5.10.0-21-amd64 #1 SMP Debian", .source = NameSource::sys_descr},
    {.name = "seen only through SLP: nothing to name it by",
     .answered_snmp = false,
     .make = "", .model = "", .product_name = "", .source = NameSource::none},
};

TEST(ChooseName, RecordingsOfManyMakers) {
  for (const auto &r : kRecordings) {
    SCOPED_TRACE(r.name);
    const auto got = choose_name(input_of(r));
    EXPECT_EQ(got.make, r.make);
    EXPECT_EQ(got.model, r.model);
    EXPECT_EQ(got.product_name, r.product_name);
    EXPECT_EQ(got.source, r.source);
    EXPECT_LE(code_points(got.product_name), kMaxNameLength);
  }
}

struct DeviceIdCase {
  const char *name;
  std::string text;
  std::optional<DeviceId> expected;
};

const DeviceIdCase kDeviceIds[] = {
    {"short keys", "MFG:Acme;MDL:Jet 9;CMD:PCL,PJL;", DeviceId{"Acme", "Jet 9", "PCL,PJL"}},
    {"long keys", "MANUFACTURER:Acme;MODEL:Jet 9;COMMAND SET:PCL;", DeviceId{"Acme", "Jet 9", "PCL"}},
    {"any case, spaces around keys and values", "  Mfg : Acme ;  model:  Jet 9  ;command set: PCL",
     DeviceId{"Acme", "Jet 9", "PCL"}},
    {"no last ';'", "MDL:Jet 9", DeviceId{"", "Jet 9", ""}},
    {"two length bytes, the second a letter", std::string("\x00\x4dMFG:Acme;MDL:Jet 9;", 20),
     DeviceId{"Acme", "Jet 9", ""}},
    {"two length bytes before a long id", std::string("\x01\x02MDL:Jet 9;", 12),
     DeviceId{"", "Jet 9", ""}},
    {"the first non-empty value of a key counts", "MDL:;MDL:Jet 9;MODEL:Other;",
     DeviceId{"", "Jet 9", ""}},
    {"other keys only", "CLS:PRINTER;DES:Office;", std::nullopt},
    {"keys without values", "MFG:;MDL: ;", std::nullopt},
    {"no colon at all", "Acme Jet 9", std::nullopt},
    {"empty", "", std::nullopt},
    {"only length bytes", std::string("\x00\x02", 2), std::nullopt},
    {"control characters in a value", "MDL:Jet\t9\r\n;", DeviceId{"", "Jet 9", ""}},
    {"NUL padding ends a value", std::string("MDL:Jet 9\0\0\0;MFG:Acme;", 23),
     DeviceId{"Acme", "Jet 9", ""}},
    {"Latin-1 value becomes UTF-8", "MFG:Acm\xe9;", DeviceId{"Acm\xc3\xa9", "", ""}},
};

TEST(ParseDeviceId, Cases) {
  for (const auto &c : kDeviceIds) {
    SCOPED_TRACE(c.name);
    const auto got = parse_device_id(c.text);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (!got) continue;
    EXPECT_EQ(got->manufacturer, c.expected->manufacturer);
    EXPECT_EQ(got->model, c.expected->model);
    EXPECT_EQ(got->command_set, c.expected->command_set);
  }
}

// A device id is read only so far: a key past the bound is not seen, however long the
// text, and no field count makes the parse run long.
TEST(ParseDeviceId, ReadsABoundedPrefix) {
  std::string many;
  while (many.size() < kivo::discover::kMaxDeviceIdBytes) many += "X:y;";
  EXPECT_FALSE(parse_device_id(many + "MDL:Late;").has_value());
  std::string fields;
  for (std::size_t i = 0; i < kivo::discover::kMaxDeviceIdFields; ++i) fields += ";";
  EXPECT_FALSE(parse_device_id(fields + "MDL:Late;").has_value());
  std::string huge(1 << 20, 'M');
  EXPECT_FALSE(parse_device_id(huge).has_value());
  const auto long_value = parse_device_id("MDL:" + std::string(100000, 'J'));
  ASSERT_TRUE(long_value.has_value());
  EXPECT_LE(long_value->model.size(), 255u);
}

// Every prefix of a device id parses without reading past it (ASan watches the exact-size
// copies), and whatever it yields is clean text.
TEST(ParseDeviceId, TruncationSweep) {
  const std::string full = std::string("\x00\x30", 2) + "MANUFACTURER:Acm\xc3\xa9;COMMAND SET:PCL;MODEL:Jet 9";
  for (std::size_t n = 0; n <= full.size(); ++n) {
    std::vector<char> copy(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n));
    const auto got = parse_device_id(std::string_view(copy.data(), copy.size()));
    if (!got) continue;
    EXPECT_TRUE(valid_utf8_without_controls(got->manufacturer)) << n;
    EXPECT_TRUE(valid_utf8_without_controls(got->model)) << n;
  }
}

struct GenericCase {
  const char *text;
  bool generic;
};

const GenericCase kGeneric[] = {
    {"Generic 28C-1", true},
    {"generic 36BW-4", true},
    {"Generic PostScript Printer", true},
    {"Printer", true},
    {"  unknown ", true},
    {"", true},
    {"Network Printer", true},
    {"Wired Print Server PS-110", true},
    {"EPSON Built-in 11b/g/n Print Server", true},
    {"HP ETHERNET MULTI-ENVIRONMENT,ROM none", true},
    {"Brother NC-8800w Network Interface", true},
    {"GPL Ghostscript", true},
    {"KONICA MINOLTA bizhub C287", false},
    {"Brother HL-L8360CDW series", false},
    {"Nicelabel LP-200", false},  // "nic" only as a whole word
    {"Printerex 500", false},
    {"Canon iR-ADV C5535 /P", false},
};

TEST(IsGenericDescription, Cases) {
  for (const auto &c : kGeneric) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(is_generic_description(c.text), c.generic);
  }
}

struct TidyCase {
  const char *name;
  std::string text;
  const char *expected;
};

const TidyCase kTidy[] = {
    {"first line only", "Zarno PX-5400\r\nSecond line", "Zarno PX-5400"},
    {"leading blank lines", "\r\n\n  Zarno PX-5400\n", "Zarno PX-5400"},
    {"S/N tail", "Zarno PX-5400 S/N 4XK193022", "Zarno PX-5400"},
    {"SN: tail", "Zarno PX-5400 SN:4XK193022", "Zarno PX-5400"},
    {"serial number tail", "Zarno PX-5400, Serial Number 4XK193022", "Zarno PX-5400"},
    {"firmware tail", "Zarno PX-5400 Firmware 2.1.0", "Zarno PX-5400"},
    {"parts after ';'", "Zarno PX-5400; System 1.2; Engine 3.4", "Zarno PX-5400"},
    {"parts after ' / '", "Zarno PX-5400 / Zarno Network Scanner", "Zarno PX-5400"},
    {"a slash inside a model stays", "Zarno PX-5400 A3/A4", "Zarno PX-5400 A3/A4"},
    {"a version word inside a model word stays", "Zarno Conversion Kit 5", "Zarno Conversion Kit 5"},
    {"spaces collapse", "Zarno \t  PX-5400  ", "Zarno PX-5400"},
    {"NUL padding", std::string("Zarno PX-5400\0\0junk", 20), "Zarno PX-5400"},
    {"long text cut at a word",
     "Zarno PrintMaster Enterprise Colour Multifunction Production System 9000 Plus",
     "Zarno PrintMaster Enterprise Colour"},
    {"long word cut hard", std::string(100, 'Z'), "ZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZZ"},
    {"invalid UTF-8 read as Latin-1", "Zarno Drucker f\xfcr B\xfcro", "Zarno Drucker f\xc3\xbcr B\xc3\xbcro"},
    {"valid UTF-8 kept", "Zarno \xe5\x8d\xb0\xe5\x88\xb7\xe6\xa9\x9f", "Zarno \xe5\x8d\xb0\xe5\x88\xb7\xe6\xa9\x9f"},
    {"C1 controls and overlong forms dropped", "Zarno\xc2\x85PX\xc0\xafX", "Zarno PX\xc3\x80\xc2\xafX"},
};

TEST(TidyDescription, Cases) {
  for (const auto &c : kTidy) {
    SCOPED_TRACE(c.name);
    const std::string got = tidy_description(c.text);
    EXPECT_EQ(got, c.expected);
    EXPECT_TRUE(valid_utf8_without_controls(got));
    EXPECT_LE(code_points(got), kMaxNameLength);
  }
}

// Whatever the device sends, the name is short, valid UTF-8 and free of control
// characters: every byte value in every field, and texts far longer than any bound.
TEST(ChooseName, AnyBytesGiveABoundedCleanName) {
  std::string all_bytes;
  for (int b = 1; b < 256; ++b) all_bytes += static_cast<char>(b);
  const std::string huge(std::size_t{1} << 20, static_cast<char>(0xff));
  const std::string multibyte_run = [] {
    std::string s;
    for (int i = 0; i < 200; ++i) s += "\xe5\x8d\xb0";
    return s;
  }();
  const std::string *texts[] = {&all_bytes, &huge, &multibyte_run};
  for (const std::string *text : texts) {
    NamingInput in;
    in.sys_descr = *text;
    in.hr_device_descr = *text;
    const std::string device_id = "MDL:" + *text;
    in.device_id_standard = device_id;
    in.mdns_instance = *text;
    in.answered_snmp = true;
    const auto got = choose_name(in);
    EXPECT_TRUE(valid_utf8_without_controls(got.product_name));
    EXPECT_TRUE(valid_utf8_without_controls(got.make));
    EXPECT_TRUE(valid_utf8_without_controls(got.model));
    EXPECT_LE(code_points(got.product_name), kMaxNameLength);
    EXPECT_LE(code_points(got.model), kMaxNameLength);
  }
}

TEST(MakerOfObjectId, EnterpriseNumbers) {
  using kivo::discover::maker_of_object_id;
  const std::vector<std::uint32_t> hp = {1, 3, 6, 1, 4, 1, 11, 2, 3, 9, 1};
  EXPECT_EQ(maker_of_object_id(hp), "HP");
  const std::vector<std::uint32_t> bare = {1, 3, 6, 1, 4, 1, 2435};
  EXPECT_EQ(maker_of_object_id(bare), "Brother");
  const std::vector<std::uint32_t> unknown = {1, 3, 6, 1, 4, 1, 8072, 3};
  EXPECT_EQ(maker_of_object_id(unknown), "");
  const std::vector<std::uint32_t> too_short = {1, 3, 6, 1, 4, 1};
  EXPECT_EQ(maker_of_object_id(too_short), "");
  const std::vector<std::uint32_t> not_enterprise = {1, 3, 6, 1, 2, 1, 11};
  EXPECT_EQ(maker_of_object_id(not_enterprise), "");
  EXPECT_EQ(maker_of_object_id({}), "");
}

}  // namespace
