#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "support/catalogue_fixture.h"
#include "kivo8/transtext.h"
#include "kivo8/xtext_kivo.h"
#include "support/peers.h"
#include "text/transtext_internal.h"

using namespace kivo8::test;

namespace {

const std::string kUnknownJa = "\xe4\xb8\x8d\xe6\x98\x8e";  // 不明
const std::string kModelJa = "\xe5\x8d\xb0\xe5\x88\xb7\xe6\xa9\x9f 9";  // 印刷機 9

class Catalogues : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(v);
    kivo8::text::reset_display_state();
    ASSERT_EQ(sh("mkdir -p '" + dir_.file("ja") + "' '" + dir_.file("en") + "'"), 0);
    compile_po(po_header("UTF-8") + "msgid \"Unknown\"\nmsgstr \"" + kUnknownJa + "\"\n",
               dir_.file("ja/" TRANS_FILENAME));
    compile_po(po_header("UTF-8") + "msgid \"Unknown\"\nmsgstr \"Unknown (en)\"\n",
               dir_.file("en/" TRANS_FILENAME));
    compile_po(po_header("UTF-8") + "msgid \"PRN-9000\"\nmsgstr \"" + kModelJa + "\"\n",
               dir_.file(MODELNAMES_FILENAME));
  }
  void TearDown() override {
    transtext_free_tables();
    kivo8::text::reset_display_state();
  }
  std::string data_dir() const { return dir_.path() + "/"; }
  TempDir dir_;
};

TEST_F(Catalogues, WithoutLoadingKeysComeBackAsTheirPointers) {
  const char *msg = "Unknown";
  const char *model = "PRN-9000";
  EXPECT_EQ(transtext_message(msg), msg);
  EXPECT_EQ(transtext_modelname(model), model);
  EXPECT_EQ(transtext_message(nullptr), nullptr);
  EXPECT_EQ(transtext_modelname(nullptr), nullptr);
}

TEST_F(Catalogues, EnglishLoadsOnlyTheModelNames) {
  transtext_init("en");
  transtext_readfile(data_dir().c_str());
  const char *msg = "Unknown";
  EXPECT_EQ(transtext_message(msg), msg);
  EXPECT_EQ(transtext_modelname("PRN-9000"), kModelJa);
  const char *other = "PRN-1";
  EXPECT_EQ(transtext_modelname(other), other);
}

TEST_F(Catalogues, MessagesAreConvertedToTheDisplayAndModelNamesNever) {
  KIVO8_REQUIRE_PROGRAM("iconv");
  setenv("LANG", "ja_JP.eucJP", 1);
  transtext_init("ja");
  transtext_readfile(data_dir().c_str());
  EXPECT_EQ(transtext_message("Unknown"), iconv_text(kUnknownJa, "UTF-8", "EUC-JP"));
  EXPECT_EQ(transtext_modelname("PRN-9000"), kModelJa);  // as stored, UTF-8
  const char *missing = "DA Unit";
  EXPECT_EQ(transtext_message(missing), missing);
}

TEST_F(Catalogues, MissingFilesLeaveTheirTableEmptyAndTheOtherLoads) {
  transtext_init("de");  // no de/ folder
  transtext_readfile(data_dir().c_str());
  const char *msg = "Unknown";
  EXPECT_EQ(transtext_message(msg), msg);
  EXPECT_EQ(transtext_modelname("PRN-9000"), kModelJa);
  transtext_free_tables();

  transtext_init("ja");
  TempDir empty;
  transtext_readfile((empty.path() + "/").c_str());
  EXPECT_EQ(transtext_message(msg), msg);
  transtext_readfile(nullptr);
  EXPECT_EQ(transtext_message(msg), msg);
}

}  // namespace
