// The preference store's exported calls: the directory, reading a value, changing one,
// and the store's write lock for callers that change several things as one.
#include "kivo8/preference.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "core/guard.h"
#include "prefs/preference_internal.h"

namespace {

constexpr std::size_t kPathSize = 1024;
constexpr char kSubdir[] = "/.kivo";
constexpr char kFileName[] = "/kivo2.pref";

// Empty until lanset_set_preference_dir succeeds; emptied again when it fails.
char preference_dir[kPathSize];

bool has_line_end(const char *text) noexcept {
  return text != nullptr && kivo8::prefs::has_line_end(text);
}

}  // namespace

int _write_preference_value(std::FILE *out, const char *section, const char *key,
                            const char *value) noexcept {
  if (out == nullptr) return -1;
  if (section != nullptr && std::fprintf(out, "%%%s\n", section) < 0) return -1;
  if (value != nullptr && key != nullptr && std::fprintf(out, "%s=%s\n", key, value) < 0)
    return -1;
  return 0;
}

namespace kivo8::prefs {

bool has_line_end(std::string_view text) noexcept {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

std::string file_path() {
  if (preference_dir[0] == '\0') return {};
  std::string path(preference_dir, strnlen(preference_dir, kPathSize - 1));
  return path.append(kFileName);
}

}  // namespace kivo8::prefs

extern "C" KIVO8_API int32_t lanset_set_preference_dir(void) noexcept {
  preference_dir[0] = '\0';
  // Set-up, before the front end starts threads; the library never changes the environment.
  const char *home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home == nullptr || home[0] == '\0') return -1;
  const std::size_t home_len = std::strlen(home);
  // The paths built from the directory (the file's, its lock file's, its temporary
  // files') must fit in the buffers that callers of the directory use.
  if (home_len + std::strlen(kSubdir) + std::strlen(kFileName) + 1 + 1 > kPathSize) return -1;
  char dir[kPathSize];
  std::memcpy(dir, home, home_len);
  std::memcpy(dir + home_len, kSubdir, sizeof kSubdir);
  // Only a real directory will do; a symbolic link is refused even if it leads to one.
  auto is_directory = [&dir] {
    struct stat st;
    return ::lstat(dir, &st) == 0 && (st.st_mode & 0xF000) == 0x4000;
  };
  // Another process starting at the same moment may make it first: then mkdir finds it
  // there, and it is taken if it is a directory. A file or a link in its place is refused.
  // (Looking once more before mkdir would race with that process.)
  if (!is_directory() && ::mkdir(dir, 0755) != 0 && (errno != EEXIST || !is_directory())) return -1;
  std::memcpy(preference_dir, dir, sizeof dir);
  return 0;
}

extern "C" KIVO8_API const char *lanset_get_preference_dir(void) noexcept {
  return preference_dir;
}

extern "C" KIVO8_API int32_t lanset_get_preference_string(const char *section, const char *key,
                                                          char *buffer, int32_t length) noexcept {
  if (length < 1) return -1;
  if (section == nullptr || key == nullptr || buffer == nullptr) return -1;
  return kivo8::guarded(-1, [&]() -> int32_t {
    using namespace kivo8::prefs;
    const std::string path = file_path();
    if (path.empty()) return -1;
    std::string bytes;
    mode_t mode = 0;
    if (load(path, bytes, mode) != Load::ok) return -1;
    const Document doc = Document::parse(bytes);
    const auto value = doc.get(section, key);
    if (!value) return -1;
    const std::size_t n = std::min(value->size(), std::size_t(length) - 1);
    std::memcpy(buffer, value->data(), n);
    std::memset(buffer + n, 0, std::size_t(length) - n);
    return 0;
  });
}

extern "C" KIVO8_API int32_t lanset_set_preference_string(const char *section, const char *key,
                                                          const char *value) noexcept {
  if (section == nullptr || key == nullptr) return -1;
  // A line end inside any of them would add lines of its own making to the file.
  if (has_line_end(section) || has_line_end(key) || has_line_end(value)) return -1;
  // Nor may a key line start a section of its own.
  if (key[0] == '%') return -1;
  return kivo8::guarded(-1, [&]() -> int32_t {
    const auto change = value != nullptr ? std::optional<std::string_view>(value) : std::nullopt;
    return kivo8::prefs::update([&](kivo8::prefs::Document &doc) {
             doc.set(section, key, change);
             return true;
           })
               ? 0
               : -1;
  });
}

extern "C" KIVO8_API int32_t kivo_preference_lock(void) noexcept {
  return kivo8::guarded(-1, [] { return kivo8::prefs::lock() ? 0 : -1; });
}

extern "C" KIVO8_API int32_t kivo_preference_unlock(void) noexcept {
  return kivo8::prefs::unlock() ? 0 : -1;
}
