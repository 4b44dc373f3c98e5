// kivo ipp: a printer's attributes over IPP, one per line or as JSON.
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"
#include "json_out.h"

namespace kivo {

namespace {

const char kIppHelp[] =
    "Usage: kivo ipp [--json] [--timeout MS] [--verify] [--user NAME] URI\n"
    "Asks the printer at URI (ipp://HOST[:PORT][/RESOURCE] or ipps://...) for its\n"
    "description with Get-Printer-Attributes and prints every attribute, one a line as\n"
    "NAME = VALUES with collections indented, or as JSON with --json. Without a resource\n"
    "it tries /ipp/print, /ipp and /. Over ipps:// the certificate is not verified\n"
    "unless --verify is given; its SHA-256 fingerprint is shown either way.\n"
    "\n"
    "  --timeout MS  give up after MS milliseconds in all (default 5000)\n"
    "\n"
    "Exit status: 0 the printer answered, 1 it did not or answered with an error, 2 bad\n"
    "arguments.\n";

const char *group_word(uint32_t group) {
  switch (group) {
    case KIVO_IPP_GROUP_OPERATION: return "operation";
    case KIVO_IPP_GROUP_JOB: return "job";
    case KIVO_IPP_GROUP_PRINTER: return "printer";
    case KIVO_IPP_GROUP_UNSUPPORTED: return "unsupported";
    default: return "other";
  }
}

const char *out_of_band_word(uint32_t tag) {
  switch (tag) {
    case KIVO_IPP_TAG_UNSUPPORTED: return "unsupported";
    case KIVO_IPP_TAG_UNKNOWN: return "unknown";
    case KIVO_IPP_TAG_NO_VALUE: return "no-value";
    case 0x15: return "not-settable";
    case 0x16: return "delete-attribute";
    case 0x17: return "admin-define";
    default: return "out-of-band";
  }
}

bool out_of_band(uint32_t tag) { return tag >= 0x10 && tag <= 0x1F; }

std::string bytes_of(const kivo_ipp_value &v) { return std::string(v.text, v.text_length); }

std::string date_text(const kivo_ipp_value &v) {
  const uint8_t *d = v.date;
  char buf[64];
  (void)std::snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u.%u%c%02u:%02u",
                      unsigned(d[0]) << 8 | d[1], d[2], d[3], d[4], d[5], d[6], d[7],
                      d[8] == '-' ? '-' : '+', d[9], d[10]);
  return buf;
}

std::string resolution_text(const kivo_ipp_value &v) {
  return std::to_string(v.xres) + "x" + std::to_string(v.yres) +
         (v.units == 3 ? "dpi" : v.units == 4 ? "dpcm" : "?");
}

// One value that is not a collection, as people read it (already made safe).
std::string plain_value(const kivo_ipp_value &v) {
  if (out_of_band(v.tag)) return std::string("(") + out_of_band_word(v.tag) + ")";
  switch (v.tag) {
    case KIVO_IPP_TAG_INTEGER:
    case KIVO_IPP_TAG_ENUM: return std::to_string(v.integer);
    case KIVO_IPP_TAG_BOOLEAN: return v.integer != 0 ? "true" : "false";
    case KIVO_IPP_TAG_RANGE: return std::to_string(v.integer) + "-" + std::to_string(v.upper);
    case KIVO_IPP_TAG_RESOLUTION: return resolution_text(v);
    case KIVO_IPP_TAG_DATE_TIME: return date_text(v);
    case KIVO_IPP_TAG_TEXT_LANG:
    case KIVO_IPP_TAG_NAME_LANG:
      return safe_text(bytes_of(v)) + " [" + safe_text(v.language) + "]";
    default: return safe_text(bytes_of(v));
  }
}

void print_attributes(const kivo_ipp_attribute *attrs, uint32_t count, int depth, std::string &out) {
  const std::string indent(static_cast<std::size_t>(depth) * 2, ' ');
  for (uint32_t i = 0; i < count; ++i) {
    const kivo_ipp_attribute &a = attrs[i];
    const std::string name = safe_text(a.name);
    std::string line;
    for (uint32_t j = 0; j < a.value_count; ++j) {
      const kivo_ipp_value &v = a.values[j];
      if (v.tag == KIVO_IPP_TAG_COLLECTION) {
        if (!line.empty()) out += indent + name + " = " + line + "\n";
        line.clear();
        out += indent + name + " =\n";
        print_attributes(v.members, v.member_count, depth + 1, out);
        continue;
      }
      if (!line.empty()) line += ", ";
      line += plain_value(v);
      if (v.tag == KIVO_IPP_TAG_ENUM && std::string(a.name) == "printer-state")
        line += v.integer == 3 ? " (idle)" : v.integer == 4 ? " (processing)" : v.integer == 5 ? " (stopped)" : "";
    }
    if (!line.empty()) out += indent + name + " = " + line + "\n";
  }
}

Json json_members(const kivo_ipp_attribute *attrs, uint32_t count);

Json json_value(const kivo_ipp_value &v) {
  if (out_of_band(v.tag)) return Json{{"out-of-band", out_of_band_word(v.tag)}};
  switch (v.tag) {
    case KIVO_IPP_TAG_INTEGER:
    case KIVO_IPP_TAG_ENUM: return v.integer;
    case KIVO_IPP_TAG_BOOLEAN: return v.integer != 0;
    case KIVO_IPP_TAG_RANGE: return Json{{"lower", v.integer}, {"upper", v.upper}};
    case KIVO_IPP_TAG_RESOLUTION:
      return Json{{"x", v.xres}, {"y", v.yres}, {"units", v.units == 3 ? "dpi" : v.units == 4 ? "dpcm" : "unknown"}};
    case KIVO_IPP_TAG_DATE_TIME: return date_text(v);
    case KIVO_IPP_TAG_TEXT_LANG:
    case KIVO_IPP_TAG_NAME_LANG: return Json{{"text", json_text(bytes_of(v))}, {"language", json_text(v.language)}};
    case KIVO_IPP_TAG_COLLECTION: return json_members(v.members, v.member_count);
    default: return json_text(bytes_of(v));
  }
}

Json json_values(const kivo_ipp_attribute &a) {
  Json values = Json::array();
  for (uint32_t j = 0; j < a.value_count; ++j) values.push_back(json_value(a.values[j]));
  return values;
}

// A collection: its members by name, each with its list of values. A name a printer
// sends twice keeps its first values (a JSON object has each name once).
Json json_members(const kivo_ipp_attribute *attrs, uint32_t count) {
  Json members = Json::object();
  for (uint32_t i = 0; i < count; ++i) {
    const Json name = json_text(attrs[i].name);
    const std::string key = name.get<std::string>();
    if (!members.contains(key)) members[key] = json_values(attrs[i]);
  }
  return members;
}

Json json_result(const kivo_ipp_result &r) {
  Json j;
  j["uri"] = json_text(r.uri);
  j["ok"] = r.code == KIVO_IPP_OK;
  if (r.code != KIVO_IPP_OK) j["error"] = json_text(r.error);
  j["http_status"] = r.http_status;
  j["ipp_status"] = r.ipp_status;
  j["tls"] = r.tls != 0;
  if (r.tls != 0) {
    j["tls_verified"] = r.tls_verified != 0;
    j["tls_sha256"] = json_text(r.tls_sha256);
  }
  j["driverless"] = kivo_ipp_driverless(&r) != 0;
  Json attributes = Json::array();
  for (uint32_t i = 0; i < r.attribute_count; ++i) {
    const kivo_ipp_attribute &a = r.attributes[i];
    attributes.push_back(Json{{"name", json_text(a.name)}, {"group", group_word(a.group)}, {"values", json_values(a)}});
  }
  j["attributes"] = std::move(attributes);
  return j;
}

}  // namespace

