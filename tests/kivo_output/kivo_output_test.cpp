// What kivo prints when nothing on the network is involved: the refusals of its options,
// its version, the language and encoding of its help and messages, and the saved targets
// as JSON and as a table, whatever bytes the preference file holds and whatever the locale.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "support/kivo_run.h"
#include "support/peers.h"

namespace {

using kivo8::test::first_control;
using kivo8::test::json_query;
using kivo8::test::KivoResult;
using kivo8::test::kivo_catalogue_dir;
using kivo8::test::Latin1Locale;
using kivo8::test::lines_of;
using kivo8::test::read_bytes;
using kivo8::test::run_kivo;
using kivo8::test::TempDir;
using kivo8::test::utf8_chars;

KivoResult kivo(const TempDir &home, const std::vector<std::string> &args,
                const std::vector<std::string> &env = {"LANG=C.UTF-8"}) {
  return run_kivo(nullptr, home, args, env);
}

std::vector<std::string> german(std::vector<std::string> args) {
  args.insert(args.end(), {"--lang", "de", "--datadir", kivo_catalogue_dir()});
  return args;
}

// Every refusal: status 2, a message naming the problem, the hint to --help, nothing on
// standard output, nothing saved, nothing sent (the addresses are loopback or TEST-NET).
TEST(KivoOptions, RefusalsNameTheProblem) {
  const std::string long_name(256, 'c');
  struct {
    const char *name;
    std::vector<std::string> args;
    const char *message;
    const char *not_said;
  } cases[] = {
      {"IPv6 literal to probe", {"probe", "::1"}, "IPv6 is not supported", "must be"},
      {"bracketed IPv6 with port to probe", {"probe", "[::1]:80"}, "IPv6 is not supported", "must be"},
      {"bracketed IPv6 to get", {"get", "[::1]:161", ".1.3"}, "IPv6 is not supported", "must be"},
      {"link-local IPv6 to walk", {"walk", "fe80::1%eth0"}, "IPv6 is not supported", "must be"},
      {"probe port after a colon out of range", {"probe", "127.0.0.1:0"}, "the port must be", ""},
      {"probe port twice", {"probe", "127.0.0.1:80", "81"}, "the port is given twice", ""},
      {"probe without host", {"probe", ":80"}, "no host given", ""},
      {"time-out with a blank in front", {"get", "-t", " 5", "127.0.0.1", ".1.3"},
       "the time-out must be a number of seconds from 0.01 to 60 (at most three decimals), "
       "not ' 5'", ""},
      {"time-out with four decimals", {"get", "-t", "0.0005", "127.0.0.1", ".1.3"}, "not '0.0005'", ""},
      {"time-out ending in a point", {"discover", "--timeout", "1."}, "not '1.'", ""},
      {"time-out with a comma", {"discover", "--timeout", "0,5"}, "not '0,5'", ""},
      {"time-out below a hundredth", {"discover", "--timeout", "0.001"}, "from 0.01 to 3600", ""},
      {"saved time-out with a fraction", {"targets", "set", "1", "--timeout", "0.5"},
       "the time-out must be a whole number from 1 to 3600, not '0.5'", ""},
      {"misspelt long option", {"discover", "--comunity", "x"},
       "unknown option --comunity (did you mean '--community'?)", ""},
      {"misspelt option of targets", {"targets", "--jsn"}, "(did you mean '--json'?)", ""},
      {"misspelt option far from every one", {"discover", "--frobnicate"}, "unknown option --frobnicate",
       "did you mean"},
      {"flag given a value", {"discover", "--json=yes"}, "option --json takes no value", ""},
      {"option without its value", {"get", "127.0.0.1", ".1.3", "-c"}, "option -c needs a value", ""},
      {"misspelt action", {"targets", "ad-range", "10.0.0.0/24"},
       "unknown action 'ad-range' (did you mean 'add-range'?)", ""},
      {"misspelt credentials action", {"credentials", "remvoe", "x"}, "did you mean 'remove'?", ""},
      {"CIDR range of targets that is no range", {"targets", "add-range", "10.0.0.0/33"},
       "'10.0.0.0/33' is not of the form FIRST-LAST or ADDRESS/BITS", ""},
      {"targets range too large", {"targets", "add-range", "10.0.0.0/8"},
       "holds more than 262144 addresses", ""},
      {"options before the command are that command's", {"--lang", "en", "targets", "--hops", "x"},
       "kivo targets: the hop count must be", ""},
      {"misspelt command after options", {"--datadir=/nonexistent", "walkk"},
       "did you mean 'walk'?", ""},
      {"time-out with a blank behind", {"discover", "--timeout", "5 "}, "not '5 '", ""},
      {"time-out with a plus", {"targets", "set", "1", "--timeout", "+5"}, "not '+5'", ""},
      {"negative retries", {"get", "-r", "-1", "127.0.0.1", ".1.3"}, "not '-1'", ""},
      {"hexadecimal rate", {"discover", "--rate", "0x10"}, "not '0x10'", ""},
      {"trailing junk", {"discover", "--retries", "1x"}, "not '1x'", ""},
      {"empty number", {"discover", "--timeout="}, "not ''", ""},
      {"number past every range", {"targets", "set", "1", "--hops", "99999999999999999999999"},
       "the hop count must be", ""},
      {"hops above the range", {"targets", "set", "1", "--hops", "255"}, "from 0 to 254", ""},
      {"discover community with a line end", {"discover", "--community", "ab\ncd"},
       "holds a control character", ""},
      {"discover community too long", {"discover", "--community", long_name}, "is too long", ""},
      {"discover community empty", {"discover", "--community", ""}, "must not be empty", ""},
      {"targets community too long", {"targets", "add-slp", "x", "--community", long_name},
       "is too long", ""},
      {"mistyped command", {"discovr"}, "did you mean 'discover'?", ""},
      {"mistyped command, letters swapped", {"tagrets"}, "did you mean 'targets'?", ""},
      {"far from every command", {"xyzzyplugh"}, "unknown command 'xyzzyplugh'", "did you mean"},
  };
  TempDir home;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    KivoResult r = kivo(home, c.args);
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    if (*c.not_said != '\0') {
      std::string first_line = r.err.substr(0, r.err.find('\n'));
      EXPECT_EQ(first_line.find(c.not_said), std::string::npos) << r.err;
    }
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(first_control(r.err, true), "") << r.err;
  }
  EXPECT_FALSE(std::ifstream(home.file(".kivo/kivo2.pref")).good()) << "nothing may be saved";
}

