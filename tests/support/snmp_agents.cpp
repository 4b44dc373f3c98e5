#include "support/snmp_agents.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

namespace kivo8::test {

namespace {

// A UDP socket created inside namespace `netns` (empty: the caller's own). A socket stays
// in the namespace it was created in, so only its creation needs the switch.
int udp_socket_in(const std::string &netns) {
  if (netns.empty()) return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int saved = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
  int target = open(("/var/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
  int fd = -1;
  if (saved >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0) {
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (setns(saved, CLONE_NEWNET) != 0) ADD_FAILURE() << "cannot return from " << netns;
  }
  if (target >= 0) close(target);
  if (saved >= 0) close(saved);
  return fd;
}

sockaddr_in socket_address(const std::string &ip, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr = ipv4(ip);
  return a;
}

// Sends a v2c GET of `oid` and waits briefly for any answer.
bool answers(const std::string &netns, const std::string &ip, int port,
             const std::string &community, const std::string &oid) {
  int fd = udp_socket_in(netns);
  if (fd < 0) return false;
  craft::Message m;
  m.version = 1;
  m.community = community;
  m.pdu_tag = 0xA0;
  m.reqid = 4711;
  m.bindings.push_back({craft::parse_oid(oid), craft::null()});
  craft::Bytes bytes = craft::encode(m);
  sockaddr_in to = socket_address(ip, port);
  bool got = false;
  if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) >=
      0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 300) == 1) {
      std::uint8_t buf[2048];
      got = recv(fd, buf, sizeof buf, 0) > 0;
    }
  }
  close(fd);
  return got;
}

const char *const kProbeCommunity = "kivo8-ready-probe";

bool write_file(const std::string &path, const std::string &text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

}  // namespace

double now_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct in_addr ipv4(const std::string &dotted) {
  in_addr a{};
  if (inet_pton(AF_INET, dotted.c_str(), &a) != 1) ADD_FAILURE() << "bad address " << dotted;
  return a;
}

std::string ipv4_text(struct in_addr address) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, buf, sizeof buf);
  return buf;
}

// ---- snmpd ----

Snmpd::Snmpd(const SnmpdConfig &config) : config_(config) {
  port_ = config_.port != 0 ? config_.port : config_.netns.empty() ? free_udp_port() : 161;
  std::string conf =
      "agentaddress udp:" + config_.address + ":" + std::to_string(port_) + "\n";
  for (const auto &line : config_.view_lines) conf += line + "\n";
  std::string source = !config_.allowed_source.empty() ? config_.allowed_source
                       : config_.netns.empty()          ? "127.0.0.1"
                                                        : "default";
  conf += "rocommunity " + config_.community + " " + source + " -V kv\n";
  // The readiness probe has a community of its own, so that it is answered whatever
  // sources the test allows.
  conf += "rocommunity " + std::string(kProbeCommunity) + " default -V kv\n";
  conf += "sysDescr " + config_.sys_descr + "\n";
  conf += "sysLocation " + config_.sys_location + "\n";
  conf += "sysContact " + config_.sys_contact + "\n";
  conf += "sysName " + config_.sys_name + "\n";
  for (const auto &line : config_.extra_lines) conf += line + "\n";
  if (!write_file(dir_.file("snmpd.conf"), conf)) {
    ADD_FAILURE() << "cannot write the snmpd configuration";
    return;
  }
  start();
}

void Snmpd::start() {
  std::string snmpd = find_program("snmpd");
  if (snmpd.empty()) {
    ADD_FAILURE() << "snmpd is not installed";
    return;
  }
  // -C: no configuration but ours; persistent state in the scratch directory, never in
  // /var; no MIB files, so nothing depends on what happens to be installed.
  // -C also keeps snmpd from reading its own persistent file; a restarted agent is given
  // it by name, so that it keeps its engine id and counts its boots on.
  std::string configs = dir_.file("snmpd.conf");
  if (access(dir_.file("persist/snmpd.conf").c_str(), R_OK) == 0)
    configs += "," + dir_.file("persist/snmpd.conf");
  process_ = Process({"env", "SNMP_PERSISTENT_DIR=" + dir_.file("persist"), "MIBS=", snmpd,
                      "-f", "-Lo", "-C", "-c", configs, "-M", "/dev/null",
                      "-I", "-smux"},
                     config_.netns, dir_.file("snmpd.log"));
  std::string probe = config_.address == "0.0.0.0" ? "127.0.0.1" : config_.address;
  ok_ = wait_until(15, [&] {
    return process_.running() &&
           answers(config_.netns, probe, port_, kProbeCommunity, "1.3.6.1.2.1.1.1.0");
  });
  if (!ok_) {
    ADD_FAILURE() << "snmpd did not answer on port " << port_ << "; its log:\n"
                  << sh_output("cat '" + dir_.file("snmpd.log") + "'");
  }
}

