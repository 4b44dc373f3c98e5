// Running the kivo program as a user would (a scratch HOME, a chosen locale, optionally
// inside a network namespace), and checking what it prints with tools that are not kivo:
// Debian's python3 decodes and parses its JSON; localedef makes a Latin-1 locale.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

inline std::string kivo_program() { return binary_dir() + "/tools/kivo/kivo"; }
inline std::string kivo_catalogue_dir() { return binary_dir() + "/tools/kivo"; }

inline std::string shell_quote(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline std::string read_bytes(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

struct KivoResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs kivo with `args` in `ns` (here when null), HOME set to `home`, every locale
// variable cleared and then `env` ("NAME=value") set.
inline KivoResult run_kivo(const Netns *ns, const TempDir &home, const std::vector<std::string> &args,
                           const std::vector<std::string> &env = {"LANG=C.UTF-8"}) {
  KivoResult r;
  const std::string out = home.file("kivo.out"), err = home.file("kivo.err");
  std::string line = "env -u LANG -u LANGUAGE -u LC_ALL -u LC_CTYPE -u LC_MESSAGES -u COLUMNS HOME=" +
                     shell_quote(home.path());
  for (const auto &e : env) line += " " + shell_quote(e);
  line += " " + shell_quote(kivo_program());
  for (const auto &a : args) line += " " + shell_quote(a);
  line += " >" + shell_quote(out) + " 2>" + shell_quote(err) + " </dev/null";
  r.status = ns != nullptr ? ns->sh(line) : sh(line);
  r.out = read_bytes(out);
  r.err = read_bytes(err);
  return r;
}

// Parses `json` as Python does after a strict UTF-8 decoding and prints the value of the
// Python expression `expr` over it (named `d`) as ASCII-only JSON. `ok` is false when the
// bytes are not UTF-8 or not JSON.
inline std::string json_query(const TempDir &scratch, const std::string &json, const std::string &expr,
                              bool *ok = nullptr) {
  const std::string file = scratch.file("query.json");
  std::ofstream(file, std::ios::binary) << json;
  const std::string script = scratch.file("query.py");
  std::ofstream(script) << "import json, sys\n"
                           "d = json.loads(open(sys.argv[1], 'rb').read().decode('utf-8', 'strict'))\n"
                           "print(json.dumps(" << expr << ", ensure_ascii=True))\n";
  int status = -1;
  std::string text = sh_output("/usr/bin/python3 " + shell_quote(script) + " " + shell_quote(file) +
                                   " 2>" + shell_quote(scratch.file("query.err")),
                               &status);
  if (ok != nullptr) *ok = status == 0;
  EXPECT_EQ(status, 0) << "not UTF-8 JSON: " << read_bytes(scratch.file("query.err")) << "\n" << json;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// A byte that a terminal acts on instead of showing, in text of the given encoding: C0
// but line feed, DEL, and (in UTF-8) the two-byte forms of C1; in a single-byte encoding
// 0x80-0x9F are C1 themselves.
inline std::string first_control(const std::string &text, bool utf8) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    bool bad = (c < 0x20 && c != '\n') || c == 0x7F;
    if (utf8 && c == 0xC2 && i + 1 < text.size()) {
      auto d = static_cast<unsigned char>(text[i + 1]);
      bad = bad || (d >= 0x80 && d <= 0x9F);
    }
    if (!utf8 && c >= 0x80 && c <= 0x9F) bad = true;
    if (bad) {
      char buf[48];
      std::snprintf(buf, sizeof buf, "byte 0x%02x at offset %zu", c, i);
      return buf;
    }
  }
  return "";
}

inline std::vector<std::string> lines_of(const std::string &text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// Characters of UTF-8 text (continuation bytes do not count): the columns of a table
// whose texts are all one column wide.
inline std::size_t utf8_chars(const std::string &s) {
  std::size_t n = 0;
  for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// A de_DE locale in ISO-8859-1, made by localedef into a scratch directory (LOCPATH), so
// that the host's locale set-up is not touched. Empty when localedef is missing or fails.
class Latin1Locale {
 public:
  Latin1Locale() {
    if (find_program("localedef").empty()) return;
    if (sh("localedef -i de_DE -f ISO-8859-1 " + shell_quote(dir_.file(kName)) + " >" +
           shell_quote(dir_.file("localedef.log")) + " 2>&1") > 1)
      return;  // 1 means warnings only
    if (sh("LOCPATH=" + shell_quote(dir_.path()) + " LC_ALL=" + kName +
           " locale charmap 2>/dev/null | grep -qx ISO-8859-1") == 0)
      ok_ = true;
  }
  bool ok() const { return ok_; }
  // The environment that selects it.
  std::vector<std::string> env() const {
    return {"LOCPATH=" + dir_.path(), std::string("LANG=") + kName};
  }

 private:
  static constexpr const char *kName = "de_DE.ISO-8859-1";
  TempDir dir_;
  bool ok_ = false;
};

// The command line that runs kivo with `args` in the C.UTF-8 locale and HOME = `home`.
inline std::string kivo_command(const std::string &home, const std::vector<std::string> &args) {
  std::string command = "HOME=" + shell_quote(home) + " LANG=C.UTF-8 LANGUAGE= LC_ALL= " +
                        shell_quote(kivo_program());
  for (const auto &a : args) command += " " + shell_quote(a);
  return command;
}

// Runs kivo to its end; its output goes through files in `home`.
inline KivoResult run_kivo(const std::string &home, const std::vector<std::string> &args,
                           const Netns *ns = nullptr) {
  const std::string out = home + "/run.out", err = home + "/run.err";
  const std::string line =
      kivo_command(home, args) + " >" + shell_quote(out) + " 2>" + shell_quote(err);
  KivoResult r;
  r.status = ns != nullptr ? ns->sh(line) : sh(line);
  r.out = read_bytes(out);
  r.err = read_bytes(err);
  return r;
}

// The saved targets of the preference file in `home`: each saved line by its id (the
// line's first field), the id itself left out. Lines are read as the store writes them.
inline std::map<int32_t, std::string> saved_targets(const std::string &home) {
  std::map<int32_t, std::string> out;
  std::istringstream lines(read_bytes(home + "/.kivo/kivo2.pref"));
  bool in_section = false;
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == '%') {
      in_section = line == "%network";
      continue;
    }
    const std::size_t eq = line.find('=');
    if (!in_section || eq == std::string::npos || line.compare(0, eq, "total") == 0) continue;
    const std::string value = line.substr(eq + 1);
    const std::size_t comma = value.find(',');
    if (comma == std::string::npos) continue;
    out[int32_t(std::atol(value.substr(0, comma).c_str()))] = value.substr(comma + 1);
  }
  return out;
}

}  // namespace kivo8::test
