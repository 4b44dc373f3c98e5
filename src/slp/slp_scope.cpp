// SLP scope lists: escaping, comparison and the scope list of a session.
#include <cctype>
#include <cstdio>
#include <cstring>

#include "core/alloc.h"
#include "kivo8/slp_sess.h"
#include "slp/slp_internal.h"

namespace {

constexpr char kHex[] = "0123456789abcdef";

std::size_t escaped_length(const char *text) noexcept {
  std::size_t n = 0;
  for (const char *p = text; *p != '\0'; ++p) n += slp_is_reserved_char(*p) ? 3 : 1;
  return n;
}

// Writes the escaped form of `text` at `out` (which has room for escaped_length bytes)
// and returns the position after it; no terminator.
char *write_escaped(const char *text, char *out) noexcept {
  for (const char *p = text; *p != '\0'; ++p) {
    if (slp_is_reserved_char(*p)) {
      const auto b = static_cast<unsigned char>(*p);
      *out++ = '\\';
      *out++ = kHex[b >> 4];
      *out++ = kHex[b & 0x0f];
    } else {
      *out++ = *p;
    }
  }
  return out;
}

// One walk of the decoder over `text` (of length n), handing each decoded byte to `emit`.
// An escape takes the backslash and the two characters after it, whatever they are; one
// that is cut short by the end of the text decodes to a zero byte, just as an escape with
// a non-hexadecimal character does. The walk stops after the first zero byte it emits:
// the text ends there anyway, and nothing behind it can then land outside the result.
template <typename Emit>
void decode_walk(const char *text, std::size_t n, Emit &&emit) noexcept {
  std::size_t i = 0;
  while (i < n) {
    char b;
    if (text[i] == '\\') {
      if (n - i >= 3) {
        b = slp_unescape(text[i + 1], text[i + 2]);
        i += 3;
      } else {
        b = '\0';
        i = n;
      }
    } else {
      b = text[i++];
    }
    emit(b);
    if (b == '\0') return;
  }
}

slp_slist *new_node(const char *name) noexcept {
  auto *node = kivo8::mem_new<slp_slist>();
  if (node == nullptr) return nullptr;
  node->scope = kivo8::mem_strdup(name);
  if (node->scope == nullptr) {
    kivo8::mem_free(node);
    return nullptr;
  }
  return node;
}

}  // namespace

extern "C" void str_char_replace(char *text, char from, char to) noexcept {
  if (text == nullptr) return;
  for (char *p = text; *p != '\0'; ++p)
    if (*p == from) *p = to;
}

extern "C" int32_t slp_is_reserved_char(char c) noexcept {
  // Taken as a signed character, so the bytes 128 to 255 are plain.
  const auto v = static_cast<signed char>(c);
  if (v == 0) return 0;
  if ((v >= 1 && v <= 31) || v == 127) return 1;
  return std::strchr("(),\\!<=>~", v) != nullptr ? 1 : 0;
}

extern "C" char slp_unescape(char high, char low) noexcept {
  const auto h = static_cast<unsigned char>(high);
  const auto l = static_cast<unsigned char>(low);
  if (!std::isxdigit(h) || !std::isxdigit(l)) return '\0';
  auto value = [](unsigned char d) {
    if (d >= '0' && d <= '9') return d - '0';
    if (d >= 'A' && d <= 'F') return d - 55;
    return d - 87;
  };
  return static_cast<char>(16 * value(h) + value(l));
}

extern "C" KIVO8_API char *slp_scope_encode(const char *text) noexcept {
  if (text == nullptr) return nullptr;
  auto *out = static_cast<char *>(kivo8::mem_alloc(escaped_length(text) + 1));
  if (out == nullptr) return nullptr;
  *write_escaped(text, out) = '\0';
  return out;
}

extern "C" KIVO8_API char *slp_scope_decode(const char *text) noexcept {
  if (text == nullptr) return nullptr;
  const std::size_t n = std::strlen(text);
  // These two lines are part of the function's documented behaviour; the count is taken
  // the simple way (two per backslash) even where escapes overlap.
  std::size_t backslashes = 0;
  for (std::size_t i = 0; i < n; ++i)
    if (text[i] == '\\') ++backslashes;
  const long long count = 2 * static_cast<long long>(backslashes);
  std::printf("count = %d\n", static_cast<int>(count));
  std::printf("result length = %d\n", static_cast<int>(static_cast<long long>(n) - count));

  // The result is sized by the walk itself, so that malformed escapes can never make it
  // write past its end.
  std::size_t size = 0;
  decode_walk(text, n, [&size](char) { ++size; });
  auto *out = static_cast<char *>(kivo8::mem_alloc(size + 1));
  if (out == nullptr) return nullptr;
  std::size_t pos = 0;
  decode_walk(text, n, [out, &pos](char b) { out[pos++] = b; });
  out[pos] = '\0';
  return out;
}

