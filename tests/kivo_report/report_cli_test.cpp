// The kivo report command without a network: saved lists in, a page file out, and every
// way its command line or its files can be wrong.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "report_support.h"
#include "support/kivo_run.h"

namespace {

using kivo8::test::check_page;
using kivo8::test::read_bytes;
using kivo8::test::run_kivo;
using kivo8::test::TempDir;

std::string fixture_path(const std::string &name) {
  return kivo8::test::source_dir() + "/tests/kivo_report/fixtures/" + name;
}

// The page without its summary line, which names the time it was made.
std::string without_summary(const std::string &page) {
  const auto begin = page.find("<p class=\"summary\">");
  const auto end = page.find("</p>", begin);
  if (begin == std::string::npos || end == std::string::npos) return page;
  return page.substr(0, begin) + page.substr(end);
}

TEST(KivoReport, SavedListsBecomeOnePageFile) {
  TempDir home;
  const std::string page = home.file("fleet.html");
  auto r = run_kivo(nullptr, home,
                    {"report", "--from", fixture_path("site-a.json"), "--from", fixture_path("site-b.json"), "-o", page});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(check_page(home, "strict", page), (nlohmann::json{{"errors", nlohmann::json::array()}}));
  const std::string text = read_bytes(page);
  EXPECT_NE(text.find("6 printers found, 3 need attention"), std::string::npos);
  EXPECT_NE(text.find("from <bdi>site-a (saved "), std::string::npos);
  // Only the page is left in the folder: the part written first was renamed over it.
  EXPECT_EQ(kivo8::test::sh_output("ls " + kivo8::test::shell_quote(home.path()) + " | grep -c fleet"), "1\n");

  // The same page on standard output, in UTF-8 whatever the locale's encoding.
  auto utf8 = run_kivo(nullptr, home, {"report", "--from", fixture_path("site-b.json")});
  ASSERT_EQ(utf8.status, 0) << utf8.err;
  EXPECT_NE(utf8.out.find("B\xC3\xBCro 3"), std::string::npos);
  kivo8::test::Latin1Locale latin1;
  if (latin1.ok()) {
    auto other = run_kivo(nullptr, home, {"report", "--from", fixture_path("site-b.json"), "-o", "-"}, latin1.env());
    ASSERT_EQ(other.status, 0) << other.err;
    EXPECT_EQ(without_summary(other.out), without_summary(utf8.out));
  }
}

TEST(KivoReport, MistakesAreReported) {
  TempDir home;
  kivo8::test::write_text(home.file("not-json.json"), "<html></html>");
  kivo8::test::write_text(home.file("object.json"), "{\"printers\": []}");
  struct Case {
    const char *fault;
    std::vector<std::string> args;
    int status;
    std::string message;
  } cases[] = {
      {"a missing list passes as empty", {"report", "--from", home.file("missing.json")}, 1,
       "kivo report: cannot read '" + home.file("missing.json") + "': No such file or directory\n"},
      {"a file that is not JSON passes", {"report", "--from", home.file("not-json.json")}, 1,
       "kivo report: cannot read '" + home.file("not-json.json") + "': not JSON"},
      {"JSON that is no device list passes", {"report", "--from", home.file("object.json")}, 1,
       "kivo report: cannot read '" + home.file("object.json") +
           "': not a device list (a JSON array, as kivo discover --json prints)\n"},
      {"a search option with --from is ignored",
       {"report", "--from", fixture_path("site-a.json"), "--range", "10.0.0.0/24"}, 2,
       "kivo report: '--range' is an option of the search, which --from replaces\n"
       "Try 'kivo report --help'.\n"},
      {"an operand with --from accepted", {"report", "--from", fixture_path("site-a.json"), "--", "x"}, 2,
       "kivo report: unexpected argument 'x'\nTry 'kivo report --help'.\n"},
      {"an unknown option is blamed on discover", {"report", "--bogus"}, 2,
       "kivo report: unknown option --bogus\nTry 'kivo report --help'.\n"},
      {"-o without a file accepted", {"report", "-o"}, 2,
       "kivo report: the option '-o' needs a value\nTry 'kivo report --help'.\n"},
      {"two outputs accepted", {"report", "-o", "a", "--output=b"}, 2,
       "kivo report: -o (--output) is given twice\nTry 'kivo report --help'.\n"},
      {"a folder that does not exist passes",
       {"report", "--from", fixture_path("site-a.json"), "-o", home.file("no/such/page.html")}, 1,
       "kivo report: cannot write '" + home.file("no/such/page.html") + ".part"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    auto r = run_kivo(nullptr, home, c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err.substr(0, c.message.size()), c.message) << r.err;
    EXPECT_EQ(r.out, "");
  }
  auto help = run_kivo(nullptr, home, {"report", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: kivo report", 0), 0u) << help.out;
  auto all = run_kivo(nullptr, home, {"--help"});
  EXPECT_NE(all.out.find("  report     "), std::string::npos) << all.out;
}

}  // namespace
