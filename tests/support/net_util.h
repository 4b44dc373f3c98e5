// Small network helpers shared by the test peers: IPv4 text conversion, UDP sockets made
// inside a network namespace, a liveness probe for SNMP agents, and the steady clock.
#pragma once

#include <netinet/in.h>

#include <string>

namespace kivo8::test {

struct in_addr ipv4(const std::string &dotted);
std::string ipv4_text(struct in_addr address);
sockaddr_in socket_address(const std::string &ip, int port);

// A UDP socket created inside namespace `netns` (empty: the caller's own). A socket stays
// in the namespace it was created in, so only its creation needs the switch. -1 on failure.
int udp_socket_in(const std::string &netns);

// Sends a v2c GET of `oid` and waits briefly for any answer: true when one came.
bool snmp_answers(const std::string &netns, const std::string &ip, int port,
                  const std::string &community, const std::string &oid);

// Writes `text` to `path`, replacing it; false when that failed.
bool write_text_file(const std::string &path, const std::string &text);

// Seconds on the steady clock, for timing checks.
double now_seconds();

}  // namespace kivo8::test
