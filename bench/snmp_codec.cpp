// Encoding and decoding of a GetRequest of 10 names and of its Response with 10 bindings
// of mixed types. Two ways through the codec are measured: the internal message type
// (snmp::Message and snmp::encode, what the discovery engine, the status reader and the
// SNMPv3 layer use: nothing allocated per message, names decoded once), and the exported
// adapters (snmp_build and snmp_parse into an snmp_pdu, what a caller of the documented
// interface gets). The same workload against the other SNMP library is
// bench/netsnmp/snmp_codec.cpp; the two are separate programs because that library
// exports many of our function names.
//
// `bench_snmp_codec --count N` runs N request/response pairs through the internal codec
// without the benchmark harness, for counting instructions under callgrind;
// `--count-exported N` does the same through the exported adapters.
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
#include "snmp/pdu_view.h"

namespace {

namespace snmp = kivo8::snmp;

struct Workload {
  snmp_comm community{};
  snmp_session session{};
  snmp_pdu *request = nullptr;
  snmp_pdu *response = nullptr;
  std::uint8_t request_bytes[SNMP_PACKET_SIZE];
  std::uint32_t request_length = 0;
  std::uint8_t response_bytes[SNMP_PACKET_SIZE];
  std::uint32_t response_length = 0;
  // The response as the internal encoder takes it.
  snmp::Binding answer[10];
  counter64 c64{bench::kCounter64High, bench::kCounter64Low};

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
    for (int i = 0; i < 10; ++i) {
      const bench::Name &n = bench::kNames[i];
      snmp::Binding &b = answer[i];
      b.name = {n.subids, n.length};
      b.type = bench::kTypes[i];
      switch (b.type) {
        case bench::kInteger: b.number = static_cast<std::uint64_t>(bench::kIntValue); break;
        case bench::kOctets:
          b.value = {reinterpret_cast<const std::uint8_t *>(bench::kText), sizeof bench::kText - 1};
          break;
        case bench::kObjectId: b.oid = {bench::kOidValue, bench::kOidValueLength}; break;
        case bench::kCounter32: b.number = bench::kCounterValue; break;
        case bench::kTimeTicks: b.number = bench::kTicksValue; break;
        case bench::kIpAddress: b.value = bench::kAddressValue; break;
        case bench::kCounter64:
          b.number = (std::uint64_t{bench::kCounter64High} << 32) | bench::kCounter64Low;
          break;
      }
    }
    request_length = encode(request, request_bytes);
    response_length = encode(response, response_bytes);
    if (request_length == 0 || response_length == 0 || !decodes(request_bytes, request_length) ||
        !decodes(response_bytes, response_length))
      std::abort();
    // Both ways through the codec write the same bytes.
    std::uint8_t out[SNMP_PACKET_SIZE];
    if (encode_request(out) != request_length || std::memcmp(out, request_bytes, request_length) != 0 ||
        encode_response(out) != response_length ||
        std::memcmp(out, response_bytes, response_length) != 0 ||
        !reads(request_bytes, request_length) || !reads(response_bytes, response_length))
      std::abort();
  }

  // A request as the engine sends one: its names as NULL bindings, no record in between.
  std::size_t encode_request(std::uint8_t *out) const {
    snmp::Binding asked[10];
    const auto names = std::span(bench::kNames);
    for (std::size_t i = 0; i < names.size(); ++i) {
      asked[i].name = {names[i].subids, names[i].length};
      asked[i].type = SNMP_TYPE_NULL;
    }
    snmp::Outgoing m;
    m.version = SNMP_VERSION_2c;
    m.community = {reinterpret_cast<const std::uint8_t *>(bench::kCommunity), std::strlen(bench::kCommunity)};
    m.type = SNMP_MSG_GET;
    m.request_id = request->reqid;
    m.bindings = asked;
    return snmp::encode(m, {out, SNMP_PACKET_SIZE});
  }

  std::size_t encode_response(std::uint8_t *out) const {
    snmp::Outgoing m;
    m.version = SNMP_VERSION_2c;
    m.community = {reinterpret_cast<const std::uint8_t *>(bench::kCommunity), std::strlen(bench::kCommunity)};
    m.type = SNMP_MSG_RESPONSE;
    m.request_id = response->reqid;
    m.bindings = answer;
    return snmp::encode(m, {out, SNMP_PACKET_SIZE});
  }

