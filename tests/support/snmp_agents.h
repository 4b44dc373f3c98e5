// SNMP peers for tests, one header: net-snmp's snmpd on loopback, snmpsim agents inside
// network namespaces, a hub network of namespaces joined by a bridge, crafted messages and
// a scripted UDP responder that answers with bytes the test crafts. Each has a header of
// its own; include the one a test needs.
//
// Every peer is a process or thread owned by an RAII object and ended by pid or by join,
// also when the test fails.
#pragma once

#include "support/hub_network.h"
#include "support/net_util.h"
#include "support/snmp_craft.h"
#include "support/snmpd.h"
#include "support/snmpsim.h"
#include "support/udp_responder.h"
