#include "snmp_text.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "common.h"
#include "kivo8/snmpv3.h"

namespace kivo {

namespace {

std::uint32_t u32(const snmp_var *var) {
  std::uint32_t v = 0;
  if (var->value != nullptr && var->value_length >= sizeof v) std::memcpy(&v, var->value, sizeof v);
  return v;
}

// net-snmp prints a string as text when every byte is printable or white space in the C
// locale, and as hexadecimal otherwise.
bool printable(const std::uint8_t *p, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint8_t c = p[i];
    bool ok = (c >= 0x20 && c < 0x7F) || (c >= 0x09 && c <= 0x0D);
    if (!ok) return false;
  }
  return true;
}

// Sixteen bytes to a line, each followed by a blank.
std::string hex_bytes(const std::uint8_t *p, std::uint32_t n) {
  std::string out;
  char buf[4];
  for (std::uint32_t i = 0; i < n; ++i) {
    if (i > 0 && i % 16 == 0) out += '\n';
    std::snprintf(buf, sizeof buf, "%02X ", p[i]);
    out += buf;
  }
  return out;
}

std::string uptime(std::uint32_t ticks) {
  std::uint32_t centi = ticks % 100;
  std::uint32_t secs = ticks / 100;
  std::uint32_t days = secs / 86400;
  secs %= 86400;
  char buf[96];
  if (days == 0)
    std::snprintf(buf, sizeof buf, "%u:%02u:%02u.%02u", secs / 3600, secs / 60 % 60, secs % 60,
                  centi);
  else
    std::snprintf(buf, sizeof buf, "%u day%s, %u:%02u:%02u.%02u", days, days == 1 ? "" : "s",
                  secs / 3600, secs / 60 % 60, secs % 60, centi);
  return buf;
}

}  // namespace

