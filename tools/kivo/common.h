// Pieces that every kivo command shares: argument reading, the library's set-up and the
// search-target list, address and OID text, JSON text.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "args.h"
#include "json_out.h"
#include "kivo8/kivo8.h"
#include "text_out.h"

namespace kivo {

// Dotted-decimal IPv4 address (as the library reads it), or nothing.
std::optional<in_addr> parse_ipv4(const std::string &text);
// An IPv4 address or a host name looked up; nothing when neither works.
std::optional<in_addr> resolve_host(const std::string &text);
std::string ipv4_text(in_addr address);
// HOST or HOST:PORT (`port` when none is given), the host an IPv4 address or a name that
// resolves to one; an IPv6 literal is refused as such.
struct HostPort {
  in_addr address{};
  int port = 0;
  std::string text;
};
HostPort parse_host_port(const CommandErrors &errors, const std::string &text, int port);
// A community name as the preference file can keep it: not empty, at most 255 bytes,
// no control character (a line end would break the saved line).
void check_community(const CommandErrors &errors, const std::string &name);
// Numeric object identifier, with or without a leading dot; nothing when malformed or
// longer than 128 sub-identifiers.
std::optional<std::vector<std::uint32_t>> parse_oid(const std::string &text);
std::string oid_text(const std::uint32_t *oid, std::size_t count);

// Message text in the user's language (the key itself without a catalogue), UTF-8.
std::string tr(const char *english);
// `text` with {1}, {2}, ... replaced by the values in order (so that a translation can
// put them where its language wants them).
std::string subst(const std::string &text, std::initializer_list<std::string> values);

// The message and model-name catalogues for the run, in the language given (empty: the
// locale's), from `datadir` (empty: the installed data directory); the translations in
// UTF-8 whatever the locale. A language given by name that has no catalogue is reported
// once on standard error and English is used.
// The catalogue directory used when --datadir is not given (see common.cpp).
const std::string &data_directory();

class Language {
 public:
  Language(const std::string &lang, const std::string &datadir);
  ~Language();
  Language(const Language &) = delete;
  Language &operator=(const Language &) = delete;
};
// --lang and --datadir from anywhere on a command line (before "--"): main reads them
// before the command runs; Args skips them.
void global_options(int argc, char **argv, std::string &lang, std::string &datadir);

// The library's process-wide state for one run: the lock table, the preference directory
// and the search-target list (host interfaces first, then the saved
// targets, as the library's merge expects).
class Session {
 public:
  struct Options {
    std::string lang;     // unused: main loads the catalogues (see Language)
    std::string datadir;  // unused: main loads the catalogues (see Language)
    bool load_targets = true;
  };
  explicit Session(const Options &options);
  ~Session();
  Session(const Session &) = delete;
  Session &operator=(const Session &) = delete;

  ifinfo *targets() { return head_; }
  ifinfo **targets_ref() { return &head_; }
  bool have_preferences() const { return prefs_ok_; }
  // Puts local interfaces last (in their discovered order) and gives every entry a new id,
  // so that ids are stable: the saved list reads back in exactly this order.
  void canonical_order();

 private:
  ifinfo *head_ = nullptr;
  bool prefs_ok_ = false;
};

// Kind of a target as a word: "local", "broadcast", "range", "slp".
const char *kind_word(const ifinfo *entry);
std::vector<std::string> communities(const ifinfo *entry);

// Sends standard output of the library (it prints a few diagnostic lines there) to
// /dev/null while the object lives; the program's own output goes to `out()`.
class QuietLibrary {
 public:
  QuietLibrary();
  ~QuietLibrary();
  QuietLibrary(const QuietLibrary &) = delete;
  QuietLibrary &operator=(const QuietLibrary &) = delete;
  std::FILE *out() const { return out_; }

 private:
  int saved_ = -1;
  std::FILE *out_ = stdout;
};

// The commands (see the table in main.cpp): each reads argv from `first` on.
int cmd_get(int argc, char **argv, int first);
int cmd_walk(int argc, char **argv, int first);
int cmd_probe(int argc, char **argv, int first);
int cmd_targets(int argc, char **argv, int first);
int cmd_discover(int argc, char **argv, int first);
int cmd_report(int argc, char **argv, int first);

}  // namespace kivo
