// Catalogue files from the outside world: whatever the counts and offsets say, loading
// must refuse the file or give a table whose every lookup stays inside it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/unique_fd.h"
#include "kivo8/transtext.h"
#include "text/transtext_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  // The loader reads a path; an in-memory file keeps the disk out of the loop.
  static kivo8::UniqueFd fd(memfd_create("catalogue", MFD_CLOEXEC));
  if (!fd || ftruncate(fd.get(), 0) != 0) return 0;
  if (size != 0 && pwrite(fd.get(), data, size, 0) != static_cast<ssize_t>(size)) return 0;
  std::string path = "/proc/self/fd/" + std::to_string(fd.get());
  // Every other input goes through the language loader too, which converts the
  // translations (Latin-1 to UTF-8 unless the first catalogue names its encoding).
  static bool language_set = [] {
    setenv("LANG", "xx.UTF-8", 1);
    transtext_init("fd");
    return true;
  }();
  (void)language_set;
  transtext_table *t = size % 2 == 0
                           ? kivo8::text::transtext_readxlatefile(path.c_str())
                           : transtext_new_table_lang("/proc/self/", std::to_string(fd.get()).c_str(), "fd");
  if (t == nullptr) return 0;
  // Look up every bucket's own key and a few absent ones.
  volatile std::size_t sink = 0;
  for (std::uint32_t i = 1; i <= t->size; ++i) {
    if (t->buckets[i].hash_value == 0) continue;
    const char *key = t->strings + t->buckets[i].entry->key_offset;
    const char *found = transtext_translate(t, key);
    while (*found != '\0') sink = sink + static_cast<unsigned char>(*found++);
  }
  for (const char *absent : {"", "__character_encoding__", "Unknown", "\xff"})
    sink = sink + (transtext_translate(t, absent) != nullptr);
  transtext_free(t);
  return 0;
}