TEST(KivoOptions, VersionComesFromTheBuild) {
  TempDir home;
  for (const char *flag : {"--version", "-V"}) {
    SCOPED_TRACE(flag);
    KivoResult r = kivo(home, {flag});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, std::string("kivo ") + KIVO_EXPECTED_VERSION + "\n");
  }
}

// Help and messages come from the catalogue, in the terminal's encoding: UTF-8 when the
// locale names none, Latin-1 bytes under a Latin-1 locale.
TEST(KivoLanguage, HelpAndMessagesInGermanInTheTerminalsEncoding) {
  TempDir home;
  for (const char *command : {"", "discover", "targets", "get", "walk", "probe", "report"}) {
    SCOPED_TRACE(command);
    std::vector<std::string> args;
    if (*command != '\0') args.push_back(command);
    args.push_back("--help");
    KivoResult r = kivo(home, german(args), {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("Aufruf: kivo", 0), 0u)
        << "the help text has no German translation in po/de.po (regenerate it from the "
           "English text):\n"
        << r.out;
    EXPECT_NE(r.out.find("R\xc3\xbc" "ckgabewert"), std::string::npos) << r.out;
  }
  KivoResult bad = kivo(home, german({"get", "-t", "5x", "127.0.0.1", ".1.3"}), {});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err,
            "kivo get: die Wartezeit muss eine Zahl von Sekunden von 0.01 bis 60 sein "
            "(h\xc3\xb6" "chstens drei Nachkommastellen), nicht '5x'\n"
            "Siehe 'kivo get --help'.\n");
  KivoResult v6 = kivo(home, german({"probe", "::1"}), {});
  EXPECT_EQ(v6.err.rfind("kivo probe: IPv6 wird nicht unterst\xc3\xbctzt: '::1'\n", 0), 0u)
      << v6.err;

  // A locale that names Latin-1 gets Latin-1, installed or not (LOCPATH names an empty
  // directory here, so the name is all there is).
  TempDir no_locales;
  KivoResult named = kivo(home, german({"walk", "--help"}),
                          {"LOCPATH=" + no_locales.path(), "LANG=de_DE.ISO-8859-1"});
  EXPECT_NE(named.out.find("R\xfc" "ckgabewert"), std::string::npos) << named.out;

  Latin1Locale latin1;
  if (!latin1.ok()) {
    if (kivo8::test::in_ci()) FAIL() << "cannot make a Latin-1 locale with localedef";
    GTEST_SKIP() << "localedef cannot make a Latin-1 locale here";
  }
  KivoResult help = kivo(home, german({"targets", "--help"}), latin1.env());
  EXPECT_NE(help.out.find("R\xfc" "ckgabewert"), std::string::npos) << help.out;
  EXPECT_EQ(help.out.find("\xc3"), std::string::npos) << "no UTF-8 under a Latin-1 locale";
}

