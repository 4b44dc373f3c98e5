#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "support/catalogue_fixture.h"
#include "kivo8/transtext.h"
#include "support/alloc_failure.h"
#include "support/peers.h"
#include "text/transtext_internal.h"

using namespace kivo8::test;
using namespace kivo8::text;

namespace {

const char *const kLocaleVars[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

// Starts each case with the four locale variables unset and the display state fresh,
// and puts both back afterwards.
class DisplayEncoding : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *v : kLocaleVars) {
      const char *old = std::getenv(v);
      saved_.push_back(old ? std::optional<std::string>(old) : std::nullopt);
      unsetenv(v);
    }
    reset_display_state();
  }
  void TearDown() override {
    reset_display_state();
    for (std::size_t i = 0; i < saved_.size(); ++i) {
      if (saved_[i])
        setenv(kLocaleVars[i], saved_[i]->c_str(), 1);
      else
        unsetenv(kLocaleVars[i]);
    }
  }
  // Writes a compiled catalogue at dir/lang/file.
  void catalogue(const std::string &lang, const std::string &po, const std::string &file = "localmsgs.cvt") {
    ASSERT_EQ(sh("mkdir -p '" + dir_.file(lang) + "'"), 0);
    compile_po(po, dir_.file(lang + "/" + file));
  }
  std::string data_dir() const { return dir_.path() + "/"; }

  TempDir dir_;
  std::vector<std::optional<std::string>> saved_;
};

struct TableFree {
  void operator()(transtext_table *t) const { transtext_free(t); }
};
using Table = std::unique_ptr<transtext_table, TableFree>;

