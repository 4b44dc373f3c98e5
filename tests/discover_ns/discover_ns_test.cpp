// The discovery engine inside network namespaces of our own: real agents (snmpsim), the
// test SLP service agent, a web server, and small responders that answer wrongly on
// purpose (another port, another request id, too late, floods).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <sched.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <thread>

#include "kivo8/discover.h"
#include "kivo8/kivo8.h"
#include "support/discover_lan.h"
#include "support/peers.h"
#include "support/record_owners.h"
#include "support/snmp_agents.h"

namespace kivo8::test {
namespace {

// One run of the engine from inside the hub's namespace, where the searches of these
// tests start: the handle (null when it could not be made), what the run returned and
// how long it took.
struct EngineRun {
  DiscoverHandle handle;
  int32_t rc = KIVO_DISCOVER_EINVAL;
  double took = 0;
};

EngineRun run_in_hub(HubNetwork &net, ifinfo *targets, const kivo_discover_options &o) {
  EngineRun r;
  net.hub().enter();
  r.handle.reset(kivo_discover_new(targets, &o));
  if (r.handle) {
    const double started = now_seconds();
    r.rc = kivo_discover_run(r.handle.get());
    r.took = now_seconds() - started;
  }
  net.hub().leave();
  return r;
}

// Appends a target to the list `head`.
ifinfo *add_target(ifinfo **head, int seconds) {
  ifinfo *t = ifinfo_new();
  t->count = seconds;
  ifinfo_add(head, t);
  return t;
}

ifinfo *add_local(ifinfo **head, const std::string &name, const std::string &address,
                  const std::string &broadcast, const std::string &mask, int seconds) {
  ifinfo *t = add_target(head, seconds);
  std::snprintf(t->name, sizeof t->name, "%s", name.c_str());
  t->addr = ipv4(address);
  t->addr1 = ipv4(broadcast);
  t->addr2 = ipv4(mask);
  return t;
}

ifinfo *add_range(ifinfo **head, const std::string &first, const std::string &last, int seconds) {
  ifinfo *t = add_target(head, seconds);
  t->id = 10000;
  t->addr1 = ipv4(first);
  t->addr2 = ipv4(last);
  return t;
}

// What the callbacks saw, by address.
struct Seen {
  std::map<std::string, int> found, complete;
  std::map<std::string, std::string> names;
  int progress_calls = 0;
  kivo_discover_progress last{};
  static void on_device(int32_t event, const kivo_discover_device *d, void *user) {
    auto *self = static_cast<Seen *>(user);
    std::string a = ipv4_text(d->address);
    if (event == KIVO_DISCOVER_EVENT_FOUND) ++self->found[a];
    if (event == KIVO_DISCOVER_EVENT_COMPLETE) {
      ++self->complete[a];
      self->names[a] = d->product_name;
    }
  }
  static void on_progress(const kivo_discover_progress *p, void *user) {
    auto *self = static_cast<Seen *>(user);
    ++self->progress_calls;
    self->last = *p;
  }
};

std::vector<SnmprecLine> router_data() {
  return {
      {"1.3.6.1.2.1.1.1.0", "4", "Edge router"},
      {"1.3.6.1.2.1.1.2.0", "6", "1.3.6.1.4.1.8072.3.2.10"},
      {"1.3.6.1.2.1.1.5.0", "4", "gw"},
  };
}

TEST(DiscoverNamespace, EverySearchKindInOneCallGivesOneRecordPerDevice) {
  KIVO8_REQUIRE_NETNS();
  KIVO8_REQUIRE_SNMPSIM();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(4);
  net.hub().must("ip link set br0 type bridge mcast_snooping 0");
  Snmpsim printer(net.agent(0).name(), printer_data("front-desk"));
  Snmpsim router(net.agent(1).name(), router_data());
  ASSERT_TRUE(printer.wait_ready());
  ASSERT_TRUE(router.wait_ready());
  TempDir dir;
  // Agent 2: a printer whose SNMP is off, seen only through SLP.
  std::string ready = dir.file("slp.ready");
  Process slp({"/usr/bin/python3", source_dir() + "/tests/slp/responder.py", "--address",
               net.agent_ip(2), "--ready", ready, "--url",
               "service:printer:lpr://" + net.agent_ip(2) + ":515/queue"},
              net.agent(2).name(), dir.file("slp.out"));
  ASSERT_TRUE(wait_until(10, [&] { return std::ifstream(ready).good(); }));
  // Agent 0 also serves web pages.
  Process web({"/usr/bin/python3", "-m", "http.server", "80", "--bind", net.agent_ip(0)},
              net.agent(0).name(), dir.file("web.out"));
  ASSERT_TRUE(wait_until(10, [&] {
    return net.agent(0).sh("python3 -c \"import socket; socket.create_connection(('" +
                           net.agent_ip(0) + "', 80), 1)\" 2>/dev/null") == 0;
  }));

  ifinfo *head = nullptr;
  ifinfo *local = add_local(&head, "br0", net.hub_ip(), net.broadcast_ip(), net.netmask_ip(), 2);
  snmp_comm_add(&local->comms, "vellum");
  ifinfo *range = add_range(&head, net.agent_ip(0), "10.66.0.9", 3);
  snmp_comm_add(&range->comms, "vellum");
  IfinfoList list(head);

  Seen seen;
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.on_device = &Seen::on_device;
  o.progress = &Seen::on_progress;
  o.user = &seen;
  o.web_timeout_ms = 1000;
  EngineRun run = run_in_hub(net, list.get(), o);
  ASSERT_TRUE(run.handle);
  DiscoverHandle &h = run.handle;
  const double took = run.took;
  EXPECT_EQ(run.rc, KIVO_DISCOVER_OK);

  ASSERT_EQ(kivo_discover_count(h.get()), 3u);
  const kivo_discover_device *p = device_at(h.get(), net.agent_ip(0));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->found_by, KIVO_DISCOVER_FOUND_BROADCAST | KIVO_DISCOVER_FOUND_SCAN);
  EXPECT_EQ(p->kind, KIVO_DISCOVER_KIND_PRINTER);
  EXPECT_EQ(p->snmp_version, 0);
  EXPECT_STREQ(p->community, "vellum");
  EXPECT_STREQ(p->sys_name, "front-desk");
  EXPECT_STREQ(p->sys_object_id, "1.3.6.1.4.1.11.2.3.9.1");
  EXPECT_STREQ(p->hr_device_type, "1.3.6.1.2.1.25.3.1.5");
  EXPECT_STREQ(p->device_id_mfg, "Acme");
  EXPECT_STREQ(p->device_id_mdl, "LabelJet 410");
  EXPECT_STREQ(p->device_id_cmd, "ZPL,PCL");
  EXPECT_STREQ(p->product_name, "Acme LabelJet 410");
  EXPECT_EQ(p->web_server, KIVO_DISCOVER_WEB_YES);
  ASSERT_NE(p->record, nullptr);
  EXPECT_TRUE(device_isStdMibPrinter(p->record));
  EXPECT_STREQ(p->record->product, "Acme LabelJet 410");

