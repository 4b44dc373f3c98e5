// A walk of the local snmpd's whole tree (from 1.3) through snmp_walk, one GETNEXT per
// step; bench/netsnmp/snmp_walk.cpp walks the same agent with net-snmp's GETNEXT loop.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <cstdint>

#include "common/loopback_session.h"
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
  bench::LoopbackSession owner(port);
  snmp_session *session = owner.get();
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
}

BENCHMARK(BM_Walk)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
