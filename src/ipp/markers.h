// The state and markers of a Get-Printer-Attributes answer, taken out for the status
// record.
#pragma once

#include "ipp/message.h"
#include "status/ipp.h"

namespace kivo8::ipp {

// printer-state, printer-state-reasons and marker-names, -types, -colors, -levels as the
// answer gave them; values of the wrong type are left out (a level that is not an integer
// is kept as a gap, so that the lists stay in step). Lists and texts are capped.
kivo8::status::IppMarkers markers_of(const Message &m);

}  // namespace kivo8::ipp
