// The workload's response bindings in libkivo8's record, the same for the SNMPv1/v2c and
// the SNMPv3 codec benchmarks.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "common/snmp_workload.h"
#include "kivo8/snmp_sess.h"

namespace bench {

inline void add_workload_value(snmp_pdu *response, const Name &n, std::uint8_t type) {
  counter64 c64{kCounter64High, kCounter64Low};
  const void *value = nullptr;
  std::uint32_t length = 4;
  switch (type) {
    case kInteger: value = &kIntValue; break;
    case kOctets: value = kText; length = sizeof kText - 1; break;
    case kObjectId: value = kOidValue; length = kOidValueLength * 4; break;
    case kCounter32: value = &kCounterValue; break;
    case kTimeTicks: value = &kTicksValue; break;
    case kIpAddress: value = kAddressValue; break;
    case kCounter64: value = &c64; length = sizeof c64; break;
  }
  if (snmp_pdu_add_variable(response, n.subids, n.length, type, value, length) == nullptr) std::abort();
}

}  // namespace bench
