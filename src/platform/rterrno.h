// The host's errno numbers for the conditions the layers above tell apart
// after a failed runtime file call (rtfile.h), so that they can map them by
// name without the host's errno header. A condition the host has no number
// for is -1, which no errno equals.
#pragma once

struct rt_errno_names {
    int perm, noent, io, nxio, acces, exist, xdev, nodev, notdir, isdir, inval, fbig, nospc, rofs,
        mlink, nametoolong, notempty, dquot, stale;
    // Passing shortages: descriptors of the process or the system, memory.
    int mfile, nfile, nomem;
};

extern const rt_errno_names rt_errno_host;
