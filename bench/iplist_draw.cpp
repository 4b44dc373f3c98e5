// Draws per second from one shared address table, with 1, 2 and 8 threads, beside a
// bare atomic counter doing the same hand-out: the gap between the two is the price of
// the lock slot.
#include <benchmark/benchmark.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdint>

#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"

namespace {

ifinfo *g_list = nullptr;
ifinfo_iplist *g_record = nullptr;
std::atomic<std::int64_t> g_counter{0};

constexpr std::int64_t kAddresses = 0x40000;

void build_table() {
  mt_res_init();
  ifinfo *range = ifinfo_new();
  range->id = 10001;
  range->addr1.s_addr = htonl(0x0A000000);
  range->addr2.s_addr = htonl(0x0A000000 + kAddresses - 1);
  ifinfo_add(&g_list, range);
  g_record = ifinfo_init_iplist(g_list);
}

void drop_table() {
  ifinfo_free_iplist(g_record);
  g_record = nullptr;
  ifinfo_free_list(g_list);
  g_list = nullptr;
  mt_res_free();
}

void BM_TableDraw(benchmark::State &state) {
  if (state.thread_index() == 0) build_table();
  for (auto _ : state) {
    ifinfo_ipentry *e = ifinfo_iplist_getnext(g_record);
    if (e == nullptr) {
      // The table has no rewind; a benchmark run outlasts 262,144 draws, so start it
      // over under the same slot that guards every draw.
      mt_res_lock(MT_RES_IFINFO, 1);
      if (g_record->current == g_record->count) g_record->current = 0;
      mt_res_unlock(MT_RES_IFINFO, 1);
    }
    benchmark::DoNotOptimize(e);
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) drop_table();
}

// The same hand-out of indices into one array, with a fetch-and-add instead of a lock.
void BM_AtomicCounter(benchmark::State &state) {
  if (state.thread_index() == 0) g_counter = 0;
  for (auto _ : state) {
    std::int64_t n = g_counter.fetch_add(1, std::memory_order_relaxed);
    if (n >= kAddresses) g_counter.store(0, std::memory_order_relaxed);
    benchmark::DoNotOptimize(n);
  }
  state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_AtomicCounter)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();
BENCHMARK(BM_TableDraw)->Threads(1)->Threads(2)->Threads(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