int cmd_ipp(int argc, char **argv, int first) {
  const Parsed args = parse_command_line(
      "ipp", {{"json", 0, false}, {"verify", 0, false}, {"timeout", 0, true}, {"user", 0, true}}, argc, argv,
      first);
  if (args.help) {
    put(stdout, tr(kIppHelp));
    return kExitOk;
  }
  const bool json = args.has("json");
  kivo_ipp_options options{};
  options.size = sizeof options;
  if (args.has("verify")) options.flags |= KIVO_IPP_VERIFY;
  if (auto t = args.last("timeout"))
    options.timeout_ms = static_cast<uint32_t>(parse_number(args, "the time-out", *t, 1, 600000));
  const std::string user = args.last("user").value_or("");
  if (args.has("user")) options.user = user.c_str();
  const std::vector<std::string> &operands = args.operands;
  if (operands.empty()) args.fail(tr("no URI given"));
  if (operands.size() > 1) args.fail(subst(tr("too many arguments: '{1}'"), {operands[1]}));

  kivo_ipp_result *result = nullptr;
  const int32_t code = kivo_ipp_get_printer_attributes(operands[0].c_str(), &options, &result);
  if (code == KIVO_IPP_EINVAL && result != nullptr && result->http_status == 0 &&
      std::string(result->error).find("URI") != std::string::npos) {
    const std::string error = result->error;
    kivo_ipp_result_free(result);
    args.fail(subst(tr("'{1}': {2}"), {operands[0], error}));
  }
  if (result == nullptr) {
    put(stderr, "kivo ipp: " + tr("out of memory") + "\n");
    return kExitFailed;
  }
  if (json) {
    put(stdout, json_dump(json_result(*result)) + "\n");
  } else {
    std::string out;
    if (code == KIVO_IPP_OK || code == KIVO_IPP_ESTATUS) {
      out += "# " + safe_text(result->uri) + "\n";
      if (result->tls != 0)
        out += "# TLS certificate SHA-256 " + safe_text(result->tls_sha256) +
               (result->tls_verified != 0 ? " (verified)" : " (not verified)") + "\n";
      out += std::string("# driverless: ") + (kivo_ipp_driverless(result) != 0 ? "yes" : "no") + "\n";
      print_attributes(result->attributes, result->attribute_count, 0, out);
      put(stdout, out);
    }
    if (code != KIVO_IPP_OK)
      put(stderr, "kivo ipp: " + safe_text(result->uri) + ": " + safe_text(result->error) + "\n");
  }
  kivo_ipp_result_free(result);
  return code == KIVO_IPP_OK ? kExitOk : kExitFailed;
}

}  // namespace kivo
