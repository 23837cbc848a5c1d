// The NFS programs: version 2 (RFC 1094) and version 3 (RFC 1813) of
// program 100003, each one table of procedures served by rpc_serve. A
// handler decodes nothing itself: the table's decoder fills an argument
// record, the handler calls the backends (attributes and the open-file
// cache, directory reading, file operations) and fills a result record,
// and the table's encoder writes the reply.
//
// Every request whose file handle names an export with a client list is
// admitted only when the caller's address is on that list (export_admits);
// otherwise it is answered 13 (ACCES). Handles are easy to forge, so MNT
// alone is no guard.
//
// The dispatchers run on the receiving thread (a UDP worker, the select
// loop or a TCP connection thread), several at once; they keep their
// records on that thread's stack and allocate nothing. Shared state is the
// inode table, the open-file cache and the replay slots of the
// non-idempotent procedures, each of which guards itself.
#pragma once

#include <cstdint>

#include "rpc/rpc.h"
#include "rpc/rpc_proc.h"

constexpr uint32_t NFS_PROG = 100003;
constexpr uint32_t NFS_V2 = 2;
constexpr uint32_t NFS_V3 = 3;

// The procedure tables, indexed by procedure number: 18 rows in version 2
// (ROOT and WRITECACHE not served), 22 in version 3.
extern const rpc_program nfs2_program;
extern const rpc_program nfs3_program;

// Serve one decoded call of version 2 or 3 (an rpc_handler for
// rpc_register). An unknown procedure is logged
// "nfsd: error, procedure %d not supported\n" and answered PROC_UNAVAIL;
// arguments that do not decode are logged with the procedure's
// "cannot read args" line and answered GARBAGE_ARGS.
void nfs2_dispatch(xprt *xp, rpc_call *call);
void nfs3_dispatch(xprt *xp, rpc_call *call);
