// Collecting the replies to one request during one window, as a broadcast search does:
// the responder (bench/peers/responder.cpp in burst mode) answers the request with 1,000
// Responses, and snmp_asynch_response gathers and decodes them all. The window lasts a
// whole second whatever arrives, so the figure that counts is the CPU time this thread
// spends per collected reply.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdint>

#include "common/loopback_session.h"
#include "common/ports.h"
#include "common/snmp_workload.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "kivo8/udp_sess.h"

namespace {

double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_Collect(benchmark::State &state) {
  std::uint16_t port = bench::port_from_env(bench::kBurstPort);
  if (port == 0) {
    state.SkipWithError("port not given (run through bench/run)");
    return;
  }
  bench::LoopbackSession owner(port);
  snmp_session *session = owner.get();
  session->udp->timeout = 1;
  snmp_oid oids[bench::kGetNames + 1] = {};
  for (int i = 0; i < bench::kGetNames; ++i)
    oids[i] = {const_cast<std::uint32_t *>(bench::kNames[i].subids), bench::kNames[i].length};
  snmp_pdu *request = nullptr;
  double replies = 0, cpu = 0;
  for (auto _ : state) {
    // A fresh request each round, as every search sends one.
    request = snmp_create_pdu(SNMP_MSG_GET);
    for (int i = 0; i < bench::kGetNames; ++i)
      snmp_add_null_var(request, oids[i].name, oids[i].name_length);
    double start = thread_seconds();
    snmp_pdu_list *list = nullptr;
    snmp_asynch_response(session, request, &list);
    int n = snmp_pdu_list_length(list);
    snmp_free_pdu_list(list);
    double spent = thread_seconds() - start;
    snmp_free_pdu(request);
    state.SetIterationTime(spent);
    replies += n;
    cpu += spent;
  }
  state.counters["replies_per_window"] = replies / static_cast<double>(state.iterations());
  state.counters["cpu_us_per_reply"] = replies > 0 ? cpu * 1e6 / replies : 0;
}

BENCHMARK(BM_Collect)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
