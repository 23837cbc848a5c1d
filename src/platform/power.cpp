// On Linux the stay-awake request has no effect (nothing sleeps on our
// behalf); it is only recorded.
#include "platform/power.h"

uint32_t power_set_state(uint32_t flags) {
    return power_record(flags);
}