bool Snmpd::restart() {
  stop();
  start();
  return ok_;
}

std::string Snmpd::tool(const std::string &program, const std::string &args) const {
  std::string in_ns = config_.netns.empty() ? "" : "ip netns exec " + config_.netns + " ";
  // The tools keep state of their own (engine boots) apart from the agent's.
  mkdir(dir_.file("client").c_str(), 0700);
  mkdir(dir_.file("client/cert_indexes").c_str(), 0700);
  return sh_output(in_ns + "env SNMP_PERSISTENT_DIR='" + dir_.file("client") + "' " + program +
                   " -m '' -M /dev/null -On " + args + " 2>&1");
}

Snmpd::~Snmpd() { stop(); }

void Snmpd::stop() {
  process_.stop();
  ok_ = false;
}

std::string Snmpd::endpoint() const {
  std::string ip = config_.address == "0.0.0.0" ? "127.0.0.1" : config_.address;
  return ip + ":" + std::to_string(port_);
}

struct in_addr Snmpd::address() const {
  return ipv4(config_.address == "0.0.0.0" ? "127.0.0.1" : config_.address);
}

std::string Snmpd::snmpwalk(const std::string &root, const std::string &options) const {
  std::string in_ns = config_.netns.empty() ? "" : "ip netns exec " + config_.netns + " ";
  return sh_output(in_ns + "env SNMP_PERSISTENT_DIR='" + dir_.file("persist") +
                   "' snmpwalk -m '' -M /dev/null -On " + options + " -c '" +
                   config_.community + "' " + endpoint() + " " + root + " 2>&1");
}

// ---- snmpsim ----

std::string snmpsim_program() {
  for (const char *name : {"snmpsim-command-responder", "snmpsimd.py", "snmpsimd"}) {
    std::string path = find_program(name);
    if (!path.empty()) return path;
  }
  return "";
}

Snmpsim::Snmpsim(const std::string &netns, const std::vector<SnmprecLine> &data,
                 const std::string &endpoint, const std::string &community)
    : netns_(netns), endpoint_(endpoint), community_(community) {
  // The responder drops its privileges before reading its data and writing its index,
  // so the scratch directory must be open to it.
  chmod(dir_.path().c_str(), 0755);
  mkdir(dir_.file("data").c_str(), 0755);
  mkdir(dir_.file("cache").c_str(), 0777);
  chmod(dir_.file("cache").c_str(), 0777);

  // snmpsim expects its records in OID order.
  std::vector<SnmprecLine> sorted = data;
  std::sort(sorted.begin(), sorted.end(), [](const SnmprecLine &a, const SnmprecLine &b) {
    return craft::parse_oid(a.oid) < craft::parse_oid(b.oid);
  });
  std::string text;
  for (const auto &line : sorted) {
    std::string oid = line.oid[0] == '.' ? line.oid.substr(1) : line.oid;
    text += oid + "|" + line.tag + "|" + line.value + "\n";
  }
  if (!sorted.empty()) first_oid_ = sorted.front().oid;
  std::string file = dir_.file("data/" + community + ".snmprec");
  if (!write_file(file, text)) ADD_FAILURE() << "cannot write " << file;
  chmod(file.c_str(), 0644);

  std::string program = snmpsim_program();
  if (program.empty()) {
    ADD_FAILURE() << "snmpsim is not installed";
    return;
  }
  process_ = Process({program, "--v2c-arch", "--data-dir=" + dir_.file("data"),
                      "--cache-dir=" + dir_.file("cache"), "--agent-udpv4-endpoint=" + endpoint,
                      "--process-user=nobody", "--process-group=nogroup"},
                     netns, dir_.file("snmpsim.log"));
}

Snmpsim::~Snmpsim() { stop(); }

bool Snmpsim::wait_ready(double seconds) {
  auto colon = endpoint_.rfind(':');
  std::string ip = endpoint_.substr(0, colon);
  if (ip == "0.0.0.0") ip = "127.0.0.1";
  int port = std::stoi(endpoint_.substr(colon + 1));
  bool ready = wait_until(seconds, [&] {
    return process_.running() && answers(netns_, ip, port, community_, first_oid_);
  });
  if (!ready) {
    ADD_FAILURE() << "snmpsim did not answer at " << endpoint_ << "; its log:\n"
                  << sh_output("tail -30 '" + dir_.file("snmpsim.log") + "'");
  }
  return ready;
}

