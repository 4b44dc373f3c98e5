// PDU records, bindings and response lists: storage choices, ids and failure paths.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/alloc.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_sess.h"
#include "snmp/pdu.h"
#include "support/alloc_failure.h"

namespace {

const std::uint32_t kName[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};

class Pdu : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mt_res_init(), 0);
    // Counters as at load time, also when several cases share one process.
    _snmp_set_reqid_counter(0);
    _snmp_set_msgid_counter(0);
    pdu = snmp_create_pdu(SNMP_MSG_GET);
    ASSERT_NE(pdu, nullptr);
  }
  void TearDown() override {
    snmp_free_pdu(pdu);
    mt_res_free();
  }
  bool owns_value(const snmp_var *v) const { return v->value != nullptr && v->value != v->value_storage; }
  snmp_pdu *pdu = nullptr;
};

TEST_F(Pdu, FreshPduDefaultsAndIdsCountUp) {
  EXPECT_EQ(pdu->version, -1);
  EXPECT_EQ(pdu->command, SNMP_MSG_GET);
  EXPECT_EQ(pdu->reqid, 1u);
  EXPECT_EQ(pdu->msgid, 1u);
  EXPECT_EQ(pdu->errstat, -1);
  EXPECT_EQ(pdu->errindex, -1);
  EXPECT_EQ(pdu->community, nullptr);
  EXPECT_EQ(pdu->community_len, 0u);
  EXPECT_EQ(pdu->variables, nullptr);
  snmp_pdu *second = snmp_create_pdu(SNMP_MSG_GETNEXT);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->reqid, 2u);
  EXPECT_EQ(second->msgid, 2u);
  snmp_free_pdu(second);
  // The internal variant consumes no ids.
  snmp_pdu *response = _snmp_create_pdu(0);
  ASSERT_NE(response, nullptr);
  EXPECT_EQ(response->reqid, 0u);
  EXPECT_EQ(response->msgid, 0u);
  EXPECT_EQ(response->errstat, -1);
  snmp_free_pdu(response);
  EXPECT_EQ(snmp_get_next_reqid(), 3u);
  EXPECT_EQ(snmp_get_next_msgid(), 3u);
}

TEST_F(Pdu, CountersSkipZeroWhenTheyWrap) {
  _snmp_set_reqid_counter(0xFFFFFFFE);
  _snmp_set_msgid_counter(0xFFFFFFFF);
  EXPECT_EQ(snmp_get_next_reqid(), 0xFFFFFFFFu);
  EXPECT_EQ(snmp_get_next_reqid(), 2u);
  EXPECT_EQ(snmp_get_next_reqid(), 3u);
  EXPECT_EQ(snmp_get_next_msgid(), 2u);
}

