// The main() of the codec benchmarks, ours and net-snmp's alike: `--count N` runs N
// exchanges without the benchmark library (what callgrind counts instructions of), and
// anything else runs the registered benchmarks.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

namespace bench {

template <typename Workload>
int codec_main(int argc, char **argv, Workload &(*workload)(), bool (*exchange)(Workload &)) {
  if (argc == 3 && std::strcmp(argv[1], "--count") == 0) {
    Workload &w = workload();
    const long count = std::atol(argv[2]);
    for (long i = 0; i < count; ++i)
      if (!exchange(w)) return 1;
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
