// Directory reading: version 2 READDIR, version 3 READDIR and READDIRPLUS.
//
// A listing is not read from the disk at reply time. It is served from the
// inode table's list of children of the directory (sorted by name, letters
// without case), and a request with cookie 0 first rescans the Windows
// directory into that list, unless a scan of the same directory ended less
// than 1001 ms before (clients revalidate a directory with bursts of such
// requests, and the burst costs one scan).
//
// Cookies are positions: "." is 1; ".." is 2 and exists only when the
// directory's record has a parent; with d dot entries (1 or 2) the child at
// position k (from 0) is d + 1 + k. Positions move when the directory
// changes between two scans, the price of small cookies and cheap replies.
// No cookie is ever refused: one past the end gives an empty listing with
// eof TRUE, and version 3 cookie verifiers are 8 zero bytes, never checked.
// A continuation normally resumes from a remembered position (the child
// that did not fit into the previous reply), so that a whole listing costs
// the same per entry whatever the size of the directory.
//
// The procedure tables build their READDIR rows from the pieces below: an
// argument decoder, a handler (rpc_run) that fills an nfs_dirlist, and the
// encoder that writes the reply from it. Every call here is thread-safe.
// Scans of one directory are serialised through the directory's scan flag in
// the inode table (a second scanner waits for the first and then serves the
// list it left); scans of different directories run in parallel.
#pragma once

#include <cstdint>

#include "fh/fh.h"
#include "nfsd/attr.h"
#include "nfsd/request.h"
#include "rpc/rpc.h"

// RFC 1813: not even one entry fits into the reply size the client allowed.
constexpr uint32_t NFS3ERR_TOOSMALL = 10012;

// The decoded arguments of the three procedures.
struct nfs_readdir_args {
    uint8_t fh[FH_SIZE];  // the directory; version 3 handles fill the first 16 bytes
    uint32_t cookie;      // low 32 bits of a version 3 cookie
    uint32_t count;       // count, or READDIRPLUS maxcount
    uint32_t dircount;    // READDIRPLUS only
};

// The result record the encoders write from (it fits rpc_serve's result
// area). READDIRPLUS entries, whose attributes come from the disk, are
// written by the procedure at their place in the reply; the encoder adds
// what surrounds them.
struct nfs_dirlist {
    uint32_t status;     // nfs_readdir's answer
    uint32_t dir;        // the directory's inode number
    uint32_t export_id;  // of the request's handle: READDIRPLUS handles are made in it
    uint32_t cookie;     // the request's cookie
    uint32_t first;      // the first child to list (nfs_readdir)
    uint32_t count;      // reply size limit after nfs_dir_limit
    uint32_t dircount;   // READDIRPLUS: limit of names, cookies and ids
    uint32_t dir_attr_ok;  // version 3: the directory's attributes were read
    nfs_attr dir_attr;
    const uint8_t *plus;   // READDIRPLUS: the entries written, plus_length bytes
    uint32_t plus_length;
    uint32_t plus_eof;     // the entries reach the end of the list
    uint32_t plus_wrote;   // at least one entry was written
};

// ---- Positioning and scanning -------------------------------------------

// Resolves the directory handle and positions the listing. Answers 70
// (STALE) when the handle names no valid record in its export. Cookie 0
// rescans the directory (nfs_getdir) unless a scan of the same directory
// ended less than 1001 ms before (only the last directory scanned is
// remembered), and answers the scan's failure; *first is the first child
// then. Any other cookie never scans: *first is the child after
// the entry with that cookie (0 past the end). A cookie below the dot
// entries' count continues with the dot entries still missing.
uint32_t nfs_readdir(nfs_object *dir, uint32_t cookie, uint32_t *first);

// Scans the Windows directory `dir` (resolved; 2 when it is not) into the
// inode table:
// every listed name that the name rules accept (lower-cased under
// -lowercase) is found or added as a child; children no longer listed are
// removed with their subtrees, unless their file is found on disk after all
// (it was created while the scan ran). Idle cached open files of the
// export's volume are closed first, so that later attribute reads are
// current. Answers 0; 2 (NOENT) when the path cannot be built or the
// directory cannot be opened ("nfs_getdir: %s error %u\n", log level 2);
// 5 (IO) when the listing breaks off midway (the same log line; nothing is
// removed); 6 (NXIO) when the export's removable volume changed or the inode
// table shuts down during the scan or the wait. While another thread scans
// the same directory this one waits (50 ms polls, at most 30 s) and answers
// 0 when that scan ends.
uint32_t nfs_getdir(nfs_object *dir);

// The reply size of a request: `count`, or "Datasize" when it is 0 or
// larger.
uint32_t nfs_dir_limit(uint32_t count);

// Tests: forgets the last scan and every remembered continuation.
void nfs_scan_forget();

// ---- Handlers and encoders ---------------------------------------------

// Fills `list` for one request on the directory `dir` (bound to args->fh):
// nfs_readdir and the limits; for version 3 (NFS_DIR_V3, NFS_DIR_PLUS) also
// the directory's attributes (read after the scan). For READDIRPLUS it then
// writes the entries, each with its attributes and handle, where they go
// in the result that the encoder will write at `body` (`room` bytes). A
// READDIRPLUS dircount of 0 sets no limit of its own.
enum : uint32_t { NFS_DIR_V2 = 2, NFS_DIR_V3 = 3, NFS_DIR_PLUS = 4 };
void nfs_dirlist_fill(nfs_dirlist *list, const nfs_readdir_args *args, nfs_object *dir,
                      uint32_t form, uint8_t *body, uint32_t room);

// Argument decoders (rpc_decoder): v2 handle (32 bytes), cookie, count; v3
// nfs_fh3 (length 16 only), cookie3, cookieverf3, count; READDIRPLUS the
// same with dircount and maxcount. False when the arguments are short or a
// handle length is not 16.
bool nfs2_readdir_decode(rpc_call *call, void *args);
bool nfs3_readdir_decode(rpc_call *call, void *args);
bool nfs3_readdirplus_decode(rpc_call *call, void *args);

// Encoders (rpc_encoder) of RFC 1094 readdirres, RFC 1813 READDIR3res and
// READDIRPLUS3res. On a non-zero status only the status (version 3: and the
// directory's post_op_attr) is written. Entries follow in list order while
// they fit: a reply never exceeds max(count, 164) + 8 bytes, and nothing is
// written past that bound either, so with the largest RPC header (424
// bytes) it fits any transport buffer of "Datasize" + 512 bytes. "." and
// ".." of a cookie-0 READDIR are written without a size test; every READDIRPLUS entry is tested, and also against dircount
// counting names but not attributes and handles. When the walk stops for
// size, eof is FALSE and the position is remembered for the continuation;
// when not a single entry fits, version 3 answers 10012 (TOOSMALL). The
// child list is read under the table lock; READDIRPLUS holds it only while
// it reads a name and a link, never while it reads attributes.
// The READDIRPLUS walk itself, run by nfs_dirlist_fill: entries behind the
// first `len` bytes of the result at `out`, which has `room` bytes.
void nfs_plus_walk(nfs_dirlist *l, nfs_object *dir, uint8_t *out, uint32_t room, uint32_t len);
void xdr_readdirres(xdr_out *out, const void *result);
void xdr_readdir3res(xdr_out *out, const void *result);
void xdr_readdirplus3res(xdr_out *out, const void *result);
