// Memory held by two tables that live for a whole search: the address table of a
// 262,144-address range, and a 10,000-entry translation catalogue beside what glibc's
// gettext keeps for the same messages. Heap bytes are read from mallinfo2 before and
// after the table is made. The catalogue files come from bench/run
// (KIVO8_BENCH_CATALOGUE_DIR holding bench.cvt from kivo-mkcat and the .mo from msgfmt,
// both made from one PO file).
#include <benchmark/benchmark.h>
#include <libintl.h>
#include <locale.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "kivo8/ifinfo.h"
#include "kivo8/mt_support.h"
#include "kivo8/transtext.h"

namespace {

double heap_bytes() {
  struct mallinfo2 m = mallinfo2();
  return static_cast<double>(m.uordblks + m.hblkhd);
}

void BM_AddressTableMemory(benchmark::State &state) {
  mt_res_init();
  ifinfo *list = nullptr;
  ifinfo *range = ifinfo_new();
  range->id = 10001;
  range->addr1.s_addr = htonl(0x0A000000);
  range->addr2.s_addr = htonl(0x0A000000 + 0x40000 - 1);
  ifinfo_add(&list, range);
  double bytes = 0, count = 0;
  for (auto _ : state) {
    double before = heap_bytes();
    ifinfo_iplist *table = ifinfo_init_iplist(list);
    bytes = heap_bytes() - before;
    count = table != nullptr ? table->count : 0;
    ifinfo_free_iplist(table);
  }
  state.counters["addresses"] = count;
  state.counters["bytes"] = bytes;
  state.counters["bytes_per_address"] = count > 0 ? bytes / count : 0;
  ifinfo_free_list(list);
}

void BM_CatalogueMemory(benchmark::State &state) {
  const char *dir = std::getenv("KIVO8_BENCH_CATALOGUE_DIR");
  if (dir == nullptr) {
    state.SkipWithError("KIVO8_BENCH_CATALOGUE_DIR not given (run through bench/run)");
    return;
  }
  std::string folder = std::string(dir) + "/";
  double bytes = 0;
  for (auto _ : state) {
    double before = heap_bytes();
    transtext_table *table = transtext_new_table_nolang(folder.c_str(), "bench.cvt");
    bytes = heap_bytes() - before;
    if (table == nullptr) state.SkipWithError("catalogue not loaded");
    transtext_free(table);
  }
  struct stat st {};
  stat((folder + "bench.cvt").c_str(), &st);
  state.counters["heap_bytes"] = bytes;
  state.counters["file_bytes"] = static_cast<double>(st.st_size);
}

// gettext maps the .mo file and allocates its own tables on the first lookup.
void BM_GettextMemory(benchmark::State &state) {
  const char *dir = std::getenv("KIVO8_BENCH_CATALOGUE_DIR");
  if (dir == nullptr) {
    state.SkipWithError("KIVO8_BENCH_CATALOGUE_DIR not given (run through bench/run)");
    return;
  }
  setenv("LANGUAGE", "xx", 1);
  setlocale(LC_ALL, "C.UTF-8");
  bindtextdomain("kivo8bench", dir);
  double bytes = 0;
  for (auto _ : state) {
    double before = heap_bytes();
    benchmark::DoNotOptimize(dgettext("kivo8bench", "Status message number 1 of the device list"));
    bytes = heap_bytes() - before;
  }
  struct stat st {};
  stat((std::string(dir) + "/xx/LC_MESSAGES/kivo8bench.mo").c_str(), &st);
  state.counters["heap_bytes"] = bytes;
  state.counters["mapped_file_bytes"] = static_cast<double>(st.st_size);
}

BENCHMARK(BM_AddressTableMemory)->Iterations(1);
BENCHMARK(BM_CatalogueMemory)->Iterations(1);
BENCHMARK(BM_GettextMemory)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
