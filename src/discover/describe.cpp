// The describe table shared by every SNMP version.
#include "discover/describe.h"

#include <algorithm>
#include <cstring>

namespace kivo::discover {

namespace {

enum class Field : std::uint8_t {
  kSysDescr,
  kSysObjectId,
  kSysName,
  kHrDeviceType,
  kHrDeviceDescr,
  kPrinterName,
  kDeviceIdStandard,
  kDeviceIdPrivate,
};

struct Object {
  Name name;
  Field field;
};

// Built on first use; a failure to allocate these few words then is std::bad_alloc to
// the engine's guard.
const std::vector<Object> &objects() {
  static const std::vector<Object> table = {
      {{1, 3, 6, 1, 2, 1, 1, 1, 0}, Field::kSysDescr},
      {{1, 3, 6, 1, 2, 1, 1, 2, 0}, Field::kSysObjectId},
      {{1, 3, 6, 1, 2, 1, 1, 5, 0}, Field::kSysName},
      {{1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 2, 1}, Field::kHrDeviceType},
      {{1, 3, 6, 1, 2, 1, 25, 3, 2, 1, 3, 1}, Field::kHrDeviceDescr},
      {{1, 3, 6, 1, 2, 1, 43, 5, 1, 1, 16, 1}, Field::kPrinterName},
      {{1, 3, 6, 1, 4, 1, 2699, 1, 2, 1, 2, 1, 1, 3, 1}, Field::kDeviceIdStandard},
      {{1, 3, 6, 1, 4, 1, 11, 2, 3, 9, 1, 1, 7, 0}, Field::kDeviceIdPrivate},
  };
  return table;
}

const Name &hr_device_printer() {
  static const Name name = {1, 3, 6, 1, 2, 1, 25, 3, 1, 5};
  return name;
}

std::string text_of(const kivo8::snmp::Binding &v) {
  if (v.type != SNMP_TYPE_OCTET_STR || !v.known) return "";
  const std::size_t n = std::min<std::size_t>(v.value.size(), kMaxText);
  std::string s(reinterpret_cast<const char *>(v.value.data()), n);
  while (!s.empty() && (s.back() == '\0' || s.back() == ' ' || s.back() == '\n' || s.back() == '\r'))
    s.pop_back();
  return s;
}

Name oid_of(const kivo8::snmp::Binding &v) {
  if (v.type != SNMP_TYPE_OBJECT_ID || !v.known) return {};
  return Name(v.oid.begin(), v.oid.end());
}

bool is_value(const kivo8::snmp::Binding &v) {
  return v.type != SNMP_NOSUCHOBJECT && v.type != SNMP_NOSUCHINSTANCE &&
         v.type != SNMP_ENDOFMIBVIEW && v.type != SNMP_TYPE_NULL;
}

}  // namespace

const std::vector<Name> &describe_names() {
  static const std::vector<Name> names = [] {
    std::vector<Name> out;
    for (const Object &o : objects()) out.push_back(o.name);
    return out;
  }();
  return names;
}

const Name &printer_mib() {
  static const Name name = {1, 3, 6, 1, 2, 1, 43};
  return name;
}

std::string dotted(std::span<const std::uint32_t> oid) {
  std::string s;
  // Appended piecewise: g++ 12 at -O2 reports a false -Wrestrict overlap for
  // "literal" + std::string&&.
  for (std::size_t i = 0; i < oid.size(); ++i) {
    if (i != 0) s += '.';
    s += std::to_string(oid[i]);
  }
  return s;
}

bool apply_binding(Device &d, const kivo8::snmp::Binding &v) {
  if (!is_value(v)) return false;
  const std::span<const std::uint32_t> name = v.name;
  const auto &table = objects();
  const auto it = std::find_if(table.begin(), table.end(), [&](const Object &o) {
    return std::equal(o.name.begin(), o.name.end(), name.begin(), name.end());
  });
  if (it == table.end()) return false;
  switch (it->field) {
    case Field::kSysDescr:
      d.sys_descr = text_of(v);
      return false;
    case Field::kSysObjectId:
      d.sys_object_id_raw = oid_of(v);
      d.sys_object_id = dotted(d.sys_object_id_raw);
      return false;
    case Field::kSysName:
      d.sys_name = text_of(v);
      return false;
    case Field::kHrDeviceType: {
      const Name t = oid_of(v);
      d.hr_device_type = dotted(t);
      return t == hr_device_printer();
    }
    case Field::kHrDeviceDescr:
      d.hr_device_descr = text_of(v);
      return false;
    case Field::kPrinterName:
      d.printer_name = text_of(v);
      return true;
    case Field::kDeviceIdStandard:
      d.device_id_standard = text_of(v);
      return false;
    case Field::kDeviceIdPrivate:
      d.device_id_private = text_of(v);
      return false;
  }
  return false;
}

}  // namespace kivo::discover
