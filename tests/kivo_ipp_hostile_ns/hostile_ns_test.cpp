// kivo discover on a LAN where most IPP servers are hostile (tests/kivo_ipp_hostile_ns/
// hostile_ipp.py): bodies the decoder must refuse, chunk sizes and lengths that lie, an
// endless stream, endless interim answers or header lines, a server that trickles, an
// IPPS port named by a sound plain answer that never shakes hands, a TLS port that never finishes its handshake.
// Beside them a good IPP printer (ippeveprinter) and a good SNMP printer (snmpsim). The
// run must end by its deadline in bounded memory and still list the good printers whole.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/discover_lan.h"
#include "support/ippeveprinter.h"
#include "support/kivo_run.h"
#include "support/mdns_lan.h"
#include "support/peers.h"
#include "support/snmpsim.h"

namespace kivo8::test {
namespace {

// hostile_ipp.py in `ns`, one listener per "PORT:MODE".
Process hostile_ipp(Netns &ns, TempDir &dir, const std::string &tag, const std::vector<std::string> &listen) {
  std::vector<std::string> argv = {"/usr/bin/python3",
                                   source_dir() + "/tests/kivo_ipp_hostile_ns/hostile_ipp.py",
                                   "--ready",
                                   dir.file(tag + ".ready"),
                                   "--log",
                                   dir.file(tag + ".asked")};
  for (const auto &l : listen) {
    argv.push_back("--listen");
    argv.push_back(l);
  }
  Process p(argv, ns.name(), dir.file(tag + ".log"));
  EXPECT_TRUE(wait_until(10, [&] { return std::ifstream(dir.file(tag + ".ready")).good(); }))
      << read_bytes(dir.file(tag + ".log"));
  return p;
}

struct Measured {
  KivoResult result;
  double seconds = -1;
  long max_rss_kib = -1;
  int status = -1;  // -N: ended by signal N
};

// kivo with `args` in `ns`, timed and its peak memory read by measure.py (wait4's rusage).
Measured run_measured(Netns &ns, const TempDir &home, const std::vector<std::string> &args) {
  Measured m;
  const std::string stats = home.file("kivo.stats");
  std::string line = "HOME=" + shell_quote(home.path()) + " LANG=C.UTF-8 LANGUAGE= LC_ALL= /usr/bin/python3 " +
                     shell_quote(source_dir() + "/tests/kivo_ipp_hostile_ns/measure.py") + " " +
                     shell_quote(stats) + " " + shell_quote(kivo_program());
  for (const auto &a : args) line += " " + shell_quote(a);
  line += " >" + shell_quote(home.file("kivo.out")) + " 2>" + shell_quote(home.file("kivo.err")) + " </dev/null";
  m.result.status = ns.sh(line);
  m.result.out = read_bytes(home.file("kivo.out"));
  m.result.err = read_bytes(home.file("kivo.err"));
  std::istringstream in(read_bytes(stats));
  in >> m.seconds >> m.max_rss_kib >> m.status;
  return m;
}

// The run's deadline as kivo sets it for --timeout 2, no retries, no web probes: the SNMP
// wait (2 s, longer than the DNS-SD listening), the describe GETs (2 x 2 s), and twice the
// endpoint time-out (2 x 2 s).
constexpr double kDeadlineSeconds = 10.0;
// What may come on top on a loaded two-core machine: start-up, catalogues, output.
constexpr double kMarginSeconds = 10.0;
constexpr long kMaxRssKib = 64 * 1024;

TEST(KivoIppHostile, DiscoverEndsByItsDeadlineInBoundedMemoryAndKeepsTheGoodPrinters) {
  KIVO8_REQUIRE_EVE();
  KIVO8_REQUIRE_SNMPSIM();
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  MdnsLan lan;
  TempDir dir, home;
  // Hosts, in order: the good IPP printer, the good SNMP printer, then one hostile IPP
  // server each (found by their SNMP agents), and last the TLS port (found by DNS-SD).
  const std::vector<std::string> modes = {"decoders",      "chunk-lie",    "chunk-overflow", "chunk-endless",
                                          "chunk-zeros",   "interim-flood", "header-flood",  "length-4g",
                                          "length-huge",   "trickle",       "offer-hang"};
  const int eve_host = lan.add_device(), snmp_host = lan.add_device();
  std::vector<int> hostile_hosts;
  for (std::size_t i = 0; i < modes.size(); ++i) hostile_hosts.push_back(lan.add_device());
  const int tls_host = lan.add_device();

  std::vector<std::unique_ptr<Snmpsim>> agents;
  agents.push_back(std::make_unique<Snmpsim>(lan.ns(eve_host).name(), host_data("eve")));
  agents.push_back(std::make_unique<Snmpsim>(lan.ns(snmp_host).name(), printer_data("raw")));
  for (std::size_t i = 0; i < modes.size(); ++i)
    agents.push_back(std::make_unique<Snmpsim>(lan.ns(hostile_hosts[i]).name(), host_data(modes[i])));
  EvePrinter eve(lan.ns(eve_host), 631, "Lab 9");
  for (auto &a : agents) ASSERT_TRUE(a->wait_ready());
  ASSERT_TRUE(eve.wait_ready()) << eve.log();
  Process link = tcp_peer(lan.ns(eve_host), dir, "link", {"631:to-631"}, lan.address(eve_host));
  Process raw = tcp_peer(lan.ns(snmp_host), dir, "raw", {"9100:close"});
  std::vector<Process> servers;
  for (std::size_t i = 0; i < modes.size(); ++i)
    servers.push_back(hostile_ipp(lan.ns(hostile_hosts[i]), dir, modes[i], {"631:" + modes[i]}));
  servers.push_back(hostile_ipp(lan.ns(tls_host), dir, "tls-hang", {"631:tls-hang"}));
  ASSERT_TRUE(lan.start_zeroconf(tls_host, "tlshang",
                                 {{"Hang", "_ipps._tcp", 631, {{"rp", "ipp/print"}, {"ty", "Hang"}}, {}}}));

  const Measured m = run_measured(lan.hub(), home,
                                  {"discover", "--json", "--no-slp", "--no-web", "--no-snmpv3", "--timeout", "2"});
  RecordProperty("kivo_seconds", std::to_string(m.seconds));
  RecordProperty("kivo_max_rss_kib", std::to_string(m.max_rss_kib));
  ASSERT_EQ(m.status, 0) << m.result.err;
  ASSERT_EQ(m.result.status, 0) << m.result.err;
  EXPECT_LT(m.seconds, kDeadlineSeconds + kMarginSeconds) << "a peer, not the deadline, ended the run";
  EXPECT_GT(m.max_rss_kib, 0);
  EXPECT_LT(m.max_rss_kib, kMaxRssKib) << "the peers' claims grew kivo's memory";

  auto host = [&](int i, const std::string &what) {
    return json_query(home, m.result.out,
                      "next((" + what + " for x in d if x['address'] == '" + lan.address(i) + "'), 'missing')");
  };
  const std::string summary =
      "[[e['uri'], e['from'], e['tls_sha256']] for e in x['endpoints']], x['driverless'], x['ipp'] and "
      "[x['ipp']['make_and_model'], x['ipp']['state']]";

  // Every hostile server was asked, some at each of the resources tried in turn.
  for (std::size_t i = 0; i < modes.size(); ++i)
    EXPECT_NE(read_bytes(dir.file(modes[i] + ".asked")), "") << modes[i] << " was never asked";
  EXPECT_EQ(read_bytes(dir.file("decoders.asked")), "decoders /ipp/print\ndecoders /ipp\ndecoders /\n");
  EXPECT_EQ(read_bytes(dir.file("offer-hang.asked")), "offer-hang /ipp/print\noffer-hang tls\n");
  EXPECT_EQ(read_bytes(dir.file("tls-hang.asked")), "tls-hang tls\n");

  const std::string a = lan.address(eve_host);
  EXPECT_EQ(host(eve_host, "[" + summary + ", x['uuid']]"),
            "[[[\"ipps://" + a + ":631/ipp/print\", \"probe\", \"" + eve.fingerprint() + "\"], [\"ipp://" + a +
                ":631/ipp/print\", \"probe\", null]], true, [\"Kivo Lab 9\", \"idle\"], \"" + eve.uuid() + "\"]")
      << m.result.out;
  const std::string r = lan.address(snmp_host);
  EXPECT_EQ(host(snmp_host, "[" + summary + ", x['sys_name']]"),
            "[[[\"socket://" + r + ":9100\", \"probe\", null]], null, null, \"raw\"]")
      << m.result.out;
  // A hostile server counts as a port that took the connection; what it said, as nothing.
  // One whose plain answer was sound but whose offered IPPS port never shook hands keeps
  // that answer and gains no ipps endpoint.
  for (std::size_t i = 0; i < modes.size(); ++i) {
    SCOPED_TRACE(modes[i]);
    const std::string h = lan.address(hostile_hosts[i]);
    if (modes[i] == "offer-hang") {
      EXPECT_EQ(host(hostile_hosts[i], "[" + summary + "]"),
                "[[[\"ipp://" + h + ":631/ipp/print\", \"probe\", null]], false, [\"Offer 1\", \"idle\"]]")
          << m.result.out;
      continue;
    }
    EXPECT_EQ(host(hostile_hosts[i], "[" + summary + "]"),
              "[[[\"ipp://" + h + ":631/ipp/print\", \"probe\", null]], null, null]")
        << m.result.out;
  }
  const std::string t = lan.address(tls_host);
  EXPECT_EQ(host(tls_host, "[" + summary + "]"), "[[[\"ipps://" + t + ":631/ipp/print\", \"dnssd\", null]], null, null]")
      << m.result.out;
}

}  // namespace
}  // namespace kivo8::test
