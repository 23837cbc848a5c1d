// The tables that turn host failures into NFS status numbers
// (names/nfs_status.h). Both are plain look-ups, thread-safe.
#pragma once

#include <cstdint>

// NFS status of a Windows error code (2, 3, 15, 18, 161 NOENT; 5, 16, 20-36,
// 82, 108 ACCES; 19 ROFS; 55 NODEV; 80, 183 EXIST; 112 NOSPC; 145 NOTEMPTY;
// 206 NAMETOOLONG; 1816 DQUOT; 267 NOTDIR; any other IO).
uint32_t win_error_status(uint32_t code);
// NFS status of a host errno left by a runtime file call (rtfile.h):
// ENAMETOOLONG 63, ENOTEMPTY 66, EDQUOT 69, ESTALE 70; EPERM, ENOENT, EIO,
// ENXIO, EACCES, EEXIST, EXDEV, ENODEV, ENOTDIR, EISDIR, EINVAL, EFBIG,
// ENOSPC, EROFS and EMLINK as the NFS status of the same name; any other 5.
uint32_t errno_status(int number);
