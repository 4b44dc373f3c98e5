// ippeveprinter as a peer, and the TCP listeners of tcp_peer.py that make it reachable
// from a namespace's link.
//
// ippeveprinter listens on the loopback of its namespace only, and it will not start
// without DNS-SD: each printer gets a private D-Bus system bus and an avahi-daemon that
// publishes on the loopback only, so that what it announces never leaves its namespace
// (tests announce what they want themselves). tcp_peer() with "631:to-631" on the
// namespace's link address forwards the printer to the link.
#pragma once

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

#define KIVO8_REQUIRE_EVE()               \
  KIVO8_REQUIRE_NETNS();                  \
  KIVO8_REQUIRE_PROGRAM("ippeveprinter"); \
  KIVO8_REQUIRE_PROGRAM("ipptool");       \
  KIVO8_REQUIRE_PROGRAM("avahi-daemon");  \
  KIVO8_REQUIRE_PROGRAM("dbus-daemon");   \
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3")

struct EveOptions {
  int port = 631;
  std::string model = "Lab 9";  // the make is always "Kivo"
  std::string location = "Room 1";
  std::string name;             // the printer's name; "Kivo <model>" when empty
  bool keep_jobs = false;       // keep every printed job in spool()
  // Printer attributes in ipptool's file format (ippeveprinter -a): make, model and
  // formats then come from there, not from the fields above.
  std::string attributes;
  // State reasons the print engine reports once a job is printed (a print command,
  // ippeveprinter -c, that writes "STATE: ..."), e.g. "+media-empty,toner-low".
  std::string reasons;
};

class EvePrinter {
 public:
  EvePrinter(Netns &ns, EveOptions o) : ns_(ns), port_(o.port) {
    const std::string run = dir_.file("run");
    sh("mkdir -p " + run + "/dbus " + run + "/avahi-daemon " + dir_.file("keys") + " " + spool());
    const std::string bus = "unix:path=" + run + "/dbus/system_bus_socket";
    std::ofstream(dir_.file("bus.conf"))
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>system</type><listen>" << bus << "</listen><auth>EXTERNAL</auth>\n"
           "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    std::ofstream(dir_.file("avahi.conf"))
        << "[server]\nhost-name=kv8eve\ndomain-name=local\nuse-ipv4=yes\nuse-ipv6=no\nenable-dbus=yes\n"
           "allow-interfaces=lo\n[publish]\npublish-addresses=no\npublish-workstation=no\n";
    ns.must("ip link set lo up");
    dbus_ = Process({"dbus-daemon", "--config-file=" + dir_.file("bus.conf"), "--nofork"}, ns.name(),
                    dir_.file("dbus.log"));
    EXPECT_TRUE(wait_until(10, [&] { return sh("test -S " + run + "/dbus/system_bus_socket") == 0; }));
    // avahi-daemon keeps its pid file and socket under /run: a /run of the printer's own.
    avahi_ = Process({"unshare", "-m", "sh", "-c",
                      "mount --bind " + run + " /run && exec avahi-daemon -f " + dir_.file("avahi.conf") +
                          " --no-drop-root --no-chroot --no-rlimits"},
                     ns.name(), dir_.file("avahi.log"));
    EXPECT_TRUE(wait_until(10, [&] { return sh("test -S " + run + "/avahi-daemon/socket") == 0; }));
    std::vector<std::string> argv = {"env", "DBUS_SYSTEM_BUS_ADDRESS=" + bus, "ippeveprinter"};
    if (o.keep_jobs) argv.emplace_back("-k");
    for (const std::string &a : {std::string("-p"), std::to_string(o.port), std::string("-n"), host(),
                                 std::string("-K"), dir_.file("keys"), std::string("-d"), spool()})
      argv.push_back(a);
    if (o.attributes.empty()) {
      for (const std::string &a : {std::string("-M"), std::string("Kivo"), std::string("-m"), o.model,
                                   std::string("-l"), o.location, std::string("-f"),
                                   std::string("application/pdf,image/pwg-raster")})
        argv.push_back(a);
    } else {
      std::ofstream(dir_.file("printer.conf")) << o.attributes;
      argv.emplace_back("-a");
      argv.push_back(dir_.file("printer.conf"));
    }
    if (!o.reasons.empty()) {
      std::ofstream(dir_.file("engine.sh")) << "#!/bin/sh\necho 'STATE: " << o.reasons << "' >&2\ncat >/dev/null\n";
      sh("chmod +x " + dir_.file("engine.sh"));
      argv.emplace_back("-c");
      argv.push_back(dir_.file("engine.sh"));
    }
    argv.push_back(o.name.empty() ? "Kivo " + o.model : o.name);
    printer_ = Process(argv, ns.name(), dir_.file("ippeveprinter.log"));
  }
  EvePrinter(Netns &ns, int port, const std::string &model, const std::string &location = "Room 1")
      : EvePrinter(ns, EveOptions{port, model, location, "", false, {}, {}}) {}