void Snmpsim::stop() { process_.stop(); }

// ---- hub network ----

HubNetwork::HubNetwork(int agents, const std::string &subnet) : subnet_(subnet) {
  hub_ = std::make_unique<Netns>();
  hub_->must("ip link add br0 type bridge && ip addr add " + hub_ip() +
             "/24 brd + dev br0 && ip link set br0 up");
  for (int i = 0; i < agents; ++i) {
    agents_.push_back(std::make_unique<Netns>());
    Netns &ns = *agents_.back();
    std::string port = "p" + std::to_string(i);
    hub_->must("ip link add " + port + " type veth peer name eth0 netns " + ns.name());
    hub_->must("ip link set " + port + " master br0 && ip link set " + port + " up");
    ns.must("ip addr add " + agent_ip(i) + "/24 brd + dev eth0 && ip link set eth0 up");
  }
}

// ---- crafted messages ----

namespace craft {

Oid parse_oid(const std::string &dotted) {
  Oid out;
  std::size_t i = 0;
  if (i < dotted.size() && dotted[i] == '.') ++i;
  while (i < dotted.size()) {
    std::size_t end = dotted.find('.', i);
    if (end == std::string::npos) end = dotted.size();
    out.push_back(static_cast<std::uint32_t>(std::stoul(dotted.substr(i, end - i))));
    i = end + 1;
  }
  return out;
}

std::string oid_text(const Oid &oid) {
  std::string out;
  for (auto sub : oid) out += "." + std::to_string(sub);
  return out;
}

Bytes tlv(std::uint8_t tag, const Bytes &contents) {
  Bytes out{tag};
  std::size_t n = contents.size();
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    Bytes len;
    for (std::size_t v = n; v != 0; v >>= 8) len.insert(len.begin(), std::uint8_t(v & 0xFF));
    out.push_back(static_cast<std::uint8_t>(0x80 | len.size()));
    out.insert(out.end(), len.begin(), len.end());
  }
  out.insert(out.end(), contents.begin(), contents.end());
  return out;
}

Bytes integer(std::int64_t value, std::uint8_t tag) {
  Bytes c;
  for (int shift = 56; shift >= 0; shift -= 8) c.push_back(std::uint8_t(value >> shift));
  // Shortest two's complement form: drop a leading octet while the next one's top bit
  // says the same thing.
  while (c.size() > 1 && ((c[0] == 0x00 && !(c[1] & 0x80)) || (c[0] == 0xFF && (c[1] & 0x80))))
    c.erase(c.begin());
  return tlv(tag, c);
}

Bytes octets(const std::string &text, std::uint8_t tag) {
  return tlv(tag, Bytes(text.begin(), text.end()));
}

Bytes null(std::uint8_t tag) { return Bytes{tag, 0x00}; }

Bytes oid(const Oid &name, std::uint8_t tag) {
  Bytes c;
  std::size_t i = 0;
  if (name.size() >= 2) {
    std::uint32_t first = name[0] * 40 + name[1];
    Bytes sub;
    for (std::uint32_t v = first;; v >>= 7) {
      sub.insert(sub.begin(), std::uint8_t((v & 0x7F) | (sub.empty() ? 0 : 0x80)));
      if (v < 0x80) break;
    }
    c.insert(c.end(), sub.begin(), sub.end());
    i = 2;
  }
  for (; i < name.size(); ++i) {
    Bytes sub;
    for (std::uint32_t v = name[i];; v >>= 7) {
      sub.insert(sub.begin(), std::uint8_t((v & 0x7F) | (sub.empty() ? 0 : 0x80)));
      if (v < 0x80) break;
    }
    c.insert(c.end(), sub.begin(), sub.end());
  }
  return tlv(tag, c);
}

Bytes encode(const Message &m) {
  Bytes list;
  for (const auto &b : m.bindings) {
    Bytes vb = oid(b.name);
    vb.insert(vb.end(), b.value.begin(), b.value.end());
    Bytes seq = tlv(0x30, vb);
    list.insert(list.end(), seq.begin(), seq.end());
  }
  Bytes pdu = integer(m.reqid);
  for (const Bytes &part : {integer(m.errstat), integer(m.errindex), tlv(0x30, list)})
    pdu.insert(pdu.end(), part.begin(), part.end());
  Bytes body = integer(m.version);
  for (const Bytes &part : {octets(m.community), tlv(m.pdu_tag, pdu)})
    body.insert(body.end(), part.begin(), part.end());
  return tlv(0x30, body);
}

namespace {

// A bounded TLV reader of its own, independent of the library's.
struct Reader {
  const Bytes &b;
  std::size_t pos;
  std::size_t end;
  bool ok = true;

