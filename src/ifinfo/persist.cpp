// Search targets kept between runs: each target as one line of the preference file's
// "network" section, written and read back.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/alloc.h"
#include "core/bytes.h"
#include "core/guard.h"
#include "ifinfo/ifinfo_internal.h"
#include "kivo8/common_utils.h"
#include "kivo8/ifinfo.h"
#include "kivo8/slp_sess.h"
#include "kivo8/tcp_utils.h"
#include "prefs/preference_internal.h"

namespace {

constexpr char kSection[] = "network";
constexpr char kTotal[] = "total";
// The smallest buffer that ifinfo_toline accepts.
constexpr int32_t kMinLine = 59;
// Values are read in the buffers of this size that a get would use.
constexpr std::size_t kValueBuffer = 1024;
// Each field of a saved line is read into a buffer of this size.
constexpr uint32_t kFieldBuffer = 256;

void append_address(std::string &out, struct in_addr a) {
  char text[INET_ADDRSTRLEN];
  out += inet_ntop(AF_INET, &a, text, sizeof text) != nullptr ? text : "0.0.0.0";
}

// The entry's line, or false when its kind has no line form or it has no community name.
bool build_line(const ifinfo &entry, std::string &line) {
  const int32_t kind = ifinfo_get_type(&entry);
  line = std::to_string(entry.id);
  line += ',';
  if (kind == IFINFO_LOCAL || kind == IFINFO_BCAST || kind == IFINFO_RANGE) {
    append_address(line, entry.addr1);
    line += ',';
    append_address(line, entry.addr2);
    line += ',';
    append_address(line, entry.addr3);
  } else if (kind == IFINFO_SLP) {
    // Commas become '!' so the list stays one field. A backslash is escaped as well:
    // the reader takes it as an escape, and the escapes of SLP scopes ("\2c") would
    // otherwise lose their backslash on the way back.
    for (const char *p = entry.scopes != nullptr ? entry.scopes : ""; *p != '\0'; ++p) {
      if (*p == '\\') line += '\\';
      line += *p == ',' ? '!' : *p;
    }
  } else {
    return false;
  }
  line += ',';
  line += std::to_string(entry.count);
  line += ',';
  line += std::to_string(entry.flag);
  std::vector<const char *> names;
  for (const snmp_comm *c = entry.comms; c != nullptr; c = c->next) {
    if (c->name == nullptr) return false;
    names.push_back(c->name);
  }
  if (names.empty()) return false;
  // Last position first: reading the line back adds them in this order, and each add goes
  // in front, which rebuilds the list as it stands.
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    line += ',';
    // Whole, as name_copy_with_encode would escape it given room enough.
    kivo8::prefs::append_escaped(line, *it);
  }
  return true;
}

int32_t toline(const ifinfo *entry, char *buffer, int32_t size) {
  if (buffer == nullptr || size < 1) return -1;
  buffer[0] = '\0';
  if (entry == nullptr || size < kMinLine) return -1;
  std::string line;
  // A line that does not fit whole is refused: a shortened community name or scope list
  // would come back as a different one.
  if (!build_line(*entry, line) || line.size() + 1 > std::size_t(size)) return -1;
  kivo8::ByteWriter out(reinterpret_cast<std::uint8_t *>(buffer), std::size_t(size));
  out.put(line.data(), line.size());
  out.u8(0);
  return out.ok() ? 0 : -1;
}

// Takes the next field into `field`; false when the line must go on but does not.
bool take(const char *&p, char (&field)[kFieldBuffer], bool rest_required) {
  p = next_token(p, field, kFieldBuffer);
  return !rest_required || *p != '\0';
}

