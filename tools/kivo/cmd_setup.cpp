// kivo setup: a CUPS print queue for a printer, made through libcups with the request
// lpadmin sends (CUPS-Add-Modify-Printer). A driverless printer gets ppd-name
// "everywhere", for which cupsd builds the queue's PPD from the printer's own IPP
// attributes; any other printer a raw queue on its socket or LPD endpoint.
#include <arpa/inet.h>

#include <strings.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "common.h"
#include "cups_api.h"
#include "cups_backend.h"
#include "cups_line.h"
#include "discover_options.h"
#include "discover_view.h"
#include "json_out.h"

namespace kivo {

namespace {

const char kSetupHelp[] =
    "Usage: kivo setup [--queue NAME] [--default] [--dry-run] [--server HOST[:PORT]] PRINTER\n"
    "Makes a CUPS print queue for PRINTER: the name (or uuid) of a printer the last\n"
    "`kivo discover` found, an address, a host name or a URI (ipp://, ipps://, socket://,\n"
    "lpd://). A printer of the last discover is set up from the print services it found;\n"
    "otherwise kivo asks the printer over IPP (an address: at port 631) and, when it does\n"
    "not answer, searches that address for its print ports. A printer\n"
    "that prints without a driver gets an IPP Everywhere queue; any other a raw queue on\n"
    "its socket or LPD port, which may need a driver.\n"
    "\n"
    "  --queue NAME          the queue's name (default: made from the printer's name;\n"
    "                        letters, digits, _ and -, at most 127 bytes)\n"
    "  --default             make it the default queue\n"
    "  --dry-run             print the lpadmin commands that do the same, make nothing\n"
    "  --server HOST[:PORT]  the cupsd to ask (default: the local one)\n"
    "\n"
    "Making a queue takes a member of the lpadmin group, or sudo.\n"
    "Exit status: 0 the queue was made, 1 it was not, 2 bad arguments.\n";

void note(const std::string &text) { put(stderr, "kivo setup: " + text + "\n"); }

// What the queue is made from.
struct Target {
  std::string uri;
  bool driverless = false;
  std::string name;  // for the queue name: the printer's name, or its host
};

struct IppFree {
  void operator()(kivo_ipp_result *r) const { kivo_ipp_result_free(r); }
};

std::string attribute_text(const kivo_ipp_result &r, const char *name) {
  const kivo_ipp_attribute *a = kivo_ipp_find(&r, name);
  if (a == nullptr || a->value_count == 0 || a->values[0].text == nullptr) return "";
  return std::string(a->values[0].text, a->values[0].text_length);
}

std::string host_of(const std::string &uri) {
  std::string rest = uri.substr(uri.find("://") + 3);
  const std::size_t end = rest.find_first_of("/:?");
  if (end != std::string::npos) rest.resize(end);
  return rest;
}

// The printer at an ipp:// or ipps:// URI; nothing when it does not answer over IPP
// (`why` then says what happened).
std::optional<Target> ask_ipp(const std::string &uri, std::string &why) {
  kivo_ipp_options options{};
  options.size = sizeof options;
  kivo_ipp_result *raw = nullptr;
  const std::int32_t rc = kivo_ipp_get_printer_attributes(uri.c_str(), &options, &raw);
  std::unique_ptr<kivo_ipp_result, IppFree> result(raw);
  if (rc != KIVO_IPP_OK || !result) {
    why = result && result->error != nullptr ? result->error : "out of memory";
    return std::nullopt;
  }
  Target t;
  t.uri = result->uri != nullptr && result->uri[0] != '\0' ? result->uri : uri;
  t.driverless = kivo_ipp_driverless(result.get()) == 1;
  t.name = attribute_text(*result, "printer-name");
  if (t.name.empty()) t.name = attribute_text(*result, "printer-make-and-model");
  if (t.name.empty()) t.name = host_of(uri);
  return t;
}

// The print endpoints the engine finds at one address: driverless IPP first, then the
// best raw port.
std::optional<Target> search_address(in_addr address) {
  DiscoverOptions opt;
  opt.quiet = true;
  opt.only = true;
  opt.broadcast = opt.slp = opt.mdns = false;
  opt.communities = default_communities();
  opt.ranges.push_back({ntohl(address.s_addr), ntohl(address.s_addr)});
  std::optional<Target> found;
  (void)discover_records(opt, 0, [&](const kivo_discover_device &d, std::FILE *) {
    if (d.address.s_addr != address.s_addr || found) return;
    std::optional<Target> ipp, raw;
    for (std::uint32_t i = 0; i < d.endpoint_count; ++i) {
      const kivo_discover_endpoint &e = d.endpoints[i];
      if (e.uri == nullptr || !cups_uri_ok(e.uri)) continue;
      const bool is_ipp = e.scheme == KIVO_ENDPOINT_IPP || e.scheme == KIVO_ENDPOINT_IPPS;
      const bool is_raw = e.scheme == KIVO_ENDPOINT_SOCKET || e.scheme == KIVO_ENDPOINT_LPD;
      if (is_ipp && d.driverless == 1 && !ipp) ipp = Target{e.uri, true, {}};
      if (is_raw && !raw) raw = Target{e.uri, false, {}};
    }
    found = ipp ? ipp : raw;
    if (found) found->name = d.product_name[0] != '\0' ? d.product_name : ipv4_text(d.address);
  });
  return found;
}

// A printer of the last kivo discover named `wanted`: by its name, system name, printer
// name or uuid (letter case aside), or its address. Nothing when there is no such list or
// no such printer in it; an error when the name fits several printers or the printer has
// no endpoint CUPS prints to.
std::optional<Target> from_last_run(const CommandErrors &errors, const std::string &wanted) {
  const std::string path = last_run_path();
  std::ifstream file(path, std::ios::binary);
  if (path.empty() || !file) return std::nullopt;
  // The list is ours, but a file in the home folder may be anything: read at most 64 MiB.
  constexpr std::size_t kMaxList = std::size_t{64} << 20;
  std::string text;
  char buf[65536];
  while (file.read(buf, sizeof buf) || file.gcount() > 0) {
    text.append(buf, static_cast<std::size_t>(file.gcount()));
    if (text.size() > kMaxList) return std::nullopt;
  }
  const Json list = Json::parse(text, nullptr, false);
  if (!list.is_array()) return std::nullopt;
  auto same = [](const std::string &a, const std::string &b) {
    return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
  };
  auto text_of = [](const Json &d, const char *key) {
    const auto it = d.find(key);
    return it != d.end() && it->is_string() ? it->get<std::string>() : std::string();
  };
  std::vector<const Json *> matches;
  for (const Json &d : list) {
    if (!d.is_object()) continue;
    for (const char *key : {"name", "sys_name", "printer_name", "uuid", "address"}) {
      const std::string value = text_of(d, key);
      if (!value.empty() && same(value, wanted)) {
        matches.push_back(&d);
        break;
      }
    }
  }
  if (matches.empty()) return std::nullopt;
  if (matches.size() > 1) {
    std::string addresses;
    for (const Json *d : matches) addresses += (addresses.empty() ? "" : ", ") + text_of(*d, "address");
    errors.fail(subst(tr("'{1}' names several printers of the last kivo discover ({2}): give "
                         "one address"),
                      {safe_text(wanted), safe_text(addresses)}));
  }
  const Json &d = *matches.front();
  const auto driverless = d.find("driverless");
  const bool prints_driverless = driverless != d.end() && driverless->is_boolean() && driverless->get<bool>();
  std::optional<Target> ipp, raw;
  const auto endpoints = d.find("endpoints");
  if (endpoints != d.end() && endpoints->is_array()) {
    for (const Json &e : *endpoints) {
      if (!e.is_object()) continue;
      const std::string uri = text_of(e, "uri"), protocol = text_of(e, "protocol");
      if (uri.empty() || !cups_uri_ok(uri)) continue;
      if ((protocol == "ipps" || protocol == "ipp") && prints_driverless && !ipp) ipp = Target{uri, true, {}};
      if ((protocol == "socket" || protocol == "lpd") && !raw) raw = Target{uri, false, {}};
    }
  }
  std::optional<Target> found = ipp ? ipp : raw;
  if (!found)
    throw std::runtime_error(subst(tr("the last kivo discover found no print service of '{1}' "
                                      "(give its URI, e.g. socket://ADDRESS:9100)"),
                                   {safe_text(wanted)}));
  found->name = text_of(d, "name");
  if (found->name.empty()) found->name = text_of(d, "address");
  return found;
}

Target find_target(const CommandErrors &errors, const std::string &printer) {
  const std::size_t sep = printer.find("://");
  if (sep != std::string::npos) {
    const std::string scheme = printer.substr(0, sep);
    if (!cups_uri_ok(printer)) errors.fail(subst(tr("not a URI CUPS can use: '{1}'"), {printer}));
    if (scheme == "socket" || scheme == "lpd") return Target{printer, false, host_of(printer)};
    if (scheme != "ipp" && scheme != "ipps")
      errors.fail(subst(tr("kivo setup takes ipp://, ipps://, socket:// or lpd:// URIs, not '{1}'"),
                        {printer}));
    std::string why;
    if (auto t = ask_ipp(printer, why)) return *t;
    throw std::runtime_error(subst(tr("the printer at {1} does not answer over IPP: {2}"),
                                   {printer, safe_text(why)}));
  }
  // A name (or uuid) from the last kivo discover comes before a host name: printers are
  // seldom named like hosts, and the list knows their print services already.
  in_addr literal{};
  if (::inet_pton(AF_INET, printer.c_str(), &literal) != 1)
    if (auto t = from_last_run(errors, printer)) return *t;
  const auto address = resolve_host(printer);
  if (!address)
    errors.fail(subst(tr("'{1}' is no printer of the last kivo discover and no host name"), {printer}));
  std::string why;
  if (auto t = ask_ipp("ipp://" + ipv4_text(*address) + ":631/", why)) return *t;
  if (auto t = search_address(*address)) return *t;
  throw std::runtime_error(
      subst(tr("no print service found at {1} (give its URI, e.g. socket://{1}:9100)"),
            {ipv4_text(*address)}));
}

void print_dry_run(const Target &t, const std::string &queue, const std::optional<std::string> &server,
                   bool make_default) {
  std::string server_words;
  if (server) {
    server_words = " -h ";
    server_words += shell_word(*server);
  }
  std::string line = "lpadmin";
  line += server_words;
  line += " -p ";
  line += shell_word(queue);
  line += " -E -v ";
  line += shell_word(t.uri);
  if (t.driverless) line += " -m everywhere";
  line += '\n';
  if (make_default) {
    line += "lpadmin";
    line += server_words;
    line += " -d ";
    line += shell_word(queue);
    line += '\n';
  }
  (void)std::fputs(line.c_str(), stdout);
}

#ifdef KIVO_HAVE_CUPS

struct HttpClose {
  const CupsApi *cups;
  void operator()(http_t *h) const { cups->httpClose(h); }
};

// Why cupsd refused, in words people can act on.
// A 401 that libcups could not answer (no password to give, no local certificate to
// show) comes back as "authentication cancelled", with the HTTP status beside it.
std::string refusal(const CupsApi &cups, http_t *http, ipp_status_t status, const std::string &server) {
  const http_status_t http_status = cups.httpGetStatus(http);
  if (status == IPP_STATUS_ERROR_NOT_AUTHORIZED || status == IPP_STATUS_ERROR_FORBIDDEN ||
      status == IPP_STATUS_ERROR_NOT_AUTHENTICATED ||
      status == IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED ||
      http_status == HTTP_STATUS_UNAUTHORIZED || http_status == HTTP_STATUS_FORBIDDEN)
    return tr("not allowed to make queues: the user must be in the lpadmin group, or run "
              "kivo setup with sudo");
  if (status == IPP_STATUS_ERROR_SERVICE_UNAVAILABLE || status == IPP_STATUS_ERROR_INTERNAL)
    return subst(tr("cupsd at {1} does not answer: is it running?"), {server});
  return subst(tr("cupsd refused: {1}"), {safe_text(cups.cupsLastErrorString())});
}

// One request to cupsd: true when it succeeded; `error` set otherwise.
bool send(const CupsApi &cups, http_t *http, ipp_t *request, const char *resource,
          const std::string &server, std::string &error) {
  ipp_t *response = cups.cupsDoRequest(http, request, resource);
  cups.ippDelete(response);
  const ipp_status_t status = cups.cupsLastError();
  if (status <= IPP_STATUS_OK_EVENTS_COMPLETE) return true;
  error = refusal(cups, http, status, server);
  return false;
}

int make_queue(const Target &t, const std::string &queue, const std::optional<std::string> &server,
               bool make_default) {
  std::string why;
  const CupsApi *api = load_cups(why);
  if (api == nullptr) {
    note(subst(tr("libcups could not be loaded ({1}): install it, or use --dry-run"), {safe_text(why)}));
    return kExitFailed;
  }
  const CupsApi &cups = *api;
  if (server) cups.cupsSetServer(server->c_str());
  const std::string shown = server ? *server : std::string(cups.cupsServer());
  std::unique_ptr<http_t, HttpClose> http(cups.httpConnect2(cups.cupsServer(), cups.ippPort(), nullptr,
                                                            AF_UNSPEC, cups.cupsEncryption(), 1, 30000,
                                                            nullptr),
                                          HttpClose{&cups});
  if (!http) {
    note(subst(tr("cupsd at {1} does not answer: is it running?"), {shown}));
    return kExitFailed;
  }
  char printer_uri[1024];
  (void)cups.httpAssembleURIf(HTTP_URI_CODING_ALL, printer_uri, sizeof printer_uri, "ipp", nullptr,
                         "localhost", 0, "/printers/%s", queue.c_str());
  ipp_t *request = cups.ippNewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER);
  cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri);
  cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cups.cupsUser());
  if (t.driverless) cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "ppd-name", nullptr, "everywhere");
  cups.ippAddString(request, IPP_TAG_PRINTER, IPP_TAG_URI, "device-uri", nullptr, t.uri.c_str());
  cups.ippAddBoolean(request, IPP_TAG_PRINTER, "printer-is-accepting-jobs", 1);
  cups.ippAddInteger(request, IPP_TAG_PRINTER, IPP_TAG_ENUM, "printer-state", IPP_PSTATE_IDLE);
  std::string error;
  if (!send(cups, http.get(), request, "/admin/", shown, error)) {
    note(error);
    return kExitFailed;
  }
  if (make_default) {
    request = cups.ippNewRequest(IPP_OP_CUPS_SET_DEFAULT);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, printer_uri);
    cups.ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cups.cupsUser());
    if (!send(cups, http.get(), request, "/admin/", shown, error)) {
      note(error);
      return kExitFailed;
    }
  }
  put(stdout, subst(tr("queue {1} made for {2}"), {queue, t.uri}) + "\n");
  if (!t.driverless)
    note(tr("the printer does not say it prints without a driver: the queue is raw (print "
            "data goes to it unchanged) and a driver for the printer may be needed"));
  return kExitOk;
}

