// The texts kivo hands to CUPS: backend lines cupsd must parse whatever a device sent,
// queue names cupsd accepts, shell words a shell reads back unchanged.
#include "cups_line.h"

#include <gtest/gtest.h>

#include <string>

#include "support/peers.h"

namespace {

using kivo::cups_backend_text;

// The quoted string read back as cupsd reads it: a backslash takes the next byte as it
// is; the string ends at the first unescaped quote. Returns the text and how many bytes
// were read (npos when the string never ended).
std::pair<std::string, std::size_t> unquote(const std::string &quoted) {
  std::string out;
  if (quoted.empty() || quoted[0] != '"') return {"", std::string::npos};
  for (std::size_t i = 1; i < quoted.size(); ++i) {
    if (quoted[i] == '\\' && i + 1 < quoted.size()) {
      out += quoted[++i];
    } else if (quoted[i] == '"') {
      return {out, i + 1};
    } else {
      out += quoted[i];
    }
  }
  return {out, std::string::npos};
}

bool valid_utf8(const std::string &s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

TEST(CupsBackendText, DeviceBytesNeverBreakTheLine) {
  const struct {
    const char *fault;
    std::string in;
    std::string text;  // what cupsd reads back
  } cases[] = {
      {"plain text changed", "Acme LaserJet 5", "Acme LaserJet 5"},
      {"quote ends the string early", "Acme \"Pro\" 5", "Acme \"Pro\" 5"},
      {"backslash eats the closing quote", "C:\\printers\\", "C:\\printers\\"},
      {"new line starts a forged device line", "x\nnetwork ipp://evil \"a\"", "x network ipp://evil \"a\""},
      {"carriage return, tab and escape passed through", "a\rb\tc\x1b[2Jd", "a b c [2Jd"},
      {"DEL passed through", std::string("a\x7f") + "b", "a b"},
      {"C1 control passed through", "a\xC2\x85" "b", "a b"},
      {"NUL cuts or passes through", std::string("a\0b", 3), "a b"},
      {"Latin-1 byte left invalid UTF-8", "Caf\xE9", "Caf\xC3\xA9"},
      {"valid UTF-8 mangled", "B\xC3\xBCro 3.OG", "B\xC3\xBCro 3.OG"},
      {"empty string not quoted", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string quoted = cups_backend_text(c.in, kivo::kCupsTextBytes);
    const auto [text, used] = unquote(quoted);
    EXPECT_EQ(used, quoted.size()) << quoted;
    EXPECT_EQ(text, c.text);
    for (const char ch : quoted) EXPECT_GE(static_cast<unsigned char>(ch), 0x20u);
  }
}

TEST(CupsBackendText, LongTextCutAtACharacterBoundary) {
  // 2,000 bytes of each kind: ASCII, two-byte and three-byte characters, bytes to escape,
  // and control bytes; whatever the cut, the text stays within the cap, valid UTF-8, and
  // the closing quote is never escaped away.
  const struct {
    const char *fault;
    std::string unit;
  } cases[] = {
      {"ASCII past the cap", "A"},
      {"two-byte character split", "\xC3\xA4"},
      {"three-byte character split", "\xE2\x82\xAC"},
      {"four-byte character split", "\xF0\x9F\x96\xA8"},
      {"escaped quote split from its backslash", "\""},
      {"escaped backslash split", "\\"},
      {"Latin-1 byte widened past the cap", "\xE9"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    std::string in;
    while (in.size() < 2000) in += c.unit;
    for (const std::size_t cap : {kivo::kCupsTextBytes, kivo::kCupsDeviceIdBytes}) {
      const std::string quoted = cups_backend_text(in, cap);
      const auto [text, used] = unquote(quoted);
      EXPECT_EQ(used, quoted.size());
      EXPECT_LE(text.size(), cap);
      EXPECT_GT(text.size(), cap - 4);
      EXPECT_TRUE(valid_utf8(text));
    }
  }
}

TEST(CupsBackendLine, OneLineWithFourStrings) {
  kivo::CupsDeviceLine d;
  d.uri = "ipp://10.0.0.5:631/ipp/print";
  d.make_and_model = "Acme \"X\"\n";
  d.info = "10.0.0.5 Office";
  d.device_id = "MFG:Acme;MDL:X;CMD:PDF;";
  d.location = "Room\\5";
  const auto line = kivo::cups_backend_line(d);
  ASSERT_TRUE(line);
  EXPECT_EQ(*line,
            "network ipp://10.0.0.5:631/ipp/print \"Acme \\\"X\\\" \" \"10.0.0.5 Office\" "
            "\"MFG:Acme;MDL:X;CMD:PDF;\" \"Room\\\\5\"\n");
  d.make_and_model.clear();
  EXPECT_NE(kivo::cups_backend_line(d)->find("\"Unknown\""), std::string::npos)
      << "an empty make-and-model must read Unknown";
}

TEST(CupsBackendLine, UnfitUriLeftOut) {
  const char *bad[] = {"", "ipp://a b/", "ipp://a\"b/", "ipp://a\\b/", "ipp://a\nb/", "ipp://\xC3\xA4/"};
  for (const char *uri : bad) {
    SCOPED_TRACE(uri);
    kivo::CupsDeviceLine d;
    d.uri = uri;
    EXPECT_FALSE(kivo::cups_backend_line(d));
  }
  EXPECT_FALSE(kivo::cups_uri_ok(std::string(512, 'a')));
}

TEST(CupsQueueName, MadeFromAnyName) {
  const struct {
    const char *fault;
    std::string in;
    std::string out;
  } cases[] = {
      {"blanks kept", "Acme LaserJet 5 (Office)", "Acme_LaserJet_5_Office"},
      {"slash or hash kept (CUPS refuses both)", "a/b#c", "a_b_c"},
      {"nothing left gives an empty name", "\xC3\xA4\xC3\xB6", "printer"},
      {"dash and underscore lost", "x-y_z", "x-y_z"},
      {"trailing separator kept", "Office ", "Office"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(kivo::cups_queue_name(c.in), c.out);
    EXPECT_TRUE(kivo::cups_queue_name_ok(kivo::cups_queue_name(c.in)));
  }
  const std::string long_name = kivo::cups_queue_name(std::string(500, 'a') + " b");
  EXPECT_EQ(long_name.size(), 127u);
  EXPECT_TRUE(kivo::cups_queue_name_ok(long_name));
  EXPECT_FALSE(kivo::cups_queue_name_ok("a b"));
  EXPECT_FALSE(kivo::cups_queue_name_ok(std::string(128, 'a')));
}

TEST(ShellWord, ReadBackUnchanged) {
  EXPECT_EQ(kivo::shell_word("ipp://10.0.0.5:631/ipp/print"), "ipp://10.0.0.5:631/ipp/print");
  EXPECT_EQ(kivo::shell_word(""), "''");
  EXPECT_EQ(kivo::shell_word("a b"), "'a b'");
  EXPECT_EQ(kivo::shell_word("it's $(rm)"), "'it'\\''s $(rm)'");
}

// cupsd runs a backend for a job with 5 or 6 arguments and the device URI as argv[0];
// kivo-cups cannot print, and must say so as backends do rather than run a search or
// report success for a job it never sent.
TEST(KivoCupsBackend, RefusesPrintJobsWithCupsFailureStatus) {
  kivo8::test::TempDir dir;
  const std::string backend = dir.file("kivo-cups");
  ASSERT_EQ(kivo8::test::sh("ln -s " + kivo8::test::binary_dir() + "/tools/kivo/kivo " + backend), 0);
  const struct {
    const char *fault;
    std::string command;
  } cases[] = {
      {"job without a file taken for a search", backend + " 7 lp title 1 ''"},
      {"job with a file taken for a search", backend + " 7 lp title 1 '' /dev/null"},
      {"device URI as argv[0] not recognised",
       "bash -c 'exec -a kivo-cups://x \"$0\" 7 lp title 1 \"\"' " + backend},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.fault);
    int status = -1;
    const std::string out = kivo8::test::sh_output(c.command + " 2>&1 </dev/null", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_EQ(out.rfind("ERROR: ", 0), 0u) << out;
  }
}

}  // namespace
