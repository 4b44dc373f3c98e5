// How kivo get and kivo walk write a value: exactly as net-snmp's tools do when a program
// reads it (a pipe or a file), with line ends made visible only for a person at a terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "snmp_text.h"

namespace {

struct Case {
  const char *name;
  std::string value;
  std::string for_program;
  std::string for_terminal;
};

TEST(SnmpText, LineEndsAreEscapedOnlyForTheTerminal) {
  const Case cases[] = {
      {"plain text", "Rack 1", "STRING: \"Rack 1\"", "STRING: \"Rack 1\""},
      {"CR LF inside", "Rack 1\r\nRack 2", "STRING: \"Rack 1\r\nRack 2\"",
       "STRING: \"Rack 1\\r\\nRack 2\""},
      {"vertical tab and form feed", "a\vb\fc", "STRING: \"a\vb\fc\"", "STRING: \"a\\vb\\fc\""},
      {"quotes and backslashes escaped both ways", "say \"hi\" \\o/", "STRING: \"say \\\"hi\\\" \\\\o/\"",
       "STRING: \"say \\\"hi\\\" \\\\o/\""},
      {"escape sequence is never text", "x\x1b[2Jy", "Hex-STRING: 78 1B 5B 32 4A 79 ",
       "Hex-STRING: 78 1B 5B 32 4A 79 "},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    snmp_var var{};
    var.type = SNMP_TYPE_OCTET_STR;
    var.value = reinterpret_cast<std::uint8_t *>(const_cast<char *>(c.value.data()));
    var.value_length = static_cast<std::uint32_t>(c.value.size());
    EXPECT_EQ(kivo::value_text(&var, false), c.for_program);
    EXPECT_EQ(kivo::value_text(&var, true), c.for_terminal);
  }
}

}  // namespace