TEST_F(DisplayEncoding, LocaleVariablesChooseTheDisplayCode) {
  struct {
    const char *name;
    const char *language, *lc_all, *lc_messages, *lang;  // null: unset
    const char *before;                                     // display code left by an earlier call
    const char *expected;
  } cases[] = {
      {"nothing set keeps the start value", nullptr, nullptr, nullptr, nullptr, nullptr, "ISO-8859-1"},
      {"LANG with encoding", nullptr, nullptr, nullptr, "de_DE.UTF-8", nullptr, "UTF-8"},
      {"LANG C", nullptr, nullptr, nullptr, "C", nullptr, "ISO-8859-1"},
      {"LANG POSIX", nullptr, nullptr, nullptr, "POSIX", nullptr, "ISO-8859-1"},
      {"LANG empty", nullptr, nullptr, nullptr, "", nullptr, "ISO-8859-1"},
      {"LANG without encoding", nullptr, nullptr, nullptr, "en_US", nullptr, "ISO-8859-1"},
      {"empty LANGUAGE falls through to LC_ALL", "", "ja_JP.eucJP", nullptr, "de_DE.UTF-8", nullptr, "eucJP"},
      {"LC_ALL ja", nullptr, "ja", nullptr, "de_DE.UTF-8", nullptr, "eucJP"},
      {"LC_ALL ja_JP.UTF-8", nullptr, "ja_JP.UTF-8", nullptr, nullptr, nullptr, "UTF-8"},
      {"LANGUAGE first", "fr_FR.ISO-8859-15", "ja_JP.UTF-8", "de_DE.CP1252", "C", nullptr, "ISO-8859-15"},
      {"LC_MESSAGES before LANG", nullptr, "", "ko_KR.EUC-KR", "de_DE.UTF-8", nullptr, "EUC-KR"},
      {"an empty LANG still decides, finding nothing", "", "", "", "", "UTF-8", "UTF-8"},
      {"first dot only, modifier kept", nullptr, nullptr, nullptr, "de_DE.UTF-8@euro.x", nullptr, "UTF-8@euro.x"},
      {"ja prefix without dot", nullptr, nullptr, nullptr, "ja_JP", nullptr, "eucJP"},
      {"LANGUAGE without encoding hides LANG", "de", nullptr, nullptr, "ja_JP.UTF-8", nullptr, "ISO-8859-1"},
      {"later call finding nothing keeps earlier result", nullptr, nullptr, nullptr, "en_US", "eucJP", "eucJP"},
      {"encoding name too long for 63 characters", nullptr, nullptr, nullptr,
       "xx.AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", nullptr, "ISO-8859-1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    reset_display_state();
    for (const char *v : kLocaleVars) unsetenv(v);
    if (c.before != nullptr) {
      setenv("LANG", (std::string("xx.") + c.before).c_str(), 1);
      transtext_init(nullptr);
      ASSERT_STREQ(current_display_code(), c.before);
    }
    const char *values[] = {c.language, c.lc_all, c.lc_messages, c.lang};
    for (int i = 0; i < 4; ++i) {
      if (values[i] != nullptr)
        setenv(kLocaleVars[i], values[i], 1);
      else
        unsetenv(kLocaleVars[i]);
    }
    transtext_init("de");
    EXPECT_STREQ(current_display_code(), c.expected);
  }
}

TEST_F(DisplayEncoding, EnglishOrNoLanguageLoadsNoMessageCatalogue) {
  catalogue("en", po_header("UTF-8") + "msgid \"a\"\nmsgstr \"b\"\n");
  catalogue("de", po_header("UTF-8") + "msgid \"a\"\nmsgstr \"b\"\n");
  for (const char *name : {"en", "", static_cast<const char *>(nullptr)}) {
    SCOPED_TRACE(name ? name : "(null)");
    transtext_init(name);
    EXPECT_STREQ(current_language(), "");
    EXPECT_EQ(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"), nullptr);
  }
  transtext_init("de");
  EXPECT_STREQ(current_language(), "de");
  Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(transtext_translate(t.get(), "a"), "b");
}

TEST_F(DisplayEncoding, Latin1CatalogueOnUtf8Display) {
  setenv("LANG", "de_DE.UTF-8", 1);
  transtext_init("de");
  catalogue("de", po_header("ISO-8859-1") + "msgid \"Printer\"\nmsgstr \"Ger\xe4t f\xfcr Dr\xfc" "cke\"\n\n"
                                            "msgid \"Ready\"\nmsgstr \"Bereit\"\n");
  Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(current_original_code(), "ISO-8859-1");
  EXPECT_TRUE(converter_open());
  ASSERT_NE(t->display_strings, nullptr);
  EXPECT_EQ(transtext_translate(t.get(), "Printer"), iconv_text("Ger\xe4t f\xfcr Dr\xfc" "cke", "ISO-8859-1", "UTF-8"));
  EXPECT_STREQ(transtext_translate(t.get(), "Ready"), "Bereit");

  char buf[64];
  EXPECT_EQ(transtext_to_display("\xc4rger", buf, sizeof buf), buf);
  EXPECT_STREQ(buf, "\xc3\x84rger");
  EXPECT_EQ(transtext_from_display("\xc3\x84rger", buf, sizeof buf), buf);
  EXPECT_STREQ(buf, "\xc4rger");
}

TEST_F(DisplayEncoding, Utf8CatalogueOnJapaneseDisplay) {
  KIVO8_REQUIRE_PROGRAM("iconv");
  setenv("LC_ALL", "ja", 1);
  transtext_init("ja");
  ASSERT_STREQ(current_display_code(), "eucJP");
  const std::string unknown = "\xe4\xb8\x8d\xe6\x98\x8e";                     // 不明
  const std::string printer = "\xe3\x83\x97\xe3\x83\xaa\xe3\x83\xb3\xe3\x82\xbf"; // プリンタ
  catalogue("ja", po_header("UTF-8") + "msgid \"Unknown\"\nmsgstr \"" + unknown + "\"\n\n" +
                      "msgid \"Printer\"\nmsgstr \"" + printer + " 1\"\n");
  Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
  ASSERT_NE(t, nullptr);
  std::string euc_unknown = iconv_text(unknown, "UTF-8", "EUC-JP");
  ASSERT_EQ(euc_unknown.size(), 4u);
  EXPECT_EQ(transtext_translate(t.get(), "Unknown"), euc_unknown);
  EXPECT_EQ(transtext_translate(t.get(), "Printer"), iconv_text(printer + " 1", "UTF-8", "EUC-JP"));

  char buf[32];
  EXPECT_EQ(std::string(transtext_from_display(euc_unknown.c_str(), buf, sizeof buf)), unknown);
}

TEST_F(DisplayEncoding, UnconvertibleCharacterLeavesConvertedPartThenRawRest) {
  setenv("LANG", "fr_FR.ISO-8859-1", 1);
  transtext_init("fr");
  // "café" then a Japanese character that Latin-1 lacks, then more text.
  const std::string mixed = "caf\xc3\xa9 \xe4\xb8\x8d \xc3\xa9t\xc3\xa9";
  catalogue("fr", po_header("UTF-8") + "msgid \"Mixed\"\nmsgstr \"" + mixed + "\"\n\n"
                                       "msgid \"Plain\"\nmsgstr \"\xc3\xa0 bient\xc3\xb4t\"\n");
  Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
  ASSERT_NE(t, nullptr);
  // In the table the translation keeps what converted; the next one is whole.
  EXPECT_STREQ(transtext_translate(t.get(), "Mixed"), "caf\xe9 ");
  EXPECT_STREQ(transtext_translate(t.get(), "Plain"), "\xe0 bient\xf4t");

  char buf[64];
  transtext_to_display(mixed.c_str(), buf, sizeof buf);
  EXPECT_EQ(std::string(buf), "caf\xe9 \xe4\xb8\x8d \xc3\xa9t\xc3\xa9");
  // An incomplete sequence at the end is copied raw as well.
  transtext_to_display("ab\xc3", buf, sizeof buf);
  EXPECT_STREQ(buf, "ab\xc3");
}

TEST_F(DisplayEncoding, SameEncodingOpensNoConverterAndTextsPassUnchanged) {
  setenv("LC_MESSAGES", "de_DE.UTF-8", 1);
  transtext_init("de");
  catalogue("de", po_header("UTF-8") + "msgid \"Ready\"\nmsgstr \"Bereit \xe2\x9c\x93\"\n");
  Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(converter_open());
  EXPECT_EQ(t->display_strings, nullptr);
  EXPECT_STREQ(transtext_translate(t.get(), "Ready"), "Bereit \xe2\x9c\x93");
  char buf[32];
  EXPECT_STREQ(transtext_to_display("\xff\xfe raw", buf, sizeof buf), "\xff\xfe raw");
  EXPECT_STREQ(transtext_from_display("\xff\xfe raw", buf, sizeof buf), "\xff\xfe raw");
}

TEST_F(DisplayEncoding, CatalogueWithoutEncodingEntryIsTakenAsLatin1) {
  setenv("LANG", "de_DE.UTF-8", 1);
  transtext_init("de");
  ASSERT_EQ(sh("mkdir -p '" + dir_.file("de") + "'"), 0);
  write_file(dir_.file("de/localmsgs.cvt"), raw_catalogue({{"Error", "Fehler \xbb" "x\xab"}}));
  Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(transtext_translate(t.get(), "Error"), "Fehler \xc2\xbbx\xc2\xab");
  // A later catalogue reuses the open converter whatever it says of itself.
  ASSERT_EQ(sh("mkdir -p '" + dir_.file("fr") + "'"), 0);
  write_file(dir_.file("fr/localmsgs.cvt"),
             raw_catalogue({{"__character_encoding__", "UTF-8"}, {"Error", "Erreur \xe9"}}));
  Table fr(transtext_new_table_lang(data_dir().c_str(), "localmsgs.cvt", "fr"));
  ASSERT_NE(fr, nullptr);
  EXPECT_STREQ(transtext_translate(fr.get(), "Error"), "Erreur \xc3\xa9");
}

TEST_F(DisplayEncoding, UnknownEncodingNameLeavesTextsUnconverted) {
  setenv("LANG", "de_DE.NO-SUCH-CODE", 1);
  transtext_init("de");
  catalogue("de", po_header("ISO-8859-1") + "msgid \"a\"\nmsgstr \"\xe4\"\n");
  Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
  ASSERT_NE(t, nullptr);
  EXPECT_FALSE(converter_open());
  EXPECT_STREQ(transtext_translate(t.get(), "a"), "\xe4");
}

TEST_F(DisplayEncoding, RepeatedKeysKeepEveryTranslationValidAfterConversion) {
  setenv("LANG", "de_DE.UTF-8", 1);
  transtext_init("de");
  ASSERT_EQ(sh("mkdir -p '" + dir_.file("de") + "'"), 0);
  // The repeats come first, so the unique entries lie beyond the filled count.
  write_file(dir_.file("de/localmsgs.cvt"),
             raw_catalogue({{"A", "\xe4 one"}, {"A", "\xe4 two"}, {"A", "\xe4 three"},
                            {"__character_encoding__", "ISO-8859-1"}, {"B", "\xf6"}, {"C", "\xfc"},
                            {"D", "\xe4 one"}}));
  Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->filled, 5u);
  EXPECT_STREQ(transtext_translate(t.get(), "A"), "\xc3\xa4 one");
  EXPECT_STREQ(transtext_translate(t.get(), "B"), "\xc3\xb6");
  EXPECT_STREQ(transtext_translate(t.get(), "C"), "\xc3\xbc");
  EXPECT_STREQ(transtext_translate(t.get(), "D"), "\xc3\xa4 one");
}

// The destination is a slice in the middle of a marked buffer: nothing outside `room`
// may change, on every path (no converter, converted, converted then raw).
TEST_F(DisplayEncoding, ConversionsNeverWritePastRoom) {
  struct {
    const char *name;
    const char *lang;  // LANG value; the catalogue is UTF-8
    const char *src;
    int direction;
  } cases[] = {
      {"plain copy, no converter", nullptr, "hello world", 0},
      {"plain copy from display", nullptr, "hello world", 1},
      {"converted", "de_DE.ISO-8859-1", "\xc3\xa4\xc3\xb6\xc3\xbc abcdef", 0},
      {"converted then raw", "de_DE.ISO-8859-1", "ab\xe4\xb8\x8d\xe4\xb8\x8d\xe4\xb8\x8d", 0},
      {"growing conversion", "de_DE.ISO-8859-1", "\xe4\xf6\xfc\xe4\xf6\xfc", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    reset_display_state();
    unsetenv("LANG");
    if (c.lang != nullptr) setenv("LANG", c.lang, 1);
    transtext_init("xx");
    if (c.lang != nullptr) {
      catalogue("xx", po_header("UTF-8") + "msgid \"k\"\nmsgstr \"v\"\n");
      Table t(transtext_new_table(data_dir().c_str(), "localmsgs.cvt"));
      ASSERT_TRUE(converter_open());
    }
    char full[128];
    transtext_fromto_display(c.src, full, sizeof full, c.direction);
    for (std::uint32_t room = 0; room < 24; ++room) {
      SCOPED_TRACE(room);
      char buf[64];
      std::memset(buf, '#', sizeof buf);
      char *dst = buf + 16;
      EXPECT_EQ(transtext_fromto_display(c.src, dst, room, c.direction), dst);
      for (std::size_t i = 0; i < 16; ++i) ASSERT_EQ(buf[i], '#');
      for (std::size_t i = 16 + room; i < sizeof buf; ++i) ASSERT_EQ(buf[i], '#') << i;
      if (room == 0) continue;
      std::size_t len = strnlen(dst, room);
      ASSERT_LT(len, room);  // terminated inside the room
      // With room for the whole result it is the same as with plenty of room; with less,
      // running out of room ends the conversion and the rest follows raw.
      if (std::strlen(full) < room) {
        EXPECT_STREQ(dst, full);
      }
    }
  }
}

TEST_F(DisplayEncoding, LanguageLoaderSurvivesEveryAllocationFailure) {
  setenv("LANG", "de_DE.UTF-8", 1);
  transtext_init("de");
  catalogue("de", po_header("ISO-8859-1") + "msgid \"Printer\"\nmsgstr \"Ger\xe4t\"\n\n"
                                            "msgid \"Ready\"\nmsgstr \"Bereit\"\n");
  std::string dir = data_dir();
  auto made = sweep_allocation_failures([&] {
    transtext_table *t = transtext_new_table(dir.c_str(), "localmsgs.cvt");
    if (t == nullptr) return false;
    EXPECT_STREQ(transtext_translate(t, "Printer"), "Ger\xc3\xa4t");
    transtext_free(t);
    return true;
  });
  EXPECT_GE(made, 4u);  // image, table, buckets, display strings
}

}  // namespace
