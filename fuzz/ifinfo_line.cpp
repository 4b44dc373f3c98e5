// Saved search-target lines of any content: reading one must stay inside the text and the
// field buffer, and an accepted entry must be saved and read back as the same entry.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_input.h"
#include "kivo8/ifinfo.h"
#include "kivo8/snmp_comm.h"

namespace {

bool same(const ifinfo *a, const ifinfo *b) {
  if (a->id != b->id || a->count != b->count || a->flag != b->flag ||
      a->addr1.s_addr != b->addr1.s_addr || a->addr2.s_addr != b->addr2.s_addr ||
      a->addr3.s_addr != b->addr3.s_addr)
    return false;
  if ((a->scopes == nullptr) != (b->scopes == nullptr)) return false;
  if (a->scopes != nullptr && std::strcmp(a->scopes, b->scopes) != 0) return false;
  const snmp_comm *x = a->comms, *y = b->comms;
  for (; x != nullptr && y != nullptr; x = x->next, y = y->next)
    if (std::strcmp(x->name, y->name) != 0) return false;
  return x == nullptr && y == nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  auto text = kivo8::fuzz::exact_text(data, size);
  ifinfo *e = ifinfo_new_with(text.get());
  if (e == nullptr) return 0;
  if (e->count < 1 || e->id < 0 || e->comms == nullptr) __builtin_trap();
  char line[1024];
  // A scope list of exactly 255 characters fills the reader's field buffer and cannot come
  // back; lines too long for the buffer are refused whole.
  const bool comparable = e->scopes == nullptr || std::strlen(e->scopes) < 255;
  if (ifinfo_toline(e, line, sizeof line) == 0 && comparable) {
    ifinfo *back = ifinfo_new_with(line);
    if (back == nullptr || !same(e, back)) __builtin_trap();
    ifinfo_free(back);
  }
  ifinfo_free(e);
  return 0;
}
