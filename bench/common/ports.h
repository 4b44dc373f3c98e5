// Where bench/run's peers listen: ports handed to the programs in the environment.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace bench {

// 0 when the variable is unset or not a port.
inline std::uint16_t port_from_env(const char *name) {
  const char *text = std::getenv(name);
  if (text == nullptr) return 0;
  long v = std::strtol(text, nullptr, 10);
  return v > 0 && v < 65536 ? static_cast<std::uint16_t>(v) : 0;
}

inline constexpr char kSnmpdPort[] = "KIVO8_BENCH_SNMPD_PORT";
inline constexpr char kResponderPort[] = "KIVO8_BENCH_RESPONDER_PORT";
inline constexpr char kBurstPort[] = "KIVO8_BENCH_BURST_PORT";

// Round trips per measurement, as the comparison asks for.
inline constexpr int kRoundTrips = 10000;
// Names per GET: the first five of the workload, which a stock agent holds.
inline constexpr int kGetNames = 5;

}  // namespace bench
