// Names between the clients' character set and the host's UTF-8 names.
#include "fs/fs_names.h"

#include <cerrno>
#include <cstring>

#include "fs/fs.h"
#include "platform/codepage.h"
#include "base/config.h"

uint32_t fs_codepage() {
    return config.codepage ? config.codepage : CODEPAGE_DEFAULT;
}

const char *fs_name_in(const char *path, char *buf) {
    if (config.charset != CHARSET_CODEPAGE) return path;
    if (codepage_to_utf8(fs_codepage(), path, buf, FS_PATH_BYTES) == 0) {
        bool too_long = errno == E2BIG;
        win_set_last_error(too_long ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_NAME);
        errno = too_long ? ENAMETOOLONG : EINVAL;
        return nullptr;
    }
    return buf;
}

void fs_name_out(char *name, uint32_t size) {
    if (config.charset != CHARSET_CODEPAGE) return;
    char out[FS_PATH_BYTES];
    uint32_t n = codepage_from_utf8(fs_codepage(), name, out, size < sizeof out ? size : sizeof out);
    if (n > 0) memcpy(name, out, n);
}
