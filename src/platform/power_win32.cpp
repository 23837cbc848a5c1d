// The stay-awake request on Windows: the thread execution state. The request
// is also recorded, as on Linux, so that the select loop's use of it can be
// read back.
#include "platform/power.h"

#include <windows.h>

#include <atomic>

namespace {
std::atomic<uint32_t> last_state{0};
std::atomic<uint32_t> requests{0};
}  // namespace

uint32_t power_set_state(uint32_t flags) {
    SetThreadExecutionState(static_cast<EXECUTION_STATE>(flags));
    requests.fetch_add(1);
    return last_state.exchange(flags);
}

uint32_t power_state() {
    return last_state.load();
}

uint32_t power_request_count() {
    return requests.load();
}
