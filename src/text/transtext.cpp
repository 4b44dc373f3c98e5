// Hashed translation tables over a catalogue file image.
//
// The file is read whole into one buffer and used in place: the entries and the string
// pool are pointers into it. Before anything points into the image, every entry is
// checked against the file, so that no lookup can read outside it whatever the numbers
// in the file say.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "core/bytes.h"
#include "core/file.h"
#include "core/unique_fd.h"
#include "kivo8/transtext.h"
#include "text/transtext_internal.h"

namespace kivo8::text {
namespace {

constexpr std::uint8_t kMagic[4] = {0x19, 0x64, 0x02, 0x13};
constexpr std::uint8_t kMagicReversed[4] = {0x13, 0x02, 0x64, 0x19};
constexpr std::size_t kHeaderSize = 8;

struct TableFree {
  void operator()(transtext_table *t) const noexcept { transtext_free(t); }
};
using UniqueTable = std::unique_ptr<transtext_table, TableFree>;

bool key_equal(const transtext_table &table, const transtext_bucket &bucket, const char *key,
               std::uint32_t hash) noexcept {
  return bucket.hash_value == hash &&
         std::strcmp(table.strings + bucket.entry->key_offset, key) == 0;
}

// Reads the whole file at `path` into one allocation; null when any step fails.
std::uint8_t *read_image(const char *path, std::size_t &size) noexcept {
  UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd) return nullptr;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || st.st_size < static_cast<off_t>(kHeaderSize)) return nullptr;
  size = static_cast<std::size_t>(st.st_size);
  UniqueMem<std::uint8_t> buf(static_cast<std::uint8_t *>(mem_alloc(size)));
  if (!buf) return nullptr;
  std::size_t got = 0;
  while (got < size) {
    ssize_t n = ::read(fd.get(), buf.get() + got, size - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return nullptr;
    got += static_cast<std::size_t>(n);
  }
  return buf.release();
}

// Every entry must name a key and a translation that start inside the string pool and
// end with a zero inside it. A string starting at or before the pool's last zero byte is
// terminated, so one scan for that byte serves all entries.
bool entries_fit(std::span<const std::uint8_t> image, std::uint32_t count) noexcept {
  ByteReader r(image);
  r.skip(kHeaderSize);
  auto table = r.take(std::size_t{8} * count);
  if (!table) return false;
  auto pool = r.rest();
  if (count == 0) return true;
  std::size_t last_zero = pool.size();
  for (std::size_t i = pool.size(); i-- > 0;)
    if (pool[i] == 0) {
      last_zero = i;
      break;
    }
  if (last_zero == pool.size()) return false;
  ByteReader entries(*table);
  for (std::uint32_t i = 0; i < count; ++i) {
    auto key = entries.le32();
    auto translation = entries.le32();
    if (!key || !translation || *key > last_zero || *translation > last_zero) return false;
  }
  return true;
}

}  // namespace

bool isbigendian() noexcept {
  const std::uint32_t probe = 0x12345678;
  std::uint8_t first;
  std::memcpy(&first, &probe, 1);
  return first == 0x12;
}

std::uint32_t swap_nls_uint32(std::uint32_t v) noexcept {
  return (v << 24) | ((v & 0xff00) << 8) | ((v >> 8) & 0xff00) | (v >> 24);
}

bool is_prime(std::uint32_t candidate) noexcept {
  std::uint64_t div = 3;
  while (div * div < candidate && candidate % div != 0) div += 2;
  return candidate % div != 0;
}

std::uint32_t next_prime(std::uint32_t seed) noexcept {
  if (seed <= 11) return 11;
  // The largest 32-bit prime ends the search for any seed above it.
  constexpr std::uint32_t kLargestPrime = 4294967291u;
  if (seed > kLargestPrime) return kLargestPrime;
  std::uint32_t c = seed | 1;
  while (!is_prime(c)) c += 2;
  return c;
}

std::uint32_t compute_hashval(const char *key) noexcept {
  std::size_t len = std::strlen(key);
  std::uint32_t h = static_cast<std::uint32_t>(len);
  for (std::size_t i = 0; i < len; ++i) {
    // Bytes count as signed, so those above 0x7F subtract: catalogues hash that way.
    auto c = static_cast<std::int32_t>(static_cast<std::int8_t>(key[i]));  // NOLINT(bugprone-signed-char-misuse,cert-str34-c)
    h = (h << 4) + static_cast<std::uint32_t>(c);
    std::uint32_t g = h & 0xF0000000u;
    if (g != 0) h = h ^ (g >> 24) ^ g;
  }
  return h == 0 ? 0xFFFFFFFFu : h;
}

int init_transtext_table(transtext_table &table, std::uint32_t wanted) noexcept {
  table.filled = 0;
  table.buckets = nullptr;
  if (wanted == 0) {
    table.size = 0;
    return 0;
  }
  std::uint32_t size = next_prime(wanted);
  auto *b = static_cast<transtext_bucket *>(
      mem_calloc(std::size_t{size} + 1, sizeof(transtext_bucket)));
  if (b == nullptr) return -1;
  table.size = size;
  table.buckets = b;
  return 0;
}

