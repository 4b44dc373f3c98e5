// libcups as `kivo setup` uses it, loaded when a queue is made rather than when kivo
// starts. Linked in, libcups brings some thirty libraries of its own (TLS, Kerberos,
// service discovery, the message bus) that the loader maps and relocates before main:
// about 12 ms on every kivo command, more than a whole GETBULK walk of a small agent, for
// the one command that talks to cupsd.
#pragma once

#ifdef KIVO_HAVE_CUPS

#include <cups/cups.h>

#include <string>

namespace kivo {

// Every libcups function kivo calls, by its own name.
#define KIVO_CUPS_FUNCTIONS(X) \
  X(cupsDoRequest)             \
  X(cupsEncryption)            \
  X(cupsLastError)             \
  X(cupsLastErrorString)       \
  X(cupsServer)                \
  X(cupsSetServer)             \
  X(cupsUser)                  \
  X(httpAssembleURIf)          \
  X(httpClose)                 \
  X(httpConnect2)              \
  X(httpGetStatus)             \
  X(ippAddBoolean)             \
  X(ippAddInteger)             \
  X(ippAddString)              \
  X(ippDelete)                 \
  X(ippNewRequest)             \
  X(ippPort)

struct CupsApi {
#define KIVO_CUPS_MEMBER(name) decltype(&::name) name = nullptr;
  KIVO_CUPS_FUNCTIONS(KIVO_CUPS_MEMBER)
#undef KIVO_CUPS_MEMBER
};

// libcups, loaded at the first call and kept for the process's life; null when it cannot
// be loaded or lacks a function, with the loader's words in `why`.
const CupsApi *load_cups(std::string &why);

}  // namespace kivo

#endif
