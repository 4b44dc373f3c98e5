// Internal to the UDP transport; declared here so that its tests can reach it.
#pragma once

#include <sys/time.h>

// result = x - y, microseconds borrowed from the seconds when they would go negative.
void _timeval_subtract(struct timeval *result, const struct timeval *x,
                       const struct timeval *y) noexcept;