extern "C" KIVO8_API void slp_free_tmp_ptr(char *text) noexcept { kivo8::mem_free(text); }

extern "C" KIVO8_API void slp_scope_list_encode(char *text) noexcept {
  str_char_replace(text, ',', '!');
}

extern "C" KIVO8_API void slp_scope_list_decode(char *text) noexcept {
  str_char_replace(text, '!', ',');
}

extern "C" KIVO8_API slp_slist *slp_slist_find(slp_slist *first, const char *name) noexcept {
  if (name == nullptr) return nullptr;
  for (slp_slist *node = first; node != nullptr; node = node->next)
    if (node->scope != nullptr && std::strcmp(node->scope, name) == 0) return node;
  return nullptr;
}

extern "C" KIVO8_API slp_slist *slp_slist_add(slp_slist **head_ref, const char *name) noexcept {
  if (head_ref == nullptr) return nullptr;
  if (name == nullptr || *name == '\0' || slp_slist_find(*head_ref, name) != nullptr)
    return *head_ref;
  slp_slist *node = new_node(name);
  if (node == nullptr) return nullptr;
  slp_slist **link = head_ref;
  while (*link != nullptr) link = &(*link)->next;
  *link = node;
  return *head_ref;
}

extern "C" KIVO8_API slp_slist *slp_slist_remove(slp_slist **head_ref, const char *name) noexcept {
  if (head_ref == nullptr) return nullptr;
  if (name == nullptr || *name == '\0') return *head_ref;
  for (slp_slist **link = head_ref; *link != nullptr; link = &(*link)->next) {
    slp_slist *node = *link;
    if (node->scope != nullptr && std::strcmp(node->scope, name) == 0) {
      *link = node->next;
      kivo8::mem_free(node->scope);
      kivo8::mem_free(node);
      break;
    }
  }
  return *head_ref;
}

extern "C" KIVO8_API int32_t slp_slist_count(const slp_slist *first) noexcept {
  int32_t n = 0;
  for (const slp_slist *node = first; node != nullptr; node = node->next) ++n;
  return n;
}

extern "C" KIVO8_API slp_slist *slp_slist_getat(slp_slist *first, int32_t index) noexcept {
  if (index < 0) return nullptr;
  slp_slist *node = first;
  for (int32_t i = 0; node != nullptr && i < index; ++i) node = node->next;
  return node;
}

extern "C" KIVO8_API void slp_free_slist(slp_slist *first) noexcept {
  while (first != nullptr) {
    slp_slist *next = first->next;
    kivo8::mem_free(first->scope);
    kivo8::mem_free(first);
    first = next;
  }
}

extern "C" KIVO8_API slp_slist *slp_scopes_to_slist(const char *text) noexcept {
  if (text == nullptr || *text == '\0') return nullptr;
  slp_slist *head = nullptr;
  const char *item = text;
  for (;;) {
    const char *comma = std::strchr(item, ',');
    const std::size_t len = comma != nullptr ? static_cast<std::size_t>(comma - item)
                                             : std::strlen(item);
    // A failed add leaves `head` as it was: the names added so far are kept.
    char *name = kivo8::mem_strndup(item, len);
    if (name != nullptr) {
      (void)slp_slist_add(&head, name);
      kivo8::mem_free(name);
    }
    if (comma == nullptr) break;
    item = comma + 1;
  }
  return head;
}

extern "C" KIVO8_API char *slp_slist_to_scopes(const slp_slist *first) noexcept {
  // Escaped names joined by single commas; an empty list gives an empty text.
  std::size_t size = 1;
  for (const slp_slist *node = first; node != nullptr; node = node->next)
    size += escaped_length(node->scope != nullptr ? node->scope : "") + (node != first ? 1 : 0);
  auto *out = static_cast<char *>(kivo8::mem_alloc(size));
  if (out == nullptr) return nullptr;
  char *p = out;
  for (const slp_slist *node = first; node != nullptr; node = node->next) {
    if (node != first) *p++ = ',';
    p = write_escaped(node->scope != nullptr ? node->scope : "", p);
  }
  *p = '\0';
  return out;
}
