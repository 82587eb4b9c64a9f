// Clocks of the link.
//
// Two clocks with two jobs. The wall clock gives milliseconds since
// 1970-01-01 UTC and is used only where a time travels on the wire (the
// discovery probe, time stamps the device may read back). Every interval and
// time-out inside the viewer reads the steady clock instead, so that a change
// of the system time (NTP step, the operator setting the clock) can neither
// fire a time-out early nor hold one off for hours.
//
// A time-out is tested as `now - stamp > limit` with both values from the same
// steady clock; the steady clock never goes backwards, so the unsigned
// difference never wraps.
//
// All functions are safe to call from any thread at any time; none allocates.
#pragma once

#include <cstdint>

// Milliseconds since 1970-01-01 00:00 UTC (CLOCK_REALTIME).
uint64_t clock_wall_ms(void);

// Milliseconds on the monotonic clock (CLOCK_MONOTONIC); origin unspecified.
uint64_t clock_steady_ms(void);

// Microseconds on the same monotonic clock as clock_steady_ms, for the
// fragment-acknowledgement pacing that needs finer steps than a millisecond.
uint64_t clock_steady_us(void);
