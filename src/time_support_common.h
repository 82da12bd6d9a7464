#pragma once

#include <cstdint>

// Wall-clock time in milliseconds; on a failed clock read, the negative
// result of gettimeofday converted to uint64_t.
uint64_t timeval_ms();
// A clock that only moves forward, in milliseconds: for deadlines.
uint64_t monotonic_ms();
