// The transport between two network namespaces joined by a veth pair: broadcast and
// multicast, which must never leave namespaces of the test's own (label namespace).
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>
#include <string>

#include "kivo8/ifinfo.h"
#include "kivo8/udp_sess.h"
#include "support/peers.h"
#include "support/udp_peer.h"

namespace {

using namespace kivo8::test::udp;

// Two namespaces joined by a veth pair: the test's side sends, a peer on the other side
// answers. Broadcast and multicast never leave these namespaces.
class UdpNetns : public testing::Test {
 protected:
  void SetUp() override {
    KIVO8_REQUIRE_NETNS();
    here_ = std::make_unique<kivo8::test::Netns>();
    there_ = std::make_unique<kivo8::test::Netns>();
    here_->must("ip link add va type veth peer name vb");
    here_->must("ip link set vb netns " + there_->name());
    here_->must("ip addr add 10.77.0.1/24 broadcast 10.77.0.255 dev va && ip link set va up");
    there_->must("ip addr add 10.77.0.2/24 broadcast 10.77.0.255 dev vb && ip link set vb up");
    there_->must("ip route add 224.0.0.0/4 dev vb");
    here_->must("ip route add 224.0.0.0/4 dev va");
    // A peer socket made inside the other namespace stays there after we leave it.
    there_->enter();
    peer_ = std::make_unique<Peer>("0.0.0.0", 0);
    there_->leave();
    int on = 1;
    setsockopt(peer_->fd(), IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    here_->enter();
  }
  void TearDown() override {
    if (here_) here_->leave();
  }
  std::unique_ptr<kivo8::test::Netns> here_, there_;
  std::unique_ptr<Peer> peer_;
};

TEST_F(UdpNetns, BroadcastNeedsTheFlagAndGathersTheAnswer) {
  ifinfo *t = ifinfo_new();
  t->addr = ip("10.77.0.1");
  t->count = 1;
  Session s = open_to("10.77.0.255", peer_->port(), t);
  s->recv_buffer_size = 2048;
  EXPECT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("who"), 3), UDP_ERR_SEND);
  s->flags |= UDP_FLAG_BROADCAST;
  ASSERT_EQ(udp_send(s.get(), reinterpret_cast<const uint8_t *>("who"), 3), UDP_OK);
  std::string got;
  sockaddr_in client = peer_->receive(&got);
  ASSERT_EQ(got, "who");
  EXPECT_EQ(text_of(client.sin_addr), "10.77.0.1");
  peer_->send_to(client, "me");
  Deliveries d;
  auto t0 = Clock::now();
  EXPECT_EQ(udp_asynch_read(s.get(), record, &d, nullptr), UDP_OK);
  double took = seconds_since(t0);
  // A window of one second, counted in whole seconds, plus room for a loaded machine
  // under valgrind; its exact length is measured in udp_window.
  EXPECT_GE(took, 1.0);
  EXPECT_LT(took, 1.0 + 1.0 + 3.0);
  ASSERT_EQ(d.calls.size(), 1u);
  EXPECT_EQ(d.calls[0].from, "10.77.0.2");
  EXPECT_EQ(d.calls[0].bytes, bytes_of("me"));
  ifinfo_free(t);
}

TEST_F(UdpNetns, MulticastLeavesWithHopsPlusOneThroughTheChosenInterface) {
  ip_mreq join{};
  join.imr_multiaddr = ip("239.255.77.1");
  join.imr_interface = ip("10.77.0.2");
  ASSERT_EQ(setsockopt(peer_->fd(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join), 0);
  Session s = open_to("239.255.77.1", peer_->port());
  s->flags = 2;  // other bits are not the transport's business
  struct in_addr iface = ip("10.77.0.1");
  for (int32_t hops : {0, 3}) {
    SCOPED_TRACE(hops);
    ASSERT_EQ(udp_sendm(s.get(), reinterpret_cast<const uint8_t *>("slp"), 3, &iface, hops),
              UDP_OK);
    EXPECT_EQ(text_of(s->sockinfo->local.sin_addr), "10.77.0.1");
    std::string got;
    int ttl = -1;
    sockaddr_in from = peer_->receive(&got, &ttl);
    EXPECT_EQ(got, "slp");
    EXPECT_EQ(text_of(from.sin_addr), "10.77.0.1");
    EXPECT_EQ(ttl, hops + 1);
  }
}

}  // namespace