TEST_F(Pdu, AddVariableStoresEachTypeAsSpecified) {
  const std::int32_t integer = -5;
  const std::uint32_t counter = 0xFFFFFFFF;
  const counter64 c64{0x80000000, 1};
  const std::uint8_t ip[4] = {192, 168, 1, 20};
  const std::uint32_t oid10[10] = {1, 3, 6, 1, 4, 1, 9, 9, 9, 9};
  const std::uint32_t oid11[11] = {1, 3, 6, 1, 4, 1, 9, 9, 9, 9, 9};
  const std::vector<std::uint8_t> s40(40, 'a'), s41(41, 'b');
  struct {
    const char *name;
    int32_t type;
    const void *value;
    std::uint32_t length;
    std::uint32_t stored_length;
    bool inline_value;  // when a value is stored
    bool has_value;
  } cases[] = {
      {"integer", SNMP_TYPE_INTEGER, &integer, 4, 4, true, true},
      {"integer given a longer length", SNMP_TYPE_INTEGER, &integer, 4, 4, true, true},
      {"ip address", SNMP_TYPE_IPADDRESS, ip, 4, 4, true, true},
      {"counter", SNMP_TYPE_COUNTER, &counter, 4, 4, true, true},
      {"gauge", SNMP_TYPE_GAUGE, &counter, 4, 4, true, true},
      {"timeticks", SNMP_TYPE_TIMETICKS, &counter, 4, 4, true, true},
      {"counter64", SNMP_TYPE_COUNTER64, &c64, 8, 8, true, true},
      {"string of 40 inline", SNMP_TYPE_OCTET_STR, s40.data(), 40, 40, true, true},
      {"string of 41 allocated", SNMP_TYPE_OCTET_STR, s41.data(), 41, 41, false, true},
      {"opaque of 41 allocated", SNMP_TYPE_OPAQUE, s41.data(), 41, 41, false, true},
      {"empty string", SNMP_TYPE_OCTET_STR, nullptr, 0, 0, true, true},
      {"oid of 10 inline", SNMP_TYPE_OBJECT_ID, oid10, 40, 40, true, true},
      {"oid of 11 allocated", SNMP_TYPE_OBJECT_ID, oid11, 44, 44, false, true},
      {"null", SNMP_TYPE_NULL, nullptr, 0, 0, false, false},
      {"noSuchObject", SNMP_NOSUCHOBJECT, nullptr, 0, 0, false, false},
      {"noSuchInstance", SNMP_NOSUCHINSTANCE, nullptr, 0, 0, false, false},
      {"endOfMibView", SNMP_ENDOFMIBVIEW, nullptr, 0, 0, false, false},
      {"tag from the low 8 bits", 0x100 | SNMP_TYPE_INTEGER, &integer, 4, 4, true, true},
  };
  int count = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    snmp_var *v = snmp_pdu_add_variable(pdu, kName, 9, c.type, c.value, c.length);
    ASSERT_NE(v, nullptr);
    ++count;
    EXPECT_EQ(v->type, c.type & 0xFF);
    EXPECT_EQ(v->value_length, c.stored_length);
    EXPECT_EQ(v->name, v->name_storage);
    EXPECT_EQ(v->name_length, 9u);
    EXPECT_EQ(0, std::memcmp(v->name, kName, sizeof kName));
    if (!c.has_value) {
      EXPECT_EQ(v->value, nullptr);
      continue;
    }
    ASSERT_NE(v->value, nullptr);
    EXPECT_EQ(v->value == v->value_storage, c.inline_value);
    if (c.stored_length != 0) {
      EXPECT_EQ(0, std::memcmp(v->value, c.value, c.stored_length));
    }
    if (c.type == SNMP_TYPE_OCTET_STR && !c.inline_value) {
      EXPECT_EQ(v->value[c.length], 0) << "terminator";
    }
  }
  EXPECT_EQ(snmp_varbind_len(pdu), count);
  // Chain order is the order of adding.
  snmp_var *v = pdu->variables;
  for (const auto &c : cases) {
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, c.type & 0xFF);
    v = v->next;
  }
  EXPECT_EQ(v, nullptr);
}

TEST_F(Pdu, FixedSizeTypesKeepTheirOwnSize) {
  const std::uint8_t big[64] = {1, 2, 3, 4, 5, 6, 7, 8};
  snmp_var *v = snmp_pdu_add_variable(pdu, kName, 9, SNMP_TYPE_INTEGER, big, sizeof big);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->value_length, 4u);
  EXPECT_EQ(v->value, v->value_storage);
  v = snmp_pdu_add_variable(pdu, kName, 9, SNMP_TYPE_COUNTER64, big, sizeof big);
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->value_length, 8u);
  // Too short a value cannot be read as the type: refused, not read past.
  EXPECT_EQ(snmp_pdu_add_variable(pdu, kName, 9, SNMP_TYPE_COUNTER64, big, 4), nullptr);
  EXPECT_EQ(snmp_pdu_add_variable(pdu, kName, 9, SNMP_TYPE_GAUGE, nullptr, 4), nullptr);
  EXPECT_EQ(snmp_varbind_len(pdu), 2);
}

TEST_F(Pdu, RefusedTypesLeaveTheChainAlone) {
  const std::uint8_t bytes[4] = {0, 1, 2, 3};
  ASSERT_NE(snmp_add_null_var(pdu, kName, 9), nullptr);
  for (int32_t type : {SNMP_TYPE_BIT_STR, SNMP_TYPE_NSAPADDRESS, SNMP_TYPE_UINTEGER, 0x30, 0xA0, 0x07}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(snmp_pdu_add_variable(pdu, kName, 9, type, bytes, 4), nullptr);
    EXPECT_EQ(snmp_varbind_len(pdu), 1);
    EXPECT_EQ(pdu->variables->next, nullptr);
  }
  EXPECT_EQ(snmp_pdu_add_variable(nullptr, kName, 9, SNMP_TYPE_NULL, nullptr, 0), nullptr);
}