ifinfo *new_with(const char *line) {
  if (line == nullptr) return nullptr;
  ifinfo *entry = ifinfo_new();
  if (entry == nullptr) return nullptr;
  struct Owner {
    ifinfo *e;
    ~Owner() { ifinfo_free(e); }
  } owner{entry};

  char field[kFieldBuffer];
  const char *p = line;
  if (!take(p, field, true)) return nullptr;
  entry->id = kivo8::prefs::leading_number(field);
  if (entry->id < 0) return nullptr;
  const int32_t kind = ifinfo_get_type(entry);
  if (kind == IFINFO_SLP) {
    if (!take(p, field, true)) return nullptr;
    slp_scope_list_decode(field);
    entry->scopes = kivo8::mem_strdup(field);
    if (entry->scopes == nullptr) return nullptr;
  } else {
    for (struct in_addr *a : {&entry->addr1, &entry->addr2, &entry->addr3}) {
      if (!take(p, field, true) || lanset_ipaddress_decode(field, a) != 0) return nullptr;
    }
  }
  if (!take(p, field, true)) return nullptr;
  entry->count = kivo8::prefs::leading_number(field);
  if (entry->count < 1) return nullptr;
  if (!take(p, field, true)) return nullptr;
  entry->flag = kivo8::prefs::leading_number(field);
  while (*p != '\0') {
    p = next_token(p, field, kFieldBuffer);
    if (snmp_comm_add(&entry->comms, field) != nullptr) continue;
    // Empty and repeated names are skipped; a name lost to exhausted memory is not.
    if (field[0] != '\0' && snmp_comm_find(entry->comms, field) == nullptr) return nullptr;
  }
  // An entry with no name to try could neither search nor be saved again.
  if (entry->comms == nullptr) return nullptr;
  owner.e = nullptr;
  return entry;
}

// A value as a get with a buffer of kValueBuffer characters would hand it over.
std::string_view as_read(std::string_view value) {
  return value.substr(0, kValueBuffer - 1);
}

void read_preference(ifinfo **head) {
  const std::string path = kivo8::prefs::file_path();
  if (path.empty()) return;
  std::string bytes;
  mode_t mode = 0;
  if (kivo8::prefs::load(path, bytes, mode) != kivo8::prefs::Load::ok) return;
  const auto doc = kivo8::prefs::Document::parse(bytes);
  const auto total = doc.get(kSection, kTotal);
  if (!total) return;
  const int32_t n = kivo8::prefs::leading_number(as_read(*total));
  if (n < 1) return;
  // Only the keys that are there, highest first: the same entries in the same order as
  // asking for every key from the total down to 1, however large the total claims to be.
  for (const auto &[key, value] : doc.numbered(kSection, n)) {
    const std::string text(as_read(value));
    if (ifinfo *e = new_with(text.c_str()); e != nullptr) ifinfo_add(head, e);
  }
}

int32_t write_preference(ifinfo *first) {
  using namespace kivo8::prefs;
  // Each change below is the one that a store call of the save would make; together they
  // are written as one update of the file, so a crash leaves the old list or the new.
  const bool done = update([&](Document &doc) {
    if (const auto old_total = doc.get(kSection, kTotal))
      doc.remove_numbered(kSection, leading_number(as_read(*old_total)));
    int32_t n = 0;
    for (ifinfo *e = first; e != nullptr; e = e->next) ++n;
    doc.set(kSection, kTotal, std::to_string(n));
    std::string line;
    int32_t i = 0;
    for (ifinfo *e = first; e != nullptr; e = e->next) {
      const std::string key = std::to_string(++i);
      // An entry that cannot be written is stored empty, and skipped when read.
      if (!build_line(*e, line) || line.size() + 1 > kValueBuffer) line.clear();
      // The store refuses a value with a line end (a community name holding one), so the
      // key is left out just as that call would leave it.
      if (has_line_end(line)) continue;
      doc.set(kSection, key, line);
    }
    return true;
  });
  return done ? 0 : -1;
}

}  // namespace

extern "C" KIVO8_API int32_t ifinfo_toline(const ifinfo *entry, char *buffer,
                                           int32_t size) noexcept {
  return kivo8::guarded(-1, [&] {
    const int32_t rc = toline(entry, buffer, size);
    if (rc != 0 && buffer != nullptr && size >= 1) buffer[0] = '\0';
    return rc;
  });
}

extern "C" KIVO8_API ifinfo *ifinfo_new_with(const char *line) noexcept {
  return new_with(line);
}

extern "C" KIVO8_API ifinfo **ifinfo_read_preference(ifinfo **head_ref) noexcept {
  ifinfo **head = kivo8::_ifinfo_head(head_ref);
  kivo8::guarded_void([&] { read_preference(head); });
  return head;
}

extern "C" KIVO8_API int32_t ifinfo_write_preference(ifinfo *first) noexcept {
  ifinfo *list = kivo8::_ifinfo_first(first);
  return kivo8::guarded(-1, [&] { return write_preference(list); });
}
