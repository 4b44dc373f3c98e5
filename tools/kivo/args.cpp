#include "args.h"

#include <algorithm>

#include "common.h"

namespace kivo {

void CommandErrors::fail(const std::string &message) const { throw UsageError(command_, message); }

Args::Args(std::string command, int argc, char **argv, int first) : CommandErrors(std::move(command)) {
  for (int i = first; i < argc; ++i) items_.emplace_back(argv[i]);
}

bool Args::next(std::string &option, std::string &operand) {
  if (!option_.empty() && attached_) no_value();
  option.clear();
  operand.clear();
  option_.clear();
  attached_.reset();
  while (pos_ < items_.size()) {
    const std::string item = items_[pos_++];
    if (options_done_ || item.size() < 2 || item[0] != '-') {
      operand = item;
      return true;
    }
    if (item == "--") {
      options_done_ = true;
      continue;
    }
    if (item[1] == '-') {
      auto eq = item.find('=');
      option_ = item.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
      if (eq != std::string::npos) attached_ = item.substr(eq + 1);
    } else {
      option_ = item.substr(1, 1);
      if (item.size() > 2) attached_ = item.substr(2);
    }
    // The language and the catalogue directory were read by main before the command ran
    // (so that help and messages come in the language asked for); every command takes them.
    if (option_ == "lang" || option_ == "datadir") {
      value();
      option_.clear();
      continue;
    }
    option = option_;
    return true;
  }
  return false;
}

namespace {

std::string dashed(std::string_view option) {
  return (option.size() > 1 ? "--" : "-") + std::string(option);
}

// Edits that turn one word into the other: a letter added, dropped, changed, or two
// neighbours swapped (the commonest slip of the fingers counts once).
std::size_t edit_distance(std::string_view a, std::string_view b) {
  const std::size_t w = b.size() + 1;
  std::vector<std::size_t> d((a.size() + 1) * w);
  for (std::size_t i = 0; i <= a.size(); ++i) d[i * w] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t v = std::min({d[(i - 1) * w + j] + 1, d[i * w + j - 1] + 1,
                                d[(i - 1) * w + j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1)});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        v = std::min(v, d[(i - 2) * w + j - 2] + 1);
      d[i * w + j] = v;
    }
  return d[a.size() * w + b.size()];
}

}  // namespace

std::string Args::value() {
  if (attached_) {
    std::string v = *attached_;
    attached_.reset();
    return v;
  }
  if (pos_ >= items_.size()) fail(subst(tr("option {1} needs a value"), {dashed(option_)}));
  return items_[pos_++];
}

void Args::no_value() {
  if (attached_) fail(subst(tr("option {1} takes no value"), {dashed(option_)}));
}

void Args::unknown(const std::vector<std::string_view> &known) const {
  std::vector<std::string_view> long_names;
  for (std::string_view k : known)
    if (k.size() > 1) long_names.push_back(k);
  const std::string hint = option_.size() > 1 ? did_you_mean(option_, long_names, "--") : "";
  fail(subst(tr("unknown option {1}"), {dashed(option_)}) + hint);
}

bool Parsed::has(std::string_view name) const {
  return std::any_of(given_.begin(), given_.end(), [&](const auto &g) { return g.first == name; });
}

std::optional<std::string> Parsed::last(std::string_view name) const {
  for (auto it = given_.rbegin(); it != given_.rend(); ++it)
    if (it->first == name) return it->second;
  return std::nullopt;
}

std::vector<std::string> Parsed::all(std::string_view name) const {
  std::vector<std::string> out;
  for (const auto &g : given_)
    if (g.first == name) out.push_back(g.second);
  return out;
}

