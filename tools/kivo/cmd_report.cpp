// kivo report: the printers of a discovery (run now, or saved by `kivo discover --json`
// at one or more sites) as one HTML page.
//
// A discovery run here is `kivo discover --json` itself, called in this process with its
// standard output caught in a scratch file: the same searches, the same options and the
// same device records as the command, read back through the same reader as a saved
// list. The page is written beside its destination and renamed over it, so a reader
// never sees half a page.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "common.h"
#include "report_html.h"
#include "report_json.h"

namespace kivo {

namespace {

const char kReportHelp[] =
    "Usage: kivo report [-o FILE] [--from FILE]... [DISCOVER-OPTIONS]\n"
    "Writes the printers found as one HTML page: a summary, then a row per printer,\n"
    "those that need attention first (errors, alerts, supplies below 10 %, no answer),\n"
    "then by location and name, with addresses, state, supply levels, page count, print\n"
    "URIs and serial number; other devices folded below. The page is self-contained (no\n"
    "script, nothing loaded from elsewhere), in UTF-8, and prints on A4.\n"
    "\n"
    "Options:\n"
    "  -o, --output FILE   write the page to FILE (default: standard output; - is\n"
    "                      standard output)\n"
    "  --from FILE         read the devices from a list saved by `kivo discover\n"
    "                      --status --json` (without --status: no state or supplies)\n"
    "                      instead of searching (repeatable, one per site; - reads\n"
    "                      standard input); the same device in several lists (the same\n"
    "                      uuid, serial number or address) is shown once\n"
    "  -h, --help          this text\n"
    "Without --from, kivo report searches as `kivo discover` does and takes its options\n"
    "(--range, --timeout, --community, --no-web, ...: see `kivo discover --help`).\n"
    "\n"
    "Exit status: 0 the page was written, 1 it could not be (the search could not run, a\n"
    "list could not be read, the file could not be written), 2 bad arguments.\n";

// The largest saved list read.
constexpr std::size_t kMaxListBytes = std::size_t{256} << 20;

std::string errno_text(int e) {
  char buf[256] = {};
  // The GNU strerror_r returns the text, in `buf` or in a static string.
  return strerror_r(e, buf, sizeof buf);
}

std::string utc_text(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  if (std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm) == 0) return "";
  return buf;
}

std::string host_name() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0) return "";
  return buf;
}

// The IPv4 networks of this host's interfaces (the loopback left out), as "NAME
// ADDRESS/BITS": what a search without ranges covers.
std::vector<std::string> local_networks() {
  std::vector<std::string> out;
  ifaddrs *list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  std::unique_ptr<ifaddrs, void (*)(ifaddrs *)> owner(list, freeifaddrs);
  for (ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || (i->ifa_flags & IFF_LOOPBACK) != 0)
      continue;
    in_addr address{};
    std::memcpy(&address, &reinterpret_cast<const sockaddr_in *>(i->ifa_addr)->sin_addr, sizeof address);
    int bits = 0;
    if (i->ifa_netmask != nullptr) {
      in_addr mask{};
      std::memcpy(&mask, &reinterpret_cast<const sockaddr_in *>(i->ifa_netmask)->sin_addr, sizeof mask);
      bits = __builtin_popcount(mask.s_addr);
    }
    out.push_back(std::string(i->ifa_name) + " " + ipv4_text(address) + "/" + std::to_string(bits));
  }
  return out;
}

std::optional<std::string> read_list(const std::string &path, std::string &error) {
  std::ifstream file;
  std::istream *in = &std::cin;
  if (path != "-") {
    file.open(path, std::ios::binary);
    if (!file) {
      error = errno_text(errno);
      return std::nullopt;
    }
    in = &file;
  }
  std::string text;
  char buf[65536];
  while (*in) {
    in->read(buf, sizeof buf);
    text.append(buf, static_cast<std::size_t>(in->gcount()));
    if (text.size() > kMaxListBytes) {
      error = "larger than 256 MiB";
      return std::nullopt;
    }
  }
  if (in->bad()) {
    error = "read error";
    return std::nullopt;
  }
  return text;
}