// --lang and --datadir belong to every command and may come before its name; `kivo help
// COMMAND` is the command's --help.
TEST(KivoLanguage, OptionsOfEveryCommandBeforeItsName) {
  TempDir home;
  const std::vector<std::string> before = {"--lang", "de", "--datadir=" + kivo_catalogue_dir()};
  struct {
    const char *name;
    std::vector<std::string> args;
    const char *starts;
  } cases[] = {
      {"help of targets", {"targets", "--help"}, "Aufruf: kivo targets"},
      {"help command", {"help", "walk"}, "Aufruf: kivo walk"},
      {"main help", {"--help"}, "Aufruf: kivo [OPTIONEN]"},
      {"targets list", {"targets"}, "Nr.  Art"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args = before;
    args.insert(args.end(), c.args.begin(), c.args.end());
    KivoResult r = kivo(home, args, {});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind(c.starts, 0), 0u) << r.out;
  }
  KivoResult english = kivo(home, {"help", "walk"});
  KivoResult flag = kivo(home, {"walk", "--help"});
  EXPECT_EQ(english.out, flag.out);
  KivoResult unknown = kivo(home, {"help", "wlak"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_NE(unknown.err.find("did you mean 'walk'?"), std::string::npos) << unknown.err;
}

TEST(KivoLanguage, MissingCatalogueWarnsOnceAndGoesOnInEnglish) {
  TempDir home;
  KivoResult r = kivo(home, {"targets", "--lang", "fr", "--datadir", kivo_catalogue_dir()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err,
            "kivo: there is no catalogue for the language 'fr' in " + kivo_catalogue_dir() +
                "/; going on in English\n");
  EXPECT_EQ(r.out.rfind("ID  Kind", 0), 0u) << r.out;
  KivoResult english = kivo(home, {"targets", "--lang", "en"});
  EXPECT_EQ(english.err, "") << "English needs no catalogue";
}

// A preference file holds what an editor or an older program put there: a Latin-1 byte,
// an escape sequence and a very long scope list.
class KivoSavedTargets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kivo(home_, {"targets", "add-slp", "B\xc3\xbcro,lab"}).status, 0);
    std::string pref = read_bytes(home_.file(".kivo/kivo2.pref"));
    std::string hostile = "20001,Caf\xe9!\x1b]0;owned\x07!" + long_scope_ + ",3,0,vellum";
    std::string utf8_line = "20001,B\xc3\xbcro!lab,3,0,vellum";
    auto at = pref.find(utf8_line);
    ASSERT_NE(at, std::string::npos) << pref;
    // A second SLP target, inserted by hand with the next free number of its kind.
    pref.insert(at + utf8_line.size(), "\n1=" + hostile);
    // Renumber: every line "N=" of the section in order.
    std::string out;
    int n = 0;
    for (const auto &l : lines_of(pref)) {
      auto eq = l.find('=');
      if (!l.empty() && l[0] >= '0' && l[0] <= '9' && eq != std::string::npos)
        out += std::to_string(++n) + l.substr(eq) + "\n";
      else if (l.rfind("total=", 0) == 0)
        out += "total=@\n";
      else
        out += l + "\n";
    }
    out.replace(out.find("total=@"), 7, "total=" + std::to_string(n));
    std::ofstream(home_.file(".kivo/kivo2.pref"), std::ios::binary) << out;
  }

  std::string long_scope_ = std::string(229, 'x');
  TempDir home_;
};

