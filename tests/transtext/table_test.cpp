#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/catalogue_fixture.h"
#include "core/alloc.h"
#include "kivo8/transtext.h"
#include "support/alloc_failure.h"
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

TEST(TranslationTable, EightByteEmptyCatalogueGivesTheKeysBack) {
  TempDir dir;
  Table t = load_bytes(dir, std::string("\x19\x64\x02\x13\0\0\0\0", 8));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->size, 0u);
  EXPECT_EQ(t->filled, 0u);
  const char *key = "Unknown";
  EXPECT_EQ(transtext_translate(t.get(), key), key);
  EXPECT_EQ(transtext_translate(t.get(), ""), std::string(""));
  EXPECT_EQ(lookup(t.get(), key, kivo8::text::compute_hashval(key)), 0u);
}

TEST(TranslationTable, MalformedFilesAreRejected) {
  std::string good = raw_catalogue({{"a", "A"}, {"bb", "BB"}});
  auto patched = [&](std::size_t at, std::string bytes) {
    std::string s = good;
    s.replace(at, bytes.size(), bytes);
    return s;
  };
  struct {
    const char *name;
    std::string bytes;
  } cases[] = {
      {"seven bytes", std::string("\x19\x64\x02\x13\0\0\0", 7)},
      {"empty file", ""},
      {"wrong magic", patched(0, "\x19\x64\x02\x14")},
      {"magic in another order", patched(0, std::string("\x64\x19\x13\x02", 4))},
      {"more entries than the file holds", patched(4, std::string("\x03\0\0\0", 4))},
      {"count near 2^32", patched(4, "\xff\xff\xff\xff")},
      {"key offset past the pool", patched(8, std::string("\x20\0\0\0", 4))},
      {"translation offset far away", patched(12, "\xff\xff\xff\x7f")},
      {"last string unterminated", good.substr(0, good.size() - 1)},
      {"no string pool", patched(4, std::string("\x02\0\0\0", 4)).substr(0, 24)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    EXPECT_EQ(load_bytes(dir, c.bytes), nullptr);
  }
  TempDir dir;
  EXPECT_EQ(transtext_readxlatefile(dir.file("missing.cvt").c_str()), nullptr);
  EXPECT_EQ(transtext_readxlatefile(dir.path().c_str()), nullptr);
  EXPECT_EQ(transtext_readxlatefile(nullptr), nullptr);
}

TEST(TranslationTable, EveryTruncationOfACatalogueIsRejected) {
  std::string good = raw_catalogue({{"Unknown", "Inconnu"}, {"DA Unit", "Carte DA"}, {"x", ""}});
  TempDir dir;
  ASSERT_NE(load_bytes(dir, good), nullptr);
  for (std::size_t n = 0; n < good.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(load_bytes(dir, good.substr(0, n)), nullptr);
  }
}

TEST(TranslationTable, BothMagicOrdersReadLittleEndianNumbers) {
  for (bool reversed : {false, true}) {
    SCOPED_TRACE(reversed);
    TempDir dir;
    Table t = load_bytes(dir, raw_catalogue({{"Unknown", "Unbekannt"}, {"Printer", "Drucker"}}, reversed));
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(transtext_translate(t.get(), "Unknown"), "Unbekannt");
    EXPECT_STREQ(transtext_translate(t.get(), "Printer"), "Drucker");
    const char *missing = "printer";  // keys are case-sensitive
    EXPECT_EQ(transtext_translate(t.get(), missing), missing);
  }
}

TEST(TranslationTable, CompiledCatalogueTranslatesAndMissingKeysComeBackAsThePointer) {
  TempDir dir;
  compile_po(po_header("UTF-8") +
                 "msgid \"Unknown\"\nmsgstr \"Inconnu\"\n\n"
                 "msgid \"SNMP Disabled Device\"\nmsgstr \"Appareil sans SNMP\"\n",
             dir.file("fr.cvt"));
  Table t(transtext_new_table_nolang((dir.path() + "/").c_str(), "fr.cvt"));
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(transtext_translate(t.get(), "Unknown"), "Inconnu");
  EXPECT_STREQ(transtext_translate(t.get(), "SNMP Disabled Device"), "Appareil sans SNMP");
  EXPECT_STREQ(transtext_translate(t.get(), "__character_encoding__"), "UTF-8");
  const char *missing = "DA Unit";
  EXPECT_EQ(transtext_translate(t.get(), missing), missing);
  EXPECT_EQ(transtext_translate(t.get(), nullptr), nullptr);
  EXPECT_EQ(transtext_translate(nullptr, missing), missing);
  // The result points into the table's own strings.
  const char *hit = transtext_translate(t.get(), "Unknown");
  EXPECT_GE(hit, reinterpret_cast<const char *>(t->image));
  EXPECT_EQ(t->display_strings, nullptr);
}

TEST(TranslationTable, PathsAreDirectoryTextAndFileNameWithNothingBetween) {
  TempDir dir;
  write_file(dir.file("pcat.cvt"), raw_catalogue({{"k", "v"}}));
  Table joined(transtext_new_table_nolang((dir.path() + "/p").c_str(), "cat.cvt"));
  ASSERT_NE(joined, nullptr);
  EXPECT_STREQ(transtext_translate(joined.get(), "k"), "v");
  EXPECT_EQ(transtext_new_table_nolang(dir.path().c_str(), "pcat.cvt"), nullptr);
  EXPECT_EQ(transtext_new_table_nolang(nullptr, "pcat.cvt"), nullptr);
  // A path that does not fit in 1024 bytes is not cut short into another file's name.
  std::string long_dir = dir.path() + "/" + std::string(1100, 'd') + "/";
  EXPECT_EQ(transtext_new_table_nolang(long_dir.c_str(), "pcat.cvt"), nullptr);
}

TEST(TranslationTable, RepeatedKeyKeepsTheFirstTranslation) {
  TempDir dir;
  Table t = load_bytes(dir, raw_catalogue({{"Ready", "first"}, {"Busy", "busy"}, {"Ready", "second"}}));
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->filled, 2u);
  EXPECT_STREQ(transtext_translate(t.get(), "Ready"), "first");
  EXPECT_STREQ(transtext_translate(t.get(), "Busy"), "busy");
}

