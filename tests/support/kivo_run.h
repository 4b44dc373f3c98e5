// Running the kivo program with a scratch HOME, and reading back the targets it saved
// there (straight from the preference file, so that checks do not depend on how kivo
// prints its list).
#pragma once

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

inline std::string shell_quote(const std::string &s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

inline std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

struct KivoResult {
  int status = -1;
  std::string out;
  std::string err;
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
  r.out = slurp(out);
  r.err = slurp(err);
  return r;
}

// The saved targets of the preference file in `home`: each saved line by its id (the
// line's first field), the id itself left out. Lines are read as the store writes them.
inline std::map<int32_t, std::string> saved_targets(const std::string &home) {
  std::map<int32_t, std::string> out;
  std::istringstream lines(slurp(home + "/.kivo/kivo2.pref"));
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
