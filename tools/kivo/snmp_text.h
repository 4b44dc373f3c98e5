// Variable bindings and request failures as text, in the style of net-snmp's command-line
// tools with numeric names (snmpget -On), so that the two can be compared line by line.
#pragma once

#include <string>

#include "kivo8/snmp_sess.h"

namespace kivo {

// ".1.3.6.1.2.1.1.1.0 = STRING: \"...\"" without a line end. For a `terminal` the line
// ends and other cursor movers inside a string are written as escapes (\r \n \v \f);
// otherwise the bytes are net-snmp's exactly.
std::string binding_line(const snmp_var *var, bool terminal);
// The value part alone (what follows " = ").
std::string value_text(const snmp_var *var, bool terminal);
// A session code as a sentence; `host` names the agent and `how` the way it was asked
// ("SNMPv1, community 'public'") for a time-out.
std::string session_error_text(int code, const std::string &host, const std::string &how = "");
// "(noSuchName) There is no such variable name in this MIB."
std::string error_status_text(int errstat);

}  // namespace kivo
