// kivo-mkcat reads PO files as gettext's own msgfmt does: the same files are accepted or
// refused by both, and the accepted ones give the same translations.
#include <gtest/gtest.h>

#include <string>

#include "support/catalogue_fixture.h"
#include "kivo8/transtext.h"
#include "support/peers.h"

using namespace kivo8::test;

namespace {

std::string q(const std::string &path) { return "'" + path + "'"; }

// The messages of a PO file, sorted, one "msgid/msgstr" pair per entry, header left out.
std::string normalized_messages(const std::string &po_path) {
  int status = 0;
  std::string out = sh_output("msgcat --no-wrap --sort-output " + q(po_path) + " 2>/dev/null", &status);
  EXPECT_EQ(status, 0) << po_path;
  std::size_t after_header = out.find("\n\n");
  return after_header == std::string::npos ? std::string() : out.substr(after_header + 2);
}

struct Fixture {
  const char *name;
  std::string po;
  bool valid;
  // Messages with a context or plural forms are accepted by both, but the catalogue
  // keeps only plain pairs (the first plural form), so their contents differ on purpose.
  bool same_messages = true;
};

TEST(CatalogueCompiler, AgreesWithMsgfmtCheck) {
  KIVO8_REQUIRE_PROGRAM("msgfmt");
  const std::string h = po_header("UTF-8");
  const std::string hp = h.substr(0, h.size() - 1) + "\"Plural-Forms: nplurals=2; plural=(n > 1);\\n\"\n\n";
  Fixture fixtures[] = {
      {"plain", h + "msgid \"Unknown\"\nmsgstr \"Inconnu\"\n\nmsgid \"DA Unit\"\nmsgstr \"Carte DA\"\n", true},
      {"continued lines and escapes",
       h + "# translator comment\n#: src/device.c:12\nmsgid \"\"\n\"Line one\\n\"\n\"two \\\"quoted\\\"\\t\\\\\"\n"
           "msgstr \"\"\n\"Ligne un\\n\"\n\"deux \\\"cit\xc3\xa9\\\"\\t\\\\\"\n",
       true},
      {"octal and hex escapes", h + "msgid \"bell\\a tab\\011 x\\x41\"\nmsgstr \"cloche\\007 t\\x09 y\\102\"\n", true},
      {"fuzzy and untranslated left out",
       h + "#, fuzzy\nmsgid \"Search\"\nmsgstr \"Chercher\"\n\nmsgid \"Group\"\nmsgstr \"\"\n\n"
           "#, c-format\nmsgid \"Ready\"\nmsgstr \"Pr\xc3\xaat\"\n",
       true},
      {"obsolete entries ignored", h + "msgid \"a\"\nmsgstr \"b\"\n\n#~ msgid \"old\"\n#~ msgstr \"vieux\"\n", true},
      {"Latin-1 file", po_header("ISO-8859-1") + "msgid \"Ready\"\nmsgstr \"Pr\xeat\"\n", true},
      {"CRLF line ends", "msgid \"\"\r\nmsgstr \"\"\r\n\"MIME-Version: 1.0\\n\"\r\n"
                         "\"Content-Type: text/plain; charset=UTF-8\\n\"\r\n"
                         "\"Content-Transfer-Encoding: 8bit\\n\"\r\n\r\nmsgid \"a\"\r\nmsgstr \"b\"\r\n",
       true},
      {"context and plural forms",
       hp + "msgctxt \"menu\"\nmsgid \"Open\"\nmsgstr \"Ouvrir\"\n\n"
           "msgid \"%d device\"\nmsgid_plural \"%d devices\"\nmsgstr[0] \"%d appareil\"\nmsgstr[1] \"%d appareils\"\n\n"
           "msgid \"Open\"\nmsgstr \"Ouvrir le fichier\"\n",
       true, false},
      {"plural form out of order",
       hp + "msgid \"a\"\nmsgid_plural \"as\"\nmsgstr[1] \"b\"\nmsgstr[0] \"c\"\n", false},
      {"unterminated string", h + "msgid \"Unknown\nmsgstr \"x\"\n", false},
      {"msgid without msgstr", h + "msgid \"Unknown\"\n\nmsgid \"Other\"\nmsgstr \"x\"\n", false},
      {"msgstr without msgid", h + "msgstr \"x\"\n", false},
      {"duplicate msgid", h + "msgid \"a\"\nmsgstr \"b\"\n\nmsgid \"a\"\nmsgstr \"c\"\n", false},
      {"unknown keyword", h + "msgid \"a\"\nmsgtxt \"b\"\n", false},
      {"invalid escape", h + "msgid \"a\\q\"\nmsgstr \"b\"\n", false},
      {"stray string", "\"floating\"\n" + h + "msgid \"a\"\nmsgstr \"b\"\n", false},
      {"text after string", h + "msgid \"a\" junk\nmsgstr \"b\"\n", false},
      {"keyword without string", h + "msgid\nmsgstr \"b\"\n", false},
  };
  TempDir dir;
  for (const auto &f : fixtures) {
    SCOPED_TRACE(f.name);
    std::string po = dir.file("in.po"), mo = dir.file("out.mo"), cvt = dir.file("out.cvt");
    write_file(po, f.po);
    std::remove(cvt.c_str());
    int msgfmt = sh("msgfmt --check -o " + q(mo) + " " + q(po) + " 2>/dev/null");
    int ours = sh(q(mkcat_program()) + " -o " + q(cvt) + " " + q(po) + " 2>/dev/null");
    EXPECT_EQ(msgfmt == 0, f.valid) << "msgfmt";
    EXPECT_EQ(ours == 0, f.valid) << "kivo-mkcat";
    if (!f.valid || !f.same_messages || msgfmt != 0 || ours != 0) continue;
    // Same messages: msgfmt's output read back by msgunfmt, ours dumped by the tool.
    ASSERT_EQ(sh("msgunfmt -o " + q(dir.file("theirs.po")) + " " + q(mo) + " 2>/dev/null"), 0);
    ASSERT_EQ(sh(q(mkcat_program()) + " --dump -o " + q(dir.file("ours.po")) + " " + q(cvt)), 0);
    std::string theirs = normalized_messages(dir.file("theirs.po"));
    EXPECT_EQ(normalized_messages(dir.file("ours.po")), theirs);
    EXPECT_FALSE(theirs.empty());
  }
}

TEST(CatalogueCompiler, KeepsPlainPairsAndTheFirstPluralForm) {
  TempDir dir;
  compile_po(po_header("UTF-8") +
                 "msgctxt \"menu\"\nmsgid \"Open\"\nmsgstr \"Ouvrir (menu)\"\n\n"
                 "msgid \"Open\"\nmsgstr \"Ouvrir\"\n\n"
                 "msgid \"%d device\"\nmsgid_plural \"%d devices\"\nmsgstr[0] \"%d appareil\"\nmsgstr[1] \"%d appareils\"\n",
             dir.file("c.cvt"));
  std::unique_ptr<transtext_table, void (*)(transtext_table *)> t(
      transtext_new_table_nolang((dir.path() + "/").c_str(), "c.cvt"), transtext_free);
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(transtext_translate(t.get(), "Open"), "Ouvrir");
  EXPECT_STREQ(transtext_translate(t.get(), "%d device"), "%d appareil");
  EXPECT_EQ(t->filled, 3u);  // with the encoding entry
}

TEST(CatalogueCompiler, DumpCompilesBackToTheSameBytes) {
  TempDir dir;
  compile_po(po_header("ISO-8859-1") + "msgid \"a\\nb\"\nmsgstr \"\xe4\\\"\\t\\001\"\n\nmsgid \"k\"\nmsgstr \"v\"\n",
             dir.file("one.cvt"));
  ASSERT_EQ(sh(q(mkcat_program()) + " --dump -o " + q(dir.file("back.po")) + " " + q(dir.file("one.cvt"))), 0);
  ASSERT_EQ(sh(q(mkcat_program()) + " -o " + q(dir.file("two.cvt")) + " " + q(dir.file("back.po")) + " 2>/dev/null"), 0);
  EXPECT_EQ(read_file(dir.file("two.cvt")), read_file(dir.file("one.cvt")));
  std::string dumped = read_file(dir.file("back.po"));
  EXPECT_NE(dumped.find("charset=ISO-8859-1"), std::string::npos) << dumped;
}

TEST(CatalogueCompiler, WritesTheDocumentedLayout) {
  TempDir dir;
  compile_po(po_header("UTF-8") + "msgid \"k\"\nmsgstr \"v\"\n", dir.file("c.cvt"));
  std::string expected = raw_catalogue({{"__character_encoding__", "UTF-8"}, {"k", "v"}});
  EXPECT_EQ(read_file(dir.file("c.cvt")), expected);
  EXPECT_NE(sh(q(mkcat_program()) + " --dump " + q(dir.file("missing.cvt")) + " 2>/dev/null"), 0);
  EXPECT_NE(sh(q(mkcat_program()) + " 2>/dev/null"), 0);
}

}  // namespace
