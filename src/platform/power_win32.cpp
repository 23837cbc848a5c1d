// The stay-awake request on Windows: the thread execution state. The request
// is also recorded, as on Linux, so that the select loop's use of it can be
// read back.
#include "platform/power.h"

#include <windows.h>

uint32_t power_set_state(uint32_t flags) {
    SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags));
    return power_record(flags);
}