Parsed parse_command_line(const std::string &command, const std::vector<Option> &options,
                          int argc, char **argv, int first) {
  Args args(command, argc, argv, first);
  Parsed parsed(command);
  std::vector<std::string_view> known = {"help", "lang", "datadir"};
  for (const Option &o : options) known.push_back(o.name);
  std::string name, operand;
  while (args.next(name, operand)) {
    if (name.empty()) {
      parsed.operands.push_back(operand);
      continue;
    }
    if (name == "h" || name == "help") {
      args.no_value();
      parsed.help = true;
      continue;
    }
    auto match = std::find_if(options.begin(), options.end(), [&](const Option &o) {
      return name.size() == 1 ? o.letter == name[0] : o.name == name;
    });
    if (match == options.end()) args.unknown(known);
    if (match->takes_value) {
      parsed.add(std::string(match->name), args.value());
    } else {
      args.no_value();
      parsed.add(std::string(match->name), "");
    }
  }
  return parsed;
}

// Digits only: no blanks, no sign, no base prefix, nothing after the number; what strtol
// would let through (" 5", "+5", "5x" read as 5) is refused rather than guessed at.
long parse_number(const CommandErrors &errors, const std::string &what, const std::string &text,
                  long min, long max) {
  bool ok = !text.empty() && text.size() <= 18 &&
            std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  long v = 0;
  if (ok) {
    for (char c : text) v = v * 10 + (c - '0');
    ok = v >= min && v <= max;
  }
  if (!ok)
    errors.fail(subst(tr("{1} must be a whole number from {2} to {3}, not '{4}'"),
                      {tr(what.c_str()), std::to_string(min), std::to_string(max), text}));
  return v;
}

namespace {

// "1", "0.5", "3600" as text for messages.
std::string seconds_text(std::int64_t ms) {
  std::string s = std::to_string(ms / 1000);
  if (ms % 1000 != 0) {
    std::string frac = std::to_string(1000 + ms % 1000).substr(1);
    while (frac.back() == '0') frac.pop_back();
    s += "." + frac;
  }
  return s;
}

}  // namespace

// The same strictness as parse_number, with a point and at most three digits after it
// (a millisecond is the finest wait the library takes).
std::int64_t parse_seconds(const CommandErrors &errors, const std::string &what,
                           const std::string &text, std::int64_t min_ms, std::int64_t max_ms) {
  const auto point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string frac = point == std::string::npos ? "" : text.substr(point + 1);
  auto digits = [](const std::string &s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  bool ok = !whole.empty() && whole.size() <= 9 && digits(whole) && digits(frac) &&
            frac.size() <= 3 && (point == std::string::npos || !frac.empty());
  std::int64_t ms = 0;
  if (ok) {
    for (char c : whole) ms = ms * 10 + (c - '0');
    ms *= 1000;
    std::int64_t scale = 100;
    for (char c : frac) {
      ms += (c - '0') * scale;
      scale /= 10;
    }
    ok = ms >= min_ms && ms <= max_ms;
  }
  if (!ok)
    errors.fail(subst(tr("{1} must be a number of seconds from {2} to {3} (at most three "
                         "decimals), not '{4}'"),
                      {tr(what.c_str()), seconds_text(min_ms), seconds_text(max_ms), text}));
  return ms;
}

std::optional<std::string> nearest_word(std::string_view typed,
                                        const std::vector<std::string_view> &words) {
  if (typed.size() > 64 || words.empty()) return std::nullopt;
  std::string_view best;
  std::size_t best_distance = 0;
  for (std::string_view w : words) {
    const std::size_t d = edit_distance(typed, w);
    if (best.empty() || d < best_distance) {
      best = w;
      best_distance = d;
    }
  }
  const std::size_t allowed = std::max<std::size_t>(1, best.size() / 3);
  if (best_distance == 0 || best_distance > allowed) return std::nullopt;
  return std::string(best);
}

std::string did_you_mean(std::string_view typed, const std::vector<std::string_view> &words,
                         std::string_view prefix) {
  auto near = nearest_word(typed, words);
  if (!near) return "";
  return " (" + subst(tr("did you mean '{1}'?"), {std::string(prefix) + *near}) + ")";
}

}  // namespace kivo