std::string site_of(const std::string &path) {
  if (path == "-") return "standard input";
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0) name.resize(name.size() - 5);
  return name;
}

struct FileClose {
  void operator()(std::FILE *f) const { (void)std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileClose>;

// Standard output goes to `to` while the object lives.
class StdoutTo {
 public:
  explicit StdoutTo(std::FILE *to) {
    (void)std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    if (saved_ >= 0 && dup2(fileno(to), STDOUT_FILENO) < 0) {
      close(saved_);
      saved_ = -1;
    }
  }
  ~StdoutTo() {
    if (saved_ < 0) return;
    (void)std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }
  StdoutTo(const StdoutTo &) = delete;
  StdoutTo &operator=(const StdoutTo &) = delete;
  bool ok() const { return saved_ >= 0; }

 private:
  int saved_ = -1;
};

// Runs `kivo discover --json` with `options`; its JSON, or nothing when it failed (it
// said why on standard error) with its exit status in `status`.
std::optional<std::string> discover_json(const std::vector<std::string> &options, int &status) {
  File scratch(std::tmpfile());
  if (!scratch) {
    put(stderr, "kivo report: cannot make a scratch file\n");
    status = kExitFailed;
    return std::nullopt;
  }
  // The page shows each printer's state and supplies: the search reads them too.
  std::vector<std::string> words = {"kivo", "discover", "--json", "--status"};
  words.insert(words.end(), options.begin(), options.end());
  std::vector<char *> argv;
  argv.reserve(words.size() + 1);
  for (std::string &w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  {
    StdoutTo redirect(scratch.get());
    if (!redirect.ok()) {
      put(stderr, "kivo report: cannot catch the search's output\n");
      status = kExitFailed;
      return std::nullopt;
    }
    try {
      status = cmd_discover(static_cast<int>(words.size()), argv.data(), 2);
    } catch (const UsageError &e) {
      // The options were given to kivo report; so is the complaint.
      throw UsageError("report", e.what());
    }
  }
  if (status != kExitOk) return std::nullopt;
  std::rewind(scratch.get());
  std::string text;
  char buf[65536];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, scratch.get())) > 0;) text.append(buf, n);
  return text;
}

// Writes the page to `path` (standard output for "-"): into a file beside it first,
// renamed over it once complete.
bool write_page(const std::string &path, const std::string &page) {
  if (path == "-") {
    bool ok = std::fwrite(page.data(), 1, page.size(), stdout) == page.size();
    return std::fflush(stdout) == 0 && ok;
  }
  const std::string part = path + ".part" + std::to_string(getpid());
  File f(std::fopen(part.c_str(), "wb"));
  if (!f) {
    put(stderr, "kivo report: cannot write '" + safe_text(part) + "': " + errno_text(errno) + "\n");
    return false;
  }
  bool ok = std::fwrite(page.data(), 1, page.size(), f.get()) == page.size();
  ok = std::fflush(f.get()) == 0 && ok;
  ok = fsync(fileno(f.get())) == 0 && ok;
  ok = std::fclose(f.release()) == 0 && ok;
  if (ok && std::rename(part.c_str(), path.c_str()) == 0) return true;
  put(stderr, "kivo report: cannot write '" + safe_text(path) + "': " + errno_text(errno) + "\n");
  (void)std::remove(part.c_str());
  return false;
}

// The option `word` of kivo report itself, with its value in `value` (taken from the
// next word when not attached); false for any other word.
bool own_option(const std::vector<std::string> &words, std::size_t &i, std::string &name, std::string &value) {
  const std::string &w = words[i];
  for (const char *n : {"--output", "--from"}) {
    const std::string with_value = std::string(n) + "=";
    if (w == n) {
      name = n;
      if (i + 1 >= words.size()) throw UsageError("report", std::string("the option '") + n + "' needs a value");
      value = words[++i];
      return true;
    }
    if (w.compare(0, with_value.size(), with_value) == 0) {
      name = n;
      value = w.substr(with_value.size());
      return true;
    }
  }
  if (w == "-o") {
    name = "--output";
    if (i + 1 >= words.size()) throw UsageError("report", "the option '-o' needs a value");
    value = words[++i];
    return true;
  }
  if (w.size() > 2 && w.compare(0, 2, "-o") == 0) {
    name = "--output";
    value = w.substr(2);
    return true;
  }
  if (w == "-h" || w == "--help") {
    name = "--help";
    return true;
  }
  return false;
}

}  // namespace

