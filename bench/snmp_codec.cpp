// Encoding and decoding of a GetRequest of 10 names and of its Response with 10 bindings
// of mixed types, through the message codec that the session layer uses. The same
// workload against the other SNMP library is bench/netsnmp/snmp_codec.cpp; the two are
// separate programs because that library exports many of our function names.
//
// `bench_snmp_codec --count N` runs N request/response pairs without the benchmark
// harness, for counting instructions under callgrind.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/codec_main.h"
#include "common/kivo_values.h"
#include "common/snmp_workload.h"
#include "kivo8/asn1.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmp_comm.h"
#include "kivo8/snmp_sess.h"
#include "snmp/message.h"
#include "snmp/pdu.h"

namespace {

struct Workload {
  snmp_comm community{};
  snmp_session session{};
  snmp_pdu *request = nullptr;
  snmp_pdu *response = nullptr;
  std::uint8_t request_bytes[SNMP_PACKET_SIZE];
  std::uint32_t request_length = 0;
  std::uint8_t response_bytes[SNMP_PACKET_SIZE];
  std::uint32_t response_length = 0;

  Workload() {
    mt_res_init();
    community.name = const_cast<char *>(bench::kCommunity);
    community.length = static_cast<std::int32_t>(std::strlen(bench::kCommunity));
    session.version = SNMP_VERSION_2c;
    session.community = &community;
    request = snmp_create_pdu(SNMP_MSG_GET);
    response = snmp_create_pdu(SNMP_MSG_RESPONSE);
    response->reqid = request->reqid;
    // The session layer settles the version before encoding; the codec writes it as is.
    request->version = response->version = SNMP_VERSION_2c;
    for (int i = 0; i < 10; ++i) {
      const bench::Name &n = bench::kNames[i];
      snmp_add_null_var(request, n.subids, n.length);
      bench::add_workload_value(response, n, bench::kTypes[i]);
    }
    request_length = encode(request, request_bytes);
    response_length = encode(response, response_bytes);
    if (request_length == 0 || response_length == 0 || !decodes(request_bytes, request_length) ||
        !decodes(response_bytes, response_length))
      std::abort();
  }

  std::uint32_t encode(snmp_pdu *pdu, std::uint8_t *out) {
    std::uint32_t length = SNMP_PACKET_SIZE;
    return snmp_build(&session, pdu, out, &length) == 0 ? length : 0;
  }

  bool decodes(const std::uint8_t *bytes, std::uint32_t length) {
    snmp_pdu *pdu = _snmp_create_pdu(0);
    std::int32_t r = snmp_parse(&session, pdu, bytes, length);
    bool ok = r == 0 && pdu->variables != nullptr;
    snmp_free_pdu(pdu);
    return ok;
  }
};

Workload &workload() {
  static Workload w;
  return w;
}

void BM_EncodeRequest(benchmark::State &state) {
  Workload &w = workload();
  std::uint8_t out[SNMP_PACKET_SIZE];
  for (auto _ : state) benchmark::DoNotOptimize(w.encode(w.request, out));
}

void BM_DecodeRequest(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(w.decodes(w.request_bytes, w.request_length));
}

void BM_EncodeResponse(benchmark::State &state) {
  Workload &w = workload();
  std::uint8_t out[SNMP_PACKET_SIZE];
  for (auto _ : state) benchmark::DoNotOptimize(w.encode(w.response, out));
}

void BM_DecodeResponse(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(w.decodes(w.response_bytes, w.response_length));
}

// One exchange as the two ends see it: the request encoded and decoded, then the response.
bool exchange(Workload &w) {
  std::uint8_t out[SNMP_PACKET_SIZE];
  std::uint32_t n = w.encode(w.request, out);
  bool ok = w.decodes(out, n);
  n = w.encode(w.response, out);
  return ok && w.decodes(out, n);
}

void BM_RequestAndResponse(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(exchange(w));
  state.SetItemsProcessed(state.iterations() * 2);
}

BENCHMARK(BM_EncodeRequest);
BENCHMARK(BM_DecodeRequest);
BENCHMARK(BM_EncodeResponse);
BENCHMARK(BM_DecodeResponse);
BENCHMARK(BM_RequestAndResponse);

}  // namespace

int main(int argc, char **argv) { return bench::codec_main(argc, argv, workload, exchange); }
