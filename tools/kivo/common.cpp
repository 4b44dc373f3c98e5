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
  option = option_;
  return true;
}

std::string Args::value() {
  if (attached_) {
    std::string v = *attached_;
    attached_.reset();
    return v;
  }
  if (pos_ >= items_.size()) fail("option " + std::string(option_.size() > 1 ? "--" : "-") +
                                   option_ + " needs a value");
  return items_[pos_++];
}

void Args::no_value() {
  if (attached_) fail("option " + std::string(option_.size() > 1 ? "--" : "-") + option_ +
                      " takes no value");
}

void Args::unknown() const {
  fail("unknown option " + std::string(option_.size() > 1 ? "--" : "-") + option_);
}

void Args::fail(const std::string &message) const { throw UsageError(command_, message); }

long parse_number(const Args &args, const std::string &what, const std::string &text, long min,
                  long max) {
  errno = 0;
  char *end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || end == nullptr || *end != '\0' || errno != 0 || v < min || v > max) {
    args.fail(what + " must be a whole number from " + std::to_string(min) + " to " +
              std::to_string(max) + ", not '" + text + "'");
  }
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
  for (std::size_t i = 0; i < count; ++i) out += "." + std::to_string(oid[i]);
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

}  // namespace

Session::Session(const Options &options) {
  mt_res_init();
  if (options.load_targets) prefs_ok_ = lanset_set_preference_dir() == 0;
  char lang[64];
  language_from_locale(lang, sizeof lang);
  if (!options.lang.empty()) std::snprintf(lang, sizeof lang, "%s", options.lang.c_str());
  transtext_init(lang[0] == '\0' ? nullptr : lang);
  std::string dir = options.datadir.empty() ? std::string(KIVO8_DATADIR) : options.datadir;
  if (dir.empty() || dir.back() != '/') dir += '/';
  transtext_readfile(dir.c_str());
  if (options.load_targets) {
    ifinfo_initwithlocal(&head_);
    if (prefs_ok_) ifinfo_read_preference(&head_);
  }
}

Session::~Session() {
  if (head_ != nullptr) ifinfo_free_list(head_);
  head_ = nullptr;
  transtext_free_tables();
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
