// Ticks and sleeps: the monotonic millisecond clock that time-outs and cache
// ages are measured with. Thread-safe.
#pragma once

#include <cstdint>

// Milliseconds of a monotonic clock; wraps after about 49.7 days, so compare
// ticks by unsigned difference (now - then), never by order.
uint32_t tick_count();

// Sleeps the calling thread for at least `ms` milliseconds.
void sleep_ms(uint32_t ms);

// Seconds of the wall clock since 1970 (UTC); for marks that must outlive
// the process. May jump when the clock is set.
uint32_t wall_seconds();