  const kivo_discover_device *r = device_at(h.get(), net.agent_ip(1));
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->kind, KIVO_DISCOVER_KIND_OTHER);
  EXPECT_EQ(r->web_server, KIVO_DISCOVER_WEB_NO);
  EXPECT_STREQ(r->sys_descr, "Edge router");

  const kivo_discover_device *s = device_at(h.get(), net.agent_ip(2));
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->found_by, KIVO_DISCOVER_FOUND_SLP);
  EXPECT_EQ(s->kind, KIVO_DISCOVER_KIND_PRINTER_NO_SNMP);
  ASSERT_EQ(s->slp_url_count, 1u);
  EXPECT_EQ(std::string(s->slp_urls[0]), "service:printer:lpr://" + net.agent_ip(2) + ":515/queue");
  EXPECT_TRUE(device_isNoSNMP(s->record));

  // Each device announced once when first seen and once when described.
  for (const auto &a : {net.agent_ip(0), net.agent_ip(1), net.agent_ip(2)}) {
    SCOPED_TRACE(a);
    EXPECT_EQ(seen.found[a], 1);
    EXPECT_EQ(seen.complete[a], 1);
  }
  EXPECT_EQ(seen.names[net.agent_ip(0)], "Acme LabelJet 410");
  EXPECT_GE(seen.progress_calls, 2);
  EXPECT_EQ(seen.last.addresses_total, 8u);
  EXPECT_EQ(seen.last.addresses_done, 8u);

  kivo_discover_stats st{};
  ASSERT_EQ(kivo_discover_get_stats(h.get(), &st), KIVO_DISCOVER_OK);
  EXPECT_EQ(st.devices, 3u);
  EXPECT_EQ(st.devices_dropped, 0u);
  EXPECT_EQ(st.deadline_reached, 0);
  // The run ended because nothing was left in flight: silent addresses waited their
  // time-out all at once, not one after another.
  EXPECT_LT(took, 0.9 * (3 + 3 * 2 + 1)) << "well before the default deadline";
}


