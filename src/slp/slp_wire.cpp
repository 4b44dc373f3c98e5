// SLP messages to bytes and back: headers, Service Requests and Service Replies.
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/alloc.h"
#include "core/bytes.h"
#include "core/guard.h"
#include "kivo8/slp_sess.h"
#include "kivo8/tcp_utils.h"
#include "slp/slp_internal.h"

namespace {

struct UrlEntryView {
  uint16_t lifetime;
  std::span<const uint8_t> url;
};

// Reads one URL entry with its authentication blocks. Nothing is taken unless the whole
// entry lies inside the reader; the blocks are only stepped over. A block that claims
// fewer than its own four fixed bytes cannot be stepped over honestly (the next entry
// would start inside it), so it counts as damage just like a block that runs past the end.
std::optional<UrlEntryView> read_url_entry(kivo8::ByteReader &in) noexcept {
  kivo8::ByteReader r = in;
  r.skip(1);
  auto lifetime = r.be16();
  auto url_length = r.be16();
  if (!url_length) return std::nullopt;
  auto url = r.take(*url_length);
  auto blocks = r.u8();
  if (!lifetime || !url || !blocks) return std::nullopt;
  for (unsigned i = 0; i < *blocks; ++i) {
    kivo8::ByteReader block = r;
    block.skip(2);
    auto block_length = block.be16();
    if (!block_length || *block_length < 4 || !r.skip(*block_length)) return std::nullopt;
  }
  in = r;
  return UrlEntryView{*lifetime, *url};
}

std::size_t lang_length(const slp_session *session) noexcept {
  return strnlen(session->lang, sizeof session->lang);
}

// Builds one node with its entry and URL text; on any failure nothing of it remains.
slp_url_node *new_url_node(const UrlEntryView &view) noexcept {
  auto *node = kivo8::mem_new<slp_url_node>();
  if (node == nullptr) return nullptr;
  auto *entry = kivo8::mem_new<slp_url_entry>();
  if (entry == nullptr) {
    kivo8::mem_free(node);
    return nullptr;
  }
  auto *url = static_cast<char *>(kivo8::mem_alloc(view.url.size() + 1));
  if (url == nullptr) {
    kivo8::mem_free(entry);
    kivo8::mem_free(node);
    return nullptr;
  }
  if (!view.url.empty()) std::memcpy(url, view.url.data(), view.url.size());
  url[view.url.size()] = '\0';
  entry->lifetime = view.lifetime;
  entry->url = url;
  node->entry = entry;
  return node;
}

}  // namespace

