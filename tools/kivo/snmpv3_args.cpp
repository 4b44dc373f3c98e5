// SNMPv3 options of kivo's SNMP commands and the credentials file kept for them.
#include "snmpv3_args.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace kivo {

const char kV3Help[] =
    "\n"
    "SNMPv3 options (with -v 3):\n"
    "  -u USER        SNMPv3 with the user-based security model, as user USER\n"
    "  -l LEVEL       noAuthNoPriv (default), authNoPriv or authPriv\n"
    "  -a PROTOCOL    MD5, SHA, SHA-224, SHA-256, SHA-384 or SHA-512\n"
    "  -A PASSPHRASE  authentication pass phrase (at least 8 characters)\n"
    "  -x PROTOCOL    DES, AES, AES-192 or AES-256 (AES-192/256 extend keys as net-snmp does)\n"
    "  -X PASSPHRASE  privacy pass phrase (at least 8 characters)\n"
    "  -n CONTEXT     context name (default empty)\n"
    "  --save-credentials  keep these credentials in ~/.kivo/snmpv3-users (mode 0600) so\n"
    "                 that later runs need only -v 3 -u USER\n";

namespace {

const char kCredentialsHelp[] =
    "Usage: kivo credentials [list | add USER OPTIONS | remove USER]\n"
    "Keeps SNMPv3 user credentials in ~/.kivo/snmpv3-users, a file of its own readable by\n"
    "you alone (mode 0600). The pass phrases themselves are not kept, only the master\n"
    "keys derived from them (RFC 3414), which open the user's account as the pass\n"
    "phrases do but cannot give them back; a file of an older kivo that holds pass\n"
    "phrases is rewritten so. Nothing secret is ever printed; `list` shows users, levels\n"
    "and protocols. `kivo get -v 3 -u USER` takes what it is not given from here.\n"
    "\n"
    "Options of add:\n"
    "  -l LEVEL -a PROTOCOL -A PASSPHRASE -x PROTOCOL -X PASSPHRASE  as for kivo get\n"
    "  -h, --help     this text\n"
    "\n"
    "Exit status: 0 done, 1 the file could not be read or written, 2 bad arguments.\n";

// A saved user: names of the level and protocols as given, and the master keys (hex)
// derived from the pass phrases, which are not kept.
struct Entry {
  std::string user, level, auth, auth_key, priv, priv_key;
};

// The first line of a file that holds keys; a file without it is of an older kivo and
// holds pass phrases, which are turned into keys and the file written again.
const char kKeysHeader[] = "# kivo SNMPv3 users: master keys (RFC 3414 Ku), no pass phrases";

std::string credentials_path() {
  const char *home = std::getenv("HOME");  // NOLINT(concurrency-mt-unsafe)
  if (home == nullptr || *home == '\0') return "";
  return std::string(home) + "/.kivo/snmpv3-users";
}

std::int32_t auth_code(const std::string &name) {
  static const char *const names[] = {"MD5", "SHA", "SHA-224", "SHA-256", "SHA-384", "SHA-512"};
  for (int i = 0; i < 6; ++i)
    if (strcasecmp(name.c_str(), names[i]) == 0 || (i == 1 && strcasecmp(name.c_str(), "SHA1") == 0))
      return KIVO_SNMPV3_AUTH_MD5 + i;
  return 0;
}

std::int32_t priv_code(const std::string &name) {
  static const char *const names[] = {"DES", "AES", "AES-192", "AES-256"};
  for (int i = 0; i < 4; ++i)
    if (strcasecmp(name.c_str(), names[i]) == 0 || (i == 1 && strcasecmp(name.c_str(), "AES-128") == 0))
      return KIVO_SNMPV3_PRIV_DES + i;
  return 0;
}

// The master key of a pass phrase in hexadecimal; empty when it cannot be had (no
// protocol, a pass phrase too short).
std::string key_hex(const std::string &auth, const std::string &pass) {
  std::uint8_t key[64];
  std::uint32_t length = sizeof key;
  if (pass.empty() || kivo_snmpv3_password_to_key(auth_code(auth), pass.c_str(), key, &length) != 0)
    return "";
  static const char digits[] = "0123456789abcdef";
  std::string hex;
  for (std::uint32_t i = 0; i < length; ++i) {
    hex += digits[key[i] >> 4];
    hex += digits[key[i] & 15];
  }
  std::fill(std::begin(key), std::end(key), std::uint8_t{0});
  return hex;
}

std::vector<std::uint8_t> key_bytes(const std::string &hex) {
  std::vector<std::uint8_t> out;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (hex.size() % 2 != 0 || hex.size() > 128) return out;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return {};
    out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return out;
}

bool save(const std::vector<Entry> &entries);

// One user per line, fields separated by tabs. An older file (no header) holds pass
// phrases: they are turned into keys here, and the file is written again without them.
std::vector<Entry> load() {
  std::vector<Entry> out;
  std::ifstream in(credentials_path());
  std::string line;
  bool keys = false, first = true, old = false;
  while (std::getline(in, line)) {
    if (first) {
      first = false;
      keys = line == kKeysHeader;
      if (keys) continue;
    }
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) f.push_back(field);
    if (f.size() != 6 || f[0].empty()) continue;
    if (!keys) {
      old = true;
      Entry e{f[0], f[1], f[2], key_hex(f[2], f[3]), f[4], key_hex(f[2], f[5])};
      for (std::string *pass : {&f[3], &f[5]}) std::fill(pass->begin(), pass->end(), '\0');
      out.push_back(std::move(e));
      continue;
    }
    out.push_back({f[0], f[1], f[2], f[3], f[4], f[5]});
  }
  // Should the file not be writable now, the keys still serve this run.
  if (old) (void)save(out);
  return out;
}

