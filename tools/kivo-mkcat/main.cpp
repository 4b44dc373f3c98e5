// kivo-mkcat: compiles a gettext PO file into a translation catalogue (.cvt) and dumps a
// catalogue back to PO text, so that translators keep working with the usual PO tools.
//
//   kivo-mkcat -o OUT.cvt IN.po          compile
//   kivo-mkcat --dump [-o OUT.po] IN.cvt dump (standard output without -o)
//
// Compiling keeps translated messages only: fuzzy and untranslated ones are left out, and
// so are messages with a context, which the catalogue format cannot tell apart. The PO
// header's charset becomes the "__character_encoding__" entry.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kivo8/transtext.h"
#include "po.h"

namespace {

constexpr char kEncodingKey[] = "__character_encoding__";

void put_le32(std::string &out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool read_file(const std::string &path, std::string &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  out = s.str();
  return !in.bad();
}

bool write_file(const std::string &path, const std::string &bytes) {
  if (path == "-") {
    std::cout.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(std::cout.flush());
  }
  std::string tmp = path + ".tmp";
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush())
      return false;
  }
  return std::rename(tmp.c_str(), path.c_str()) == 0;
}

// Layout: magic, count, (key offset, translation offset) per message, then the strings,
// each key followed by its translation.
std::string build_catalogue(const mkcat::PoFile &po) {
  std::vector<mkcat::PoMessage> all;
  if (!po.charset.empty()) all.push_back({kEncodingKey, po.charset});
  all.insert(all.end(), po.messages.begin(), po.messages.end());
  std::string head = "\x19\x64\x02\x13";
  put_le32(head, static_cast<std::uint32_t>(all.size()));
  std::string pool;
  for (const auto &m : all) {
    put_le32(head, static_cast<std::uint32_t>(pool.size()));
    pool += m.id;
    pool += '\0';
    put_le32(head, static_cast<std::uint32_t>(pool.size()));
    pool += m.str;
    pool += '\0';
  }
  return head + pool;
}

int compile(const std::string &in, const std::string &out) {
  std::string text;
  if (!read_file(in, text)) {
    std::cerr << "kivo-mkcat: cannot read " << in << "\n";
    return 1;
  }
  mkcat::PoFile po;
  std::string error;
  if (!mkcat::parse_po(text, po, error)) {
    std::cerr << in << ":" << error << "\n";
    return 1;
  }
  if (!write_file(out, build_catalogue(po))) {
    std::cerr << "kivo-mkcat: cannot write " << out << "\n";
    return 1;
  }
  std::cerr << po.messages.size() << " translated messages";
  if (po.fuzzy) std::cerr << ", " << po.fuzzy << " fuzzy left out";
  if (po.untranslated) std::cerr << ", " << po.untranslated << " untranslated left out";
  if (po.with_context) std::cerr << ", " << po.with_context << " with a context left out";
  std::cerr << ".\n";
  return 0;
}

int dump(const std::string &in, const std::string &out) {
  transtext_table *table = transtext_new_table_nolang("", in.c_str());
  if (table == nullptr) {
    std::cerr << "kivo-mkcat: " << in << " is not a readable catalogue\n";
    return 1;
  }
  // The buckets hold the entries that lookups find (the first of any repeated key);
  // print them in file order.
  std::vector<const transtext_entry *> entries;
  for (std::uint32_t i = 1; i <= table->size; ++i)
    if (table->buckets[i].hash_value != 0) entries.push_back(table->buckets[i].entry);
  std::sort(entries.begin(), entries.end());
  std::string charset = "ISO-8859-1";
  const char *code = transtext_translate(table, kEncodingKey);
  if (code != kEncodingKey) charset = code;

  std::string po = "msgid \"\"\nmsgstr \"\"\n\"MIME-Version: 1.0\\n\"\n";
  po += "\"Content-Type: text/plain; charset=" + charset + "\\n\"\n";
  po += "\"Content-Transfer-Encoding: 8bit\\n\"\n";
  for (const transtext_entry *e : entries) {
    std::string key = table->strings + e->key_offset;
    if (key == kEncodingKey || key.empty()) continue;
    po += "\nmsgid " + mkcat::po_quote(key) + "\n";
    po += "msgstr " + mkcat::po_quote(table->strings + e->translation_offset) + "\n";
  }
  transtext_free(table);
  if (!write_file(out, po)) {
    std::cerr << "kivo-mkcat: cannot write " << out << "\n";
    return 1;
  }
  return 0;
}

int usage() {
  std::cerr << "usage: kivo-mkcat -o OUT.cvt IN.po\n"
               "       kivo-mkcat --dump [-o OUT.po] IN.cvt\n";
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  bool dumping = false;
  std::string out, in;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--dump") {
      dumping = true;
    } else if (a == "-o" && i + 1 < argc) {
      out = argv[++i];
    } else if (a == "-h" || a == "--help") {
      usage();
      return 0;
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return usage();
    } else if (in.empty()) {
      in = a;
    } else {
      return usage();
    }
  }
  if (in.empty()) return usage();
  if (dumping) return dump(in, out.empty() ? "-" : out);
  if (out.empty()) return usage();
  return compile(in, out);
}
