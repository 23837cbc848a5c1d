// The runtime's errno numbers on Windows; it has no quota or stale-handle
// numbers, so those conditions never match.
#include "platform/rterrno.h"

#include <cerrno>

const rt_errno_names rt_errno_host = {
    EPERM,  ENOENT, EIO,    ENXIO, EACCES, EEXIST,       EXDEV,     ENODEV, ENOTDIR, EISDIR,
    EINVAL, EFBIG,  ENOSPC, EROFS, EMLINK, ENAMETOOLONG, ENOTEMPTY, -1,     -1,
};
