// GET round trips on loopback through snmp_get: against the local snmpd and against the
// trivial responder (bench/peers/responder.cpp), beside a bare sendto/recvfrom ping-pong
// with that responder, the floor that no client can go under. Each snmp_get sends on a
// new socket, as the transport is designed to. The ports come from bench/run.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "common/loopback_session.h"
#include "common/ports.h"
#include "common/snmp_workload.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/udp_sess.h"
#include "snmp/message.h"

namespace {

void gets(benchmark::State &state, const char *port_variable) {
  std::uint16_t port = bench::port_from_env(port_variable);
  if (port == 0) {
    state.SkipWithError("port not given (run through bench/run)");
    return;
  }
  bench::LoopbackSession owner(port);
  snmp_session *session = owner.get();
  snmp_oid oids[bench::kGetNames + 1] = {};
  for (int i = 0; i < bench::kGetNames; ++i)
    oids[i] = {const_cast<std::uint32_t *>(bench::kNames[i].subids), bench::kNames[i].length};
  std::int64_t failures = 0;
  for (auto _ : state) {
    snmp_pdu *response = nullptr;
    if (snmp_get(session, oids, &response) != SNMP_ERR_NONE || snmp_varbind_len(response) != 5)
      ++failures;
    snmp_free_pdu(response);
  }
  if (failures != 0) state.SkipWithError("some GETs failed");
  state.counters["failures"] = static_cast<double>(failures);
}

void BM_GetSnmpd(benchmark::State &state) { gets(state, bench::kSnmpdPort); }
void BM_GetResponder(benchmark::State &state) { gets(state, bench::kResponderPort); }

// The GetRequest that snmp_get sends, encoded once.
std::uint32_t request_bytes(std::uint8_t *packet) {
  mt_res_init();
  snmp_comm community{nullptr, 6, const_cast<char *>(bench::kCommunity)};
  snmp_session codec{nullptr, SNMP_VERSION_2c, &community, 0};
  snmp_pdu *request = snmp_create_pdu(SNMP_MSG_GET);
  request->version = SNMP_VERSION_2c;
  for (int i = 0; i < bench::kGetNames; ++i)
    snmp_add_null_var(request, bench::kNames[i].subids, bench::kNames[i].length);
  std::uint32_t length = SNMP_PACKET_SIZE;
  snmp_build(&codec, request, packet, &length);
  snmp_free_pdu(request);
  return length;
}

// The floor: one long-lived socket, the same request bytes out, one datagram back.
void BM_Floor(benchmark::State &state) {
  std::uint16_t port = bench::port_from_env(bench::kResponderPort);
  if (port == 0) {
    state.SkipWithError("port not given (run through bench/run)");
    return;
  }
  std::uint8_t packet[SNMP_PACKET_SIZE];
  std::uint32_t length = request_bytes(packet);
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  std::uint8_t in[SNMP_PACKET_SIZE];
  for (auto _ : state) {
    sendto(fd, packet, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    benchmark::DoNotOptimize(recvfrom(fd, in, sizeof in, 0, nullptr, nullptr));
  }
  close(fd);
}

// The floor again with the transport's pattern of system calls, bare: a new socket bound
// to any address per request, a wait for readability, one receive, and the socket closed.
// The gap between this and BM_Floor is what the new socket per send costs by design.
void BM_FloorNewSocket(benchmark::State &state) {
  std::uint16_t port = bench::port_from_env(bench::kResponderPort);
  if (port == 0) {
    state.SkipWithError("port not given (run through bench/run)");
    return;
  }
  std::uint8_t packet[SNMP_PACKET_SIZE];
  std::uint32_t length = request_bytes(packet);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  std::uint8_t in[SNMP_PACKET_SIZE];
  for (auto _ : state) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any);
    sendto(fd, packet, length, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 2000);
    benchmark::DoNotOptimize(recvfrom(fd, in, sizeof in, 0, nullptr, nullptr));
    close(fd);
  }
}

BENCHMARK(BM_GetSnmpd)->Iterations(bench::kRoundTrips)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetResponder)->Iterations(bench::kRoundTrips)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Floor)->Iterations(bench::kRoundTrips)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FloorNewSocket)->Iterations(bench::kRoundTrips)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
