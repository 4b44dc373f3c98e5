// The workload of bench/snmp_codec.cpp against net-snmp's codec: snmp_build for the
// whole message and snmp_parse into a record allocated the way its receive path does.
// This program does not link libkivo8.
#include <benchmark/benchmark.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/snmp_workload.h"
#include "common/codec_main.h"
#include "netsnmp/netsnmp_setup.h"

namespace {

constexpr std::size_t kPacketSize = 8192;

struct Workload {
  netsnmp_session session{};
  netsnmp_pdu *request = nullptr;
  netsnmp_pdu *response = nullptr;
  u_char *buffer = nullptr;
  std::size_t buffer_size = kPacketSize;
  u_char request_bytes[kPacketSize];
  std::size_t request_length = 0;
  u_char response_bytes[kPacketSize];
  std::size_t response_length = 0;

  Workload() {
    bench::netsnmp_start();
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_2c;
    session.community = reinterpret_cast<u_char *>(const_cast<char *>(bench::kCommunity));
    session.community_len = std::strlen(bench::kCommunity);
    buffer = static_cast<u_char *>(std::malloc(buffer_size));
    request = snmp_pdu_create(SNMP_MSG_GET);
    response = snmp_pdu_create(SNMP_MSG_RESPONSE);
    response->reqid = request->reqid;
    // Its send path settles the version before encoding, as ours does.
    request->version = response->version = SNMP_VERSION_2c;
    bench::add_workload(request, response);
    const u_char *p = encode(request, &request_length);
    if (p == nullptr) std::abort();
    std::memcpy(request_bytes, p, request_length);
    p = encode(response, &response_length);
    if (p == nullptr) std::abort();
    std::memcpy(response_bytes, p, response_length);
    if (!decodes(request_bytes, request_length) || !decodes(response_bytes, response_length))
      std::abort();
  }

  const u_char *encode(netsnmp_pdu *pdu, std::size_t *length) {
    return bench::netsnmp_encode(session, buffer, buffer_size, pdu, length);
  }

  bool decodes(const u_char *bytes, std::size_t length) {
    auto *pdu = static_cast<netsnmp_pdu *>(std::calloc(1, sizeof(netsnmp_pdu)));
    int r = snmp_parse(nullptr, &session, pdu, const_cast<u_char *>(bytes), length);
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
  std::size_t n;
  for (auto _ : state) benchmark::DoNotOptimize(w.encode(w.request, &n));
}

void BM_DecodeRequest(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(w.decodes(w.request_bytes, w.request_length));
}

void BM_EncodeResponse(benchmark::State &state) {
  Workload &w = workload();
  std::size_t n;
  for (auto _ : state) benchmark::DoNotOptimize(w.encode(w.response, &n));
}

void BM_DecodeResponse(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(w.decodes(w.response_bytes, w.response_length));
}

bool exchange(Workload &w) {
  std::size_t n = 0;
  const u_char *p = w.encode(w.request, &n);
  bool ok = p != nullptr && w.decodes(p, n);
  p = w.encode(w.response, &n);
  return ok && p != nullptr && w.decodes(p, n);
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
