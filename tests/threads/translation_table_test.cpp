// A loaded translation table read from several threads at once.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "kivo8/transtext.h"
#include "support/catalogue_fixture.h"
#include "support/peers.h"
#include "text/transtext_internal.h"

using namespace kivo8::test;
using kivo8::text::transtext_readxlatefile;

namespace {

struct TableFree {
  void operator()(transtext_table *t) const { transtext_free(t); }
};
using Table = std::unique_ptr<transtext_table, TableFree>;

Table load_bytes(const TempDir &dir, const std::string &bytes) {
  write_file(dir.file("c.cvt"), bytes);
  return Table(transtext_readxlatefile(dir.file("c.cvt").c_str()));
}

TEST(TranslationTableThreads, LoadedTableIsReadFromSeveralThreadsAtOnce) {
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < 500; ++i) pairs.push_back({"key " + std::to_string(i), "value " + std::to_string(i)});
  TempDir dir;
  Table t = load_bytes(dir, raw_catalogue(pairs));
  ASSERT_NE(t, nullptr);
  std::vector<std::thread> readers;
  std::vector<int> wrong(4, 0);
  for (int r = 0; r < 4; ++r)
    readers.emplace_back([&, r] {
      for (int round = 0; round < 20; ++round)
        for (int i = 0; i < 500; ++i) {
          const auto &p = pairs[static_cast<std::size_t>((i * 7 + r) % 500)];
          if (p.second != transtext_translate(t.get(), p.first.c_str())) ++wrong[static_cast<std::size_t>(r)];
          std::string absent = "absent " + std::to_string(i);
          if (transtext_translate(t.get(), absent.c_str()) != absent.c_str()) ++wrong[static_cast<std::size_t>(r)];
        }
    });
  for (auto &th : readers) th.join();
  for (int w : wrong) EXPECT_EQ(w, 0);
}

}  // namespace
