// The preference store from inside: the file as a list of lines that every change edits in
// memory, and the one routine that puts a new content in place of the file.
//
// Keeping the edits in memory lets a caller that needs several changes at once (saving the
// search targets) produce exactly the file that the single changes in a row would leave,
// and write it with one replacement, so a crash never leaves a state in between.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Writes "%" + section + LF when the section is given, then key "=" value LF when the value
// is given. 0, or -1 when the stream refused the bytes.
int _write_preference_value(std::FILE *out, const char *section, const char *key,
                            const char *value) noexcept;

namespace kivo8::prefs {

// The lines of a preference file as the store reads them: split at line feeds, each cut at
// its first carriage return (or zero byte). Lines are kept whole whatever their length.
class Document {
 public:
  static Document parse(std::string_view bytes);
  // Every line followed by one line feed.
  std::string text() const;

  // The value of `key` in the first section named `section`, as a read finds it.
  std::optional<std::string_view> get(std::string_view section, std::string_view key) const;
  // A change as one write of the store makes it: replace the key's line in place, or add it
  // just before the next section's header (or at the end), or remove it for a null value;
  // a missing section is appended, bare when the value is null.
  void set(std::string_view section, std::string_view key, std::optional<std::string_view> value);
  // The same as deleting the keys `last`, last - 1, ..., 1 one by one from a section that
  // exists, in a single pass whatever `last` is.
  void remove_numbered(std::string_view section, int32_t last);
  // Key number and value of every key 1 .. last in the first section named `section`, as
  // reads of those keys would find them, highest key first.
  std::vector<std::pair<int32_t, std::string_view>> numbered(std::string_view section,
                                                             int32_t last) const;

  std::vector<std::string> lines;

 private:
  std::ptrdiff_t find_section(std::string_view section) const;
};

// True when `line` holds the key: it begins with the key and an '=' follows.
bool matches_key(std::string_view line, std::string_view key) noexcept;
// The number that a key line such as "12=..." stands for, when its key is a canonical
// decimal (no sign, no leading zero) from 1 up; else 0.
int32_t numbered_key(std::string_view line) noexcept;
// A value's leading decimal number as a reading with atoi takes it, held within int32_t.
int32_t leading_number(std::string_view text) noexcept;

// True when the text holds a carriage return or a line feed: written into the file it
// would add lines of its own making.
bool has_line_end(std::string_view text) noexcept;
// Appends `name` with a backslash before every comma and every backslash, the escaping of
// a field in a comma-separated value.
void append_escaped(std::string &out, std::string_view name);

// The file's path, or empty when no preference directory is set.
std::string file_path();

enum class Load { ok, missing, failed };
// Reads the whole file. `missing` only when nothing at all is at the path; anything there
// that cannot be read (a directory, a dangling link, no permission) is `failed`.
Load load(const std::string &path, std::string &bytes, mode_t &mode);

// One change of the file: under the store's lock, reads the file as it is now, lets `edit`
// change its lines and puts the result in place with replace(). Holding the lock from the
// read to the rename is what keeps two writers from losing each other's changes: the
// second one reads what the first one wrote. An `edit` that returns false leaves the file
// as it is and fails the update.
bool update(const std::function<bool(Document &)> &edit);

// Puts `content` in place of the file at `path` in one step: written to a temporary file
// of a name no other writer uses (path + "~" + a unique suffix), synced, renamed over the
// file, directory synced. On failure before the rename the old file is untouched and the
// temporary file removed. A new file gets `mode` less the creation mask; `keep_mode` sets
// the bits exactly (the old file's). The caller holds the store's lock: temporary files of
// writers that died are swept away first, which only a holder of the lock may do.
bool replace(const std::string &path, std::string_view content, mode_t mode, bool keep_mode);

// The store's advisory write lock, on the file path + ".lock" beside the preference file
// (a lock on the preference file itself would be lost with every rename). Taken with
// flock(): it belongs to an open file, so two threads of one process exclude each other as
// two processes do, and the kernel drops it when its holder dies, so a killed writer never
// blocks the next. A thread that holds it may take it again (nested holds are counted).
bool lock();
bool unlock() noexcept;

// Test hook: called before each step of a write; a nonzero result fails the step with
// that errno value.
enum class WriteStep { lock, remove_stale, open_temp, mode, write, sync, close, rename, sync_dir };
using WriteFault = int (*)(WriteStep step);
void set_write_fault(WriteFault fault) noexcept;

}  // namespace kivo8::prefs