  bool next(std::uint8_t &tag, std::size_t &start, std::size_t &len) {
    if (!ok || end - pos < 2) return ok = false;
    tag = b[pos];
    std::size_t first = b[pos + 1];
    pos += 2;
    if (first < 0x80) {
      len = first;
    } else {
      std::size_t count = first & 0x7F;
      if (count == 0 || count > 4 || end - pos < count) return ok = false;
      len = 0;
      for (std::size_t i = 0; i < count; ++i) len = (len << 8) | b[pos++];
    }
    if (len > end - pos) return ok = false;
    start = pos;
    pos += len;
    return true;
  }
};

std::int64_t read_int(const Bytes &b, std::size_t start, std::size_t len) {
  std::int64_t v = (len > 0 && (b[start] & 0x80)) ? -1 : 0;
  for (std::size_t i = 0; i < len && i < 8; ++i) v = (v << 8) | b[start + i];
  return v;
}

Oid read_oid(const Bytes &b, std::size_t start, std::size_t len) {
  Oid out;
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < len; ++i) {
    v = (v << 7) | (b[start + i] & 0x7F);
    if (!(b[start + i] & 0x80)) {
      if (out.empty()) {
        out.push_back(v < 80 ? std::uint32_t(v / 40) : 2);
        out.push_back(std::uint32_t(v < 80 ? v % 40 : v - 80));
      } else {
        out.push_back(std::uint32_t(v));
      }
      v = 0;
    }
  }
  return out;
}

}  // namespace

Request decode_request(const Bytes &datagram) {
  Request r;
  Reader top{datagram, 0, datagram.size()};
  std::uint8_t tag;
  std::size_t start, len;
  if (!top.next(tag, start, len) || tag != 0x30) return r;
  Reader msg{datagram, start, start + len};
  if (!msg.next(tag, start, len)) return r;
  r.version = read_int(datagram, start, len);
  if (!msg.next(tag, start, len)) return r;
  r.community.assign(datagram.begin() + long(start), datagram.begin() + long(start + len));
  if (!msg.next(tag, start, len)) return r;
  r.pdu_tag = tag;
  Reader pdu{datagram, start, start + len};
  if (!pdu.next(tag, start, len)) return r;
  r.reqid = read_int(datagram, start, len);
  if (!pdu.next(tag, start, len) || !pdu.next(tag, start, len)) return r;
  if (!pdu.next(tag, start, len)) return r;
  Reader list{datagram, start, start + len};
  while (list.pos < list.end) {
    if (!list.next(tag, start, len)) return r;
    Reader vb{datagram, start, start + len};
    if (!vb.next(tag, start, len)) return r;
    r.names.push_back(read_oid(datagram, start, len));
  }
  r.ok = true;
  return r;
}

}  // namespace craft

// ---- responder ----

UdpResponder::UdpResponder(Handler handler, const std::string &address, int port,
                           const std::string &netns)
    : handler_(std::move(handler)) {
  fd_ = udp_socket_in(netns);
  if (fd_ < 0) {
    ADD_FAILURE() << "cannot create the responder's socket";
    return;
  }
  int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
  sockaddr_in a = socket_address(address, port);
  socklen_t alen = sizeof a;
  if (bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &alen) != 0) {
    ADD_FAILURE() << "cannot bind the responder to " << address << ":" << port;
    close(fd_);
    fd_ = -1;
    return;
  }
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { run(); });
}

UdpResponder::~UdpResponder() {
  stop_ = true;
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (fd_ >= 0) close(fd_);
}

std::vector<double> UdpResponder::arrival_times() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return arrivals_;
}

bool UdpResponder::wait_received(int n, double seconds) {
  return wait_until(seconds, [&] { return received_.load() >= n; });
}

bool UdpResponder::sleep_ms(int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stop_.load(); });
}

void UdpResponder::run() {
  std::vector<std::uint8_t> buf(65536);
  while (!stop_) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) != 1) continue;
    sockaddr_in from{};
    socklen_t flen = sizeof from;
    ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from),
                         &flen);
    if (n < 0) continue;
    int index = received_.load();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      arrivals_.push_back(now_seconds());
    }
    ++received_;
    craft::Bytes request(buf.begin(), buf.begin() + n);
    for (const Reply &reply : handler_(request, index)) {
      if (reply.delay_ms > 0 && !sleep_ms(reply.delay_ms)) return;
      if (sendto(fd_, reply.bytes.data(), reply.bytes.size(), 0,
                 reinterpret_cast<sockaddr *>(&from), flen) >= 0)
        ++sent_;
    }
  }
}

}  // namespace kivo8::test
