// The walk of bench/snmp_walk.cpp with net-snmp: GETNEXT requests on one session, each
// for the name the previous answer gave, until a name leaves the subtree or the agent
// reports the end of its view; every response is kept until the walk ends, as
// snmp_walk keeps them. Does not link libkivo8.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/ports.h"
#include "common/snmp_workload.h"
#include "netsnmp/netsnmp_setup.h"

namespace {

// Number of objects walked, or -1.
long walk(netsnmp_session *session) {
  const oid root[] = {1, 3};
  const std::size_t root_length = 2;
  oid name[MAX_OID_LEN];
  std::size_t name_length = root_length;
  for (std::size_t i = 0; i < root_length; ++i) name[i] = root[i];
  std::vector<netsnmp_pdu *> kept;
  long result = 0;
  for (;;) {
    netsnmp_pdu *request = snmp_pdu_create(SNMP_MSG_GETNEXT);
    snmp_add_null_var(request, name, name_length);
    netsnmp_pdu *response = nullptr;
    if (snmp_synch_response(session, request, &response) != STAT_SUCCESS || response == nullptr) {
      result = -1;
      break;
    }
    netsnmp_variable_list *v = response->variables;
    if (response->errstat != SNMP_ERR_NOERROR || v == nullptr ||
        v->type == SNMP_ENDOFMIBVIEW || v->type == SNMP_NOSUCHOBJECT ||
        v->type == SNMP_NOSUCHINSTANCE || v->name_length < root_length ||
        snmp_oid_compare(root, root_length, v->name, root_length) != 0) {
      snmp_free_pdu(response);
      break;
    }
    if (snmp_oid_compare(name, name_length, v->name, v->name_length) >= 0) {
      snmp_free_pdu(response);
      result = -1;
      break;
    }
    for (std::size_t i = 0; i < v->name_length; ++i) name[i] = v->name[i];
    name_length = v->name_length;
    kept.push_back(response);
  }
  if (result == 0) result = static_cast<long>(kept.size());
  for (netsnmp_pdu *p : kept) snmp_free_pdu(p);
  return result;
}

void BM_Walk(benchmark::State &state) {
  std::uint16_t port = bench::port_from_env(bench::kSnmpdPort);
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
  long objects = 0;
  bool failed = false;
  for (auto _ : state) {
    objects = walk(session);
    if (objects < 0) failed = true;
  }
  if (failed) state.SkipWithError("the walk failed");
  state.counters["objects"] = static_cast<double>(objects);
  snmp_close(session);
}

BENCHMARK(BM_Walk)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
