// The workload of bench/snmpv3_codec.cpp against net-snmp: the same user, pass phrases,
// engine id, protocols (HMAC-SHA-256, AES-128) and 10-name GetRequest / 10-binding
// Response, with keys localised once beforehand (usm_create_user_from_session), the
// request built by snmp_build and the response read by snmp_parse. This program does not
// link libkivo8.
#include <benchmark/benchmark.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/snmp_workload.h"
#include "common/snmpv3_response.h"
#include "common/codec_main.h"
#include "netsnmp/netsnmp_setup.h"

namespace {

constexpr std::size_t kPacketSize = 8192;
u_char kEngine[] = {0x80, 0x00, 0x1f, 0x88, 0x80, 0x6b, 0x69, 0x76,
                    0x6f, 0x38, 0x62, 0x65, 0x6e, 0x63, 0x68};
char kUser[] = "bench-user";
char kContext[] = "";

[[noreturn]] void fail(const char *what) {
  std::fprintf(stderr, "net-snmp SNMPv3 set-up failed: %s (%s)\n", what, snmp_api_errstring(snmp_errno));
  std::abort();
}

struct Workload {
  netsnmp_session session{};
  netsnmp_pdu *request = nullptr;
  netsnmp_pdu *response = nullptr;
  u_char *buffer = nullptr;
  std::size_t buffer_size = kPacketSize;
  u_char response_bytes[kPacketSize];
  std::size_t response_length = 0;

  Workload() {
    bench::netsnmp_start();
    if (std::getenv("KIVO8_BENCH_DEBUG") != nullptr) {
      debug_register_tokens("usm,scapi,lcd_set_enginetime");
      snmp_set_do_debugging(1);
      snmp_enable_stderrlog();
    }
    snmp_sess_init(&session);
    session.version = SNMP_VERSION_3;
    session.securityModel = SNMP_SEC_MODEL_USM;
    session.securityName = kUser;
    session.securityNameLen = std::strlen(kUser);
    session.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
    session.securityAuthProto = usmHMAC192SHA256AuthProtocol;
    session.securityAuthProtoLen = OID_LENGTH(usmHMAC192SHA256AuthProtocol);
    session.securityPrivProto = usmAESPrivProtocol;
    session.securityPrivProtoLen = OID_LENGTH(usmAESPrivProtocol);
    const char auth[] = "bench-auth-pass", priv[] = "bench-priv-pass";
    session.securityAuthKeyLen = USM_AUTH_KU_LEN;
    session.securityPrivKeyLen = USM_PRIV_KU_LEN;
    if (generate_Ku(session.securityAuthProto, session.securityAuthProtoLen,
                    reinterpret_cast<const u_char *>(auth), std::strlen(auth),
                    session.securityAuthKey, &session.securityAuthKeyLen) != SNMPERR_SUCCESS ||
        generate_Ku(session.securityAuthProto, session.securityAuthProtoLen,
                    reinterpret_cast<const u_char *>(priv), std::strlen(priv),
                    session.securityPrivKey, &session.securityPrivKeyLen) != SNMPERR_SUCCESS)
      fail("keys");
    session.securityEngineID = kEngine;
    session.securityEngineIDLen = sizeof kEngine;
    session.contextEngineID = kEngine;
    session.contextEngineIDLen = sizeof kEngine;
    session.contextName = kContext;
    session.contextNameLen = 0;
    if (usm_create_user_from_session(&session) != SNMPERR_SUCCESS) fail("user");
    if (set_enginetime(kEngine, sizeof kEngine, 7, 86400, TRUE) != SNMPERR_SUCCESS) fail("time");
    buffer = static_cast<u_char *>(std::malloc(buffer_size));
    request = snmp_pdu_create(SNMP_MSG_GET);
    response = snmp_pdu_create(SNMP_MSG_RESPONSE);
    response->reqid = request->reqid;
    request->version = response->version = SNMP_VERSION_3;
    bench::add_workload(request, response);
    // The agent's response as bench_snmpv3_codec decodes it too.
    std::memcpy(response_bytes, bench::kV3Response, sizeof bench::kV3Response);
    response_length = sizeof bench::kV3Response;
    std::size_t n = 0;
    if (encode(request, &n) == nullptr) fail("encode request");
    if (!decodes(response_bytes, response_length)) fail("decode response");
  }

  const u_char *encode(netsnmp_pdu *pdu, std::size_t *length) {
    return bench::netsnmp_encode(session, buffer, buffer_size, pdu, length);
  }

  // snmp_parse clears the digest inside the buffer it is given while checking it, as a
  // receive path may: every decode gets a fresh copy of the datagram.
  bool decodes(const u_char *bytes, std::size_t length) {
    u_char datagram[kPacketSize];
    std::memcpy(datagram, bytes, length);
    bytes = datagram;
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

bool exchange(Workload &w) {
  std::size_t n = 0;
  return w.encode(w.request, &n) != nullptr && w.decodes(w.response_bytes, w.response_length);
}

void BM_EncodeRequestAuthPriv(benchmark::State &state) {
  Workload &w = workload();
  std::size_t n;
  for (auto _ : state) benchmark::DoNotOptimize(w.encode(w.request, &n));
}

void BM_DecodeResponseAuthPriv(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(w.decodes(w.response_bytes, w.response_length));
}

void BM_ExchangeAuthPriv(benchmark::State &state) {
  Workload &w = workload();
  for (auto _ : state) benchmark::DoNotOptimize(exchange(w));
}

BENCHMARK(BM_EncodeRequestAuthPriv);
BENCHMARK(BM_DecodeResponseAuthPriv);
BENCHMARK(BM_ExchangeAuthPriv);

}  // namespace

int main(int argc, char **argv) { return bench::codec_main(argc, argv, workload, exchange); }
