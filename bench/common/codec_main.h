// The main() of the codec benchmarks, ours and net-snmp's alike: `--count N` runs N
// exchanges without the benchmark library (what callgrind counts instructions of), and
// anything else runs the registered benchmarks. A program with a second way through its
// codec (ours: the exported adapters beside the internal codec) runs that one with
// `--count-exported N`.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

namespace bench {

template <typename Workload>
int codec_main(int argc, char **argv, Workload &(*workload)(), bool (*exchange)(Workload &),
               bool (*exported)(Workload &) = nullptr) {
  const bool plain = argc == 3 && std::strcmp(argv[1], "--count") == 0;
  if (plain || (argc == 3 && exported != nullptr && std::strcmp(argv[1], "--count-exported") == 0)) {
    Workload &w = workload();
    const long count = std::atol(argv[2]);
    bool (*run)(Workload &) = plain ? exchange : exported;
    for (long i = 0; i < count; ++i)
      if (!run(w)) return 1;
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace bench
