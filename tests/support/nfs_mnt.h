// A small MOUNT program for NFS test fixtures, until the server's own mount
// service is at hand: NULL, MNT, UMNT, UMNTALL and EXPORT of versions 1
// and 3, enough for a client to get an export's root handle. MNT admits a client as the
// server does (export_check) and answers the export's root handle.
#pragma once

#include <cstdint>

#include "rpc/rpc.h"

constexpr uint32_t NFS_MNT_PROG = 100005;

// rpc_handler of versions 1 and 3.
void nfs_mnt1_dispatch(xprt *xp, rpc_call *call);
void nfs_mnt3_dispatch(xprt *xp, rpc_call *call);
