// The two host services of start-up: the socket layer, and the message box,
// which is also a line in the log.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "platform/msgbox.h"
#include "platform/net.h"
#include "rpc/rpc.h"
#include "base/log.h"
#include "program/start.h"
#include "program/start_internal.h"

namespace {

constexpr uint32_t MESSAGE_MAX = 1024;
constexpr const char *LOG_MESSAGE = "%s %s: %s\n";  // time stamp, caption, text

// The process's place in the system's shutdown order: late (0x100), and no
// retry prompt. Nothing on this host reads it; it is kept for the record.
constexpr uint32_t SHUTDOWN_LEVEL = 0x100;
constexpr uint32_t SHUTDOWN_NORETRY = 0x1;
std::atomic<uint32_t> shutdown_level{0};
std::atomic<uint32_t> shutdown_flags{0};

}  // namespace

bool tcpip_init() {
    shutdown_level.store(SHUTDOWN_LEVEL);
    shutdown_flags.store(SHUTDOWN_NORETRY);
    // The socket layer needs no start here; what can fail is making a
    // socket at all (no IPv4, no descriptors left), so try one.
    sock_t s = udp_socket(0, 0);
    if (s == SOCK_INVALID) return false;
    sock_close(s);
    return true;
}

bool show_message(void *owner, uint32_t flags, const char *caption, const char *format, ...) {
    (void)owner;
    (void)flags;
    char text[MESSAGE_MAX];
    va_list ap;
    va_start(ap, format);
    vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    // Logged first: a message box waits for its answer.
    log_printf(START_LOG, LOG_MESSAGE, log_time(), caption, text);
    log_flush();
    msgbox_show(caption, text);
    return true;
}
