// Variable bindings and request failures as text, in the style of net-snmp's command-line
// tools with numeric names (snmpget -On), so that the two can be compared line by line.
#pragma once

#include <string>

#include "kivo8/snmp_sess.h"

namespace kivo {

// ".1.3.6.1.2.1.1.1.0 = STRING: \"...\"" without a line end.
std::string binding_line(const snmp_var *var);
// The value part alone (what follows " = ").
std::string value_text(const snmp_var *var);
// A session code as a sentence; `host` names the agent for a time-out.
std::string session_error_text(int code, const std::string &host);
// "(noSuchName) There is no such variable name in this MIB."
std::string error_status_text(int errstat);

}  // namespace kivo
