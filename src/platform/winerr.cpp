// Last error and the fault-injection seam of the host layer.
#include "platform/winerr.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

thread_local uint32_t last_error = 0;

struct fail_rule {
    char call[32];
    uint32_t error;
    uint32_t count;  // 0: every call
};

constexpr int FAIL_RULES = 16;
std::mutex fail_lock;
fail_rule fail_rules[FAIL_RULES];
int fail_used = 0;
std::atomic<bool> fail_armed{false};

}  // namespace

uint32_t win_last_error() {
    return last_error;
}

void win_set_last_error(uint32_t error) {
    last_error = error;
}

// What a Windows host answers where this host gives `err`. Three rows are
// less obvious than the rest:
// - ELOOP is "path not found": names are opened with O_NOFOLLOW, so ELOOP
//   means a symbolic link stood where a directory was wanted. Such a link is
//   a link file here, an ordinary file, and Windows answers 3 for a path
//   that goes on through a file, as it does for ENOTDIR.
// - EBUSY is a sharing violation: the host refuses because something else
//   holds the file or directory (a mount point, a busy device), which is
//   what Windows reports as another user of the file.
// - ENODEV, ENXIO and ENOMEDIUM are "not ready": the device or medium behind
//   the path is absent, as with a drive without its disk.
uint32_t win_error_from_errno(int err) {
    switch (err) {
        case 0:
            return ERROR_SUCCESS;
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
        case ELOOP:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case ETXTBSY:
            return ERROR_ACCESS_DENIED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EFBIG:
            return ERROR_DISK_FULL;
#ifdef EDQUOT  // not in the Windows runtime
        case EDQUOT:
            return ERROR_NOT_ENOUGH_QUOTA;
#endif
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EROFS:
            return ERROR_WRITE_PROTECT;
        case EXDEV:
            return ERROR_NOT_SAME_DEVICE;
        case EMLINK:
            return ERROR_TOO_MANY_LINKS;
        case EBUSY:
            return ERROR_SHARING_VIOLATION;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case ENOTSUP:
            return ERROR_NOT_SUPPORTED;
        case ENODEV:
        case ENXIO:
#ifdef ENOMEDIUM
        case ENOMEDIUM:
#endif
            return ERROR_NOT_READY;
        default:
            return ERROR_INVALID_FUNCTION;
    }
}

void win_fail_inject(const char *call, uint32_t error, uint32_t count) {
    std::lock_guard<std::mutex> g(fail_lock);
    int slot = -1;
    for (int i = 0; i < fail_used; i++)
        if (strcmp(fail_rules[i].call, call) == 0) slot = i;
    if (slot < 0) {
        if (fail_used == FAIL_RULES) return;
        slot = fail_used++;
    }
    fail_rule &r = fail_rules[slot];
    snprintf(r.call, sizeof r.call, "%s", call);
    r.error = error;
    r.count = count;
    fail_armed.store(true, std::memory_order_release);
}

void win_fail_clear() {
    std::lock_guard<std::mutex> g(fail_lock);
    fail_used = 0;
    fail_armed.store(false, std::memory_order_release);
}

bool win_fail_check(const char *call, uint32_t *error) {
    if (!fail_armed.load(std::memory_order_acquire)) return false;
    std::lock_guard<std::mutex> g(fail_lock);
    for (int i = 0; i < fail_used; i++) {
        fail_rule &r = fail_rules[i];
        if (strcmp(r.call, call) != 0) continue;
        *error = r.error;
        if (r.count > 0 && --r.count == 0) {
            r = fail_rules[--fail_used];
            if (fail_used == 0) fail_armed.store(false, std::memory_order_release);
        }
        if (call[0] != '_') last_error = *error;
        return true;
    }
    return false;
}
