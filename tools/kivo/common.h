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

#include "kivo8/kivo8.h"
#include "text_out.h"

namespace kivo {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// A mistake in the command line; main prints it with a hint to --help and exits with 2.
struct UsageError : std::runtime_error {
  UsageError(const std::string &command, const std::string &message)
      : std::runtime_error(message), command(command) {}
  std::string command;
};

// Reads a command's arguments: options (long "--name value" or "--name=value", short
// "-n value" or "-nvalue") and operands, in any order; "--" ends the options.
class Args {
 public:
  Args(std::string command, int argc, char **argv, int first);

  // Next item: true with an option name in `option` (without dashes), or an operand in
  // `operand` (option empty). False at the end.
  bool next(std::string &option, std::string &operand);
  // The value of the option just read (an error when it has none).
  std::string value();
  // A flag given a value ("--json=yes") is an error.
  void no_value();
  [[noreturn]] void unknown() const;
  [[noreturn]] void fail(const std::string &message) const;
  const std::string &command() const { return command_; }

 private:
  std::string command_;
  std::vector<std::string> items_;
  std::size_t pos_ = 0;
  bool options_done_ = false;
  std::string option_;
  std::optional<std::string> attached_;
};

// Whole decimal number within [min, max]; an error naming `what` otherwise.
long parse_number(const Args &args, const std::string &what, const std::string &text, long min,
                  long max);
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
HostPort parse_host_port(const Args &args, const std::string &text, int port);
// A community name as the preference file can keep it: not empty, at most 255 bytes,
// no control character (a line end would break the saved line).
void check_community(const Args &args, const std::string &name);
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

int cmd_get(int argc, char **argv, int first, bool walk);
int cmd_probe(int argc, char **argv, int first);
int cmd_targets(int argc, char **argv, int first);
int cmd_discover(int argc, char **argv, int first);
int cmd_report(int argc, char **argv, int first);

}  // namespace kivo
