// The record of stay-awake requests, the same on every host, so that the
// select loop's power handling can be read back.
#include "platform/power.h"

#include <atomic>

namespace {
std::atomic<uint32_t> last_state{0};
std::atomic<uint32_t> requests{0};
}  // namespace

uint32_t power_record(uint32_t flags) {
    requests.fetch_add(1);
    return last_state.exchange(flags);
}

uint32_t power_state() {
    return last_state.load();
}

uint32_t power_request_count() {
    return requests.load();
}