TEST(TranslationTable, HashTakesHighBytesAsNegative) {
  using kivo8::text::compute_hashval;
  struct {
    const char *key;
    std::uint32_t hash;
  } cases[] = {
      {"", 0xFFFFFFFFu},     // 0 is the empty-bucket mark
      {"a", 16 + 97},        // length 1, then 1*16 + 'a'
      {"ab", 2162},          // (2*16 + 97)*16 + 98
      {"\xff", 15},          // 1*16 - 1
      {"\x80", 0x0FFFFF60u}, // 1*16 - 128 wraps; the top nibble folds back
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(compute_hashval(c.key), c.hash);
  }
  // Long keys fold the top nibble every step and never give 0.
  EXPECT_NE(compute_hashval(std::string(300, '\xf0').c_str()), 0u);

  TempDir dir;
  Table t = load_bytes(dir, raw_catalogue({{"\xc3\xa9t\xc3\xa9", "summer"}, {"\x80\xff", "high"}}));
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(transtext_translate(t.get(), "\xc3\xa9t\xc3\xa9"), "summer");
  EXPECT_STREQ(transtext_translate(t.get(), "\x80\xff"), "high");
  // The first key of an empty table sits at its home bucket, (h mod size) + 1.
  std::uint32_t h = compute_hashval("\x80\xff");
  std::uint32_t at = lookup(t.get(), "\x80\xff", h);
  EXPECT_EQ(t->buckets[at].hash_value, h);
}

TEST(TranslationTable, BucketCountFollowsTheEntryCount) {
  using kivo8::text::is_prime;
  using kivo8::text::next_prime;
  struct {
    std::uint32_t seed, prime;
  } primes[] = {{0, 11}, {11, 11}, {12, 13}, {14, 17}, {24, 29}, {120, 127}, {168, 173}, {1000, 1009}};
  for (auto p : primes) {
    SCOPED_TRACE(p.seed);
    EXPECT_EQ(next_prime(p.seed), p.prime);
  }
  for (std::uint32_t odd : {9u, 15u, 25u, 49u, 121u, 169u, 10201u}) EXPECT_FALSE(is_prime(odd)) << odd;
  for (std::uint32_t odd : {13u, 17u, 127u, 10007u}) EXPECT_TRUE(is_prime(odd)) << odd;

  struct {
    std::size_t entries;
    std::uint32_t size;
  } sizes[] = {{1, 11}, {9, 11}, {10, 13}, {100, 127}, {1000, 1201}};
  for (auto s : sizes) {
    SCOPED_TRACE(s.entries);
    std::vector<std::pair<std::string, std::string>> pairs;
    for (std::size_t i = 0; i < s.entries; ++i) pairs.push_back({"key " + std::to_string(i), "v"});
    TempDir dir;
    Table t = load_bytes(dir, raw_catalogue(pairs));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->size, s.size);
    EXPECT_EQ(t->filled, s.entries);
    for (std::size_t i = 0; i < s.entries; i += 7)
      EXPECT_STREQ(transtext_translate(t.get(), pairs[i].first.c_str()), "v");
  }
}

