// The fixture of the tests where a hostile peer on loopback answers the library's SNMP
// requests: a responder the test sets up, and sessions aimed at it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "support/peers.h"
#include "support/session_helpers.h"
#include "support/snmp_agents.h"

namespace kivo8::test {

inline constexpr const char *kHostileSysDescr = "1.3.6.1.2.1.1.1.0";


class HostilePeer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mt_res_init(), 0);
    snmp_comm_add(&comms_, "vellum");
  }
  void TearDown() override {
    responder_.reset();
    snmp_comm_free(&comms_);
    mt_res_free();
  }
  // A session to the responder, which must be set up first.
  SessionPtr session(int32_t version, int32_t timeout) {
    return open_session("127.0.0.1", responder_->port(), version, comms_, timeout, 1);
  }
  PduPtr get_request() {
    PduPtr p(snmp_create_pdu(SNMP_MSG_GET));
    snmp_add_null_var(p.get(), craft::parse_oid(kHostileSysDescr).data(), 9);
    return p;
  }

  snmp_comm *comms_ = nullptr;
  std::unique_ptr<UdpResponder> responder_;
};

}  // namespace kivo8::test
