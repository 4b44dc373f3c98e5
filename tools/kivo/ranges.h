// Address ranges as kivo's commands take them: FIRST-LAST, ADDRESS/BITS (CIDR) or one
// address, on the command line and in hosts files (where host names are looked up too).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "args.h"

namespace kivo {

struct Range {
  std::uint32_t first = 0, last = 0;  // host order, first <= last
  std::uint64_t size() const { return std::uint64_t{last} - first + 1; }
};

// FIRST-LAST or ADDRESS/BITS, or a single ADDRESS when `single_allowed`; nothing, with
// the reason (translated) in `error`, otherwise.
std::optional<Range> parse_range(const std::string &text, bool single_allowed, std::string &error);

// The range `text` names, at most `largest` addresses; a usage error otherwise.
Range checked_range(const CommandErrors &errors, const std::string &text, bool single_allowed,
                    std::uint64_t largest);

// The addresses, ranges and host names of a hosts file (`-`: standard input), one a
// line, `#` starting a comment. A host name is looked up (IPv4) and stands for every
// address it has. Neighbouring and overlapping ranges become one. A line that is none of
// these, or a name that does not resolve, is a usage error naming the file and line.
std::vector<Range> read_hosts_file(const CommandErrors &errors, const std::string &path,
                                   std::uint64_t largest);

// "10.0.0.0/24" when the range is exactly one CIDR block, else "FIRST-LAST".
std::string range_text(const Range &range);

}  // namespace kivo
