// NFS status numbers: those of version 2, shared by version 3, plus the two
// version 3 additions the server answers with.
#pragma once

#include <cstdint>

enum : uint32_t {
    NFS_OK = 0,
    NFSERR_PERM = 1,
    NFSERR_NOENT = 2,
    NFSERR_IO = 5,
    NFSERR_NXIO = 6,
    NFSERR_ACCES = 13,
    NFSERR_EXIST = 17,
    NFSERR_XDEV = 18,
    NFSERR_NODEV = 19,
    NFSERR_NOTDIR = 20,
    NFSERR_ISDIR = 21,
    NFSERR_INVAL = 22,
    NFSERR_FBIG = 27,
    NFSERR_NOSPC = 28,
    NFSERR_ROFS = 30,
    NFSERR_MLINK = 31,
    NFSERR_NAMETOOLONG = 63,
    NFSERR_NOTEMPTY = 66,
    NFSERR_DQUOT = 69,
    NFSERR_STALE = 70,
    NFSERR_NOTSUPP = 10004,
    NFSERR_BADTYPE = 10007,
    // A passing shortage (descriptors, memory): version 3 clients retry
    // later; version 2 has no such answer and says 5 (IO).
    NFSERR_JUKEBOX = 10008,
};
