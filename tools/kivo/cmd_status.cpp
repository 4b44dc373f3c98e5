// kivo status: reads each printer's state, errors, alerts and supplies with
// kivo_status_read and prints them for a person, as JSON or as OpenMetrics text.
#include "cmd_status.h"

#include <memory>
#include <string>
#include <vector>

#include "common.h"
#include "snmp_text.h"
#include "snmpv3_args.h"
#include "status_view.h"

namespace kivo {

namespace {

const char kStatusHelp[] =
    "Usage: kivo status [OPTIONS] HOST[:PORT]...\n"
    "Reads each printer's state, errors, alerts and supplies over SNMP (Printer MIB and\n"
    "Host Resources MIB) and prints them: every supply as a bar with its percentage, or\n"
    "\"some\" / \"unknown\" where the printer gives no amount.\n"
    "\n"
    "Options:\n"
    "  -v 1|2c|3      SNMP version (default 1; 3: see the SNMPv3 options below)\n"
    "  -c COMMUNITY   community name (default vellum)\n"
    "  -t SECONDS     time-out of each transmission, 1 to 60 (default 2)\n"
    "  -r RETRIES     retransmissions after a time-out, 0 to 10 (default 1)\n"
    "  --json         print a JSON array, one object per printer (texts in UTF-8)\n"
    "  --openmetrics  print OpenMetrics text (for a metrics collector)\n"
    "  --ipp          a printer that does not answer SNMP is asked over IPP (port 631)\n"
    "                 for its state, reasons and markers\n"
    "  -h, --help     this text\n"
    "\n"
    "Exit status: 0 every printer answered, 1 one or more did not, 2 bad arguments.\n";

struct StatusFree {
  void operator()(kivo_status *s) const noexcept { kivo_status_free(s); }
};
using StatusRecord = std::unique_ptr<kivo_status, StatusFree>;
struct SessionFree {
  void operator()(snmp_session *s) const noexcept { snmp_free_session(s); }
};
struct CommunityList {
  snmp_comm *head = nullptr;
  CommunityList() = default;
  CommunityList(const CommunityList &) = delete;
  CommunityList &operator=(const CommunityList &) = delete;
  ~CommunityList() { snmp_comm_free(&head); }
};

struct Settings {
  int version = SNMP_VERSION_1;
  std::string community = "vellum";
  std::int64_t timeout_ms = 2000;
  int retries = 1;
};

// One device's read: the record, or the reason there is none in *error.
StatusRecord read_one(const Settings &settings, const HostPort &target, snmp_comm *communities,
                      const kivo_snmpv3_options *v3, std::string *error) {
  kivo_status *raw = nullptr;
  std::int32_t rc = SNMP_ERR_OTHER;
  if (v3 != nullptr) {
    kivo_snmpv3_options o = *v3;
    o.port = static_cast<std::uint16_t>(target.port);
    std::int32_t code = 0;
    V3Session session(kivo_snmpv3_create(&target.address, &o, &code));
    if (!session) {
      *error = kivo_snmpv3_strerror(code);
      return nullptr;
    }
    rc = kivo_status_read_v3(session.get(), &target.address, &raw);
  } else {
    std::unique_ptr<snmp_session, SessionFree> session(
        snmp_create_session(AF_INET, &target.address, nullptr));
    if (!session) {
      *error = tr("cannot open an SNMP session");
      return nullptr;
    }
    session->version = settings.version;
    session->community = communities;
    // The v1/v2c session waits whole seconds: a fraction is rounded up, never down.
    session->udp->timeout = static_cast<int32_t>((settings.timeout_ms + 999) / 1000);
    session->udp->retries = settings.retries + 1;
    session->udp->port = static_cast<std::uint16_t>(target.port);
    rc = kivo_status_read(session.get(), &raw);
  }
  StatusRecord record(raw);
  if (rc != SNMP_ERR_NONE || !record) {
    *error = session_error_text(rc, target.text);
    return nullptr;
  }
  return record;
}

struct IppResultFree {
  void operator()(kivo_ipp_result *r) const noexcept { kivo_ipp_result_free(r); }
};

// A printer with SNMP off most often still answers IPP: its state and markers from
// there (every part then says so), or null when it does not answer that either.
StatusRecord read_ipp(const Settings &settings, const HostPort &target) {
  kivo_ipp_options o{};
  o.size = sizeof o;
  o.timeout_ms = static_cast<std::uint32_t>(settings.timeout_ms);
  kivo_ipp_result *raw = nullptr;
  const std::string uri = "ipp://" + ipv4_text(target.address) + ":631/";
  (void)kivo_ipp_get_printer_attributes(uri.c_str(), &o, &raw);
  std::unique_ptr<kivo_ipp_result, IppResultFree> result(raw);
  kivo_status *status = nullptr;
  if (!result || kivo_ipp_status(result.get(), &status) != KIVO_IPP_OK) return nullptr;
  return StatusRecord(status);
}

}  // namespace

int cmd_status(int argc, char **argv, int first) {
  std::vector<Option> options = {{"version", 'v', true}, {"community", 'c', true},
                                 {"timeout", 't', true}, {"retries", 'r', true},
                                 {"json", 0, false},     {"openmetrics", 0, false},
                                 {"ipp", 0, false}};
  for (const Option &o : v3_option_list(true)) options.push_back(o);
  const Parsed p = parse_command_line("status", options, argc, argv, first);
  if (p.help) {
    put(stdout, tr(kStatusHelp) + tr(kV3Help));
    return kExitOk;
  }
  Settings settings;
  if (auto v = p.last("version")) {
    if (*v == "1")
      settings.version = SNMP_VERSION_1;
    else if (*v == "2c")
      settings.version = SNMP_VERSION_2c;
    else if (*v == "3")
      settings.version = SNMP_VERSION_3;
    else
      p.fail(subst(tr("the SNMP version must be 1, 2c or 3, not '{1}'"), {*v}));
  }
  if (auto c = p.last("community")) {
    check_community(p, *c);
    settings.community = *c;
  }
  if (auto t = p.last("timeout")) settings.timeout_ms = parse_seconds(p, "the time-out", *t, 10, 60000);
  if (auto r = p.last("retries"))
    settings.retries = static_cast<int>(parse_number(p, "the retries", *r, 0, 10));
  V3Args v3 = v3_args(p);
  const bool json = p.has("json");
  const bool openmetrics = p.has("openmetrics");
  const bool ipp = p.has("ipp");
  if (p.operands.empty()) p.fail(tr("no host given"));
  if (json && openmetrics) p.fail(tr("--json and --openmetrics cannot be combined"));
  std::vector<HostPort> targets;
  targets.reserve(p.operands.size());
  for (const auto &o : p.operands) targets.push_back(parse_host_port(p, o, 161));

  std::unique_ptr<kivo_snmpv3_options> v3_options_given;
  if (settings.version == SNMP_VERSION_3) {
    v3_options_given = std::make_unique<kivo_snmpv3_options>(v3_options(p, v3));
    v3_options_given->timeout_ms = static_cast<std::uint32_t>(settings.timeout_ms);
    v3_options_given->retries = settings.retries;
  }
  Session::Options setup;
  setup.load_targets = false;
  Session lib(setup);
  CommunityList communities;
  if (snmp_comm_add(&communities.head, settings.community.c_str()) == nullptr) {
    put(stderr, "kivo status: " + tr("out of memory") + "\n");
    return kExitFailed;
  }

  std::vector<StatusRecord> records;
  std::vector<DeviceStatus> view;
  records.reserve(targets.size());
  view.reserve(targets.size());
  int status = kExitOk;
  for (const HostPort &target : targets) {
    DeviceStatus device;
    device.address = target.text;
    records.push_back(
        read_one(settings, target, communities.head, v3_options_given.get(), &device.error));
    if (!records.back() && ipp) records.back() = read_ipp(settings, target);
    device.status = records.back().get();
    if (device.status == nullptr) status = kExitFailed;
    view.push_back(std::move(device));
  }
  // The sessions are made: the pass phrases the options pointed at are no longer needed.
  v3_options_given.reset();
  v3_forget_pass_phrases(v3);
  if (json || openmetrics) {
    // Written whole: a label value may hold a NUL byte the device sent.
    const std::string text = json ? status_json(view) : status_openmetrics(view);
    std::fwrite(text.data(), 1, text.size(), stdout);
  } else {
    print_status_text(stdout, view);
  }
  return status;
}

}  // namespace kivo