// Fills a table of 11 buckets by hand, past the sizing that loading would choose.
TEST(TranslationTable, FullTableEndsMissingLookupsAtAnEmptyBucketAndGrowsAbove95Percent) {
  using namespace kivo8::text;
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; i < 30; ++i) pairs.push_back({"model " + std::to_string(i), "m" + std::to_string(i)});
  TempDir dir;
  Table loaded = load_bytes(dir, raw_catalogue(pairs));
  ASSERT_NE(loaded, nullptr);

  transtext_table t{};
  t.entries = loaded->entries;
  t.strings = loaded->strings;
  ASSERT_EQ(init_transtext_table(t, 11), 0);
  auto missing_lookups_end_empty = [&] {
    for (const char *absent : {"absent", "x", "model 99", "", "\xff\xfe"}) {
      std::uint32_t i = lookup(&t, absent, compute_hashval(absent));
      ASSERT_GE(i, 1u);
      ASSERT_LE(i, t.size);
      EXPECT_EQ(t.buckets[i].hash_value, 0u) << absent;
    }
  };
  for (int i = 0; i < 10; ++i) ASSERT_EQ(insert_entry(t, &t.entries[i]), 0);
  EXPECT_EQ(t.size, 11u);  // 10 of 11 is below 95 %: no growth yet
  EXPECT_EQ(t.filled, 10u);
  missing_lookups_end_empty();
  EXPECT_EQ(insert_entry(t, &t.entries[3]), -1);  // present already
  EXPECT_EQ(t.filled, 10u);

  ASSERT_EQ(insert_entry(t, &t.entries[10]), 0);
  EXPECT_EQ(t.size, 23u);  // next_prime(22)
  EXPECT_EQ(t.filled, 11u);
  for (int i = 11; i < 30; ++i) {
    ASSERT_EQ(insert_entry(t, &t.entries[i]), 0);
    EXPECT_LE(std::uint64_t{100} * t.filled, std::uint64_t{95} * t.size);
    missing_lookups_end_empty();
  }
  EXPECT_EQ(t.size, 47u);
  for (int i = 0; i < 30; ++i) {
    const char *key = pairs[static_cast<std::size_t>(i)].first.c_str();
    std::uint32_t at = lookup(&t, key, compute_hashval(key));
    ASSERT_NE(t.buckets[at].hash_value, 0u) << key;
    EXPECT_STREQ(t.strings + t.buckets[at].entry->translation_offset, pairs[static_cast<std::size_t>(i)].second.c_str());
  }
  kivo8::mem_free(t.buckets);
}

TEST(TranslationTable, ByteOrderHelpers) {
  using namespace kivo8::text;
  EXPECT_EQ(swap_nls_uint32(0x12345678u), 0x78563412u);
  EXPECT_EQ(swap_nls_uint32(swap_nls_uint32(0xA1B2C3D4u)), 0xA1B2C3D4u);
  std::uint32_t probe = 1;
  std::uint8_t first;
  std::memcpy(&first, &probe, 1);
  EXPECT_EQ(isbigendian(), first == 0);
}

TEST(TranslationTable, LoaderSurvivesEveryAllocationFailure) {
  TempDir dir;
  write_file(dir.file("c.cvt"), raw_catalogue({{"Unknown", "Inconnu"}, {"Printer", "Imprimante"}}));
  std::string path = dir.file("c.cvt");
  auto made = sweep_allocation_failures([&] {
    transtext_table *t = transtext_readxlatefile(path.c_str());
    if (t == nullptr) return false;
    EXPECT_STREQ(transtext_translate(t, "Printer"), "Imprimante");
    transtext_free(t);
    return true;
  });
  EXPECT_EQ(made, 3u);  // image, table, buckets
}

}  // namespace
