// kivo status: printer state and supplies read over SNMP.
#pragma once

namespace kivo {

int cmd_status(int argc, char **argv, int first);

}  // namespace kivo