bool save(const std::vector<Entry> &entries) {
  const std::string path = credentials_path();
  if (path.empty()) return false;
  const std::string dir = path.substr(0, path.rfind('/'));
  mkdir(dir.c_str(), 0700);
  const std::string tmp = path + ".new";
  // Created 0600 from the start: the keys are never readable by others, not even for a
  // moment.
  unlink(tmp.c_str());
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  std::string text = std::string(kKeysHeader) + "\n";
  for (const Entry &e : entries)
    text += e.user + "\t" + e.level + "\t" + e.auth + "\t" + e.auth_key + "\t" + e.priv + "\t" +
            e.priv_key + "\n";
  bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  std::fill(text.begin(), text.end(), '\0');
  ok = fchmod(fd, 0600) == 0 && fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (ok) ok = rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) unlink(tmp.c_str());
  return ok;
}

void check_text(const CommandErrors &args, const std::string &what, const std::string &text) {
  if (text.find_first_of("\t\r\n") != std::string::npos)
    args.fail(what + " must not hold tabs or line ends");
}

void upsert(const CommandErrors &args, const V3Args &v3) {
  check_text(args, "the credentials", v3.user);
  auto entries = load();
  Entry e{v3.user, v3.level, v3.auth, key_hex(v3.auth, v3.auth_pass), v3.priv,
          key_hex(v3.auth, v3.priv_pass)};
  bool replaced = false;
  for (Entry &old : entries)
    if (old.user == v3.user) {
      old = e;
      replaced = true;
    }
  if (!replaced) entries.push_back(e);
  if (!save(entries)) throw std::runtime_error("cannot write " + credentials_path());
}

}  // namespace

std::vector<Option> v3_option_list(bool get_walk) {
  std::vector<Option> out = {{"l", 'l', true}, {"a", 'a', true}, {"A", 'A', true},
                             {"x", 'x', true}, {"X", 'X', true}};
  if (get_walk) {
    out.push_back({"u", 'u', true});
    out.push_back({"n", 'n', true});
    out.push_back({"save-credentials", 0, false});
  }
  return out;
}

V3Args v3_args(const Parsed &p) {
  V3Args v3;
  for (auto [name, field] : {std::pair{"u", &v3.user}, std::pair{"l", &v3.level},
                             std::pair{"a", &v3.auth}, std::pair{"A", &v3.auth_pass},
                             std::pair{"x", &v3.priv}, std::pair{"X", &v3.priv_pass},
                             std::pair{"n", &v3.context}})
    if (auto v = p.last(name)) *field = *v;
  v3.save = p.has("save-credentials");
  return v3;
}

