// A scratch home directory with the preference directory set up in it, and helpers to put
// fixture contents into the preference file and read it back byte for byte.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "kivo8/preference.h"
#include "support/peers.h"

namespace kivo8::test {

class PrefHome {
 public:
  PrefHome() {
    setenv("HOME", home_.path().c_str(), 1);
    ok_ = lanset_set_preference_dir() == 0;
  }
  bool ready() const { return ok_; }
  std::string home() const { return home_.path(); }
  std::string dir() const { return home_.path() + "/.kivo"; }
  std::string file() const { return dir() + "/kivo2.pref"; }
  std::string temp() const { return file() + "~"; }

  void put(const std::string &content) const { write_file(file(), content); }
  std::optional<std::string> contents() const { return read_file(file()); }

  static void write_file(const std::string &path, const std::string &content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
  }
  static std::optional<std::string> read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static bool exists(const std::string &path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

 private:
  TempDir home_;
  bool ok_ = false;
};

}  // namespace kivo8::test
