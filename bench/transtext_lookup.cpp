// Lookups in a 10,000-entry catalogue, present and missing keys, beside glibc's gettext
// on a .mo file that msgfmt made from the same PO file; and the catalogue's load time.
//
// The catalogue is compiled by kivo-mkcat from the build's tools/ folder (or from PATH).
#include <benchmark/benchmark.h>
#include <libintl.h>
#include <linux/limits.h>
#include <locale.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "kivo8/transtext.h"

namespace {

constexpr int kEntries = 10000;
constexpr char kDomain[] = "kivo8bench";

struct Catalogues {
  std::string dir;
  std::vector<std::string> present, missing;
  transtext_table *table = nullptr;
  bool ok = false;

  Catalogues() {
    char tmpl[] = "/tmp/kivo8-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir = tmpl;
    std::ofstream po(dir + "/bench.po");
    po << "msgid \"\"\nmsgstr \"\"\n\"MIME-Version: 1.0\\n\"\n"
          "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
          "\"Content-Transfer-Encoding: 8bit\\n\"\n";
    for (int i = 0; i < kEntries; ++i) {
      std::string key = "Status message number " + std::to_string(i) + " of the device list";
      po << "\nmsgid \"" << key << "\"\nmsgstr \"Message d'\xc3\xa9tat num\xc3\xa9ro " << i << "\"\n";
      present.push_back(key);
      missing.push_back("Absent message number " + std::to_string(i) + " of the device list");
    }
    po.close();
    char self[PATH_MAX] = {};
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string tool = "kivo-mkcat";
    if (n > 0) {
      std::string here(self, static_cast<std::size_t>(n));
      std::string built = here.substr(0, here.rfind('/')) + "/../tools/kivo-mkcat";
      if (access(built.c_str(), X_OK) == 0) tool = built;
    }
    std::string mo_dir = dir + "/xx/LC_MESSAGES";
    std::string cmd = "'" + tool + "' -o '" + dir + "/bench.cvt' '" + dir + "/bench.po' 2>/dev/null && mkdir -p '" +
                      mo_dir + "' && msgfmt -o '" + mo_dir + "/" + kDomain + ".mo' '" + dir + "/bench.po'";
    if (std::system(cmd.c_str()) != 0) return;
    table = transtext_new_table_nolang((dir + "/").c_str(), "bench.cvt");
    // gettext translates only outside the "C" locale; C.UTF-8 is built into glibc.
    setenv("LANGUAGE", "xx", 1);
    if (setlocale(LC_ALL, "C.UTF-8") == nullptr) return;
    bindtextdomain(kDomain, dir.c_str());
    ok = table != nullptr && std::string(dgettext(kDomain, present[0].c_str())) != present[0];
  }
  ~Catalogues() {
    transtext_free(table);
    if (!dir.empty()) (void)std::system(("rm -rf '" + dir + "'").c_str());
  }
};

Catalogues &catalogues() {
  static Catalogues c;
  return c;
}

void lookups(benchmark::State &state, const std::vector<std::string> &keys, bool ours) {
  Catalogues &c = catalogues();
  if (!c.ok) {
    state.SkipWithError("catalogues could not be made (kivo-mkcat, msgfmt, C.UTF-8)");
    return;
  }
  std::size_t i = 0;
  for (auto _ : state) {
    const char *key = keys[i].c_str();
    benchmark::DoNotOptimize(ours ? transtext_translate(c.table, key) : dgettext(kDomain, key));
    if (++i == keys.size()) i = 0;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_TranstextPresent(benchmark::State &s) { lookups(s, catalogues().present, true); }
void BM_TranstextMissing(benchmark::State &s) { lookups(s, catalogues().missing, true); }
void BM_GettextPresent(benchmark::State &s) { lookups(s, catalogues().present, false); }
void BM_GettextMissing(benchmark::State &s) { lookups(s, catalogues().missing, false); }

void BM_TranstextLoad(benchmark::State &state) {
  Catalogues &c = catalogues();
  if (!c.ok) {
    state.SkipWithError("catalogue could not be made");
    return;
  }
  std::string dir = c.dir + "/";
  for (auto _ : state) {
    transtext_table *t = transtext_new_table_nolang(dir.c_str(), "bench.cvt");
    benchmark::DoNotOptimize(t);
    transtext_free(t);
  }
}

BENCHMARK(BM_TranstextPresent);
BENCHMARK(BM_GettextPresent);
BENCHMARK(BM_TranstextMissing);
BENCHMARK(BM_GettextMissing);
BENCHMARK(BM_TranstextLoad)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
