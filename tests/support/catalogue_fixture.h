// Catalogue files for the translation tests: compiled from PO text by kivo-mkcat, or
// laid out byte by byte for files that the compiler would never write.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "support/peers.h"

namespace kivo8::test {

inline std::string mkcat_program() { return binary_dir() + "/tools/kivo-mkcat"; }

inline void write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string po_header(const std::string &charset) {
  return "msgid \"\"\nmsgstr \"\"\n"
         "\"Project-Id-Version: kivo8 test\\n\"\n"
         "\"PO-Revision-Date: 2026-01-01 00:00+0000\\n\"\n"
         "\"Last-Translator: Test <test@example.org>\\n\"\n"
         "\"Language-Team: Test <test@example.org>\\n\"\n"
         "\"Language: xx\\n\"\n"
         "\"MIME-Version: 1.0\\n\"\n"
         "\"Content-Type: text/plain; charset=" + charset + "\\n\"\n"
         "\"Content-Transfer-Encoding: 8bit\\n\"\n\n";
}

// Compiles `po` (raw bytes, in whatever encoding its header names) into `cvt_path`.
inline void compile_po(const std::string &po, const std::string &cvt_path) {
  std::string po_path = cvt_path + ".po";
  write_file(po_path, po);
  ASSERT_EQ(sh("'" + mkcat_program() + "' -o '" + cvt_path + "' '" + po_path + "' 2>/dev/null"), 0)
      << po;
}

inline void put_le32(std::string &out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A catalogue laid out by hand: pairs in the given order (repeats kept), each key
// followed by its translation in the pool.
inline std::string raw_catalogue(const std::vector<std::pair<std::string, std::string>> &pairs,
                                 bool reversed_magic = false) {
  std::string out = reversed_magic ? std::string("\x13\x02\x64\x19", 4) : std::string("\x19\x64\x02\x13", 4);
  put_le32(out, static_cast<std::uint32_t>(pairs.size()));
  std::string pool;
  for (const auto &[k, v] : pairs) {
    put_le32(out, static_cast<std::uint32_t>(pool.size()));
    pool += k;
    pool += '\0';
    put_le32(out, static_cast<std::uint32_t>(pool.size()));
    pool += v;
    pool += '\0';
  }
  return out + pool;
}

// A text converted by the system's iconv program, as an independent reference.
inline std::string iconv_text(const std::string &text, const std::string &from,
                              const std::string &to) {
  TempDir dir;
  write_file(dir.file("in"), text);
  return sh_output("iconv -f " + from + " -t " + to + " '" + dir.file("in") + "'");
}

}  // namespace kivo8::test
