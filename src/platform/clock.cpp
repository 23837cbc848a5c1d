// The tick count on this host: CLOCK_MONOTONIC, so that changing the wall
// clock never ages a cache entry or ends a time-out early.
#include "platform/clock.h"

#include <time.h>

#include <cerrno>

uint32_t tick_count() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + ts.tv_nsec / 1000000;
    return static_cast<uint32_t>(ms);
}

void sleep_ms(uint32_t ms) {
    struct timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000;
    // A signal must not cut the sleep short.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

uint32_t wall_seconds() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<uint32_t>(ts.tv_sec);
}
