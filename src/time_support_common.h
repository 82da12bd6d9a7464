#pragma once

#include <cstdint>

// A clock that only moves forward, in milliseconds: for deadlines.
uint64_t monotonic_ms();
// The same clock in microseconds: for durations.
uint64_t monotonic_us();
