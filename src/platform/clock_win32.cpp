// Ticks and sleeps on Windows: GetTickCount wraps after 49.7 days exactly as
// the header says, and Sleep is never cut short by a signal.
#include "platform/clock.h"

#include <windows.h>

uint32_t tick_count() {
    return GetTickCount();
}

void sleep_ms(uint32_t ms) {
    Sleep(ms);
}

uint32_t wall_seconds() {
    // File time: 100 ns units since 1601; the Unix epoch is 11644473600 s later.
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    uint64_t t = (uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime) / 10000000u;
    return uint32_t(t - 11644473600ull);
}
