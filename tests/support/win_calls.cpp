#include "support/win_calls.h"

#include "platform/winfile.h"

uint32_t fails(bool ok) {
    return ok ? kSucceeded : win_last_error();
}

uint32_t attr_fails(const std::string &path) {
    return fails(win_get_file_attributes(path.c_str()) != INVALID_FILE_ATTRIBUTES);
}

uint32_t open_fails(const std::string &path, uint32_t access, uint32_t disposition,
                    uint32_t flags, uint32_t share) {
    win_handle h = win_create_file(path.c_str(), access, share, disposition, flags);
    if (h == INVALID_HANDLE_VALUE) return win_last_error();
    win_close_handle(h);
    return kSucceeded;
}