extern "C" {

uint32_t get_int_from_bytes(const uint8_t *bytes, int32_t width) noexcept {
  if (bytes == nullptr || width < 1 || width > 4) return 0;
  uint32_t value = 0;
  for (int32_t i = 0; i < width; ++i) value = value << 8 | bytes[i];
  return value;
}

void set_int_into_bytes(uint32_t value, uint8_t *bytes, int32_t width) noexcept {
  if (bytes == nullptr || width < 1 || width > 4) return;
  for (int32_t i = width - 1; i >= 0; --i) {
    bytes[i] = static_cast<uint8_t>(value);
    value >>= 8;
  }
}

int32_t header_length(const slp_session *session) noexcept {
  return SLP_HEADER_FIXED_LEN + static_cast<int32_t>(lang_length(session));
}

int32_t get_header_length(const uint8_t *message, std::size_t length) noexcept {
  if (message == nullptr || length < SLP_HEADER_FIXED_LEN) return -1;
  return SLP_HEADER_FIXED_LEN + static_cast<int32_t>(get_int_from_bytes(message + 12, 2));
}

void set_packet_length(const slp_session *session, uint8_t *message, int32_t body_length) noexcept {
  set_int_into_bytes(static_cast<uint32_t>(header_length(session) + body_length), message + 2, 3);
}

uint32_t get_packet_length(const uint8_t *message) noexcept {
  return get_int_from_bytes(message + 2, 3);
}

int32_t make_slp_header(const slp_session *session, uint8_t *buffer, int32_t function_id,
                        int32_t multicast) noexcept {
  const std::size_t tag = lang_length(session);
  kivo8::ByteWriter out(buffer, SLP_HEADER_FIXED_LEN + tag);
  out.u8(static_cast<uint8_t>(session->version));
  out.u8(static_cast<uint8_t>(function_id));
  out.be24(0);  // the whole message's length, filled in once the body is known
  out.u8(multicast != 0 ? SLP_FLAG_REQUEST_MCAST : 0);
  out.u8(0);
  out.be24(0);  // no extensions
  out.be16(static_cast<uint16_t>(slp_get_next_xid()));
  out.be16(static_cast<uint16_t>(tag));
  out.put(session->lang, tag);
  return static_cast<int32_t>(out.pos());
}

uint8_t *build_srvrqst(const slp_session *session, const char *service_type,
                       const char *scope_list) noexcept {
  if (session == nullptr) return nullptr;
  if (service_type == nullptr) service_type = "";
  if (scope_list == nullptr) scope_list = "";
  const std::size_t s = std::strlen(service_type);
  const std::size_t c = std::strlen(scope_list);
  const std::size_t h = static_cast<std::size_t>(header_length(session));
  const std::size_t total = h + s + c + 10;
  auto *buffer = static_cast<uint8_t *>(kivo8::mem_calloc(total, 1));
  if (buffer == nullptr) return nullptr;
  make_slp_header(session, buffer, SLP_FUNCT_SRVRQST, 1);
  set_packet_length(session, buffer, static_cast<int32_t>(s + c + 10));
  kivo8::ByteWriter out(buffer + h, total - h);
  out.be16(0);  // no previous responders
  out.be16(static_cast<uint16_t>(s));
  out.put(service_type, s);
  out.be16(static_cast<uint16_t>(c));
  out.put(scope_list, c);
  out.be16(0);  // no predicate
  out.be16(0);  // no SPI
  return buffer;
}

int32_t get_url_length(const uint8_t *entry, std::size_t available) noexcept {
  kivo8::ByteReader r(entry, available);
  r.skip(3);
  auto length = r.be16();
  return length ? static_cast<int32_t>(*length) : -1;
}

const uint8_t *get_next_url_entry(const uint8_t *entry, std::size_t available) noexcept {
  kivo8::ByteReader r(entry, available);
  if (!read_url_entry(r)) return nullptr;
  return entry + r.pos();
}

KIVO8_API slp_srvreply *slp_decode_srvreply(const uint8_t *data, int32_t length) noexcept {
  if (data == nullptr || length < 18) return nullptr;
  kivo8::ByteReader in(data, static_cast<std::size_t>(length));
  in.skip(12);
  auto tag = in.be16();
  if (!tag || !in.skip(*tag)) return nullptr;
  auto error = in.be16();
  auto count = in.be16();
  if (!error || !count) return nullptr;

  auto *reply = kivo8::mem_new<slp_srvreply>();
  if (reply == nullptr) return nullptr;
  reply->error = *error;
  reply->url_count = *count;
  if (*error != 0) return reply;

  // Entries are kept while each lies wholly inside the datagram: the first one that runs
  // past the end leaves the reply with the entries before it, as does a lack of memory.
  slp_url_node **tail = &reply->urls;
  for (unsigned i = 0; i < *count; ++i) {
    auto view = read_url_entry(in);
    if (!view) break;
    slp_url_node *node = new_url_node(*view);
    if (node == nullptr) break;
    *tail = node;
    tail = &node->next;
  }
  return reply;
}

KIVO8_API slp_srvreplies *slp_create_srvreplies(void) noexcept {
  return kivo8::mem_new<slp_srvreplies>();
}

KIVO8_API void slp_free_srvreply(slp_srvreply *reply) noexcept {
  if (reply == nullptr) return;
  slp_url_node *node = reply->urls;
  while (node != nullptr) {
    slp_url_node *next = node->next;
    if (node->entry != nullptr) kivo8::mem_free(node->entry->url);
    kivo8::mem_free(node->entry);
    kivo8::mem_free(node);
    node = next;
  }
  kivo8::mem_free(reply);
}

KIVO8_API void slp_free_srvreplies(slp_srvreplies *first) noexcept {
  while (first != nullptr) {
    slp_srvreplies *next = first->next;
    slp_free_srvreply(first->reply);
    kivo8::mem_free(first);
    first = next;
  }
}

}  // extern "C"