TEST_F(KivoSavedTargets, JsonIsUtf8WhateverTheFileHolds) {
  for (auto env : {std::vector<std::string>{"LANG=C.UTF-8"}, std::vector<std::string>{}}) {
    KivoResult r = kivo(home_, {"targets", "--json"}, env);
    ASSERT_EQ(r.status, 0) << r.err;
    bool ok = false;
    std::string scopes = json_query(home_, r.out, "[t['scopes'] for t in d if t['kind'] == 'slp']", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(scopes, "[[\"B\\u00fcro\", \"lab\"], [\"Caf\\u00e9\", \"\\u001b]0;owned\\u0007\", \"" +
                          long_scope_ + "\"]]");
  }
}

TEST_F(KivoSavedTargets, TableShowsControlsAsEscapesAndFitsTheWidth) {
  KivoResult r = kivo(home_, {"targets"}, {"LANG=C.UTF-8", "COLUMNS=100"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(first_control(r.out, true), "") << r.out;
  EXPECT_NE(r.out.find("Caf\xc3\xa9,\\x1b]0;owned\\x07,xxx"), std::string::npos) << r.out;
  for (const auto &line : lines_of(r.out)) EXPECT_LE(utf8_chars(line), 100u) << line;
  EXPECT_NE(r.out.find("x\xe2\x80\xa6  "), std::string::npos) << "cut with an ellipsis: " << r.out;
  EXPECT_EQ(r.out.find(long_scope_), std::string::npos);

  KivoResult wide = kivo(home_, {"targets", "--wide"}, {"LANG=C.UTF-8", "COLUMNS=100"});
  EXPECT_NE(wide.out.find(long_scope_ + "  "), std::string::npos) << wide.out;
  // Piped, with no width given, nothing is cut either.
  KivoResult piped = kivo(home_, {"targets"});
  EXPECT_NE(piped.out.find(long_scope_ + "  "), std::string::npos) << piped.out;
}

// Under a Latin-1 locale the table is Latin-1: one byte a character, so every column
// starts at the same byte on every row.
TEST_F(KivoSavedTargets, Latin1LocaleGetsLatin1BytesInStraightColumns) {
  Latin1Locale latin1;
  if (!latin1.ok()) {
    if (kivo8::test::in_ci()) FAIL() << "cannot make a Latin-1 locale with localedef";
    GTEST_SKIP() << "localedef cannot make a Latin-1 locale here";
  }
  std::vector<std::string> env = latin1.env();
  env.push_back("COLUMNS=90");
  KivoResult r = kivo(home_, german({"targets"}), env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(first_control(r.out, false), "") << r.out;
  EXPECT_NE(r.out.find("B\xfcro,lab"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Caf\xe9,"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find('\xc3'), std::string::npos) << "no UTF-8 under a Latin-1 locale: " << r.out;
  auto lines = lines_of(r.out);
  ASSERT_GE(lines.size(), 3u);
  const std::size_t hops = lines[0].find("Wartezeit");
  ASSERT_NE(hops, std::string::npos) << lines[0];
  for (const auto &line : lines) {
    EXPECT_LE(line.size(), 90u) << line;
    ASSERT_GT(line.size(), hops) << line;
    EXPECT_EQ(line[hops - 1], ' ') << line;
    EXPECT_NE(line[hops], ' ') << "the time-out column starts at byte " << hops << ": " << line;
  }
  EXPECT_NE(r.out.find("x...  "), std::string::npos) << "an ellipsis Latin-1 can show: " << r.out;
}

}  // namespace