TEST_F(Pdu, NamesUpTo128InlineLongerAllocated) {
  std::vector<std::uint32_t> name(129);
  for (std::uint32_t i = 0; i < 129; ++i) name[i] = i;
  snmp_var *v128 = snmp_add_null_var(pdu, name.data(), 128);
  snmp_var *v129 = snmp_add_null_var(pdu, name.data(), 129);
  snmp_var *unnamed = snmp_add_null_var(pdu, nullptr, 5);
  ASSERT_TRUE(v128 && v129 && unnamed);
  EXPECT_EQ(v128->name, v128->name_storage);
  EXPECT_NE(v129->name, v129->name_storage);
  EXPECT_EQ(v129->name_length, 129u);
  EXPECT_EQ(std::vector<std::uint32_t>(v129->name, v129->name + 129), name);
  EXPECT_EQ(unnamed->name, nullptr);
  EXPECT_EQ(unnamed->name_length, 0u);
}

TEST_F(Pdu, SetVarObjidAndValueSwitchStorageWithoutLeaking) {
  snmp_var *v = snmp_add_null_var(pdu, kName, 9);
  ASSERT_NE(v, nullptr);
  std::vector<std::uint32_t> long_name(200, 7);
  EXPECT_EQ(snmp_set_var_objid(v, long_name.data(), 200), 0);
  EXPECT_NE(v->name, v->name_storage);
  // Back to a short name: the block is released (LeakSanitizer would notice otherwise).
  EXPECT_EQ(snmp_set_var_objid(v, kName, 9), 0);
  EXPECT_EQ(v->name, v->name_storage);
  // Setting a binding's own name again is harmless.
  EXPECT_EQ(snmp_set_var_objid(v, v->name, v->name_length), 0);
  EXPECT_EQ(0, std::memcmp(v->name, kName, sizeof kName));

  std::vector<std::uint8_t> big(100, 'z');
  EXPECT_EQ(snmp_set_var_value(v, big.data(), 100), 0);
  EXPECT_TRUE(owns_value(v));
  EXPECT_EQ(v->value_length, 100u);
  EXPECT_EQ(v->type, SNMP_TYPE_NULL) << "the tag is not changed";
  // A value taken from the binding's own block survives the switch.
  EXPECT_EQ(snmp_set_var_value(v, v->value + 50, 20), 0);
  EXPECT_EQ(v->value, v->value_storage);
  EXPECT_EQ(std::vector<std::uint8_t>(v->value, v->value + 20), std::vector<std::uint8_t>(20, 'z'));
  EXPECT_EQ(snmp_set_var_value(v, big.data(), 60), 0);
  EXPECT_EQ(snmp_set_var_value(v, v->value, 60), 0);
  EXPECT_EQ(std::vector<std::uint8_t>(v->value, v->value + 60), std::vector<std::uint8_t>(60, 'z'));
  EXPECT_EQ(snmp_set_var_value(v, nullptr, 10), 0);
  EXPECT_EQ(v->value, nullptr);
  EXPECT_EQ(v->value_length, 0u);
  EXPECT_EQ(snmp_set_var_value(v, big.data(), 0), 0);
  EXPECT_EQ(v->value, nullptr);
  EXPECT_EQ(snmp_set_var_objid(nullptr, kName, 9), 1);
  EXPECT_EQ(snmp_set_var_value(nullptr, big.data(), 3), 1);
}

TEST_F(Pdu, Getters) {
  const std::int32_t i = 3;
  const std::uint32_t oid[] = {1, 3, 6};
  snmp_var *str = snmp_pdu_add_variable(pdu, kName, 9, SNMP_TYPE_OCTET_STR, "abc", 3);
  snmp_var *integer = snmp_pdu_add_variable(pdu, kName, 9, SNMP_TYPE_INTEGER, &i, 4);
  snmp_var *name = snmp_pdu_add_variable(pdu, kName, 9, SNMP_TYPE_OBJECT_ID, oid, sizeof oid);
  ASSERT_TRUE(str && integer && name);
  EXPECT_EQ(snmp_get_octet_str(str), str->value);
  EXPECT_EQ(snmp_get_octet_str(integer), nullptr);
  EXPECT_EQ(snmp_get_octet_str(nullptr), nullptr);
  EXPECT_EQ(snmp_get_oid(name), reinterpret_cast<std::uint32_t *>(name->value));
  EXPECT_EQ(snmp_get_oid(name)[2], 6u);
  EXPECT_EQ(snmp_get_oid(str), nullptr);
  EXPECT_EQ(snmp_get_oid(nullptr), nullptr);
  EXPECT_EQ(snmp_varbind_len(nullptr), 0);

  std::uint32_t row[6] = {9, 9, 9, 9, 9, 9};
  in_addr addr{};
  ASSERT_EQ(inet_pton(AF_INET, "192.168.1.20", &addr), 1);
  snmp_set_ip_as_oid(row + 1, &addr);
  EXPECT_EQ(std::vector<std::uint32_t>(row, row + 6), (std::vector<std::uint32_t>{9, 192, 168, 1, 20, 9}));
}

