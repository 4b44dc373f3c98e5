// The page writer of `kivo report` and its input reader, without a browser: escaping,
// link schemes, supply labels and colours, the order of the rows, merging of sites, and
// pages that Debian's html5lib reads without a single error and that carry no markup a
// device text could have brought in.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "report_support.h"

namespace {

using kivo::report::Alert;
using kivo::report::Device;
using kivo::report::Endpoint;
using kivo::report::Summary;
using kivo::report::Supply;
using kivo8::test::check_page;
using kivo8::test::first_cells;
using kivo8::test::report_devices;
using kivo8::test::report_fixture;
using kivo8::test::TempDir;
using kivo8::test::write_text;

const std::string kFffd = "\xEF\xBF\xBD";

Summary test_summary() { return {"2026-12-10 21:00 UTC", "hub", {"eth0 10.1.0.1/24"}}; }

TEST(ReportEscape, EveryDeviceTextIsInertInTextAndAttributes) {
  struct Case {
    const char *fault;
    std::string in, out;
  } cases[] = {
      {"markup passes as tags", "<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;"},
      {"a quote ends the attribute", "\"><img src=x onerror=alert(1)>",
       "&quot;&gt;&lt;img src=x onerror=alert(1)&gt;"},
      {"a single quote ends a single-quoted attribute", "a'b", "a&#39;b"},
      {"an entity is taken as one", "&amp; &lt;", "&amp;amp; &amp;lt;"},
      {"a terminal escape reaches the page", "A\x1b[2JB\a", "A" + kFffd + "[2JB" + kFffd},
      {"line ends and tabs are kept as controls", "a\r\nb\tc", "a" + kFffd + kFffd + "b" + kFffd + "c"},
      {"NUL cuts or passes", std::string("a\0b", 3), "a" + kFffd + "b"},
      {"DEL and C1 controls pass", "a\x7f" "b\xC2\x85" "c\xC2\x9B", "a" + kFffd + "b" + kFffd + "c" + kFffd},
      {"invalid bytes pass", "\xFF\xFE" "ok", kFffd + kFffd + "ok"},
      {"an overlong form of '/' passes", "\xC0\xAF", kFffd + kFffd},
      {"an encoded surrogate passes", "\xED\xA0\x80", kFffd + kFffd + kFffd},
      {"a sequence cut at the end passes", "x\xE2\x82", "x" + kFffd + kFffd},
      {"beyond U+10FFFF passes", "\xF4\x90\x80\x80", kFffd + kFffd + kFffd + kFffd},
      {"a right-to-left override turns the text around", "\xE2\x80\xAEgnp.exe", kFffd + "gnp.exe"},
      {"isolates and marks reorder the page", "\xE2\x81\xA6x\xE2\x81\xA9\xE2\x80\x8F\xD8\x9C",
       kFffd + "x" + kFffd + kFffd + kFffd},
      {"a noncharacter passes (the parser reports it)", "a\xEF\xBF\xBE\xEF\xB7\x90", "a" + kFffd + kFffd},
      {"valid text is changed", "M\xC3\xBCller \xE6\x9D\xB1\xE4\xBA\xAC \xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7",
       "M\xC3\xBCller \xE6\x9D\xB1\xE4\xBA\xAC \xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7"},
      {"an emoji is split", "\xF0\x9F\x96\xA8", "\xF0\x9F\x96\xA8"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(kivo::report::html_text(c.in), c.out);
  }
}

TEST(ReportEscape, LongTextIsCutByCharactersNotBytes) {
  const std::string ascii(10000, 'a');
  std::string out = kivo::report::html_text(ascii);
  EXPECT_EQ(out, std::string(kivo::report::kMaxTextChars, 'a') + "\xE2\x80\xA6");
  // Two-byte characters: the cut never splits one.
  std::string umlauts;
  for (int i = 0; i < 5000; ++i) umlauts += "\xC3\xBC";
  out = kivo::report::html_text(umlauts);
  EXPECT_EQ(out.size(), kivo::report::kMaxTextChars * 2 + 3);
  // Escapes count as the one character they stand for.
  out = kivo::report::html_text(std::string(10000, '<'));
  EXPECT_EQ(out.size(), kivo::report::kMaxTextChars * 4 + 3);
}

TEST(ReportLinks, OnlyPrinterSchemesBecomeLinks) {
  struct Case {
    const char *fault;
    std::string uri;
    std::optional<std::string> href;
  } cases[] = {
      {"ipp refused", "ipp://10.1.0.5:631/ipp/print", "ipp://10.1.0.5:631/ipp/print"},
      {"ipps in capitals refused", "IPPS://printer.example/ipp/print", "IPPS://printer.example/ipp/print"},
      {"http refused", "http://10.1.0.5/", "http://10.1.0.5/"},
      {"https refused", "https://10.1.0.5/", "https://10.1.0.5/"},
      {"socket refused", "socket://10.1.0.5:9100", "socket://10.1.0.5:9100"},
      {"lpd refused", "lpd://10.1.0.5/queue", "lpd://10.1.0.5/queue"},
      {"a quote in the URI leaves the attribute", "ipp://x/\" onmouseover=\"a'",
       "ipp://x/&quot; onmouseover=&quot;a&#39;"},
      {"javascript: linked", "javascript:alert(1)", std::nullopt},
      {"javascript: in mixed case linked", "JaVaScRiPt:alert(1)", std::nullopt},
      {"a blank before the scheme hides it", " javascript:alert(1)", std::nullopt},
      {"a tab inside the scheme hides it", "java\tscript:alert(1)", std::nullopt},
      {"data: linked", "data:text/html,<script>alert(1)</script>", std::nullopt},
      {"vbscript: linked", "vbscript:msgbox(1)", std::nullopt},
      {"file: linked", "file:///etc/passwd", std::nullopt},
      {"an SLP URL linked", "service:printer:lpr://10.1.0.5/q", std::nullopt},
      {"http without a host linked", "http:evil.example", std::nullopt},
      {"no scheme linked", "10.1.0.5", std::nullopt},
      {"a 3000-byte URI linked", "http://x/" + std::string(3000, 'a'), std::nullopt},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(kivo::report::link_target(c.uri), c.href);
  }
}

TEST(ReportSupplies, LabelsAndPercentages) {
  struct Case {
    const char *fault;
    long max, level;
    std::optional<int> percent;
    std::string label;
  } cases[] = {
      {"the device's percentage ignored", 100, 64, 64, "64 %"},
      {"a percentage above 100 shown", 100, 100, 250, "100 %"},
      {"no percentage: level over max not computed", 2000, 1500, std::nullopt, "75 %"},
      {"a level above its maximum shown above 100", 100, 120, std::nullopt, "100 %"},
      {"some remaining shown as a number", -2, kivo::report::kLevelSomeRemaining, std::nullopt, "some"},
      {"unknown shown as a number", 100, kivo::report::kLevelUnknown, std::nullopt, "unknown"},
      {"other shown as a number", 100, kivo::report::kLevelOther, std::nullopt, "unknown"},
      {"a maximum of 0 divides", 0, 0, std::nullopt, "unknown"},
      {"an unknown maximum used", -2, 40, std::nullopt, "unknown"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    Supply s;
    s.max = c.max;
    s.level = c.level;
    s.percent = c.percent;
    EXPECT_EQ(kivo::report::supply_label(s), c.label);
  }
}

TEST(ReportSupplies, ColoursComeFromOurTable) {
  struct Case {
    const char *fault;
    const char *colorant, *css;
  } cases[] = {
      {"black unknown", "black", "#1c1c1c"},
      {"case or extra words matter", "Cyan Toner", "#00a3da"},
      {"light cyan taken for cyan", "light cyan", "#7fd3ee"},
      {"photo black taken for black", "PHOTO-BLACK", "#111111"},
      {"grey spelt with e unknown", "Grey", "#808080"},
      {"an unknown name breaks the style", "sepia", "#8f9aa6"},
      {"no name breaks the style", "", "#8f9aa6"},
      {"CSS in the name reaches the style", "red;background:url(http://evil.example/)", "#d32f2f"},
      {"markup in the name reaches the style", "</style><script>", "#8f9aa6"},
      {"a word inside another matches", "redish-bluegreen", "#8f9aa6"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_STREQ(kivo::report::colorant_css(c.colorant), c.css);
  }
}

TEST(ReportAttention, WhatNeedsAttention) {
  auto with = [](auto change) {
    Device d;
    d.kind = "printer";
    change(d);
    return d;
  };
  Supply low, ten, some;
  low.percent = 9;
  ten.percent = 10;
  some.level = kivo::report::kLevelSomeRemaining;
  struct Case {
    const char *fault;
    Device device;
    bool attention;
  } cases[] = {
      {"a quiet printer flagged", with([](Device &) {}), false},
      {"an error not flagged", with([](Device &d) { d.errors = {"jammed"}; }), true},
      {"a critical alert not flagged", with([](Device &d) { d.alerts = {Alert{"critical", "", "", "x"}}; }), true},
      {"a warning not flagged", with([](Device &d) { d.alerts = {Alert{"warning", "", "", "x"}}; }), true},
      {"an energy-saving note flagged", with([](Device &d) { d.alerts = {Alert{"other", "", "powerSaver", ""}}; }),
       false},
      {"a supply at 9 % not flagged", with([&](Device &d) { d.supplies = {ten, low}; }), true},
      {"a supply at 10 % flagged", with([&](Device &d) { d.supplies = {ten}; }), false},
      {"some remaining flagged as low", with([&](Device &d) { d.supplies = {some}; }), false},
      {"no answer not flagged", with([](Device &d) { d.reachable = false; }), true},
      {"a device that is down not flagged", with([](Device &d) { d.device_status = "down"; }), true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(kivo::report::needs_attention(c.device), c.attention);
  }
}

TEST(ReportInput, SitesMergeByUuidSerialOrAddress) {
  std::vector<Device> devices = report_devices({"site-a.json", "site-b.json"});
  auto find = [&](const std::string &serial) -> const Device * {
    for (const Device &d : devices)
      if (d.serial == serial) return &d;
    return nullptr;
  };
  ASSERT_EQ(devices.size(), 7u) << "5 devices of site a, 2 new ones of site b";
  // The same uuid at another address: one device, both addresses, the higher count.
  const Device *jet100 = find("ACM100-0001");
  ASSERT_NE(jet100, nullptr);
  EXPECT_EQ(jet100->addresses, (std::vector<std::string>{"10.1.0.5", "192.168.5.20"}));
  EXPECT_EQ(jet100->found_by, (std::vector<std::string>{"broadcast", "mdns"}));
  EXPECT_EQ(jet100->sites, (std::vector<std::string>{"site-a", "site-b"}));
  EXPECT_EQ(jet100->page_count, 48300);
  EXPECT_EQ(jet100->supplies.size(), 3u) << "site b reported none; site a's stay";
  // The same serial number: one device.
  const Device *jet300 = find("ACM300-0003");
  ASSERT_NE(jet300, nullptr);
  EXPECT_EQ(jet300->sites, (std::vector<std::string>{"site-a", "site-b"}));
  // The same address with another serial number: two printers (one per site).
  ASSERT_NE(find("ACM200-0042"), nullptr);
  ASSERT_NE(find("OTHER-1"), nullptr);
}

TEST(ReportInput, BadListsAreRefusedAndOddFieldsIgnored) {
  struct Case {
    const char *fault;
    std::string json;
    bool ok;
  } cases[] = {
      {"text that is not JSON read", "<html>", false},
      {"a number read as a list", "42", false},
      {"an object without devices read", "{\"host\": \"x\"}", false},
      {"invalid UTF-8 inside a string read", "[{\"name\": \"\xFF\"}]", false},
      {"a lone surrogate escape read", "[{\"name\": \"\\ud800\"}]", false},
      {"deep nesting read", std::string(5000, '[') + std::string(5000, ']'), false},
      {"an empty list refused", "[]", true},
      {"a wrapped list refused", "{\"devices\": [{\"address\": \"10.0.0.1\"}]}", true},
      {"fields of the wrong type refuse the list",
       "[{\"address\": 5, \"name\": [], \"supplies\": {}, \"errors\": \"jammed\", \"page_count\": \"12\","
       " \"alerts\": [1, {\"severity\": 3}], \"endpoints\": [null]}, 7]",
       true},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    std::string error;
    auto list = kivo::report::read_devices(c.json, "", error);
    EXPECT_EQ(list.has_value(), c.ok) << error;
    EXPECT_EQ(error.empty(), c.ok);
  }
  std::string error;
  auto odd = kivo::report::read_devices(
      "[{\"address\": 5, \"name\": [], \"errors\": \"jammed\", \"page_count\": -4, \"supplies\":"
      " [{\"percent\": 400, \"level\": -99999, \"max\": 1e300}]}]",
      "", error);
  ASSERT_TRUE(odd.has_value()) << error;
  ASSERT_EQ(odd->size(), 1u);
  EXPECT_EQ((*odd)[0].address, "");
  EXPECT_TRUE((*odd)[0].errors.empty());
  EXPECT_FALSE((*odd)[0].page_count.has_value());
  ASSERT_EQ((*odd)[0].supplies.size(), 1u);
  EXPECT_EQ((*odd)[0].supplies[0].percent, 100);
  EXPECT_EQ((*odd)[0].supplies[0].level, -3);
}

// What `kivo discover --status --json` writes: the status under "status" with the names
// of `kivo status --json`, endpoints by scheme; the page reads both as it reads a flat list.
TEST(ReportInput, DiscoverStatusListsAreReadAsFlatOnes) {
  std::string error;
  auto list = kivo::report::read_devices(
      "[{\"address\": \"10.0.0.7\", \"name\": \"Acme Jet 100\", \"kind\": \"printer\","
      " \"endpoints\": [{\"scheme\": \"ipp\", \"uri\": \"ipp://10.0.0.7:631/ipp/print\", \"port\": 631}],"
      " \"status\": {\"state\": \"idle\", \"device_status\": \"warning\", \"errors\": [\"lowToner\"],"
      " \"alerts\": [{\"severity\": \"warning\", \"group\": \"marker\", \"code\": \"markerTonerAlmostEmpty\","
      " \"description\": \"Toner low\"}], \"supplies\": [{\"index\": 1, \"description\": \"Black toner\","
      " \"class\": \"supplyThatIsConsumed\", \"type\": \"toner\", \"colorant\": \"black\", \"unit\": \"percent\","
      " \"max\": 100, \"level\": 8, \"percent\": 8}], \"page_count\": 1234, \"serial\": \"S-1\","
      " \"location\": \"Room 4\", \"mac\": \"02:00:00:00:00:07\"}}]",
      "", error);
  ASSERT_TRUE(list.has_value()) << error;
  ASSERT_EQ(list->size(), 1u);
  const Device &d = (*list)[0];
  EXPECT_EQ(d.state, "idle");
  EXPECT_EQ(d.device_status, "warning");
  EXPECT_EQ(d.errors, std::vector<std::string>{"lowToner"});
  ASSERT_EQ(d.alerts.size(), 1u);
  ASSERT_EQ(d.supplies.size(), 1u);
  EXPECT_EQ(d.supplies[0].percent, 8);
  EXPECT_EQ(d.page_count, 1234);
  EXPECT_EQ(d.serial, "S-1");
  EXPECT_EQ(d.location, "Room 4");
  EXPECT_EQ(d.mac, "02:00:00:00:00:07");
  ASSERT_EQ(d.endpoints.size(), 1u);
  EXPECT_EQ(d.endpoints[0].uri, "ipp://10.0.0.7:631/ipp/print");
  EXPECT_EQ(d.endpoints[0].protocol, "ipp");
}

TEST(ReportPage, RowsNeedingAttentionComeFirstThenByLocationAndName) {
  TempDir scratch;
  const std::string page = kivo::report::render_page(report_devices({"site-a.json", "site-b.json"}), test_summary());
  write_text(scratch.file("page.html"), page);
  auto info = check_page(scratch, "inspect", scratch.file("page.html"));
  ASSERT_TRUE(info.is_object());
  ASSERT_EQ(info["tables"].size(), 2u) << "printers, then the other devices";
  const std::vector<std::string> expected = {
      // Attention: no answer (Branch), errors and alerts (Floor 2), a supply at 5 % (Floor 2)
      "Other Jet needs attention", "Acme Jet 200 needs attention", "Acme Jet 300 needs attention",
      // The rest by location, those without one last.
      "Acme Jet 400", "Acme Jet 100", "SNMP Disabled Device"};
  EXPECT_EQ(first_cells(info, 0), expected);
  EXPECT_EQ(first_cells(info, 1), std::vector<std::string>{"gw"});
  EXPECT_NE(page.find("6 printers found, 3 need attention</strong>; 1 other device."), std::string::npos);
  // The supplies of the Jet 100 in words, its links, and what is text only.
  const auto &jet100 = info["tables"][0][4];
  EXPECT_NE(jet100[4].get<std::string>().find("Black Toner64 %"), std::string::npos) << jet100[4];
  EXPECT_NE(jet100[4].get<std::string>().find("Waste Toner Box (room left)some"), std::string::npos) << jet100[4];
  const auto &jet300 = info["tables"][0][2];
  EXPECT_NE(jet300[4].get<std::string>().find("Yellow Toner5 % (low)"), std::string::npos) << jet300[4];
  EXPECT_NE(jet300[4].get<std::string>().find("Drumunknown"), std::string::npos) << jet300[4];
  // The web page of the Jet 100 (its web server answered) comes last.
  EXPECT_EQ(info["hrefs"], (nlohmann::json{"ipps://10.1.0.6/ipp/print", "ipp://10.1.0.5:631/ipp/print",
                                           "socket://10.1.0.5:9100", "http://10.1.0.5/"}));
  const auto &jet200 = info["tables"][0][1];
  EXPECT_NE(jet200[3].get<std::string>().find("out of toner"), std::string::npos) << jet200[3];
  EXPECT_NE(jet200[3].get<std::string>().find("paper jam"), std::string::npos) << jet200[3];
  EXPECT_NE(jet200[3].get<std::string>().find("critical: Toner empty"), std::string::npos) << jet200[3];
  EXPECT_EQ(info["title"], "Printer report");
  // Whatever slipped through, the page's own policy forbids scripts and loads from
  // elsewhere; the encoding is declared, not left to the browser's guess.
  EXPECT_EQ(page.rfind("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n", 0), 0u);
  EXPECT_NE(page.find("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
                      "style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'\">"),
            std::string::npos);
}

// Every device text of the hostile list (and one more with invalid UTF-8 and 10,000
// characters) lands as text: no element, attribute, link or style of its making; an
// address that is no IPv4 address makes no web page link.
TEST(ReportPage, HostileTextsBringNoMarkup) {
  TempDir scratch;
  std::vector<Device> devices = report_devices({"hostile.json"});
  Device raw;
  raw.kind = "printer";
  raw.address = "10.9.0.2";
  raw.name = "bad \xFF\xC0\xAF bytes " + std::string(10000, 'n');
  raw.location = std::string(10000, '<');
  raw.endpoints = {Endpoint{"ipp://10.9.0.2/\xFF", "ipp", 631, ""}};
  devices.push_back(raw);
  const std::string page = kivo::report::render_page(devices, test_summary());
  write_text(scratch.file("hostile.html"), page);

  auto strict = check_page(scratch, "strict", scratch.file("hostile.html"));
  EXPECT_EQ(strict, (nlohmann::json{{"errors", nlohmann::json::array()}}));
  auto info = check_page(scratch, "inspect", scratch.file("hostile.html"));
  ASSERT_TRUE(info.is_object());
  const std::set<std::string> allowed_elements = {
      "html", "head", "meta", "title", "style", "body", "header", "h1", "p", "strong", "main", "table",
      "caption", "thead", "tbody", "tr", "th", "td", "bdi", "span", "div", "ul", "li", "a", "footer"};
  for (const auto &e : info["elements"]) EXPECT_TRUE(allowed_elements.count(e.get<std::string>())) << e;
  const std::set<std::string> allowed_attributes = {
      "lang", "charset", "http-equiv", "content", "name", "class", "scope", "data-label", "role",
      "aria-valuemin", "aria-valuemax", "aria-valuenow", "aria-label", "aria-hidden", "style", "rel", "href"};
  for (const auto &a : info["attributes"]) EXPECT_TRUE(allowed_attributes.count(a.get<std::string>())) << a;
  EXPECT_EQ(info["hrefs"], (nlohmann::json{"ipp://10.9.0.1/\" onmouseover=\"alert(1)", "IPPS://10.9.0.1/ipp/print",
                                           "ipp://10.9.0.2/\xEF\xBF\xBD"}));
  for (const auto &s : info["styles"]) {
    const std::string style = s.get<std::string>();
    EXPECT_TRUE(style.rfind("width:", 0) == 0 && style.find("url") == std::string::npos &&
                style.find("background:#") != std::string::npos)
        << style;
  }
  EXPECT_EQ(info["title"], "Printer report");
  ASSERT_EQ(info["tables"].size(), 1u);
  ASSERT_EQ(info["tables"][0].size(), 3u);
  // The texts arrive as text, cut to their limit.
  const std::string name = info["tables"][0][0][0];
  EXPECT_EQ(name.rfind("<script>document.title='pwned'</script>", 0), 0u) << name;
  const std::string cut = info["tables"][0][1][0];
  EXPECT_EQ(cut.rfind("bad \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD bytes nnn", 0), 0u) << cut;
  EXPECT_LT(cut.size(), 400u + 3 * 9 + 3);
}

TEST(ReportPage, EmptyDiscoverySaysSo) {
  TempDir scratch;
  const std::string page = kivo::report::render_page({}, test_summary());
  EXPECT_NE(page.find("0 printers found, 0 need attention"), std::string::npos);
  EXPECT_NE(page.find("No printers were found."), std::string::npos);
  write_text(scratch.file("empty.html"), page);
  EXPECT_EQ(check_page(scratch, "strict", scratch.file("empty.html")),
            (nlohmann::json{{"errors", nlohmann::json::array()}}));
}

// A fleet as large as a discovery keeps by default. The time is printed for the record;
// bench/report_page.cpp measures it.
TEST(ReportPage, FourThousandDevicesMakeOneWellFormedPage) {
  TempDir scratch;
  std::vector<Device> fleet = kivo8::test::large_fleet(4096);
  for (Device &d : fleet) d.uuid.clear();
  const auto start = std::chrono::steady_clock::now();
  const std::string page = kivo::report::render_page(fleet, test_summary());
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("4096 devices: %zu bytes in %.3f s\n", page.size(), seconds);
  EXPECT_LT(seconds, 10.0) << "far beyond what a page of this size takes";
  write_text(scratch.file("fleet.html"), page);
  auto info = check_page(scratch, "inspect", scratch.file("fleet.html"));
  ASSERT_TRUE(info.is_object());
  ASSERT_EQ(info["tables"].size(), 2u);
  EXPECT_EQ(info["tables"][0].size() + info["tables"][1].size(), 4096u);
}

}  // namespace