// A socket made inside namespace `netns` (sockets keep the namespace they were made in).
int socket_in(const std::string &netns, int type, int protocol) {
  int fd = -1;
  std::thread([&] {
    int ns = ::open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0) return;
    if (::setns(ns, CLONE_NEWNET) == 0) fd = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    ::close(ns);
  }).join();
  return fd;
}

int udp_bound_in(const std::string &netns, const std::string &address, int port) {
  int fd = socket_in(netns, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr = ipv4(address);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  timeval tv{0, 100000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

// An answer to `request` naming every binding it asked for with a text.
craft::Bytes answer(const craft::Request &request, const std::string &text, std::int64_t reqid) {
  craft::Message m;
  m.version = request.version;
  m.community = request.community;
  m.reqid = reqid;
  for (const auto &n : request.names) m.bindings.push_back({n, craft::octets(text)});
  return craft::encode(m);
}

// A thread that reads GETs on port 161 of `address` inside `netns` and hands each to
// `act` with the socket and the sender; stops with the object.
class Agent {
 public:
  using Act = std::function<void(int fd, const craft::Request &, const sockaddr_in &from)>;
  Agent(const std::string &netns, const std::string &address, Act act) : act_(std::move(act)) {
    fd_ = udp_bound_in(netns, address, 161);
    EXPECT_GE(fd_, 0) << "cannot bind port 161 in " << netns;
    thread_ = std::thread([this] { run(); });
  }
  ~Agent() {
    stop_ = true;
    thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  int requests() const { return requests_.load(); }

 private:
  void run() {
    std::vector<std::uint8_t> buffer(65536);
    while (!stop_) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
      if (n <= 0) continue;
      ++requests_;
      craft::Request r = craft::decode_request(craft::Bytes(buffer.begin(), buffer.begin() + n));
      if (r.ok) act_(fd_, r, from);
    }
  }
  Act act_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

void send_to(int fd, const craft::Bytes &bytes, const sockaddr_in &to) {
  ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
}

TEST(DiscoverNamespace, RepliesAreMatchedByRequestIdAddressAndPort) {
  KIVO8_REQUIRE_NETNS();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(4);
  // .2 answers from another port, .3 with another request id, .4 after its request has
  // long ended; .5 answers as it should.
  int other_port = udp_bound_in(net.agent(0).name(), net.agent_ip(0), 1161);
  ASSERT_GE(other_port, 0);
  Agent wrong_port(net.agent(0).name(), net.agent_ip(0), [&](int, const craft::Request &r, const sockaddr_in &from) {
    send_to(other_port, answer(r, "from 1161", r.reqid), from);
  });
  Agent wrong_id(net.agent(1).name(), net.agent_ip(1), [](int fd, const craft::Request &r, const sockaddr_in &from) {
    send_to(fd, answer(r, "other id", r.reqid + 7), from);
  });
  Agent late(net.agent(2).name(), net.agent_ip(2), [](int fd, const craft::Request &r, const sockaddr_in &from) {
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    send_to(fd, answer(r, "too late", r.reqid), from);
  });
  Agent good(net.agent(3).name(), net.agent_ip(3), [](int fd, const craft::Request &r, const sockaddr_in &from) {
    send_to(fd, answer(r, "Good printer", r.reqid), from);
  });

  ifinfo *head = nullptr;
  // 39 addresses at 20 a second: the sweep lasts about two seconds, so the late answer
  // arrives while the run still listens.
  ifinfo *range = add_range(&head, net.agent_ip(0), "10.66.0.40", 1);
  snmp_comm_add(&range->comms, "vellum");
  IfinfoList list(head);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_RANGES;
  o.timeout_ms = 300;
  o.rate = 20;
  EngineRun run = run_in_hub(net, list.get(), o);
  ASSERT_TRUE(run.handle);
  DiscoverHandle &h = run.handle;
  EXPECT_EQ(run.rc, KIVO_DISCOVER_OK);
  ::close(other_port);

  ASSERT_EQ(kivo_discover_count(h.get()), 1u);
  const kivo_discover_device *d = kivo_discover_get(h.get(), 0);
  EXPECT_EQ(ipv4_text(d->address), net.agent_ip(3));
  EXPECT_EQ(d->found_by, KIVO_DISCOVER_FOUND_SCAN);
  EXPECT_STREQ(d->sys_descr, "Good printer");
  kivo_discover_stats st{};
  kivo_discover_get_stats(h.get(), &st);
  EXPECT_GE(late.requests(), 1);
  EXPECT_GE(st.datagrams_dropped, 3u) << "the three wrong answers are counted";
  EXPECT_EQ(st.deadline_reached, 0) << st.elapsed_ms << " ms, sent " << st.requests_sent
                                    << ", answers " << st.answers << ", dropped "
                                    << st.datagrams_dropped << ", deferred " << st.sends_deferred;
}

// Answers a broadcast GET with one reply from each of `count` made-up devices (source
// addresses 10.66.1.0 upwards, written into raw IP headers), as a crowded network would.
void crowd(int raw, const craft::Request &r, const sockaddr_in &from, int count) {
  craft::Bytes reply = answer(r, "Made-up device", r.reqid);
  std::vector<std::uint8_t> packet(sizeof(iphdr) + sizeof(udphdr) + reply.size());
  for (int i = 0; i < count; ++i) {
    auto *ip = reinterpret_cast<iphdr *>(packet.data());
    *ip = iphdr{};
    ip->version = 4;
    ip->ihl = 5;
    ip->ttl = 64;
    ip->protocol = IPPROTO_UDP;
    ip->tot_len = htons(static_cast<uint16_t>(packet.size()));
    ip->saddr = htonl(ntohl(ipv4("10.66.1.0").s_addr) + static_cast<uint32_t>(i));
    ip->daddr = from.sin_addr.s_addr;
    auto *udp = reinterpret_cast<udphdr *>(packet.data() + sizeof(iphdr));
    udp->source = htons(161);
    udp->dest = from.sin_port;
    udp->len = htons(static_cast<uint16_t>(sizeof(udphdr) + reply.size()));
    udp->check = 0;
    std::copy(reply.begin(), reply.end(), packet.begin() + sizeof(iphdr) + sizeof(udphdr));
    ::sendto(raw, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr *>(&from), sizeof from);
    if (i % 200 == 199) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

TEST(DiscoverNamespace, DevicesPastTheCapAreCountedNotKept) {
  KIVO8_REQUIRE_NETNS();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(1);
  // The made-up devices live in 10.66.0.0/16; the hub takes their answers as on-link.
  net.hub().must("ip route add 10.66.0.0/16 dev br0 && sysctl -qw net.ipv4.conf.all.rp_filter=0 "
                 "net.ipv4.conf.br0.rp_filter=0");
  int raw = socket_in(net.agent(0).name(), SOCK_RAW, IPPROTO_RAW);
  ASSERT_GE(raw, 0);
  Agent agent(net.agent(0).name(), "0.0.0.0", [&](int, const craft::Request &r, const sockaddr_in &from) {
    crowd(raw, r, from, 1000);
  });
  ifinfo *head = nullptr;
  ifinfo *local = add_local(&head, "br0", net.hub_ip(), net.broadcast_ip(), "255.255.0.0", 2);
  snmp_comm_add(&local->comms, "vellum");
  IfinfoList list(head);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_BROADCAST;
  o.max_devices = 100;
  o.describe_timeout_ms = 200;
  EngineRun run = run_in_hub(net, list.get(), o);
  ASSERT_TRUE(run.handle);
  DiscoverHandle &h = run.handle;
  EXPECT_EQ(run.rc, KIVO_DISCOVER_OK);
  ::close(raw);
  EXPECT_EQ(kivo_discover_count(h.get()), 100u);
  kivo_discover_stats st{};
  kivo_discover_get_stats(h.get(), &st);
  EXPECT_EQ(st.devices, 100u);
  // UDP between namespaces loses nothing at this pace, but allow for a few.
  EXPECT_GE(st.devices_dropped, 850u);
  EXPECT_LE(st.devices_dropped, 900u);
}

long peak_rss_kb() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return -1;
}

TEST(DiscoverNamespace, AFloodOfLargeDatagramsNeitherExtendsTheRunNorGrowsMemory) {
  KIVO8_REQUIRE_NETNS();
  ASSERT_EQ(mt_res_init(), 0);
  HubNetwork net(2);
  // Both hosts answer the broadcast, then send 65,507-byte datagrams at the asker for
  // four seconds: half a well-formed answer padded out, half bytes that decode to nothing.
  std::atomic<bool> stop{false};
  auto flood = [&](int fd, const craft::Request &r, const sockaddr_in &from) {
    send_to(fd, answer(r, "Flooder", r.reqid), from);
    if (r.names.size() != 3) return;  // only the broadcast starts a flood
    craft::Bytes big = answer(r, std::string(65400, 'x'), r.reqid);
    craft::Bytes junk(65507, 0x30);
    double until = now_seconds() + 4;
    for (int i = 0; !stop && now_seconds() < until; ++i) send_to(fd, i % 2 == 0 ? big : junk, from);
  };
  Agent a(net.agent(0).name(), "0.0.0.0", flood);
  Agent b(net.agent(1).name(), "0.0.0.0", flood);
  ifinfo *head = nullptr;
  ifinfo *local = add_local(&head, "br0", net.hub_ip(), net.broadcast_ip(), net.netmask_ip(), 1);
  snmp_comm_add(&local->comms, "vellum");
  IfinfoList list(head);
  kivo_discover_options o;
  kivo_discover_options_init(&o);
  o.searches = KIVO_DISCOVER_BROADCAST;
  o.deadline_ms = 1500;
  o.describe_timeout_ms = 5000;
  long before = peak_rss_kb();
  EngineRun run = run_in_hub(net, list.get(), o);
  ASSERT_TRUE(run.handle);
  DiscoverHandle &h = run.handle;
  const double took = run.took;
  EXPECT_EQ(run.rc, KIVO_DISCOVER_OK);
  stop = true;
  kivo_discover_stats st{};
  kivo_discover_get_stats(h.get(), &st);
  EXPECT_EQ(st.deadline_reached, 1);
  EXPECT_LT(took, 1.5 + 1.0) << "the deadline holds under the flood";
  EXPECT_EQ(kivo_discover_count(h.get()), 2u);
  EXPECT_GT(st.datagrams_dropped, 10u);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // Every datagram is read into one fixed buffer and forgotten.
  EXPECT_LT(peak_rss_kb() - before, 32 * 1024);
#endif
  (void)before;
}

}  // namespace
}  // namespace kivo8::test
