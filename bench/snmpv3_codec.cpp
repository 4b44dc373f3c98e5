// One SNMPv3 authPriv exchange (HMAC-SHA-256, AES-128) as a manager sees it: the 10-name
// GetRequest of the codec benchmark encoded, encrypted and signed, and the 10-binding
// Response checked, decrypted and decoded. Keys are localised once beforehand, as the
// session's key cache does. The same workload against net-snmp, with the same user and
// keys, is bench/netsnmp/snmpv3_codec.cpp.
//
// `bench_snmpv3_codec --count N` runs N exchanges without the benchmark harness, for
// counting instructions under callgrind.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/codec_main.h"
#include "common/kivo_values.h"
#include "common/snmp_workload.h"
#include "common/snmpv3_response.h"
#include "kivo8/mt_support.h"
#include "kivo8/snmpv3.h"
#include "snmp/pdu.h"
#include "snmpv3/message.h"
#include "snmpv3/usm.h"

namespace {

namespace v3 = kivo8::v3;

constexpr std::uint8_t kEngine[] = {0x80, 0x00, 0x1f, 0x88, 0x80, 0x6b, 0x69, 0x76,
                                    0x6f, 0x38, 0x62, 0x65, 0x6e, 0x63, 0x68};
constexpr const char *kUser = "bench-user";

struct Workload {
  v3::User user;
  v3::LocalKeys keys;
  snmp_pdu *request = nullptr;
  snmp_pdu *response = nullptr;
  std::vector<std::uint8_t> response_bytes;

  Workload() {
    mt_res_init();
    kivo_snmpv3_options o{};
    o.size = sizeof o;
    o.user = kUser;
    o.level = KIVO_SNMPV3_AUTH_PRIV;
    o.auth_protocol = KIVO_SNMPV3_AUTH_SHA256;
    o.auth_password = "bench-auth-pass";
    o.priv_protocol = KIVO_SNMPV3_PRIV_AES;
    o.priv_password = "bench-priv-pass";
    if (user.set(o) != 0 || !v3::derive(user, kEngine, keys)) std::abort();
    request = snmp_create_pdu(SNMP_MSG_GET);
    response = snmp_create_pdu(SNMP_MSG_RESPONSE);
    response->reqid = request->reqid;
    for (int i = 0; i < 10; ++i) {
      const bench::Name &n = bench::kNames[i];
      snmp_add_null_var(request, n.subids, n.length);
      bench::add_workload_value(response, n, bench::kTypes[i]);
    }
    response_bytes.resize(v3::kMaxMessage);
    response_bytes.resize(encode(response, response_bytes.data()));
    if (response_bytes.empty() || !decodes(response_bytes.data(), response_bytes.size())) std::abort();
  }

  std::size_t encode(const snmp_pdu *pdu, std::uint8_t *out) {
    v3::Outgoing m;
    m.msg_id = 4711;
    m.flags = v3::kFlagAuth | v3::kFlagPriv | v3::kFlagReportable;
    m.engine_id = kEngine;
    m.boots = 7;
    m.time = 86400;
    m.user = user.name_view();
    m.context_engine_id = kEngine;
    m.keys = &keys;
    m.exported = pdu;
    return v3::encode(m, {out, v3::kMaxMessage});
  }

  bool decodes(const std::uint8_t *bytes, std::size_t length) {
    const std::span<const std::uint8_t> message(bytes, length);
    v3::Envelope env;
    if (v3::parse_envelope(message, env) != v3::CodecError::none ||
        v3::verify(message, env, keys) != v3::CodecError::none)
      return false;
    std::uint8_t scratch[v3::kMaxMessage];
    // Decoded into the library's own message type, as the engine and session layer do.
    kivo8::snmp::Message pdu;
    v3::Scoped scoped;
    return v3::open_scoped(env, &keys, scratch, pdu, scoped) == v3::CodecError::none &&
           !pdu.bindings().empty();
  }
};

Workload &workload() {
  static Workload w;
  return w;
}

// The manager's half of one exchange: its request out, the agent's response in.
bool exchange(Workload &w) {
  std::uint8_t out[v3::kMaxMessage];
  const std::size_t n = w.encode(w.request, out);
  return n != 0 && w.decodes(bench::kV3Response, sizeof bench::kV3Response);
}

void BM_EncodeRequestAuthPriv(benchmark::State &state) {
  Workload &w = workload();
  std::uint8_t out[v3::kMaxMessage];
  for (auto _ : state) benchmark::DoNotOptimize(w.encode(w.request, out));
}

void BM_DecodeResponseAuthPriv(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state)
    benchmark::DoNotOptimize(w.decodes(w.response_bytes.data(), w.response_bytes.size()));
}

void BM_ExchangeAuthPriv(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(exchange(w));
}

BENCHMARK(BM_EncodeRequestAuthPriv);
BENCHMARK(BM_DecodeResponseAuthPriv);
BENCHMARK(BM_ExchangeAuthPriv);

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && std::strcmp(argv[1], "--dump-response") == 0) {
    for (std::uint8_t b : workload().response_bytes) std::printf("0x%02x,", b);
    std::printf("\n");
    return 0;
  }
  return bench::codec_main(argc, argv, workload, exchange);
}
