// The page `kivo report` makes from a real network, in a real browser: a hub network of
// namespaces with a colour printer (snmpsim, supplies of every kind of level), a jammed
// printer with a critical alert, a printer with ippeveprinter behind its IPP port, and a
// hostile agent whose texts are markup, script URLs, a right-to-left override, 10,000
// characters and bytes that are not UTF-8.
// kivo searches in the hub and writes the page; headless Chromium loads it and hands back
// the document it built, its layout and a screenshot, and html5lib reads the page.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "report_browser.h"
#include "support/hub_network.h"
#include "support/ippeveprinter.h"
#include "support/kivo_run.h"
#include "support/snmpsim.h"

namespace kivo8::test {
namespace {

std::string hex(const std::string &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

struct SupplyRow {
  int colorant;  // index into the colorant table, 0 for none
  int supply_class, type;
  std::string description;
  int max, level;
};

// A printer's system, host and printer records with the supplies (and colorants) given.
std::vector<SnmprecLine> printer(const std::string &name, const std::string &model, const std::string &location,
                                 const std::string &serial, const std::vector<SupplyRow> &supplies,
                                 const std::vector<std::string> &colorants) {
  std::vector<SnmprecLine> lines = {
      {"1.3.6.1.2.1.1.1.0", "4", "Acme " + model + " network printer"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.59999.1.7"},
      {"1.3.6.1.2.1.1.5.0", "4", name},
      {"1.3.6.1.2.1.1.6.0", "4", location},
      {"1.3.6.1.2.1.25.3.2.1.2.1", "6", "1.3.6.1.2.1.25.3.1.5"},
      {"1.3.6.1.2.1.25.3.2.1.3.1", "4", "Acme " + model},
      {"1.3.6.1.2.1.25.3.2.1.5.1", "2", "2"},
      {"1.3.6.1.2.1.25.3.5.1.1.1", "2", "3"},
      {"1.3.6.1.2.1.43.5.1.1.16.1", "4", name},
      {"1.3.6.1.2.1.43.5.1.1.17.1", "4", serial},
      {"1.3.6.1.2.1.43.10.2.1.4.1.1", "65", "12345"},
      {"1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1", "4", "MFG:Acme;MDL:" + model + ";"},
  };
  for (std::size_t i = 0; i < supplies.size(); ++i) {
    const SupplyRow &s = supplies[i];
    // prtMarkerSuppliesEntry column `c` of row i + 1 of the first device.
    auto cell = [&](int c) { return "1.3.6.1.2.1.43.11.1.1." + std::to_string(c) + ".1." + std::to_string(i + 1); };
    lines.push_back({cell(3), "2", std::to_string(s.colorant)});
    lines.push_back({cell(4), "2", std::to_string(s.supply_class)});
    lines.push_back({cell(5), "2", std::to_string(s.type)});
    lines.push_back({cell(6), "4x", hex(s.description)});
    lines.push_back({cell(7), "2", s.max > 100 ? "13" : "19"});  // tenths of grams, or percent
    lines.push_back({cell(8), "2", std::to_string(s.max)});
    lines.push_back({cell(9), "2", std::to_string(s.level)});
  }
  for (std::size_t i = 0; i < colorants.size(); ++i)
    lines.push_back({"1.3.6.1.2.1.43.12.1.1.4.1." + std::to_string(i + 1), "4", colorants[i]});
  return lines;
}

// Supply classes and types of the Printer MIB.
constexpr int kConsumed = 3, kReceptacle = 4;
constexpr int kToner = 3, kWasteToner = 4, kOpc = 9;

std::vector<SnmprecLine> colour_printer() {
  return printer("copy-room", "Jet 500", "Floor 2, copy room", "ACM500-0042",
                 {{1, kConsumed, kToner, "Black Toner", 100, 7},
                  {2, kConsumed, kToner, "Cyan Toner", 100, 55},
                  {3, kConsumed, kToner, "Magenta Toner", 2000, 1600},
                  {4, kConsumed, kToner, "Yellow Toner", 100, -3},
                  {0, kConsumed, kOpc, "Drum Unit", -2, -2},
                  {0, kReceptacle, kWasteToner, "Waste Toner Box", 100, 60}},
                 {"black", "cyan", "magenta", "yellow"});
}

// A printer with a paper jam: its error bits and a critical alert.
std::vector<SnmprecLine> jammed_printer() {
  std::vector<SnmprecLine> lines =
      printer("lab-2", "Jet 300", "Floor 1, lab", "ACM300-0003", {{1, kConsumed, kToner, "Black Toner", 100, 64}},
              {"black"});
  for (SnmprecLine &l : lines)
    if (l.oid == "1.3.6.1.2.1.25.3.2.1.5.1") l.value = "3";  // warning
  lines.push_back({"1.3.6.1.2.1.25.3.5.1.2.1", "4x", "04"});  // jammed
  lines.push_back({"1.3.6.1.2.1.43.18.1.1.2.1.1", "2", "3"});  // critical
  lines.push_back({"1.3.6.1.2.1.43.18.1.1.7.1.1", "2", "8"});  // jam
  lines.push_back({"1.3.6.1.2.1.43.18.1.1.8.1.1", "4", "Paper jam in tray 2"});
  return lines;
}

std::string script() { return "<script>document.title='pwned'</script>"; }
std::string image() { return "\"><img src=x onerror=document.title='pwned'>"; }
std::string script_url() { return "javascript:document.title='pwned'"; }
std::string rlo() { return "\xE2\x80\xAE"; }  // U+202E RIGHT-TO-LEFT OVERRIDE
std::string not_utf8() { return "\xFF\xC3\x28\xC0\xAF"; }

// Every text a page shows of this device is hostile; its values go to snmpsim as hex,
// byte for byte. A value of 10,000 characters makes every reply that holds it too big for
// kivo's receive buffer (8,192 bytes), so it is left out and the rest is read; texts of
// 7,000 characters without a space arrive whole and are what the layout must hold.
std::vector<SnmprecLine> hostile_printer() {
  const std::string long_word(7000, 'W');
  std::vector<SnmprecLine> lines = printer("hostile", "Jet 666", "x", "x",
                                           {{1, kConsumed, kToner, script() + " toner", 100, 50},
                                            {0, kConsumed, kOpc, long_word, 100, 90}},
                                           {"black"});
  const std::pair<const char *, std::string> texts[] = {
      {"1.3.6.1.2.1.1.1.0", image()},
      {"1.3.6.1.2.1.1.4.0", script_url() + " " + long_word},
      {"1.3.6.1.2.1.1.5.0", script() + rlo() + "fdp.exe"},
      {"1.3.6.1.2.1.1.6.0", rlo() + "moor " + std::string(10000, 'L')},
      {"1.3.6.1.2.1.25.3.2.1.3.1", image() + not_utf8()},
      {"1.3.6.1.2.1.43.5.1.1.16.1", script() + rlo() + "fdp.exe"},
      {"1.3.6.1.2.1.43.5.1.1.17.1", not_utf8()},
      {"1.3.6.1.4.1.2699.1.2.1.2.1.1.3.1", "MFG:" + script() + ";MDL:" + image() + rlo() + ";"},
  };
  for (const auto &[oid, text] : texts) {
    bool replaced = false;
    for (SnmprecLine &l : lines)
      if (l.oid == oid) l = {oid, "4x", hex(text)}, replaced = true;
    if (!replaced) lines.push_back({oid, "4x", hex(text)});
  }
  return lines;
}

// A copy of `page` without its script ban and with a script that writes the page's
// widths into its title: how wide the laid-out document is against the window.
std::string measuring_copy(std::string page) {
  const auto csp = page.find("<meta http-equiv=\"Content-Security-Policy\"");
  if (csp != std::string::npos) page.erase(csp, page.find('>', csp) + 1 - csp);
  const auto end = page.rfind("</body>");
  if (end != std::string::npos)
    page.insert(end, "<script>document.title=document.documentElement.scrollWidth+' '+window.innerWidth;</script>");
  return page;
}

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

class ReportBrowserNetwork : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    KIVO8_REQUIRE_PROGRAM("snmpsimd");
    KIVO8_REQUIRE_PROGRAM("chromium");
    KIVO8_REQUIRE_PROGRAM("ippeveprinter");
    KIVO8_REQUIRE_PROGRAM("ipptool");
    KIVO8_REQUIRE_PROGRAM("avahi-daemon");
    KIVO8_REQUIRE_PROGRAM("dbus-daemon");
    KIVO8_REQUIRE_PROGRAM("/usr/bin/python3");
    net_ = std::make_unique<HubNetwork>(4, "10.79.0");
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(0).name(), colour_printer()));
    agents_.push_back(std::make_unique<Snmpsim>(
        net_->agent(1).name(),
        printer("eve", "Jet 600", "Lab, room 1", "ACM600-0007", {{1, kConsumed, kToner, "Black Toner", 100, 81}},
                {"black"})));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(2).name(), hostile_printer()));
    agents_.push_back(std::make_unique<Snmpsim>(net_->agent(3).name(), jammed_printer()));
    eve_ = std::make_unique<EvePrinter>(net_->agent(1), EveOptions{631, "Jet 600", "Lab, room 1", "", false, {}, {}});
    for (auto &a : agents_) ASSERT_TRUE(a->wait_ready(30));
    ASSERT_TRUE(eve_->wait_ready()) << eve_->log();
    // ippeveprinter listens on the loopback only: the link's IPP port is forwarded to it,
    // so that the search finds it at the namespace's address.
    link_ = tcp_peer(net_->agent(1), scratch_, "link", {"631:to-631"}, net_->agent_ip(1));
  }

  std::unique_ptr<HubNetwork> net_;
  std::vector<std::unique_ptr<Snmpsim>> agents_;
  std::unique_ptr<EvePrinter> eve_;
  TempDir scratch_, home_;
  Process link_;
};