void insert_entry_2(transtext_table &table, transtext_entry *entry, std::uint32_t hash,
                    std::uint32_t index) noexcept {
  table.buckets[index].hash_value = hash;
  table.buckets[index].entry = entry;
  ++table.filled;
  if (std::uint64_t{100} * table.filled <= std::uint64_t{95} * table.size) return;

  transtext_table grown = table;
  std::uint64_t twice = std::uint64_t{2} * table.size;
  if (twice > 0xFFFFFFFFu || init_transtext_table(grown, static_cast<std::uint32_t>(twice)) != 0)
    return;  // keeps the full array: lookups are bounded, and a full table refuses inserts
  for (std::uint32_t i = 1; i <= table.size; ++i) {
    const transtext_bucket &old = table.buckets[i];
    if (old.hash_value == 0) continue;
    std::uint32_t at = lookup(&grown, table.strings + old.entry->key_offset, old.hash_value);
    grown.buckets[at] = old;
    ++grown.filled;
  }
  mem_free(table.buckets);
  table.buckets = grown.buckets;
  table.size = grown.size;
  table.filled = grown.filled;
}

int insert_entry(transtext_table &table, transtext_entry *entry) noexcept {
  if (table.size == 0) return -1;
  const char *key = table.strings + entry->key_offset;
  std::uint32_t hash = compute_hashval(key);
  std::uint32_t index = lookup(&table, key, hash);
  if (table.buckets[index].hash_value != 0) return -1;
  insert_entry_2(table, entry, hash, index);
  return 0;
}

transtext_table *transtext_readxlatefile(const char *path) noexcept {
  if (path == nullptr) return nullptr;
  std::size_t size = 0;
  UniqueMem<std::uint8_t> image(read_image(path, size));
  if (!image) return nullptr;
  std::span<const std::uint8_t> bytes(image.get(), size);
  if (std::memcmp(bytes.data(), kMagic, 4) != 0 && std::memcmp(bytes.data(), kMagicReversed, 4) != 0)
    return nullptr;
  ByteReader header(bytes.subspan(4, 4));
  std::uint32_t count = *header.le32();
  if (!entries_fit(bytes, count)) return nullptr;

  UniqueTable table(mem_new<transtext_table>());
  if (!table) return nullptr;
  // Truncated toward zero as the sizing rule says; the count fits in the file, so the
  // product stays far below 2^32.
  auto wanted = static_cast<std::uint32_t>(static_cast<double>(count) * 1.2);
  if (init_transtext_table(*table, wanted) != 0) return nullptr;

  auto *entries = reinterpret_cast<transtext_entry *>(image.get() + kHeaderSize);
  table->entries = entries;
  table->strings = reinterpret_cast<char *>(image.get() + kHeaderSize + std::size_t{8} * count);
  // The file is little-endian whatever the magic's order; turn the entries into host
  // order in place.
  if (isbigendian())
    for (std::uint32_t i = 0; i < count; ++i) {
      entries[i].key_offset = swap_nls_uint32(entries[i].key_offset);
      entries[i].translation_offset = swap_nls_uint32(entries[i].translation_offset);
    }
  for (std::uint32_t i = 0; i < count; ++i) (void)insert_entry(*table, &entries[i]);
  table->image = image.release();
  return table.release();
}

}  // namespace kivo8::text

using namespace kivo8::text;

extern "C" KIVO8_API uint32_t lookup(const transtext_table *table, const char *key,
                                     uint32_t hash) noexcept {
  if (table == nullptr || key == nullptr || table->size < 3 || table->buckets == nullptr) return 0;
  const std::uint32_t size = table->size;
  std::uint32_t i = hash % size + 1;
  const transtext_bucket *b = table->buckets;
  if (b[i].hash_value == 0 || key_equal(*table, b[i], key, hash)) return i;
  const std::uint32_t step = hash % (size - 2) + 1;
  // The size is prime, so the probe visits every bucket once before it comes back.
  for (std::uint32_t n = 1; n < size; ++n) {
    i = i > step ? i - step : size + i - step;
    if (b[i].hash_value == 0 || key_equal(*table, b[i], key, hash)) return i;
  }
  return i;
}

extern "C" KIVO8_API transtext_table *transtext_new_table_nolang(const char *dir,
                                                                 const char *file) noexcept {
  if (dir == nullptr || file == nullptr) return nullptr;
  char path[1024];
  int n = std::snprintf(path, sizeof path, "%s%s", dir, file);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) return nullptr;
  return transtext_readxlatefile(path);
}

extern "C" KIVO8_API const char *transtext_translate(const transtext_table *table,
                                                     const char *key) noexcept {
  if (table == nullptr || key == nullptr) return key;
  std::uint32_t hash = compute_hashval(key);
  std::uint32_t i = lookup(table, key, hash);
  if (i == 0) return key;
  const transtext_bucket &b = table->buckets[i];
  if (!key_equal(*table, b, key, hash)) return key;
  const char *pool = table->display_strings != nullptr ? table->display_strings : table->strings;
  return pool + b.entry->translation_offset;
}

extern "C" KIVO8_API void transtext_free(transtext_table *table) noexcept {
  if (table == nullptr) return;
  kivo8::mem_free(table->image);
  kivo8::mem_free(table->display_strings);
  kivo8::mem_free(table->buckets);
  kivo8::mem_free(table);
}