  static bool reads(const std::uint8_t *bytes, std::size_t length) {
    snmp::Message m;
    return m.decode({bytes, length}, SNMP_VERSION_2c) == snmp::CodecError::none && m.bindings().size() == 10;
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

// The two ways through the codec, each as the same four steps, so that every benchmark
// and the exchange are written once and measure either way alike.
struct Internal {
  static std::size_t encode_request(Workload &w, std::uint8_t *out) { return w.encode_request(out); }
  static std::size_t encode_response(Workload &w, std::uint8_t *out) { return w.encode_response(out); }
  static bool decodes(Workload &, const std::uint8_t *bytes, std::size_t length) {
    return Workload::reads(bytes, length);
  }
};

struct Exported {
  static std::uint32_t encode_request(Workload &w, std::uint8_t *out) { return w.encode(w.request, out); }
  static std::uint32_t encode_response(Workload &w, std::uint8_t *out) { return w.encode(w.response, out); }
  static bool decodes(Workload &w, const std::uint8_t *bytes, std::uint32_t length) {
    return w.decodes(bytes, length);
  }
};

template <class Way>
void BM_EncodeRequest(benchmark::State &state) {
  Workload &w = workload();
  std::uint8_t out[SNMP_PACKET_SIZE];
  for (auto _ : state) benchmark::DoNotOptimize(Way::encode_request(w, out));
}

template <class Way>
void BM_DecodeRequest(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(Way::decodes(w, w.request_bytes, w.request_length));
}

template <class Way>
void BM_EncodeResponse(benchmark::State &state) {
  Workload &w = workload();
  std::uint8_t out[SNMP_PACKET_SIZE];
  for (auto _ : state) benchmark::DoNotOptimize(Way::encode_response(w, out));
}

template <class Way>
void BM_DecodeResponse(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(Way::decodes(w, w.response_bytes, w.response_length));
}

// One exchange as the two ends see it: the request encoded and decoded, then the response.
template <class Way>
bool exchange(Workload &w) {
  std::uint8_t out[SNMP_PACKET_SIZE];
  auto n = Way::encode_request(w, out);
  bool ok = Way::decodes(w, out, n);
  n = Way::encode_response(w, out);
  return ok && Way::decodes(w, out, n);
}

template <class Way>
void BM_RequestAndResponse(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(exchange<Way>(w));
  state.SetItemsProcessed(state.iterations() * 2);
}

// Under the names bench/report.py reads, in the order the listing has always had: the
// internal codec's plain, the adapters' with "Exported" after "BM_".
BENCHMARK_TEMPLATE(BM_EncodeRequest, Internal)->Name("BM_EncodeRequest");
BENCHMARK_TEMPLATE(BM_DecodeRequest, Internal)->Name("BM_DecodeRequest");
BENCHMARK_TEMPLATE(BM_EncodeResponse, Internal)->Name("BM_EncodeResponse");
BENCHMARK_TEMPLATE(BM_DecodeResponse, Internal)->Name("BM_DecodeResponse");
BENCHMARK_TEMPLATE(BM_RequestAndResponse, Internal)->Name("BM_RequestAndResponse");
BENCHMARK_TEMPLATE(BM_EncodeRequest, Exported)->Name("BM_ExportedEncodeRequest");
BENCHMARK_TEMPLATE(BM_DecodeRequest, Exported)->Name("BM_ExportedDecodeRequest");
BENCHMARK_TEMPLATE(BM_EncodeResponse, Exported)->Name("BM_ExportedEncodeResponse");
BENCHMARK_TEMPLATE(BM_DecodeResponse, Exported)->Name("BM_ExportedDecodeResponse");
BENCHMARK_TEMPLATE(BM_RequestAndResponse, Exported)->Name("BM_ExportedRequestAndResponse");

}  // namespace

int main(int argc, char **argv) { return bench::codec_main(argc, argv, workload, exchange<Internal>, exchange<Exported>); }
