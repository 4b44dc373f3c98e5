// The exported record made from the decoder's status, and its release.
#pragma once

#include "kivo8/status.h"
#include "status/model.h"

namespace kivo8::status {

// A record that owns copies of everything; null when memory ran out (nothing leaked).
kivo_status *make_record(const Status &status) noexcept;

}  // namespace kivo8::status