std::string value_text(const snmp_var *var, bool terminal) {
  const std::uint8_t *p = var->value;
  const std::uint32_t n = p != nullptr ? var->value_length : 0;
  switch (var->type) {
    case SNMP_TYPE_INTEGER: {
      std::int32_t v = 0;
      if (n >= sizeof v) std::memcpy(&v, p, sizeof v);
      return "INTEGER: " + std::to_string(v);
    }
    case SNMP_TYPE_OCTET_STR: {
      if (n == 0) return "\"\"";
      if (!printable(p, n)) return "Hex-STRING: " + hex_bytes(p, n);
      std::string out = "STRING: \"";
      for (std::uint32_t i = 0; i < n; ++i) {
        char c = static_cast<char>(p[i]);
        // On a terminal, line ends and the other cursor movers are written as escapes:
        // one binding is one line there, and no agent can overwrite or fake a line. To a
        // pipe or a file the value goes as net-snmp writes it, for programs that compare.
        if (terminal) {
          switch (c) {
            case '\n': out += "\\n"; continue;
            case '\r': out += "\\r"; continue;
            case '\v': out += "\\v"; continue;
            case '\f': out += "\\f"; continue;
            default: break;
          }
        }
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      return out + "\"";
    }
    case SNMP_TYPE_NULL: return "NULL";
    case SNMP_TYPE_OBJECT_ID: {
      std::vector<std::uint32_t> oid(n / 4);
      if (!oid.empty()) std::memcpy(oid.data(), p, oid.size() * 4);
      return "OID: " + (oid.empty() ? std::string(".0.0") : oid_text(oid.data(), oid.size()));
    }
    case SNMP_TYPE_IPADDRESS: {
      if (n != 4) return "IpAddress: " + hex_bytes(p, n);
      char buf[20];
      std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", p[0], p[1], p[2], p[3]);
      return std::string("IpAddress: ") + buf;
    }
    case SNMP_TYPE_COUNTER: return "Counter32: " + std::to_string(u32(var));
    case SNMP_TYPE_GAUGE: return "Gauge32: " + std::to_string(u32(var));
    case SNMP_TYPE_UINTEGER: return "UInteger32: " + std::to_string(u32(var));
    case SNMP_TYPE_TIMETICKS: {
      std::uint32_t t = u32(var);
      return "Timeticks: (" + std::to_string(t) + ") " + uptime(t);
    }
    case SNMP_TYPE_COUNTER64: {
      counter64 c{};
      if (n >= sizeof c) std::memcpy(&c, p, sizeof c);
      std::uint64_t v = (std::uint64_t{c.high} << 32) | c.low;
      return "Counter64: " + std::to_string(v);
    }
    case SNMP_TYPE_OPAQUE: return "OPAQUE: " + hex_bytes(p, n);
    case SNMP_TYPE_NSAPADDRESS: return "NsapAddress: " + hex_bytes(p, n);
    case SNMP_TYPE_BIT_STR: return "BITS: " + hex_bytes(p, n);
    case SNMP_NOSUCHOBJECT: return "No Such Object available on this agent at this OID";
    case SNMP_NOSUCHINSTANCE: return "No Such Instance currently exists at this OID";
    case SNMP_ENDOFMIBVIEW:
      return "No more variables left in this MIB View (It is past the end of the MIB tree)";
    default: {
      char buf[40];
      std::snprintf(buf, sizeof buf, "Wrong Type (0x%02X): ", var->type);
      return buf + hex_bytes(p, n);
    }
  }
}

std::string binding_line(const snmp_var *var, bool terminal) {
  return oid_text(var->name, var->name != nullptr ? var->name_length : 0) + " = " +
         value_text(var, terminal);
}

std::string session_error_text(int code, const std::string &host, const std::string &how) {
  switch (code) {
    case SNMP_ERR_NOPDU: return "no request to send";
    case SNMP_ERR_VERSION: return "the reply's SNMP version does not match the request's";
    case SNMP_ERR_SEND: return "the request to " + host + " could not be sent";
    case SNMP_ERR_NOMEM: return "out of memory";
    case SNMP_ERR_RECV: return "receiving the reply from " + host + " failed";
    case SNMP_ERR_TIMEOUT:
      return "Timeout: No Response from " + host + (how.empty() ? "" : " (" + how + ")") + ".";
    case SNMP_ERR_DECODE: return "the reply from " + host + " could not be decoded";
    case SNMP_ERR_NOCOMM: return "no community name to send";
    default:
      if (code <= KIVO_SNMPV3_ERR_UNSUPPORTED_LEVEL && code >= KIVO_SNMPV3_ERR_REPORT)
        return kivo_snmpv3_strerror(code);
      return "the request to " + host + " failed (session code " + std::to_string(code) + ")";
  }
}

std::string error_status_text(int errstat) {
  static const char *const names[][2] = {
      {"noError", "Success"},
      {"tooBig", "Response message would have been too large."},
      {"noSuchName", "There is no such variable name in this MIB."},
      {"badValue", "The value given has the wrong type or length."},
      {"readOnly", "The variable is read-only."},
      {"genError", "A general failure occured"},
      {"noAccess", "There is no access available."},
      {"wrongType", "The value given has the wrong type."},
      {"wrongLength", "The value given has the wrong length."},
      {"wrongEncoding", "The value given has the wrong encoding."},
      {"wrongValue", "The value given is not valid for the variable."},
      {"noCreation", "The variable cannot be created."},
      {"inconsistentValue", "The value is inconsistent with other values."},
      {"resourceUnavailable", "A resource is unavailable."},
      {"commitFailed", "The commit failed."},
      {"undoFailed", "The undo failed."},
      {"authorizationError", "The request was not authorised."},
      {"notWritable", "The variable cannot be written."},
      {"inconsistentName", "The name is inconsistent with other names."},
  };
  if (errstat >= 0 && errstat < static_cast<int>(sizeof names / sizeof names[0]))
    return std::string("(") + names[errstat][0] + ") " + names[errstat][1];
  // Built piecewise: see oid_text() on g++ 12's false -Wrestrict report.
  std::string unknown = "(";
  unknown += std::to_string(errstat);
  unknown += ") Unknown error status";
  return unknown;
}

}  // namespace kivo
