#include "cups_api.h"

#ifdef KIVO_HAVE_CUPS

#include <dlfcn.h>

namespace kivo {

namespace {

// The shared object's name as the distribution installs it: the run-time name, not the
// development link, which only the -dev package has.
constexpr const char *kCupsLibrary = "libcups.so.2";

struct Loaded {
  CupsApi api;
  std::string error;  // empty when every function was found
};

Loaded load() {
  Loaded l;
  // Never unloaded: libcups keeps per-thread state and atexit handlers of its own.
  void *handle = ::dlopen(kCupsLibrary, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char *e = ::dlerror();
    l.error = e != nullptr ? e : kCupsLibrary;
    return l;
  }
#define KIVO_CUPS_LOOKUP(name)                                                     \
  if (l.error.empty()) {                                                           \
    void *symbol = ::dlsym(handle, #name);                                         \
    if (symbol == nullptr)                                                         \
      l.error = std::string(kCupsLibrary) + " has no " #name;                      \
    else                                                                           \
      l.api.name = reinterpret_cast<decltype(&::name)>(symbol); /* NOLINT */       \
  }
  KIVO_CUPS_FUNCTIONS(KIVO_CUPS_LOOKUP)
#undef KIVO_CUPS_LOOKUP
  return l;
}

}  // namespace

const CupsApi *load_cups(std::string &why) {
  static const Loaded loaded = load();
  if (!loaded.error.empty()) {
    why = loaded.error;
    return nullptr;
  }
  return &loaded.api;
}

}  // namespace kivo

#endif
