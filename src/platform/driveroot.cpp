// Roots of Windows paths, the same on every host: where a UNC root ends,
// and the type of the drive a root names.
#include <cstring>

#include "platform/drive.h"
#include "platform/winerr.h"

size_t drive_unc_root_length(const char *p) {
    if (p[0] != '\\' || p[1] != '\\') return 0;
    const char *server = p + 2;
    const char *slash = strchr(server, '\\');
    if (!slash || slash == server) return 0;
    const char *share = slash + 1;
    size_t n = strcspn(share, "\\");
    if (n == 0) return 0;
    return size_t(share + n - p);
}

uint32_t drive_type_of(const char *root) {
    drive_info d;
    const char *rest;
    if (drive_lookup(root, &d, &rest) != ERROR_SUCCESS) return DRIVE_NO_ROOT_DIR;
    // "c:\" and "c:" name the root; anything further is not a root.
    if (rest[0] == '\\') rest++;
    if (rest[0] != 0) return DRIVE_NO_ROOT_DIR;
    return d.type;
}