TEST_F(ReportBrowserNetwork, BrowserShowsEveryDeviceRunsNoDeviceScriptAndKeepsItsLayout) {
  const std::string page = home_.file("page.html");
  auto r = run_kivo(&net_->hub(), home_,
                    {"report", "-o", page, "--timeout", "4", "--no-slp", "--no-mdns", "--no-web", "--no-snmpv3"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(check_page(home_, "strict", page), (nlohmann::json{{"errors", nlohmann::json::array()}}));

  const std::string dom = scratch_.file("dom.html");
  ASSERT_EQ(chromium(scratch_, page, "--dump-dom", dom), 0) << chromium_log(scratch_);
  auto info = check_page(scratch_, "inspect", dom);
  ASSERT_TRUE(info.is_object()) << read_bytes(dom);
  const std::string text = read_bytes(dom);

  // No device text ran as a script, became an element or an attribute.
  EXPECT_EQ(info["title"], "Printer report");
  for (const auto &e : info["elements"])
    for (const char *banned : {"script", "img", "iframe", "svg", "object", "embed", "base", "form"})
      EXPECT_NE(e, banned);
  for (const auto &a : info["attributes"]) EXPECT_NE(a.get<std::string>().rfind("on", 0), 0u) << a;
  EXPECT_FALSE(contains(text, rlo())) << "the override would turn the rest of the row around";

  // The printers needing attention (a paper jam; a black toner at 7 %) first, then by
  // location (the hostile device's is left out, and no location comes last).
  const std::vector<std::string> names = first_cells(info, 0);
  ASSERT_EQ(names.size(), 4u) << text;
  EXPECT_EQ(names[0].rfind("Acme Jet 300 needs attention", 0), 0u) << names[0];
  EXPECT_EQ(names[1].rfind("Acme Jet 500 needs attention", 0), 0u) << names[1];
  EXPECT_EQ(names[2], "Acme Jet 600");
  EXPECT_EQ(names[3].rfind(script(), 0), 0u) << "the hostile name, as text: " << names[3];
  EXPECT_FALSE(contains(names[2] + names[3], "needs attention"));

  const auto &jam = info["tables"][0][0];
  EXPECT_EQ(jam[1], "Floor 1, lab");
  EXPECT_EQ(jam[3], "idle, warningpaper jamcritical: Paper jam in tray 2 (jam)");

  const auto &colour = info["tables"][0][1];
  EXPECT_EQ(colour[1], "Floor 2, copy room");
  EXPECT_TRUE(contains(colour[2].get<std::string>(), net_->agent_ip(0))) << colour[2];
  EXPECT_EQ(colour[3], "idle, running");
  // Every supply with its level in words beside its bar.
  const std::string supplies = colour[4].get<std::string>();
  EXPECT_EQ(supplies,
            "Black Toner7 % (low)Cyan Toner55 %Magenta Toner80 %Yellow TonersomeDrum UnitunknownWaste Toner Box (room "
            "left)60 %");
  // A bar with an amount is a meter named as its supply, whose value is the percentage
  // the row shows; a bar without one is hidden from screen readers, the words beside it
  // saying what it would.
  for (const auto &bar : info["bars"]) {
    SCOPED_TRACE(bar.dump());
    const std::string words = bar["text"].get<std::string>();
    if (bar["role"] == "meter") {
      const std::string label = bar["label"].get<std::string>();
      ASSERT_EQ(words.rfind(label, 0), 0u);
      EXPECT_EQ(words.substr(label.size()).rfind(bar["now"].get<std::string>() + " %", 0), 0u);
    } else {
      EXPECT_EQ(bar["hidden"], "true");
      EXPECT_TRUE(words.ends_with("some") || words.ends_with("unknown"));
    }
  }
  EXPECT_EQ(info["bars"].size(), 10u) << "one, six, one, and the hostile device's two";
  EXPECT_EQ(colour[5], "12345");
  EXPECT_EQ(colour[7], "ACM500-0042");

  const auto &eve = info["tables"][0][2];
  EXPECT_EQ(eve[1], "Lab, room 1");
  // ippeveprinter answers TLS on its IPP port too, and says so: IPPS first, then IPP.
  const std::string ipps = "ipps://" + net_->agent_ip(1) + ":631/ipp/print";
  const std::string ipp = "ipp://" + net_->agent_ip(1) + ":631/ipp/print";
  EXPECT_EQ(eve[6], ipps + ipp + "driverless");
  EXPECT_EQ(eve[4], "Black Toner81 %");
  // The only links of the page: the IPP printer's print URIs.
  EXPECT_EQ(info["hrefs"], nlohmann::json::array({ipps, ipp}));

  // The hostile device's texts are shown as text: markup as its characters, the override
  // as U+FFFD, bytes that are not UTF-8 as the characters kivo reads them as (Latin-1),
  // 7,000 characters cut with an ellipsis; the status around the location of 10,000
  // characters, which no reply can carry, is read all the same.
  const auto &hostile = info["tables"][0][3];
  EXPECT_TRUE(contains(hostile[0].get<std::string>(), script() + " " + image() + "\xEF\xBF\xBD")) << hostile[0];
  const std::string contact = hostile[1].get<std::string>();
  EXPECT_EQ(contact.rfind("contact: " + script_url() + " WWW", 0), 0u) << contact.substr(0, 60);
  EXPECT_LT(contact.size(), 400u);
  EXPECT_EQ(contact.substr(contact.size() - 3), "\xE2\x80\xA6") << "cut, and says so";
  EXPECT_EQ(hostile[3], "idle, running");
  const std::string hostile_supplies = hostile[4].get<std::string>();
  EXPECT_EQ(hostile_supplies.rfind(script() + " toner50 %WWW", 0), 0u) << hostile_supplies.substr(0, 80);
  EXPECT_TRUE(contains(hostile_supplies, "W\xE2\x80\xA6" "90 %")) << "the long supply name, cut";
  EXPECT_EQ(hostile[7], "\xC3\xBF\xC3\x83(\xC3\x80\xC2\xAF");

  // The layout holds: measured in a copy that may run a script of the test's own, the
  // document is no wider than the window, wide or narrow (one column of cards), whatever
  // the long texts.
  const std::string measured = scratch_.file("measured.html");
  write_text(measured, measuring_copy(read_bytes(page)));
  for (int width : {1280, 600}) {
    SCOPED_TRACE(width);
    const std::string out = scratch_.file("measured-dom.html");
    ASSERT_EQ(chromium(scratch_, measured, "--hide-scrollbars --window-size=" + std::to_string(width) + ",1000 --dump-dom",
                       out),
              0)
        << chromium_log(scratch_);
    auto m = check_page(scratch_, "inspect", out);
    ASSERT_TRUE(m.is_object());
    EXPECT_EQ(m["title"], std::to_string(width) + " " + std::to_string(width)) << "document width, window width";
  }

  // The page and its screenshot stay in the build folder for people to look at.
  write_text(browser_artefact("kivo_report_ns", "report-network.html"), read_bytes(page));
  const std::string shot = browser_artefact("kivo_report_ns", "report-network.png");
  (void)std::remove(shot.c_str());
  ASSERT_EQ(chromium(scratch_, page, "--hide-scrollbars --window-size=1280,1000 --screenshot=" + shell_quote(shot),
                     scratch_.file("shot.out")),
            0)
      << chromium_log(scratch_);
  auto png = check_page(scratch_, "png", shot);
  ASSERT_TRUE(png.is_object());
  EXPECT_EQ(png["width"], 1280) << png;
  EXPECT_EQ(png["height"], 1000) << png;
  EXPECT_GT(png["colours"].get<int>(), 20) << "a blank page is one colour: " << png;
  EXPECT_GT(png["brightness"].get<int>(), 180) << png;
  std::cout << "the page and its screenshot: " << shot << " and report-network.html beside it\n";
}

}  // namespace
}  // namespace kivo8::test
