// Millisecond time of the device library: the wall clock, a monotonic clock
// for measuring intervals, and sleeping.
#pragma once

#include <cstdint>

#include "common/aError.h"

// Wall-clock milliseconds since 1970-01-01 00:00 UTC; 0 when the clock cannot
// be read. It jumps when the clock is set: measure intervals and time-outs
// with aTime_GetMonotonicMSTicks.
uint64_t aTime_GetMSTicks(void);

// Milliseconds of a clock that never goes back, from an arbitrary start.
uint64_t aTime_GetMonotonicMSTicks(void);

// Sleeps for the given milliseconds; 0 returns at once.
aErr aTime_MSSleep(uint64_t milliseconds);
