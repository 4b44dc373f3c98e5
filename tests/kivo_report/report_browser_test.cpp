// The pages of `kivo report` in a real browser: headless Chromium loads them from files
// and hands back the document it built (--dump-dom), a screenshot or a print. Chromium
// is slow on a small machine, so each case loads one page holding many devices, with
// generous time-outs. The screenshots stay in the build folder for people to look at.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "report_browser.h"

namespace {

using kivo::report::Device;
using kivo8::test::browser_artefact;
using kivo8::test::chromium;
using kivo8::test::chromium_log;
using kivo8::test::check_page;
using kivo8::test::first_cells;
using kivo8::test::read_bytes;
using kivo8::test::report_devices;
using kivo8::test::shell_quote;
using kivo8::test::TempDir;
using kivo8::test::write_text;

std::string artefact(const std::string &name) { return browser_artefact("kivo_report", name); }

// The fleet fixture with the hostile list, as one page.
std::string mixed_page() {
  std::vector<Device> devices = report_devices({"site-a.json", "site-b.json", "hostile.json"});
  return kivo::report::render_page(devices, {"2026-12-10 21:00 UTC", "hub", {"eth0 10.1.0.1/24"}});
}

class ReportBrowser : public ::testing::Test {
 protected:
  void SetUp() override { KIVO8_REQUIRE_PROGRAM("chromium"); }
  TempDir scratch_;
};

TEST_F(ReportBrowser, DocumentHasARowPerDeviceAndRunsNoDeviceScript) {
  const std::string page = scratch_.file("mixed.html");
  write_text(page, mixed_page());
  const std::string dom = scratch_.file("dom.html");
  ASSERT_EQ(chromium(scratch_, page, "--dump-dom", dom), 0) << chromium_log(scratch_);
  auto info = check_page(scratch_, "inspect", dom);
  ASSERT_TRUE(info.is_object()) << read_bytes(dom);
  // A script from a device would have set the title to "pwned".
  EXPECT_EQ(info["title"], "Printer report");
  for (const auto &e : info["elements"]) {
    EXPECT_NE(e, "script");
    EXPECT_NE(e, "img");
    EXPECT_NE(e, "iframe");
    EXPECT_NE(e, "svg");
  }
  for (const auto &a : info["attributes"]) EXPECT_NE(a.get<std::string>().rfind("on", 0), 0u) << a;
  std::vector<std::string> names = first_cells(info, 0);
  const std::vector<std::string> expected = {"Other Jet needs attention",
                                             "Acme Jet 200 needs attention",
                                             "Acme Jet 300 needs attention",
                                             "<script>document.title='pwned'</script> needs attention",
                                             "Acme Jet 400",
                                             "Acme Jet 100",
                                             "SNMP Disabled Device",
                                             "x"};
  ASSERT_EQ(names.size(), expected.size());
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i].rfind(expected[i], 0), 0u) << names[i];
  EXPECT_EQ(first_cells(info, 1), std::vector<std::string>{"gw"}) << "the other devices, folded";
  // The row of the Jet 100 as the browser shows it: location, both addresses, supplies.
  const auto &row = info["tables"][0][5];
  EXPECT_EQ(row[1], "Floor 1, receptioncontact: helpdesk");
  EXPECT_NE(row[2].get<std::string>().find("10.1.0.5192.168.5.20"), std::string::npos) << row[2];
  EXPECT_NE(row[4].get<std::string>().find("Cyan Toner38 %"), std::string::npos) << row[4];
  EXPECT_EQ(row[5], "48300");
  EXPECT_EQ(row[7], "ACM100-0001");
}

// Wide and narrow windows, in the light and the dark colour scheme (which the browser
// takes from its own setting, as it would from the desktop's).
TEST_F(ReportBrowser, ScreenshotsWideNarrowAndDarkAreNotBlank) {
  const std::string page = scratch_.file("mixed.html");
  write_text(page, mixed_page());
  struct Case {
    const char *name;
    const char *options;
    int width;
    bool dark;
  } cases[] = {{"report-wide.png", "--window-size=1280,1000", 1280, false},
               {"report-narrow.png", "--window-size=400,1200", 400, false},
               {"report-dark.png", "--window-size=1280,1000 --force-dark-mode", 1280, true}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    const std::string shot = artefact(c.name);
    (void)std::remove(shot.c_str());
    ASSERT_EQ(chromium(scratch_, page, std::string("--hide-scrollbars ") + c.options + " --screenshot=" + shell_quote(shot),
                       scratch_.file("shot.out")),
              0)
        << chromium_log(scratch_);
    auto png = check_page(scratch_, "png", shot);
    ASSERT_TRUE(png.is_object());
    EXPECT_EQ(png["width"], c.width) << png;
    // A blank page is one colour; text, bars and row shading make many.
    EXPECT_GT(png["colours"].get<int>(), 20) << png;
    if (c.dark)
      EXPECT_LT(png["brightness"].get<int>(), 100) << png;
    else
      EXPECT_GT(png["brightness"].get<int>(), 180) << png;
  }
}

TEST_F(ReportBrowser, PrintsOnA4) {
  const std::string page = scratch_.file("mixed.html");
  write_text(page, mixed_page());
  const std::string pdf = scratch_.file("page.pdf");
  ASSERT_EQ(chromium(scratch_, page, "--no-pdf-header-footer --print-to-pdf=" + shell_quote(pdf), scratch_.file("pdf.out")),
            0)
      << chromium_log(scratch_);
  const std::string bytes = read_bytes(pdf);
  ASSERT_EQ(bytes.rfind("%PDF", 0), 0u);
  // A4 is 595 x 842 points; the page size comes from the page's @page rule, not from a
  // default paper size (Letter would be 612 x 792).
  const auto box = bytes.find("/MediaBox [0 0 ");
  ASSERT_NE(box, std::string::npos);
  double width = 0, height = 0;
  ASSERT_EQ(std::sscanf(bytes.c_str() + box, "/MediaBox [0 0 %lf %lf]", &width, &height), 2);
  EXPECT_NEAR(width, 595.3, 1.0);
  EXPECT_NEAR(height, 841.9, 1.0);
}

TEST_F(ReportBrowser, FourThousandDevicesRender) {
  std::vector<Device> fleet = kivo8::test::large_fleet(4096);
  for (Device &d : fleet) d.kind = "printer";
  const std::string page = scratch_.file("fleet.html");
  write_text(page, kivo::report::render_page(fleet, {"2026-12-10 21:00 UTC", "hub", {}}));
  const std::string dom = scratch_.file("dom.html");
  ASSERT_EQ(chromium(scratch_, page, "--dump-dom", dom), 0) << chromium_log(scratch_);
  auto info = check_page(scratch_, "inspect", dom);
  ASSERT_TRUE(info.is_object());
  ASSERT_EQ(info["tables"].size(), 1u);
  EXPECT_EQ(info["tables"][0].size(), 4096u);
}

}  // namespace
