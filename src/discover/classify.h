// The one place that says what a discovered device is and what it is called.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "discover/search.h"

namespace kivo::discover {

// Kind, maker, model, product name and device-id fields of `device` from everything known
// about it (SNMP answers, SLP URLs, DNS-SD services, the SNMPv3 engine id): the same
// facts give the same result whichever searches brought them. A printer is what its SNMP
// description showed (the searches that read it set Kind::kPrinter) or what announced a
// printer service; an SNMPv3 agent known only by its engine id is of unknown kind.
void classify(Device &device);

// The maker that an SNMPv3 engine id names: an id whose first bit is set (the RFC 3411
// form) carries the agent's enterprise number in its first four octets, as does the
// older 12-octet form. Empty when the id has neither form or the number is not a known
// maker's.
std::string_view maker_of_engine_id(std::span<const std::uint8_t> engine_id);

}  // namespace kivo::discover