  // Ready once it answers Get-Printer-Attributes (ipptool's own test would also judge the
  // values, and a test may give it a location no validator takes).
  bool wait_ready() {
    return wait_until(30, [&] {
      return ns_.sh("ipptool -tv " + uri("ipp") + " get-printer-attributes.test 2>/dev/null | grep -q successful-ok") ==
             0;
    });
  }
  static std::string host() { return "localhost"; }
  int port() const { return port_; }
  std::string uri(const std::string &scheme) const {
    return scheme + "://" + host() + ":" + std::to_string(port_) + "/ipp/print";
  }
  std::string spool() const { return dir_.file("spool"); }
  std::string certificate() const { return dir_.file("keys") + "/" + host() + ".crt"; }
  const TempDir &dir() const { return dir_; }

  // ipptool's reading of Get-Printer-Attributes: "name (syntax) = value" lines into
  // name -> value.
  std::map<std::string, std::string> ipptool(const std::string &scheme) {
    std::map<std::string, std::string> out;
    std::istringstream in(ns_.sh_output("ipptool -tv " + uri(scheme) + " get-printer-attributes.test"));
    std::string line;
    while (std::getline(in, line)) {
      const std::size_t open = line.find(" ("), eq = line.find(") = ");
      if (open == std::string::npos || eq == std::string::npos || eq < open) continue;
      const std::size_t start = line.find_first_not_of(' ');
      out[line.substr(start, open - start)] = line.substr(eq + 4);
    }
    return out;
  }
  // The value text of attribute `name` as ipptool shows it ("4,87,30,-3"); empty when
  // the printer does not have it.
  std::string value(const std::string &name) {
    std::string v = ipptool("ipp")[name];
    while (!v.empty() && std::isspace(static_cast<unsigned char>(v.back())) != 0) v.pop_back();
    return v;
  }
  // Prints one job, so that the print command reports its state reasons; true once the
  // printer shows `reason` among them.
  bool print_and_wait(const std::string &reason) {
    std::ofstream(dir_.file("page.bin")) << "RaS2";
    std::ofstream(dir_.file("print.test"))
        << "{\n  OPERATION Print-Job\n  GROUP operation-attributes-tag\n  ATTR charset attributes-charset utf-8\n"
           "  ATTR naturalLanguage attributes-natural-language en\n  ATTR uri printer-uri $uri\n"
           "  ATTR name requesting-user-name kivo\n  ATTR mimeMediaType document-format image/pwg-raster\n"
           "  FILE $filename\n  STATUS successful-ok\n}\n";
    (void)ns_.sh("ipptool -f " + dir_.file("page.bin") + " " + uri("ipp") + " " + dir_.file("print.test") + " >" +
                 dir_.file("job.log") + " 2>&1");
    return wait_until(20, [&] { return value("printer-state-reasons").find(reason) != std::string::npos; });
  }
  // The printer-uuid as ipptool reads it.
  std::string uuid() {
    std::string u = ipptool("ipp")["printer-uuid"];
    while (!u.empty() && std::isspace(static_cast<unsigned char>(u.back())) != 0) u.pop_back();
    return u;
  }
  // SHA-256 of its certificate, hex without colons.
  std::string fingerprint() const {
    const std::string out = sh_output("openssl x509 -in " + certificate() + " -noout -fingerprint -sha256");
    std::string hex;
    const std::size_t eq = out.find('=');
    for (char c : eq == std::string::npos ? std::string() : out.substr(eq + 1))
      if (std::isxdigit(static_cast<unsigned char>(c)) != 0) hex += c;
    return hex;
  }
  std::string log() {
    return sh_output("cat " + dir_.file("ippeveprinter.log") + " " + dir_.file("avahi.log") + "; ls " +
                     dir_.file("keys")) +
           ns_.sh_output("ss -ltn; ipptool -tv " + uri("ipp") + " get-printer-attributes.test 2>&1 | head -40");
  }

 private:
  Netns &ns_;
  int port_;
  TempDir dir_;
  Process dbus_, avahi_, printer_;
};

// The listeners of tcp_peer.py in `ns`, e.g. {"9100:close", "515:close"} or
// {"631:to-631"} (see the script for every mode), on `bind`.
inline Process tcp_peer(Netns &ns, TempDir &dir, const std::string &tag, const std::vector<std::string> &listen,
                        const std::string &bind = "0.0.0.0") {
  std::vector<std::string> argv = {"/usr/bin/python3", source_dir() + "/tests/support/tcp_peer.py", "--ready",
                                   dir.file(tag + ".ready"), "--bind", bind};
  for (const auto &l : listen) {
    argv.push_back("--listen");
    argv.push_back(l);
  }
  Process p(argv, ns.name(), dir.file(tag + ".log"));
  EXPECT_TRUE(wait_until(10, [&] { return std::ifstream(dir.file(tag + ".ready")).good(); }))
      << sh_output("cat " + dir.file(tag + ".log"));
  return p;
}

}  // namespace kivo8::test