kivo_snmpv3_options v3_options(const CommandErrors &args, V3Args &v3) {
  if (v3.user.empty()) args.fail("SNMPv3 needs a user name (-u USER)");
  if (!v3.save) {
    for (const Entry &e : load()) {
      if (e.user != v3.user) continue;
      if (v3.level.empty()) v3.level = e.level;
      // A saved key belongs to the protocol it was derived for.
      const bool same_auth = v3.auth.empty() || auth_code(v3.auth) == auth_code(e.auth);
      if (v3.auth.empty()) v3.auth = e.auth;
      if (v3.auth_pass.empty() && same_auth) v3.auth_key = key_bytes(e.auth_key);
      if (v3.priv.empty()) v3.priv = e.priv;
      if (v3.priv_pass.empty() && same_auth) v3.priv_key = key_bytes(e.priv_key);
    }
  }
  kivo_snmpv3_options o{};
  o.size = sizeof o;
  o.user = v3.user.c_str();
  const std::string level = v3.level.empty() ? "noAuthNoPriv" : v3.level;
  if (level == "noAuthNoPriv" || level == "noauth" || level == "1") o.level = KIVO_SNMPV3_NOAUTH_NOPRIV;
  else if (level == "authNoPriv" || level == "auth" || level == "2") o.level = KIVO_SNMPV3_AUTH_NOPRIV;
  else if (level == "authPriv" || level == "priv" || level == "3") o.level = KIVO_SNMPV3_AUTH_PRIV;
  else args.fail("the security level must be noAuthNoPriv, authNoPriv or authPriv, not '" + level + "'");
  if (o.level >= KIVO_SNMPV3_AUTH_NOPRIV) {
    o.auth_protocol = auth_code(v3.auth);
    if (o.auth_protocol == 0)
      args.fail(v3.auth.empty() ? "authNoPriv and authPriv need -a PROTOCOL"
                                : "unknown authentication protocol '" + v3.auth + "'");
    if (!v3.auth_pass.empty() || v3.auth_key.empty()) {
      if (v3.auth_pass.size() < 8) args.fail("the authentication pass phrase (-A) needs at least 8 characters");
      o.auth_password = v3.auth_pass.c_str();
    } else {
      o.auth_key = v3.auth_key.data();
      o.auth_key_length = static_cast<std::uint32_t>(v3.auth_key.size());
    }
  }
  if (o.level == KIVO_SNMPV3_AUTH_PRIV) {
    o.priv_protocol = priv_code(v3.priv);
    if (o.priv_protocol == 0)
      args.fail(v3.priv.empty() ? "authPriv needs -x PROTOCOL"
                                : "unknown privacy protocol '" + v3.priv + "'");
    if (!v3.priv_pass.empty() || v3.priv_key.empty()) {
      if (v3.priv_pass.size() < 8) args.fail("the privacy pass phrase (-X) needs at least 8 characters");
      o.priv_password = v3.priv_pass.c_str();
    } else {
      o.priv_key = v3.priv_key.data();
      o.priv_key_length = static_cast<std::uint32_t>(v3.priv_key.size());
    }
  }
  if (!v3.context.empty()) o.context_name = v3.context.c_str();
  if (v3.save) {
    v3.level = level;
    upsert(args, v3);
  }
  return o;
}

void v3_forget_pass_phrases(V3Args &v3) {
  for (std::string *s : {&v3.auth_pass, &v3.priv_pass}) {
    std::fill(s->begin(), s->end(), '\0');
    s->clear();
  }
  for (std::vector<std::uint8_t> *k : {&v3.auth_key, &v3.priv_key}) {
    std::fill(k->begin(), k->end(), std::uint8_t{0});
    k->clear();
  }
}

int cmd_credentials(int argc, char **argv, int first) {
  const Parsed args = parse_command_line("credentials", v3_option_list(false), argc, argv, first);
  if (args.help) {
    put(stdout, tr(kCredentialsHelp));
    return kExitOk;
  }
  V3Args v3 = v3_args(args);
  const std::vector<std::string> &operands = args.operands;
  const std::string action = operands.empty() ? "list" : operands[0];
  if (action == "list") {
    if (operands.size() > 1) args.fail("list takes no operands");
    for (const Entry &e : load()) {
      std::printf("%s\t%s", e.user.c_str(), e.level.c_str());
      if (!e.auth.empty()) std::printf("\t%s", e.auth.c_str());
      if (!e.priv.empty()) std::printf("\t%s", e.priv.c_str());
      std::printf("\n");
    }
    return kExitOk;
  }
  if (operands.size() != 2) args.fail(action + " takes one user name");
  v3.user = operands[1];
  if (action == "add") {
    v3.save = true;
    (void)v3_options(args, v3);
    return kExitOk;
  }
  if (action == "remove") {
    auto entries = load();
    const auto before = entries.size();
    std::erase_if(entries, [&](const Entry &e) { return e.user == v3.user; });
    if (entries.size() == before) {
      std::fprintf(stderr, "kivo credentials: no saved user '%s'\n", v3.user.c_str());
      return kExitFailed;
    }
    if (!save(entries)) {
      std::fprintf(stderr, "kivo credentials: cannot write %s\n", credentials_path().c_str());
      return kExitFailed;
    }
    return kExitOk;
  }
  args.fail(subst(tr("unknown action '{1}'"), {action}) +
            did_you_mean(action, {"list", "add", "remove"}) + " (list, add, remove)");
}

}  // namespace kivo
