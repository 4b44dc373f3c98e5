// Allocation-failure sweeps for the creators that the module tests leave out: reading and
// saving the search targets, loading both catalogues, and the session made for a device.
// Each call runs with its 1st, 2nd, ... allocation failing (alone, then with every later
// one failing too): the failure result, nothing leaked (ASan, valgrind), nothing
// half-linked, and for a save nothing of the file lost.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/snmp_wrapper.h"
#include "kivo8/transtext.h"
#include "kivo8/xtext_kivo.h"
#include "support/alloc_failure.h"
#include "support/peers.h"
#include "support/pref_home.h"
#include "text/transtext_internal.h"

namespace {

using kivo8::test::PrefHome;
using kivo8::test::sweep_allocation_failures;

const char *const kSaved =
    "%network\n"
    "total=3\n"
    "1=1,10.1.0.255,255.255.255.0,0.0.0.0,3,1,public,pri\\,vate\n"
    "2=10001,10.2.0.1,10.2.0.40,0.0.0.0,2,0,vellum\n"
    "3=20001,A!B,4,2,one,two,three\n";

int count_of(const ifinfo *list) {
  int n = 0;
  for (; list != nullptr; list = list->next) ++n;
  return n;
}

// Every linked entry is whole: it has its community names (at least one, each a text).
void expect_whole(const ifinfo *list) {
  for (; list != nullptr; list = list->next) {
    ASSERT_NE(list->comms, nullptr);
    for (const snmp_comm *c = list->comms; c != nullptr; c = c->next) ASSERT_NE(c->name, nullptr);
  }
}

TEST(AllocSweep, ReadingSavedTargets) {
  PrefHome home;
  ASSERT_TRUE(home.ready());
  home.put(kSaved);
  sweep_allocation_failures([&] {
    ifinfo *list = nullptr;
    ifinfo_read_preference(&list);
    expect_whole(list);
    const bool all = count_of(list) == 3;
    ifinfo_free_list(list);
    return all;
  });
}

TEST(AllocSweep, SavingTargetsLosesNothing) {
  PrefHome home;
  ASSERT_TRUE(home.ready());
  home.put(kSaved);
  ifinfo *list = nullptr;
  ifinfo_read_preference(&list);
  ASSERT_EQ(count_of(list), 3);
  snmp_comm_add(&list->comms, "added");
  ASSERT_EQ(ifinfo_write_preference(list), 0);
  const auto wanted = home.contents();
  ASSERT_TRUE(wanted.has_value());

  sweep_allocation_failures([&] {
    home.put(kSaved);
    const int32_t r = ifinfo_write_preference(list);
    const auto now = home.contents();
    // A save happens whole or not at all: never a file with part of the list.
    EXPECT_TRUE(now == wanted || now == std::string(kSaved)) << now.value_or("<no file>");
    return r == 0 && now == wanted;
  });
  ifinfo_free_list(list);
}

TEST(AllocSweep, LoadingBothCatalogues) {
  kivo8::test::TempDir dir;
  ASSERT_EQ(kivo8::test::sh("mkdir -p '" + dir.file("xx") + "'"), 0);
  auto raw = [](const std::string &key, const std::string &value) {
    std::string out("\x19\x64\x02\x13\x01\x00\x00\x00", 8);
    const std::string pool = key + '\0' + value + '\0';
    for (std::uint32_t v : {0u, static_cast<std::uint32_t>(key.size() + 1)})
      for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
    return out + pool;
  };
  PrefHome::write_file(dir.file("xx/" TRANS_FILENAME), raw("Unknown", "Inconnu"));
  PrefHome::write_file(dir.file(MODELNAMES_FILENAME), raw("PRN-9000", "Printer 9"));
  for (const char *v : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) unsetenv(v);
  setenv("LANG", "xx.UTF-8", 1);
  kivo8::text::reset_display_state();
  transtext_init("xx");
  const std::string data = dir.path() + "/";
  sweep_allocation_failures([&] {
    transtext_readfile(data.c_str());
    const std::string message = transtext_message("Unknown");
    const std::string model = transtext_modelname("PRN-9000");
    EXPECT_TRUE(message == "Unknown" || message == "Inconnu");
    EXPECT_TRUE(model == "PRN-9000" || model == "Printer 9");
    transtext_free_tables();
    return message == "Inconnu" && model == "Printer 9";
  });
  kivo8::text::reset_display_state();
}

TEST(AllocSweep, SessionForADevice) {
  ASSERT_EQ(mt_res_init(), 0);
  ifinfo *target = ifinfo_new();
  ASSERT_NE(target, nullptr);
  device_record device{};
  device.address.s_addr = htonl(INADDR_LOOPBACK);
  device.target = target;
  sweep_allocation_failures([&] {
    snmp_session *s = snmp_create_session_wrapper(&device);
    const bool made = s != nullptr && s->udp != nullptr;
    snmp_free_session(s);
    return made;
  });
  ifinfo_free(target);
  mt_res_free();
}

}  // namespace
