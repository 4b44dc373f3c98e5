#include "common.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace kivo {

Args::Args(std::string command, int argc, char **argv, int first) : command_(std::move(command)) {
  for (int i = first; i < argc; ++i) items_.emplace_back(argv[i]);
}

bool Args::next(std::string &option, std::string &operand) {
  if (!option_.empty() && attached_) no_value();
  option.clear();
  operand.clear();
  option_.clear();
  attached_.reset();
  if (pos_ >= items_.size()) return false;
  const std::string item = items_[pos_++];
  if (options_done_ || item.size() < 2 || item[0] != '-') {
    operand = item;
    return true;
  }
  if (item == "--") {
    options_done_ = true;
    return next(option, operand);
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
    return next(option, operand);
  }
  option = option_;
  return true;
}

namespace {

std::string dashed(const std::string &option) {
  return (option.size() > 1 ? "--" : "-") + option;
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

void Args::unknown() const { fail(subst(tr("unknown option {1}"), {dashed(option_)})); }

void Args::fail(const std::string &message) const { throw UsageError(command_, message); }

// Digits only: no blanks, no sign, no base prefix, nothing after the number; what strtol
// would let through (" 5", "+5", "5x" read as 5) is refused rather than guessed at.
long parse_number(const Args &args, const std::string &what, const std::string &text, long min,
                  long max) {
  bool ok = !text.empty() && text.size() <= 18 &&
            std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  long v = 0;
  if (ok) {
    for (char c : text) v = v * 10 + (c - '0');
    ok = v >= min && v <= max;
  }
  if (!ok)
    args.fail(subst(tr("{1} must be a whole number from {2} to {3}, not '{4}'"),
                    {tr(what.c_str()), std::to_string(min), std::to_string(max), text}));
  return v;
}

std::optional<in_addr> parse_ipv4(const std::string &text) {
  in_addr a{};
  if (lanset_ipaddress_decode(text.c_str(), &a) != 0) return std::nullopt;
  return a;
}

std::optional<in_addr> resolve_host(const std::string &text) {
  if (auto a = parse_ipv4(text)) return a;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo *found = nullptr;
  if (getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr)
    return std::nullopt;
  in_addr a = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return a;
}

HostPort parse_host_port(const Args &args, const std::string &text, int port) {
  HostPort out;
  out.text = text;
  out.port = port;
  // An IPv6 literal holds colons of its own ("::1", "[fe80::1]:161"): refuse it as such
  // rather than read its tail as a port.
  if (!text.empty() && text[0] == '[') args.fail(subst(tr("IPv6 is not supported: '{1}'"), {text}));
  auto colons = std::count(text.begin(), text.end(), ':');
  if (colons > 1) args.fail(subst(tr("IPv6 is not supported: '{1}'"), {text}));
  std::string host = text;
  if (colons == 1) {
    auto colon = text.find(':');
    host = text.substr(0, colon);
    out.port = static_cast<int>(parse_number(args, "the port", text.substr(colon + 1), 1, 65535));
  }
  if (host.empty()) args.fail(tr("no host given"));
  auto a = resolve_host(host);
  if (!a) args.fail(subst(tr("cannot find the host '{1}'"), {host}));
  out.address = *a;
  return out;
}

void check_community(const Args &args, const std::string &c) {
  if (c.empty()) args.fail(tr("a community name must not be empty"));
  if (c.size() > 255)
    args.fail(subst(tr("the community name '{1}...' is too long (more than 255 bytes)"),
                    {c.substr(0, 20)}));
  for (unsigned char ch : c)
    if (ch < 0x20 || ch == 0x7F)
      args.fail(subst(tr("the community name '{1}' holds a control character"), {c}));
}

std::string ipv4_text(in_addr address) {
  char buf[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &address, buf, sizeof buf);
  return buf;
}

std::optional<std::vector<std::uint32_t>> parse_oid(const std::string &text) {
  std::vector<std::uint32_t> out;
  std::size_t i = (!text.empty() && text[0] == '.') ? 1 : 0;
  if (i >= text.size()) return std::nullopt;
  while (i <= text.size()) {
    std::size_t end = text.find('.', i);
    if (end == std::string::npos) end = text.size();
    if (end == i || end - i > 10) return std::nullopt;
    std::uint64_t v = 0;
    for (std::size_t k = i; k < end; ++k) {
      if (text[k] < '0' || text[k] > '9') return std::nullopt;
      v = v * 10 + static_cast<std::uint64_t>(text[k] - '0');
    }
    if (v > 0xFFFFFFFFu) return std::nullopt;
    out.push_back(static_cast<std::uint32_t>(v));
    if (out.size() > SNMP_VAR_NAME_STORAGE) return std::nullopt;
    i = end + 1;
  }
  return out;
}

std::string oid_text(const std::uint32_t *oid, std::size_t count) {
  std::string out;
  // Appended piecewise: g++ 12 at -O2 reports a false -Wrestrict overlap for
  // "literal" + std::string&&, a known compiler fault.
  for (std::size_t i = 0; i < count; ++i) {
    out += '.';
    out += std::to_string(oid[i]);
  }
  return out;
}

std::string tr(const char *english) {
  const char *t = transtext_message(english);
  return t != nullptr ? t : english;
}

namespace {

// The language part of a locale name: "de_DE.UTF-8" gives "de"; "C" and "POSIX" none.
// (Written into a caller's buffer: g++ 12 warns wrongly about moving short strings.)
void language_from_locale(char *out, std::size_t size) {
  out[0] = '\0';
  for (const char *name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char *v = std::getenv(name);
    if (v == nullptr || *v == '\0') continue;
    std::size_t n = std::min(std::strcspn(v, ":_.@"), size - 1);
    std::memcpy(out, v, n);
    out[n] = '\0';
    if (std::strcmp(out, "C") == 0 || std::strcmp(out, "POSIX") == 0) out[0] = '\0';
    return;
  }
}

// Sets an environment variable until the end of the scope; kivo is still single-threaded
// while the session is set up.
class ScopedEnv {
 public:
  ScopedEnv(const char *name, const char *value) : name_(name) {
    if (const char *old = std::getenv(name)) old_ = old;
    setenv(name, value, 1);
  }
  ~ScopedEnv() {
    if (old_)
      setenv(name_, old_->c_str(), 1);
    else
      unsetenv(name_);
  }
  ScopedEnv(const ScopedEnv &) = delete;
  ScopedEnv &operator=(const ScopedEnv &) = delete;

 private:
  const char *name_;
  std::optional<std::string> old_;
};

bool catalogue_loads(const std::string &dir, const char *lang) {
  transtext_table *t = transtext_new_table_nolang((dir + lang + "/").c_str(), "localmsgs.cvt");
  transtext_free(t);
  return t != nullptr;
}

}  // namespace

std::string subst(const std::string &text, std::initializer_list<std::string> values) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '{' && i + 2 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9' &&
        text[i + 2] == '}') {
      auto k = static_cast<std::size_t>(text[i + 1] - '1');
      if (k < values.size()) {
        out += *(values.begin() + k);
        i += 2;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

Language::Language(const std::string &wanted, const std::string &datadir) {
  char lang[64];
  language_from_locale(lang, sizeof lang);
  if (!wanted.empty()) std::snprintf(lang, sizeof lang, "%s", wanted.c_str());
  std::string dir = datadir.empty() ? std::string(KIVO8_DATADIR) : datadir;
  if (dir.empty() || dir.back() != '/') dir += '/';
  // A language asked for by name that has no catalogue: said once, then English.
  if (!wanted.empty() && wanted != "en" && !catalogue_loads(dir, lang)) {
    put(stderr, "kivo: " + subst(tr("there is no catalogue for the language '{1}' in {2}; "
                                    "going on in English"),
                                 {safe_text(wanted), safe_text(dir)}) + "\n");
    lang[0] = '\0';
  }
  // The library converts the catalogue's translations into the display encoding it reads
  // from LANGUAGE, LC_ALL, LC_MESSAGES and LANG when the language is chosen. kivo keeps
  // every text in UTF-8 and converts only on output (text_out.h), so the library is told
  // UTF-8 for that one call, whatever the environment says.
  {
    ScopedEnv display("LANGUAGE", ".UTF-8");
    transtext_init(lang[0] == '\0' ? nullptr : lang);
  }
  transtext_readfile(dir.c_str());
}

Language::~Language() { transtext_free_tables(); }

void global_options(int argc, char **argv, std::string &lang, std::string &datadir) {
  for (int i = 1; i < argc; ++i) {
    const std::string item = argv[i];
    if (item == "--") break;
    for (auto [name, value] : {std::pair{"--lang", &lang}, std::pair{"--datadir", &datadir}}) {
      const std::string n = name;
      if (item == n && i + 1 < argc)
        *value = argv[++i];
      else if (item.rfind(n + "=", 0) == 0)
        *value = item.substr(n.size() + 1);
    }
  }
}

Session::Session(const Options &options) {
  mt_res_init();
  if (options.load_targets) prefs_ok_ = lanset_set_preference_dir() == 0;
  if (options.load_targets) {
    ifinfo_initwithlocal(&head_);
    if (prefs_ok_) ifinfo_read_preference(&head_);
  }
}

Session::~Session() {
  if (head_ != nullptr) ifinfo_free_list(head_);
  head_ = nullptr;
  mt_res_free();
}

void Session::canonical_order() {
  std::vector<ifinfo *> entries;
  for (ifinfo *e = head_; e != nullptr; e = e->next) entries.push_back(e);
  std::stable_partition(entries.begin(), entries.end(),
                        [](const ifinfo *e) { return ifinfo_get_type(e) != IFINFO_LOCAL; });
  head_ = nullptr;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    (*it)->next = head_;
    head_ = *it;
  }
  if (head_ != nullptr) ifinfo_renumber_ids(head_);
}

const char *kind_word(const ifinfo *entry) {
  switch (ifinfo_get_type(entry)) {
    case IFINFO_LOCAL: return "local";
    case IFINFO_BCAST: return "broadcast";
    case IFINFO_RANGE: return "range";
    default: return "slp";
  }
}

std::vector<std::string> communities(const ifinfo *entry) {
  std::vector<std::string> out;
  for (const snmp_comm *c = entry->comms; c != nullptr; c = c->next) out.emplace_back(c->name);
  return out;
}

QuietLibrary::QuietLibrary() {
  std::fflush(stdout);
  saved_ = dup(STDOUT_FILENO);
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved_ < 0 || null < 0) {
    if (saved_ >= 0) close(saved_);
    if (null >= 0) close(null);
    saved_ = -1;
    return;
  }
  dup2(null, STDOUT_FILENO);
  close(null);
  out_ = fdopen(saved_, "w");
  if (out_ == nullptr) {
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
    out_ = stdout;
  }
}

QuietLibrary::~QuietLibrary() {
  if (saved_ < 0) return;
  std::fflush(stdout);
  std::fflush(out_);
  dup2(saved_, STDOUT_FILENO);
  std::fclose(out_);  // closes saved_
}

}  // namespace kivo
