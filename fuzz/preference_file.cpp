// Any preference file: a get and a set must work on it without reading outside any
// buffer, and the value just set must be the one read back.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "kivo8/preference.h"

namespace {

std::string g_file;

bool setup() {
  // A memory file system keeps the syncs of every rewrite cheap.
  char tmpl[] = "/dev/shm/kivo8-fuzz-XXXXXX";
  char tmpl2[] = "/tmp/kivo8-fuzz-XXXXXX";
  const char *home = mkdtemp(tmpl);
  if (home == nullptr) home = mkdtemp(tmpl2);
  if (home == nullptr) return false;
  setenv("HOME", home, 1);
  if (lanset_set_preference_dir() != 0) return false;
  g_file = std::string(lanset_get_preference_dir()) + "/kivo2.pref";
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  static bool ready = setup();
  if (!ready) return 0;
  FILE *f = std::fopen(g_file.c_str(), "wb");
  if (f == nullptr) return 0;
  if (size != 0) std::fwrite(data, 1, size, f);
  std::fclose(f);

  // Section and key come from the input's first bytes, so that they can match its lines.
  char section[8] = {}, key[4] = {};
  for (std::size_t i = 0; i < 7 && i < size && data[i] != '\n'; ++i)
    section[i] = data[i] == '\r' || data[i] == '\0' ? 'x' : char(data[i]);
  if (section[0] == '%') std::memmove(section, section + 1, 7);
  for (std::size_t i = 0; i < 3 && 7 + i < size; ++i) {
    const char c = char(data[7 + i]);
    key[i] = c == '\r' || c == '\n' || c == '\0' ? 'k' : c;
  }
  char small[5];
  (void)lanset_get_preference_string(section, key, small, sizeof small);
  char buf[600];
  (void)lanset_get_preference_string("network", "total", buf, sizeof buf);

  // A key line that starts with '%' would be a section header: refused.
  const int32_t expected = key[0] == '%' ? -1 : 0;
  if (lanset_set_preference_string(section, key, "fuzzed value") != expected) __builtin_trap();
  if (expected != 0) return 0;
  if (key[0] != '#') {
    if (lanset_get_preference_string(section, key, buf, sizeof buf) != 0) __builtin_trap();
    if (std::strcmp(buf, "fuzzed value") != 0) __builtin_trap();
  }
  if (lanset_set_preference_string(section, key, nullptr) != 0) __builtin_trap();
  return 0;
}
