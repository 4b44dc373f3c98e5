// An SNMPv2c session to a peer that bench/run started on loopback, with the benchmark's
// community; closed with its community list when the owner goes.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

#include "common/snmp_workload.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/udp_sess.h"

namespace bench {

class LoopbackSession {
 public:
  explicit LoopbackSession(std::uint16_t port) {
    mt_res_init();
    snmp_comm_add(&communities_, kCommunity);
    in_addr loopback{htonl(INADDR_LOOPBACK)};
    session_ = snmp_create_session(2, &loopback, nullptr);
    session_->udp->port = port;
    session_->version = SNMP_VERSION_2c;
    session_->community = communities_;
  }
  ~LoopbackSession() {
    snmp_free_session(session_);
    snmp_comm_free(&communities_);
  }
  LoopbackSession(const LoopbackSession &) = delete;
  LoopbackSession &operator=(const LoopbackSession &) = delete;

  snmp_session *get() const { return session_; }

 private:
  snmp_comm *communities_ = nullptr;
  snmp_session *session_ = nullptr;
};

}  // namespace bench
