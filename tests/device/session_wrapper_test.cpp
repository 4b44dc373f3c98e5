#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/snmp_wrapper.h"
#include "kivo8/udp_sess.h"
#include "support/peers.h"
#include "support/record_owners.h"

namespace {

using kivo8::test::IfinfoEntry;

using namespace kivo8::test;

const std::string sys_descr = "Zarno ZR-1000 test printer";

in_addr dotted(const char *text) {
  in_addr a{};
  inet_pton(AF_INET, text, &a);
  return a;
}

// snmpd on the standard port 161 of its own namespace, where a session opened for a device
// reaches it without any change to the session.
class DeviceAgent : public ::testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_PROGRAM("snmpd");
    KIVO8_REQUIRE_NETNS();
    ns_ = std::make_unique<Netns>();
    std::string conf = "agentaddress udp:127.0.0.1:161\n"
                       "rocommunity vellum 127.0.0.0/8\n"
                       "sysDescr " + sys_descr + "\n";
    {
      FILE *f = fopen(dir_.file("snmpd.conf").c_str(), "w");
      ASSERT_NE(f, nullptr);
      fputs(conf.c_str(), f);
      fclose(f);
    }
    agent_ = Process({"env", "SNMP_PERSISTENT_DIR=" + dir_.file("persist"), "MIBS=",
                      find_program("snmpd"), "-f", "-Lo", "-C", "-c", dir_.file("snmpd.conf"),
                      "-M", "/dev/null", "-I", "-smux"},
                     ns_->name(), dir_.file("snmpd.log"));
    ASSERT_TRUE(wait_until(15, [&] {
      return ns_->sh("snmpget -v1 -c vellum -m '' -M /dev/null -t 1 -r 0 127.0.0.1 "
                     "1.3.6.1.2.1.1.1.0 >/dev/null 2>&1") == 0;
    })) << sh_output("cat '" + dir_.file("snmpd.log") + "'");
    ASSERT_EQ(mt_res_init(), 0);
  }
  void TearDown() override {
    agent_.stop();
    mt_res_free();
  }

  // The sysDescr.0 of the device's agent through a session opened for the device, or the
  // session code of the failure.
  int32_t get_descr(const device_record &device, std::string *value) {
    snmp_session *s = snmp_create_session_wrapper(&device);
    EXPECT_NE(s, nullptr);
    if (s == nullptr) return SNMP_ERR_OTHER;
    s->version = 1;
    if (device.target != nullptr) s->community = device.target->comms;
    uint32_t name[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};
    snmp_oid oids[] = {{name, 9}, {nullptr, 0}};
    snmp_pdu *response = nullptr;
    ns_->enter();
    int32_t rc = snmp_get(s, oids, &response);
    ns_->leave();
    if (rc == 0 && response != nullptr && response->variables != nullptr)
      value->assign(reinterpret_cast<const char *>(response->variables->value),
                    response->variables->value_length);
    snmp_free_pdu(response);
    snmp_free_session(s);
    return rc;
  }

  TempDir dir_;
  std::unique_ptr<Netns> ns_;
  Process agent_;
};

IfinfoEntry make_target(const char *local_address, int32_t seconds) {
  IfinfoEntry t(ifinfo_new());
  EXPECT_NE(t, nullptr);
  t->addr = dotted(local_address);
  t->count = seconds;
  EXPECT_NE(snmp_comm_add(&t->comms, "vellum"), nullptr);
  return t;
}

TEST_F(DeviceAgent, SessionForADeviceAnswersAGet) {
  IfinfoEntry target = make_target("127.0.0.1", 2);
  device_record device{};
  device.address = dotted("127.0.0.1");
  device.target = target.get();

  snmp_session *s = snmp_create_session_wrapper(&device);
  ASSERT_NE(s, nullptr);
  ASSERT_NE(s->udp, nullptr);
  EXPECT_EQ(s->udp->address.s_addr, device.address.s_addr);
  EXPECT_EQ(s->udp->port, 161);
  EXPECT_EQ(s->udp->timeout, 2);  // the target's time-out
  EXPECT_EQ(s->version, -1);
  EXPECT_EQ(s->community, &snmp_comm_null);
  snmp_free_session(s);

  std::string value;
  EXPECT_EQ(get_descr(device, &value), 0);
  EXPECT_EQ(value, sys_descr);
}

TEST_F(DeviceAgent, TheRequestLeavesFromTheTargetsInterface) {
  // A target whose local address this host does not have cannot send: the session really
  // takes its interface from the device's target.
  IfinfoEntry elsewhere = make_target("192.0.2.77", 1);
  device_record device{};
  device.address = dotted("127.0.0.1");
  device.target = elsewhere.get();
  std::string value;
  EXPECT_NE(get_descr(device, &value), 0);
  EXPECT_TRUE(value.empty());
}

TEST(SessionWrapper, NullRecordGivesNoSession) {
  EXPECT_EQ(snmp_create_session_wrapper(nullptr), nullptr);
  device_record device{};
  device.address = dotted("127.0.0.1");
  snmp_session *s = snmp_create_session_wrapper(&device);  // no target: still a session
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->udp->port, 161);
  snmp_free_session(s);
}

}  // namespace
