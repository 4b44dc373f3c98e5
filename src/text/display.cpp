// The user's language, the display encoding, and conversion of catalogue texts into it.
//
// The state is process-wide and set up once at start-up, before other threads
// translate. The two converters are opened by the first language catalogue whose
// encoding differs from the display's and then stay open for the process.
#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/alloc.h"
#include "core/file.h"
#include "kivo8/transtext.h"
#include "text/transtext_internal.h"

namespace kivo8::text {
namespace {

constexpr std::size_t kNameRoom = 64;
constexpr char kStartCode[] = "ISO-8859-1";
constexpr char kEncodingKey[] = "__character_encoding__";
// iconv_open reports failure as this very value, so it has to be made from an integer.
const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)

char language[kNameRoom] = "";
char display_code[kNameRoom] = "ISO-8859-1";
char original_code[kNameRoom] = "ISO-8859-1";
iconv_t cd = kNoConverter;
iconv_t rcd = kNoConverter;

// Copies a name only when it fits whole: a cut encoding or folder name would name
// something else, so the old value is the better one.
void set_name(char (&field)[kNameRoom], const char *value) noexcept {
  std::size_t len = std::strlen(value);
  if (len >= kNameRoom) return;
  std::memcpy(field, value, len + 1);
}

// The environment is read while the language is set up, which the front end does before
// it starts any thread (and the library never changes the environment).
const char *locale_text() noexcept {
  for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES"}) {
    const char *v = std::getenv(name);  // NOLINT(concurrency-mt-unsafe)
    if (v != nullptr && *v != '\0') return v;
  }
  return std::getenv("LANG");  // NOLINT(concurrency-mt-unsafe)
}

// Converts `in` (len bytes) into [out, out + limit) and returns the bytes written.
// Conversion stops at the first sequence without an equivalent or when room runs out;
// `consumed` tells how many input bytes were taken.
std::size_t convert(iconv_t conv, const char *in, std::size_t len, char *out, std::size_t limit,
                    std::size_t &consumed) noexcept {
  (void)iconv(conv, nullptr, nullptr, nullptr, nullptr);
  char *inp = const_cast<char *>(in);
  std::size_t inleft = len;
  char *outp = out;
  std::size_t outleft = limit;
  if (iconv(conv, &inp, &inleft, &outp, &outleft) != static_cast<std::size_t>(-1))
    (void)iconv(conv, nullptr, nullptr, &outp, &outleft);  // close a shift state, if any
  consumed = len - inleft;
  return limit - outleft;
}

struct Moved {
  std::uint32_t from, to;
};
constexpr std::uint32_t kNotYet = UINT32_MAX;

int by_offset(const void *a, const void *b) noexcept {
  std::uint32_t x = static_cast<const Moved *>(a)->from, y = static_cast<const Moved *>(b)->from;
  return x < y ? -1 : x > y ? 1 : 0;
}

// The slot of `offset`, which is among the `n` sorted distinct offsets.
Moved *find_moved(Moved *m, std::uint32_t n, std::uint32_t offset) noexcept {
  std::uint32_t lo = 0, hi = n;
  while (hi - lo > 1) {
    std::uint32_t mid = lo + (hi - lo) / 2;
    if (m[mid].from <= offset)
      lo = mid;
    else
      hi = mid;
  }
  return &m[lo];
}

}  // namespace

void set_display_code() noexcept {
  const char *text = locale_text();
  if (text == nullptr) return;
  if (const char *dot = std::strchr(text, '.'); dot != nullptr)
    set_name(display_code, dot + 1);
  else if (std::strncmp(text, "ja", 2) == 0)
    set_name(display_code, "eucJP");
}

