// A scratch home directory with the preference directory set up in it, and helpers to put
// fixture contents into the preference file and read it back byte for byte.
#pragma once

#include <dirent.h>
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
  // The temporary file name that writers used before each took a name of its own; one
  // left at this name is stale like any other.
  std::string temp() const { return file() + "~"; }
  std::string lock_file() const { return file() + ".lock"; }
  // Whether any writer's temporary file (kivo2.pref~...) is in the directory.
  bool temp_left() const {
    DIR *d = opendir(dir().c_str());
    if (d == nullptr) return false;
    bool found = false;
    while (const dirent *e = readdir(d))
      if (std::string(e->d_name).rfind("kivo2.pref~", 0) == 0) found = true;
    closedir(d);
    return found;
  }

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
