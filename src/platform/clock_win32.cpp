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