TEST_F(Pdu, ResponseListsCountFilledNodes) {
  snmp_pdu_list *list = snmp_create_pdu_list();
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->pdu, nullptr);
  EXPECT_EQ(list->address.s_addr, 0u);
  EXPECT_EQ(snmp_pdu_list_length(list), 0);
  EXPECT_EQ(snmp_pdu_list_length(nullptr), 0);
  list->pdu = _snmp_create_pdu(0);
  EXPECT_EQ(snmp_pdu_list_length(list), 1);
  list->next = snmp_create_pdu_list();
  ASSERT_NE(list->next, nullptr);
  list->next->pdu = _snmp_create_pdu(0);
  ASSERT_NE(snmp_add_null_var(list->next->pdu, kName, 9), nullptr);
  EXPECT_EQ(snmp_pdu_list_length(list), 2);
  snmp_free_pdu_list(list);
  snmp_free_pdu_list(nullptr);
  snmp_free_pdu(nullptr);
  snmp_free_var(nullptr);
  snmp_free_varbind(nullptr);
}

// Every creator, with its n-th allocation failing: the specified failure result, the PDU
// unchanged, and nothing leaked (LeakSanitizer checks at exit of the ASan build).
TEST_F(Pdu, AllocationFailures) {
  const std::uint32_t before_reqid = snmp_get_next_reqid();
  kivo8::test::sweep_allocation_failures([&] {
    snmp_pdu *p = snmp_create_pdu(SNMP_MSG_GET);
    if (p == nullptr) return false;
    snmp_free_pdu(p);
    return true;
  });
  // A failed creation consumed no id: only the two successful runs of the sweep did.
  EXPECT_EQ(snmp_get_next_reqid(), before_reqid + 3);

  std::vector<std::uint32_t> long_name(150, 4);
  std::vector<std::uint8_t> long_value(90, 'q');
  const std::uint32_t long_oid[20] = {1, 3, 6, 1, 4, 1};
  struct {
    const char *name;
    int32_t type;
    const void *value;
    std::uint32_t length;
    const std::uint32_t *oid;
    std::uint32_t oid_length;
  } cases[] = {
      {"null binding", SNMP_TYPE_NULL, nullptr, 0, kName, 9},
      {"long string, long name", SNMP_TYPE_OCTET_STR, long_value.data(), 90, long_name.data(), 150},
      {"long oid value", SNMP_TYPE_OBJECT_ID, long_oid, sizeof long_oid, kName, 9},
      {"long opaque", SNMP_TYPE_OPAQUE, long_value.data(), 90, kName, 9},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    kivo8::test::sweep_allocation_failures([&] {
      const int32_t before = snmp_varbind_len(pdu);
      snmp_var *v = snmp_pdu_add_variable(pdu, c.oid, c.oid_length, c.type, c.value, c.length);
      if (v == nullptr) {
        EXPECT_EQ(snmp_varbind_len(pdu), before);
        return false;
      }
      EXPECT_EQ(snmp_varbind_len(pdu), before + 1);
      return true;
    });
  }

  snmp_var *v = pdu->variables;
  kivo8::test::sweep_allocation_failures([&] {
    if (snmp_set_var_value(v, long_value.data(), 90) != 0) {
      EXPECT_EQ(v->value, nullptr);
      return false;
    }
    return true;
  });
  kivo8::test::sweep_allocation_failures([&] {
    snmp_pdu_list *l = snmp_create_pdu_list();
    if (l == nullptr) return false;
    snmp_free_pdu_list(l);
    return true;
  });
}

// The counters start at 0 when the library is loaded: checked in a freshly started copy of
// this test program, whatever ran before in this one.
TEST(PduFreshProcess, FirstPduHasIdsOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (mt_res_init() != 0) std::_Exit(2);
        snmp_pdu *first = snmp_create_pdu(SNMP_MSG_GET);
        snmp_pdu *second = snmp_create_pdu(SNMP_MSG_GET);
        const bool ok = first && second && first->reqid == 1 && first->msgid == 1 &&
                        second->reqid == 2 && second->msgid == 2;
        std::_Exit(ok ? 0 : 1);
      },
      testing::ExitedWithCode(0), "");
}

}  // namespace