int cmd_report(int argc, char **argv, int first) {
  // kivo report's own options are read here; every other word goes to the search, whose
  // options are those of kivo discover and are checked there.
  std::vector<std::string> words(argv + first, argv + argc);
  std::optional<std::string> output;
  std::vector<std::string> from, passed;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i] == "--") {
      passed.insert(passed.end(), words.begin() + static_cast<std::ptrdiff_t>(i), words.end());
      break;
    }
    std::string name, value;
    if (!own_option(words, i, name, value)) {
      passed.push_back(words[i]);
    } else if (name == "--help") {
      put(stdout, tr(kReportHelp));
      return kExitOk;
    } else if (name == "--output") {
      if (output) throw UsageError("report", "-o (--output) is given twice");
      if (value.empty()) throw UsageError("report", "the output file name is empty");
      output = value;
    } else {
      if (value.empty()) throw UsageError("report", "the --from file name is empty");
      from.push_back(value);
    }
  }
  if (!from.empty()) {
    // --lang and --datadir (with their values) belong to every command; any other option
    // here is one of the search, which --from replaces.
    for (std::size_t i = 0; i < passed.size(); ++i) {
      if (passed[i] == "--lang" || passed[i] == "--datadir") {
        ++i;
        continue;
      }
      if (passed[i].rfind("--lang=", 0) == 0 || passed[i].rfind("--datadir=", 0) == 0 || passed[i] == "--")
        continue;
      if (passed[i].size() < 2 || passed[i][0] != '-')
        throw UsageError("report", "unexpected argument '" + passed[i] + "'");
      throw UsageError("report", "'" + passed[i] + "' is an option of the search, which --from replaces");
    }
  }

  report::Summary summary;
  summary.generated = utc_text(std::time(nullptr));
  summary.host = host_name();
  std::vector<report::Device> devices;
  if (from.empty()) {
    int status = kExitOk;
    auto json = discover_json(passed, status);
    if (!json) return status;
    std::string error;
    auto found = report::read_devices(*json, "", error);
    if (!found) {
      put(stderr, "kivo report: the search's device list cannot be read: " + safe_text(error) + "\n");
      return kExitFailed;
    }
    report::merge_devices(devices, std::move(*found));
    summary.sources = local_networks();
    for (std::size_t i = 0; i < passed.size(); ++i) {
      if ((passed[i] == "--range" || passed[i] == "--hosts-file") && i + 1 < passed.size())
        summary.sources.push_back(passed[i + 1]);
      else if (passed[i].rfind("--range=", 0) == 0)
        summary.sources.push_back(passed[i].substr(8));
      else if (passed[i].rfind("--hosts-file=", 0) == 0)
        summary.sources.push_back(passed[i].substr(13));
    }
  } else {
    for (const std::string &path : from) {
      std::string error;
      auto text = read_list(path, error);
      std::optional<std::vector<report::Device>> list;
      if (text) list = report::read_devices(*text, site_of(path), error);
      if (!list) {
        put(stderr, "kivo report: cannot read '" + safe_text(path) + "': " + safe_text(error) + "\n");
        return kExitFailed;
      }
      report::merge_devices(devices, std::move(*list));
      std::string source = site_of(path);
      struct stat st {};
      if (path != "-" && stat(path.c_str(), &st) == 0) source += " (saved " + utc_text(st.st_mtime) + ")";
      summary.sources.push_back(source);
    }
  }
  std::string page = report::render_page(std::move(devices), summary);
  return write_page(output.value_or("-"), page) ? kExitOk : kExitFailed;
}

}  // namespace kivo
