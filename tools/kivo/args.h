// How every kivo command reads its command line.
//
// One path for all commands: a command lists its options (CommandLine::Option) and gets
// back what was given (Parsed); --help, the options every command takes (--lang,
// --datadir), options mistyped ("did you mean --community?"), a value missing or given
// to a flag are all handled here, with the same messages and exit status 2 for every
// command. Values stay text; the command turns them into numbers, addresses and so on
// with the parse_* helpers below, which fail with a message naming the option.
//
// CLI11 was weighed and not taken: its messages are fixed English text built inside the
// library (kivo's come from the message catalogue in the user's language), it has no
// "did you mean", and it reads "--json=no" as a value of the flag where kivo refuses it.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kivo {

// Exit statuses of every command.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
// A run ended by Ctrl-C, as the shell reports a program killed by SIGINT.
constexpr int kExitInterrupted = 130;

// A mistake in the command line; main prints it with a hint to --help and exits with 2.
struct UsageError : std::runtime_error {
  UsageError(const std::string &command, const std::string &message)
      : std::runtime_error(message), command(command) {}
  std::string command;
};

// The command a usage error is about.
class CommandErrors {
 public:
  explicit CommandErrors(std::string command) : command_(std::move(command)) {}
  [[noreturn]] void fail(const std::string &message) const;
  const std::string &command() const { return command_; }

 private:
  std::string command_;
};

// Splits a command line into options (long "--name value" or "--name=value", short
// "-n value" or "-nvalue") and operands, in any order; "--" ends the options. --lang and
// --datadir are read by main before the command runs and skipped here.
class Args : public CommandErrors {
 public:
  Args(std::string command, int argc, char **argv, int first);

  // Next item: true with an option name in `option` (without dashes), or an operand in
  // `operand` (option empty). False at the end.
  bool next(std::string &option, std::string &operand);
  // The value of the option just read (an error when it has none).
  std::string value();
  // A flag given a value ("--json=yes") is an error.
  void no_value();
  // "unknown option --x", with the nearest of `known` (long names) when one is near.
  [[noreturn]] void unknown(const std::vector<std::string_view> &known = {}) const;

 private:
  std::vector<std::string> items_;
  std::size_t pos_ = 0;
  bool options_done_ = false;
  std::string option_;
  std::optional<std::string> attached_;
};

// What a command line gave: every option by its long name, in the order given, and the
// operands.
class Parsed : public CommandErrors {
 public:
  explicit Parsed(std::string command) : CommandErrors(std::move(command)) {}
  bool help = false;
  std::vector<std::string> operands;

  bool has(std::string_view name) const;
  // The value given last (a later option overrides an earlier one).
  std::optional<std::string> last(std::string_view name) const;
  std::vector<std::string> all(std::string_view name) const;
  void add(std::string name, std::string value) { given_.emplace_back(std::move(name), std::move(value)); }

 private:
  std::vector<std::pair<std::string, std::string>> given_;
};

struct Option {
  std::string_view name;  // long name, without dashes
  char letter = 0;        // one-letter form, or 0
  bool takes_value = false;
};

// Reads argv[first..] for `command`. -h and --help are every command's; an option not in
// `options` is refused, with the nearest known one named when it is near enough.
Parsed parse_command_line(const std::string &command, const std::vector<Option> &options,
                          int argc, char **argv, int first);

// Whole decimal number within [min, max]; an error naming `what` otherwise.
long parse_number(const CommandErrors &errors, const std::string &what, const std::string &text,
                  long min, long max);
// Seconds with up to three decimals ("2", "0.5", "1.25") as milliseconds within
// [min_ms, max_ms]; an error naming `what` otherwise.
std::int64_t parse_seconds(const CommandErrors &errors, const std::string &what,
                           const std::string &text, std::int64_t min_ms, std::int64_t max_ms);

// The word of `words` nearest to `typed` when it is near enough to be the one meant: at
// most a third of its letters differ (at least one); nothing otherwise.
std::optional<std::string> nearest_word(std::string_view typed,
                                        const std::vector<std::string_view> &words);
// " (did you mean 'x'?)" for the nearest of `words`, or "".
std::string did_you_mean(std::string_view typed, const std::vector<std::string_view> &words,
                         std::string_view prefix = "");

}  // namespace kivo