#else

int make_queue(const Target &, const std::string &, const std::optional<std::string> &, bool) {
  note(tr("this kivo was built without CUPS: only --dry-run works"));
  return kExitFailed;
}

#endif

}  // namespace

int cmd_setup(int argc, char **argv, int first) {
  const Parsed p = parse_command_line(
      "setup", {{"queue", 0, true}, {"default", 0, false}, {"dry-run", 0, false}, {"server", 0, true}},
      argc, argv, first);
  if (p.help) {
    put(stdout, tr(kSetupHelp));
    return kExitOk;
  }
  if (p.operands.size() != 1)
    p.fail(tr("give one printer: a name from the last kivo discover, an address, a host name or a URI"));
  const auto queue_given = p.last("queue");
  if (queue_given && !cups_queue_name_ok(*queue_given))
    p.fail(subst(tr("'{1}' is not a queue name CUPS takes (letters, digits, _ and -, at most "
                    "127 bytes)"),
                 {*queue_given}));
  const auto server = p.last("server");
  if (server) (void)parse_host_port(p, *server, 631);
  const Target target = find_target(p, p.operands[0]);
  const std::string queue = queue_given ? *queue_given : cups_queue_name(target.name);
  if (p.has("dry-run")) {
    print_dry_run(target, queue, server, p.has("default"));
    if (!target.driverless)
      note(tr("the printer does not say it prints without a driver: the queue is raw (print "
              "data goes to it unchanged) and a driver for the printer may be needed"));
    return kExitOk;
  }
  return make_queue(target, queue, server, p.has("default"));
}

}  // namespace kivo
