// Saving 1,000 search targets: the one-replacement save beside the same save done as one
// store rewrite per key (delete the old keys, set the total, set every line). The home
// directory lies on a memory file system when there is one, so that the numbers show the
// work of the rewrites rather than the disk's sync time.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "kivo8/ifinfo.h"
#include "kivo8/preference.h"
#include "kivo8/snmp_comm.h"

namespace {

ifinfo *make_targets(int n) {
  ifinfo *head = nullptr;
  for (int i = n; i >= 1; --i) {
    ifinfo *e = ifinfo_new();
    e->id = i;
    e->addr1.s_addr = htonl(0x0A000000u | uint32_t(i) << 8 | 0xFF);
    e->addr2.s_addr = htonl(0xFFFFFF00u);
    snmp_comm_add(&e->comms, "public");
    snmp_comm_add(&e->comms, "private,site");
    e->next = head;
    head = e;
  }
  return head;
}

bool setup_home() {
  static bool ready = [] {
    char shm[] = "/dev/shm/kivo8-bench-XXXXXX";
    char tmp[] = "/tmp/kivo8-bench-XXXXXX";
    const char *home = mkdtemp(shm);
    if (home == nullptr) home = mkdtemp(tmp);
    if (home == nullptr) return false;
    setenv("HOME", home, 1);
    return lanset_set_preference_dir() == 0;
  }();
  return ready;
}

// The save as the row of single store calls, each rewriting the whole file.
void save_per_key(ifinfo *first) {
  char buf[1024];
  if (lanset_get_preference_string("network", "total", buf, sizeof buf) == 0)
    for (int k = std::atoi(buf); k >= 1; --k)
      lanset_set_preference_string("network", std::to_string(k).c_str(), nullptr);
  lanset_set_preference_string("network", "total", std::to_string(ifinfo_get_num(first)).c_str());
  int i = 0;
  for (ifinfo *e = first; e != nullptr; e = e->next) {
    ifinfo_toline(e, buf, sizeof buf);
    lanset_set_preference_string("network", std::to_string(++i).c_str(), buf);
  }
}

void BM_SaveOneRewrite(benchmark::State &state) {
  if (!setup_home()) {
    state.SkipWithError("no preference directory");
    return;
  }
  ifinfo *list = make_targets(int(state.range(0)));
  ifinfo_write_preference(list);
  for (auto _ : state) benchmark::DoNotOptimize(ifinfo_write_preference(list));
  state.SetItemsProcessed(state.iterations() * state.range(0));
  ifinfo_free_list(list);
}
BENCHMARK(BM_SaveOneRewrite)->Arg(1000)->Unit(benchmark::kMillisecond);

void BM_SaveRewritePerKey(benchmark::State &state) {
  if (!setup_home()) {
    state.SkipWithError("no preference directory");
    return;
  }
  ifinfo *list = make_targets(int(state.range(0)));
  ifinfo_write_preference(list);
  for (auto _ : state) save_per_key(list);
  state.SetItemsProcessed(state.iterations() * state.range(0));
  ifinfo_free_list(list);
}
BENCHMARK(BM_SaveRewritePerKey)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
