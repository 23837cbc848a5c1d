// Windows error codes and runtime errno values as NFS status numbers.
#include "nfsd/attr_status.h"

#include "names/nfs_status.h"
#include "platform/rterrno.h"
#include "platform/winerr.h"

namespace {

// Windows codes the host layer never produces but a Windows host does.
constexpr uint32_t WIN_BAD_UNIT = 20;  // first of 20..36: unit, media, sharing, lock
constexpr uint32_t WIN_SHARING_BUFFER_EXCEEDED = 36;
constexpr uint32_t WIN_DEV_NOT_EXIST = 55;
constexpr uint32_t WIN_CANNOT_MAKE = 82;
constexpr uint32_t WIN_DRIVE_LOCKED = 108;

}  // namespace

uint32_t win_error_status(uint32_t code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_NO_MORE_FILES:
        case ERROR_BAD_PATHNAME:
            return NFSERR_NOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_CURRENT_DIRECTORY:
        case WIN_CANNOT_MAKE:
        case WIN_DRIVE_LOCKED:
            return NFSERR_ACCES;
        case ERROR_WRITE_PROTECT:
            return NFSERR_ROFS;
        case WIN_DEV_NOT_EXIST:
            return NFSERR_NODEV;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return NFSERR_EXIST;
        case ERROR_DISK_FULL:
            return NFSERR_NOSPC;
        case ERROR_DIR_NOT_EMPTY:
            return NFSERR_NOTEMPTY;
        case ERROR_FILENAME_EXCED_RANGE:
            return NFSERR_NAMETOOLONG;
        case ERROR_NOT_ENOUGH_QUOTA:
            return NFSERR_DQUOT;
        case ERROR_DIRECTORY:
            return NFSERR_NOTDIR;
        default:
            break;
    }
    // 20 to 36: bad unit, not ready, CRC, sharing and lock violations and
    // their like; the client can only be told it may not have the file.
    if (code >= WIN_BAD_UNIT && code <= WIN_SHARING_BUFFER_EXCEEDED) return NFSERR_ACCES;
    return NFSERR_IO;
}

uint32_t errno_status(int number) {
    const rt_errno_names &e = rt_errno_host;
    // Host errno by name against NFS status: the runtime library's numbers
    // of the first group equal the NFS ones, the others differ.
    const struct {
        int host;
        uint32_t status;
    } table[] = {
        {e.perm, NFSERR_PERM},       {e.noent, NFSERR_NOENT},   {e.io, NFSERR_IO},
        {e.nxio, NFSERR_NXIO},       {e.acces, NFSERR_ACCES},   {e.exist, NFSERR_EXIST},
        {e.xdev, NFSERR_XDEV},       {e.nodev, NFSERR_NODEV},   {e.notdir, NFSERR_NOTDIR},
        {e.isdir, NFSERR_ISDIR},     {e.inval, NFSERR_INVAL},   {e.fbig, NFSERR_FBIG},
        {e.nospc, NFSERR_NOSPC},     {e.rofs, NFSERR_ROFS},     {e.mlink, NFSERR_MLINK},
        {e.nametoolong, NFSERR_NAMETOOLONG}, {e.notempty, NFSERR_NOTEMPTY},
        {e.dquot, NFSERR_DQUOT},     {e.stale, NFSERR_STALE},
    };
    for (const auto &row : table)
        if (row.host == number && number > 0) return row.status;
    // No NFS meaning (EBADF, EMFILE, ...): the client can only be told it failed.
    return NFSERR_IO;
}
