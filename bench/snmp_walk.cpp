// A walk of the local snmpd's whole tree (from 1.3) through snmp_walk, one GETNEXT per
// step; bench/netsnmp/snmp_walk.cpp walks the same agent with net-snmp's GETNEXT loop.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdint>

#include "common/ports.h"
#include "common/snmp_workload.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/udp_sess.h"

namespace {

void BM_Walk(benchmark::State &state) {
  std::uint16_t port = bench::port_from_env(bench::kSnmpdPort);
  if (port == 0) {
    state.SkipWithError("port not given (run through bench/run)");
    return;
  }
  mt_res_init();
  snmp_comm *communities = nullptr;
  snmp_comm_add(&communities, bench::kCommunity);
  in_addr loopback{htonl(INADDR_LOOPBACK)};
  snmp_session *session = snmp_create_session(2, &loopback, nullptr);
  session->udp->port = port;
  session->version = SNMP_VERSION_2c;
  session->community = communities;
  std::uint32_t root[] = {1, 3};
  snmp_oid oids[2] = {{root, 2}, {nullptr, 0}};
  std::int64_t objects = 0;
  bool failed = false;
  for (auto _ : state) {
    snmp_pdu_list *list = nullptr;
    if (snmp_walk(session, oids, &list) != SNMP_ERR_NONE) failed = true;
    objects = snmp_pdu_list_length(list);
    snmp_free_pdu_list(list);
  }
  if (failed) state.SkipWithError("the walk failed");
  state.counters["objects"] = static_cast<double>(objects);
  snmp_free_session(session);
  snmp_comm_free(&communities);
}

BENCHMARK(BM_Walk)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
