// kivo discover with DNS-SD, end to end: in a namespace network where one printer
// announces itself only by DNS-SD (avahi-daemon), one answers SNMP and DNS-SD
// (python3-zeroconf beside an snmpsim agent) and one device announces no printer
// service, kivo runs in the hub with a scratch HOME as a user would run it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "support/mdns_lan.h"
#include "support/snmp_agents.h"

namespace {

using kivo8::test::MdnsLan;
using kivo8::test::TempDir;

struct Result {
  int status = -1;
  std::string out, err;
};

Result kivo(MdnsLan &lan, const TempDir &home, const std::string &args) {
  Result r;
  const std::string out = home.file("out"), err = home.file("err");
  r.status = lan.hub().sh("HOME=" + home.path() + " LANG=C.UTF-8 LANGUAGE= LC_ALL= " + kivo8::test::binary_dir() +
                          "/tools/kivo/kivo discover " + args + " >" + out + " 2>" + err);
  r.out = MdnsLan::slurp(out);
  r.err = MdnsLan::slurp(err);
  return r;
}

// The JSON reduced by Debian's python (not the program under test) to one line per
// device: address|name|kind|ways|type port instance txt-keys;...
std::string summary(const TempDir &home, const std::string &json) {
  std::ofstream(home.file("d.json")) << json;
  std::ofstream(home.file("s.py")) << "import json,sys\n"
                                      "for d in json.load(open(sys.argv[1])):\n"
                                      "  s=';'.join('%s %d %s %s'%(x['type'],x['port'],x['instance'],"
                                      "','.join(k+'='+v for k,v in sorted(x['txt'].items()) if k in ('ty','usb_MDL','TLS'))) for x in d['services'])\n"
                                      "  print('|'.join([d['address'],d['name'],d['kind'],','.join(d['found_by']),s]))\n";
  int status = 0;
  std::string text = kivo8::test::sh_output("/usr/bin/python3 " + home.file("s.py") + " " + home.file("d.json"), &status);
  EXPECT_EQ(status, 0) << json;
  return text;
}

TEST(KivoDiscoverMdns, FindsPrintersAnnouncedByDnsSdAndMergesThemWithSnmp) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_PROGRAM("avahi-daemon");
  KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
  KIVO8_REQUIRE_PROGRAM("unshare");
  if (kivo8::test::snmpsim_program().empty()) {
    if (kivo8::test::in_ci()) FAIL() << "required peer program missing: snmpsim";
    GTEST_SKIP() << "snmpsim is not installed";
  }
  MdnsLan lan;
  const int only = lan.add_device(), both = lan.add_device(), nas = lan.add_device();
  kivo8::test::Snmpsim agent(lan.ns(both).name(),
                             {{"1.3.6.1.2.1.1.1.0", "4", "Generic 28C-1"},
                              {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.1.9"},
                              {"1.3.6.1.2.1.1.5.0", "4", "mfp-hall"},
                              {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
                              {"1.3.6.1.2.1.25.3.2.1.3.1", "4", "Generic 28C-1"}});
  ASSERT_TRUE(lan.start_avahi(only, "lx410",
                              {{"Kestrel LX-410 (Room 12)", "_ipp._tcp", 631,
                                {{"txtvers", "1"}, {"ty", "Kestrel LX-410 Series"}, {"usb_MFG", "Kestrel"},
                                 {"usb_MDL", "LX-410"}, {"note", "Room 12"}, {"rp", "ipp/print"},
                                 {"pdl", "application/pdf,image/urf"}, {"Color", "T"}, {"Duplex", "T"}},
                                {"_universal._sub._ipp._tcp"}},
                               {"Kestrel LX-410 (Room 12)", "_ipps._tcp", 443,
                                {{"txtvers", "1"}, {"ty", "Kestrel LX-410 Series"}, {"TLS", "1.2"}}, {}}}));
  ASSERT_TRUE(lan.start_zeroconf(both, "mfp-hall",
                                 {{"Hall MFP", "_ipp._tcp", 631, {{"ty", "Brightline MX-20"}, {"usb_MDL", "MX-20"}}, {}}}));
  ASSERT_TRUE(lan.start_avahi(nas, "nas", {{"Storage", "_http._tcp", 80, {}, {}}, {"Storage", "_smb._tcp", 445, {}, {}}}));
  ASSERT_TRUE(agent.wait_ready());

  TempDir home;
  Result table = kivo(lan, home, "--timeout 2 --no-web");
  ASSERT_EQ(table.status, 0) << table.err;
  std::istringstream lines(table.out);
  std::map<std::string, std::string> rows;
  for (std::string line; std::getline(lines, line);) rows[line.substr(0, line.find(' '))] = line;
  ASSERT_EQ(rows.count(lan.address(only)), 1u) << table.out;
  EXPECT_NE(rows[lan.address(only)].find("Kestrel LX-410 Series"), std::string::npos) << table.out;
  EXPECT_NE(rows[lan.address(only)].find("printer without SNMP"), std::string::npos) << table.out;
  EXPECT_NE(rows[lan.address(only)].find("mdns"), std::string::npos) << table.out;
  ASSERT_EQ(rows.count(lan.address(both)), 1u) << table.out;
  EXPECT_NE(rows[lan.address(both)].find("broadcast, mdns"), std::string::npos) << table.out;
  EXPECT_NE(rows[lan.address(both)].find("Brightline MX-20"), std::string::npos)
      << "TXT ty names the device when SNMP gives only a generic engine name\n" << table.out;
  EXPECT_EQ(rows.count(lan.address(nas)), 0u) << "no printer service, no printer\n" << table.out;

  Result json = kivo(lan, home, "--timeout 2 --no-web --json");
  ASSERT_EQ(json.status, 0) << json.err;
  const std::string s = summary(home, json.out);
  EXPECT_NE(s.find(lan.address(only) + "|Kestrel LX-410 Series|no-snmp|mdns|"
                   "_ipp._tcp 631 Kestrel LX-410 (Room 12)._ipp._tcp.local ty=Kestrel LX-410 Series,usb_MDL=LX-410;"
                   "_ipps._tcp 443 Kestrel LX-410 (Room 12)._ipps._tcp.local TLS=1.2,ty=Kestrel LX-410 Series"),
            std::string::npos)
      << s;
  EXPECT_NE(s.find(lan.address(both) + "|Brightline MX-20|printer|broadcast,mdns|_ipp._tcp 631 Hall MFP._ipp._tcp.local"),
            std::string::npos)
      << s;

  Result off = kivo(lan, home, "--timeout 2 --no-web --no-mdns");
  ASSERT_EQ(off.status, 0) << off.err;
  EXPECT_EQ(off.out.find(lan.address(only)), std::string::npos) << "--no-mdns turns DNS-SD off\n" << off.out;
  EXPECT_NE(off.out.find(lan.address(both)), std::string::npos) << off.out;
  EXPECT_EQ(off.out.find("mdns"), std::string::npos) << off.out;
}

}  // namespace
