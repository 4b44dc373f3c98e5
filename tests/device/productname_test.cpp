#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "kivo8/device.h"
#include "kivo8/transtext.h"
#include "kivo8/xtext_kivo.h"
#include "support/peers.h"
#include "text/transtext_internal.h"
#include "support/catalogue_fixture.h"

namespace {

using namespace kivo8::test;

const std::string unknown_de = "Unbekannt";
const std::string nab_de = "DA-Einheit";
const std::string nosnmp_de = "Ger\xc3\xa4t ohne SNMP";
const std::string model_shown = "Zarno Drucker 1000";

class ProductNames : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) unsetenv(v);
    kivo8::text::reset_display_state();
    ASSERT_EQ(sh("mkdir -p '" + dir_.file("de") + "'"), 0);
    compile_po(po_header("UTF-8") + "msgid \"Unknown\"\nmsgstr \"" + unknown_de + "\"\n\n" +
                   "msgid \"DA Unit\"\nmsgstr \"" + nab_de + "\"\n\n" +
                   "msgid \"SNMP Disabled Device\"\nmsgstr \"" + nosnmp_de + "\"\n",
               dir_.file("de/" TRANS_FILENAME));
    compile_po(po_header("UTF-8") + "msgid \"ZR-1000\"\nmsgstr \"" + model_shown + "\"\n",
               dir_.file(MODELNAMES_FILENAME));
  }
  void TearDown() override {
    transtext_free_tables();
    kivo8::text::reset_display_state();
  }
  void load() {
    setenv("LANG", "de_DE.UTF-8", 1);
    transtext_init("de");
    transtext_readfile((dir_.path() + "/").c_str());
  }
  TempDir dir_;
};

device_record with_product(const char *product, device_info *info) {
  device_record d{};
  std::strncpy(d.product, product, sizeof d.product - 1);
  d.info = info;
  return d;
}

TEST_F(ProductNames, FollowTheDeviceTypeThroughTheCatalogues) {
  load();
  device_info stdmib{DEVICE_TYPE_STDMIB}, nab{DEVICE_TYPE_NAB}, nosnmp{DEVICE_TYPE_NOSNMP},
      zarno{7};
  struct {
    const char *name;
    device_record device;
    std::string shown;
    bool own_text;  // the record's own product field itself, not a copy
  } cases[] = {
      {"no information yet", with_product("ZR-1000", nullptr), unknown_de, false},
      {"standard-MIB printer keeps its own text", with_product("ZR-1000", &stdmib), "ZR-1000",
       true},
      {"Zarno printer in the model catalogue", with_product("ZR-1000", &zarno), model_shown,
       false},
      {"Zarno printer missing from the catalogue", with_product("ZR-2", &zarno), "ZR-2", true},
      {"network adapter board", with_product("ZR-1000", &nab), nab_de, false},
      {"SNMP disabled", with_product("ZR-1000", &nosnmp), nosnmp_de, false},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.name);
    const char *shown = device_get_productname(&c.device);
    ASSERT_NE(shown, nullptr);
    EXPECT_EQ(std::string(shown), c.shown);
    EXPECT_EQ(shown == c.device.product, c.own_text);
  }
  EXPECT_EQ(device_get_productname(nullptr), nullptr);
}

TEST_F(ProductNames, WithoutCataloguesTheKeysAreShown) {
  device_info nab{DEVICE_TYPE_NAB}, zarno{7};
  device_record none = with_product("ZR-1000", nullptr);
  device_record board = with_product("ZR-1000", &nab);
  device_record printer = with_product("ZR-1000", &zarno);
  EXPECT_STREQ(device_get_productname(&none), "Unknown");
  EXPECT_STREQ(device_get_productname(&board), "DA Unit");
  EXPECT_EQ(device_get_productname(&printer), printer.product);
}

}  // namespace
