// The GET round trips of bench/snmp_get.cpp through net-snmp's synchronous GET
// (snmp_synch_response on a session opened once). Does not link libkivo8.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "common/ports.h"
#include "common/snmp_workload.h"
#include "netsnmp/netsnmp_setup.h"

namespace {

void gets(benchmark::State &state, const char *port_variable) {
  std::uint16_t port = bench::port_from_env(port_variable);
  if (port == 0) {
    state.SkipWithError("port not given (run through bench/run)");
    return;
  }
  bench::netsnmp_start();
  netsnmp_session settings;
  snmp_sess_init(&settings);
  std::string peer = "udp:127.0.0.1:" + std::to_string(port);
  settings.peername = const_cast<char *>(peer.c_str());
  settings.version = SNMP_VERSION_2c;
  settings.community = reinterpret_cast<u_char *>(const_cast<char *>(bench::kCommunity));
  settings.community_len = sizeof bench::kCommunity - 1;
  settings.retries = 2;
  settings.timeout = 2000000;
  netsnmp_session *session = snmp_open(&settings);
  if (session == nullptr) {
    state.SkipWithError("snmp_open failed");
    return;
  }
  oid names[bench::kGetNames][16];
  for (int i = 0; i < bench::kGetNames; ++i)
    for (std::uint32_t k = 0; k < bench::kNames[i].length; ++k)
      names[i][k] = bench::kNames[i].subids[k];
  std::int64_t failures = 0;
  for (auto _ : state) {
    netsnmp_pdu *request = snmp_pdu_create(SNMP_MSG_GET);
    for (int i = 0; i < bench::kGetNames; ++i)
      snmp_add_null_var(request, names[i], bench::kNames[i].length);
    netsnmp_pdu *response = nullptr;
    int status = snmp_synch_response(session, request, &response);
    int count = 0;
    if (response != nullptr)
      for (netsnmp_variable_list *v = response->variables; v != nullptr; v = v->next_variable) ++count;
    if (status != STAT_SUCCESS || count != 5) ++failures;
    if (response != nullptr) snmp_free_pdu(response);
  }
  if (failures != 0) state.SkipWithError("some GETs failed");
  state.counters["failures"] = static_cast<double>(failures);
  snmp_close(session);
}

void BM_GetSnmpd(benchmark::State &state) { gets(state, bench::kSnmpdPort); }
void BM_GetResponder(benchmark::State &state) { gets(state, bench::kResponderPort); }

BENCHMARK(BM_GetSnmpd)->Iterations(bench::kRoundTrips)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetResponder)->Iterations(bench::kRoundTrips)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