bool transtext_loc2disp(transtext_table &table) noexcept {
  if (cd == kNoConverter || table.entries == nullptr || table.strings == nullptr) return true;
  const auto count = static_cast<std::uint32_t>(
      (table.strings - reinterpret_cast<const char *>(table.entries)) / sizeof(transtext_entry));
  if (count == 0) return true;
  // Every entry is converted, not only those in the buckets, so that the offset of an
  // entry whose key repeats an earlier one stays valid too. Entries that share a
  // translation share its converted copy: the distinct offsets, sorted, map each old
  // offset to its place in the pool.
  UniqueMem<Moved> moved(static_cast<Moved *>(mem_alloc(std::size_t{count} * sizeof(Moved))));
  if (!moved) return false;
  Moved *m = moved.get();
  for (std::uint32_t i = 0; i < count; ++i) m[i] = {table.entries[i].translation_offset, kNotYet};
  std::qsort(m, count, sizeof(Moved), by_offset);
  std::uint32_t distinct = 0;
  std::uint64_t need = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (distinct != 0 && m[distinct - 1].from == m[i].from) continue;
    m[distinct++] = m[i];
    need += 3 * (std::strlen(table.strings + m[i].from) + 1);
  }
  if (need > 0xFFFFFFFFu) return false;
  UniqueMem<char> pool(static_cast<char *>(mem_calloc(need, 1)));
  if (!pool) return false;
  std::size_t pos = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    Moved &slot = *find_moved(m, distinct, table.entries[i].translation_offset);
    if (slot.to != kNotYet) continue;
    if (pos >= need) {
      // Earlier texts grew more than three times and used the room up: this one is
      // shown empty (the pool's last byte is a terminator).
      slot.to = static_cast<std::uint32_t>(need - 1);
      continue;
    }
    const char *src = table.strings + slot.from;
    std::size_t consumed = 0;
    std::size_t written =
        convert(cd, src, std::strlen(src), pool.get() + pos, need - pos - 1, consumed);
    pool.get()[pos + written] = '\0';
    slot.to = static_cast<std::uint32_t>(pos);
    pos += written + 1;
  }
  for (std::uint32_t i = 0; i < count; ++i)
    table.entries[i].translation_offset =
        find_moved(m, distinct, table.entries[i].translation_offset)->to;
  char *shrunk = static_cast<char *>(mem_realloc(pool.get(), pos));
  table.display_strings = shrunk != nullptr ? shrunk : pool.get();
  (void)pool.release();
  return true;
}

char *transtext_fromto_display(const char *src, char *dst, std::uint32_t room,
                               int direction) noexcept {
  if (dst == nullptr || room == 0) return dst;
  if (src == nullptr) {
    dst[0] = '\0';
    return dst;
  }
  iconv_t conv = direction == 0 ? cd : rcd;
  std::size_t len = std::strlen(src);
  std::size_t limit = room - 1;  // the terminator always fits
  std::size_t consumed = 0;
  std::size_t written = 0;
  if (conv != kNoConverter) written = convert(conv, src, len, dst, limit, consumed);
  // Whatever did not convert follows raw, as far as the room allows.
  std::size_t raw = std::min(len - consumed, limit - written);
  std::memcpy(dst + written, src + consumed, raw);
  dst[written + raw] = '\0';
  return dst;
}

const char *current_language() noexcept { return language; }
const char *current_display_code() noexcept { return display_code; }
const char *current_original_code() noexcept { return original_code; }
bool converter_open() noexcept { return cd != kNoConverter || rcd != kNoConverter; }

void reset_display_state() noexcept {
  if (cd != kNoConverter) iconv_close(cd);
  if (rcd != kNoConverter) iconv_close(rcd);
  cd = rcd = kNoConverter;
  language[0] = '\0';
  std::memcpy(display_code, kStartCode, sizeof kStartCode);
  std::memcpy(original_code, kStartCode, sizeof kStartCode);
}

transtext_table *new_table_lang(const char *dir, const char *file, const char *lang) noexcept {
  if (dir == nullptr || file == nullptr || lang == nullptr) return nullptr;
  char path[1024];
  int n = std::snprintf(path, sizeof path, "%s%s/%s", dir, lang, file);
  if (n < 0 || static_cast<std::size_t>(n) >= sizeof path) return nullptr;
  transtext_table *table = transtext_readxlatefile(path);
  if (table == nullptr) return nullptr;
  if (cd == kNoConverter) {
    const char *code = transtext_translate(table, kEncodingKey);
    if (code != kEncodingKey) set_name(original_code, code);
    if (std::strcmp(original_code, display_code) != 0) {
      cd = iconv_open(display_code, original_code);
      if (rcd == kNoConverter) rcd = iconv_open(original_code, display_code);
    }
  }
  if (!transtext_loc2disp(*table)) {
    transtext_free(table);
    return nullptr;
  }
  return table;
}

}  // namespace kivo8::text

using namespace kivo8::text;

extern "C" KIVO8_API void transtext_init(const char *name) noexcept {
  language[0] = '\0';
  if (name != nullptr && *name != '\0' && std::strcmp(name, "en") != 0) set_name(language, name);
  set_display_code();
}

extern "C" KIVO8_API transtext_table *transtext_new_table_lang(const char *dir, const char *file,
                                                               const char *lang) noexcept {
  return new_table_lang(dir, file, lang);
}

extern "C" KIVO8_API transtext_table *transtext_new_table(const char *dir,
                                                          const char *file) noexcept {
  if (language[0] == '\0') return nullptr;
  return new_table_lang(dir, file, language);
}

extern "C" KIVO8_API char *transtext_to_display(const char *src, char *dst,
                                                uint32_t room) noexcept {
  return transtext_fromto_display(src, dst, room, 0);
}

extern "C" KIVO8_API char *transtext_from_display(const char *src, char *dst,
                                                  uint32_t room) noexcept {
  return transtext_fromto_display(src, dst, room, 1);
}
