// Variable bindings and request failures as text, in the style of net-snmp's command-line
// tools with numeric names (snmpget -On), so that the two can be compared line by line.
#pragma once

#include <string>

#include "kivo8/snmp_sess.h"

namespace kivo {

// ".1.3.6.1.2.1.1.1.0 = STRING: \"...\"" without a line end. For a terminal
// (`for_terminal`), line ends and the other cursor movers inside a string are written as
// escapes, so that one binding is one line and no agent can overwrite or fake a line; for
// a pipe or a file the value is exactly what net-snmp's tools print, as `ls` does it.
std::string binding_line(const snmp_var *var, bool for_terminal);
// The value part alone (what follows " = ").
std::string value_text(const snmp_var *var, bool for_terminal);
// A session code as a sentence; `host` names the agent for a time-out.
std::string session_error_text(int code, const std::string &host);
// "(noSuchName) There is no such variable name in this MIB."
std::string error_status_text(int errstat);

}  // namespace kivo
