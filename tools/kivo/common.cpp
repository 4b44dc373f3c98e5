#include "common.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>

namespace kivo {

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

HostPort parse_host_port(const CommandErrors &args, const std::string &text, int port) {
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

void check_community(const CommandErrors &args, const std::string &c) {
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

namespace {

#ifdef KIVO_DATADIR_FROM_BIN
bool is_directory(const std::string &path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
#endif

// Whether `dir` holds a catalogue of some language (LANG/localmsgs.cvt).
bool holds_catalogues(const std::string &dir) {
  std::unique_ptr<DIR, int (*)(DIR *)> d(::opendir(dir.c_str()), ::closedir);
  if (!d) return false;
  while (const dirent *e = ::readdir(d.get())) {
    const std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    std::string catalogue = dir;
    catalogue.append("/").append(name).append("/localmsgs.cvt");
    if (::access(catalogue.c_str(), R_OK) == 0) return true;
  }
  return false;
}

// Where the catalogues are, found from the program's own place as the library is (its run
// path is relative too), so that an installed tree works wherever its prefix is: the
// data directory beside the installed program, the program's own directory in the build
// tree, and the directory configured at build time when neither holds any.
std::string find_data_directory() {
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    const std::filesystem::path bin = std::filesystem::path(std::string(exe, static_cast<std::size_t>(n))).parent_path();
#ifdef KIVO_DATADIR_FROM_BIN
    std::string installed = (bin / KIVO_DATADIR_FROM_BIN).lexically_normal().string();
    if (is_directory(installed)) return installed;
#endif
    if (holds_catalogues(bin.string())) return bin.string();
  }
  return KIVO8_DATADIR;
}

}  // namespace

const std::string &data_directory() {
  static const std::string dir = find_data_directory();
  return dir;
}

Language::Language(const std::string &wanted, const std::string &datadir) {
  char lang[64];
  language_from_locale(lang, sizeof lang);
  if (!wanted.empty()) std::snprintf(lang, sizeof lang, "%s", wanted.c_str());
  std::string dir = datadir.empty() ? data_directory() : datadir;
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
