// A hostile agent floods one collection window with 100,000 datagrams: the window ends
// on time and keeps what it can. Long (label slow) and timed, so kept apart.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_fd.h"
#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"
#include "kivo8/slp_sess.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/tcp_utils.h"
#include "support/hostile_peer.h"
#include "support/peers.h"
#include "support/snmp_agents.h"

namespace kivo8::test {
namespace {

using craft::Bytes;
using Reply = UdpResponder::Reply;

constexpr const char *kSysDescr = "1.3.6.1.2.1.1.1.0";

}  // namespace
TEST_F(HostilePeer, FloodOfOneHundredThousandDatagramsInOneWindow) {
  constexpr int kFlood = 100000;
  responder_ = std::make_unique<UdpResponder>([](const Bytes &req, int) {
    craft::Request r = craft::decode_request(req);
    craft::Message m;
    m.version = r.version;
    m.reqid = r.reqid;
    m.bindings = {{craft::parse_oid(kSysDescr), craft::octets("flood")}};
    Bytes one = craft::encode(m);
    return std::vector<Reply>(kFlood, Reply{one, 0});
  });
  ASSERT_TRUE(responder_->ok());
  SessionPtr s = session(1, 1);
  PduPtr request = get_request();
  snmp_pdu_list *list = nullptr;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(snmp_asynch_response(s.get(), request.get(), &list), 0);
  const double seconds = seconds_since(start);
  ListPtr owned(list);
  const int kept = snmp_pdu_list_length(list);
  std::printf("flood: %d of %d datagrams sent before the window closed, %d kept, %.2f s\n",
              responder_->sent(), kFlood, kept, seconds);
  // The window is one second; handing over what was kept adds time in step with their
  // number (a walk of the list per reply once took 5.4 s for 20,000 replies).
  EXPECT_GE(seconds, 0.9);
  EXPECT_LT(seconds, 6.0);
  EXPECT_GT(kept, 0);
  int checked = 0;
  for (const snmp_pdu_list *n = list; n != nullptr && n->pdu != nullptr && checked < 1000; n = n->next, ++checked) {
    ASSERT_NE(n->pdu->variables, nullptr);
    EXPECT_EQ(n->pdu->variables->value_length, 5u);
  }
}

}  // namespace kivo8::test
