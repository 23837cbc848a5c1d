// Reading and writing files for NFS READ, WRITE and COMMIT through the
// open-file cache, and the attribute read of a file handle.
//
// NFS is stateless: every READ and WRITE names its file by handle. Opening
// the file each time would dominate the cost, so recently used files stay
// open in a small table ("Cache" entries, at most 256) together with the
// attributes last returned for them. An entry is free, then busy (one
// request uses its descriptor, so nobody can move the file position between
// seek and read), then idle. Idle entries are closed by cache_sweep after
// 1000 ms without use, before any attribute read or change of their file
// (cache_close_idle), before a directory scan of their volume and at stop
// (cache_close_volume), and when their slot is reused. A busy entry is only
// ever closed by its user.
//
// One lock guards the table and is held for bookkeeping only: file input and
// output run outside it under the entry's busy flag, and a second request
// for a busy file waits outside the lock, yielding the processor. Every call
// here is thread-safe unless it says otherwise.
#pragma once

#include <cstdint>

#include "nfsd/attr.h"
#include "nfsd/request.h"
#include "rpc/rpc.h"

constexpr uint32_t CACHE_MAX = 256;      // entries at most, whatever "Cache" says
constexpr uint32_t CACHE_IDLE_MS = 1000;  // idle time after which the sweep closes

// Mode an entry's descriptor was opened with; writing includes reading.
constexpr uint32_t CACHE_READ = 0;
constexpr uint32_t CACHE_WRITE = 1;

// Largest file size a version 2 reply can report; version 3 is limited only
// by the host. The write backend refuses to grow a file beyond its caller's
// limit (27, FBIG) without touching it.
constexpr uint64_t NFS2_MAX_SIZE = 0xFFFFFFFFull;
constexpr uint64_t NFS3_MAX_SIZE = 0x7FFFFFFFFFFFFFFFull;

struct cache_entry;

// ---- Service start-up ------------------------------------------------------

// The NFS service's part of start-up: probes for hard links, cache_init, and
// the lines (log level 1) "%s nfsd   file handle cache size %u\n",
// "%s nfsd   client charset %s\n" and, when hard links are available,
// "%s nfsd   NTFS 2000/XP hardlinks supported\n". Answers the cache size.
uint32_t nfs_service_init();

// ---- The cache ---------------------------------------------------------------

// (Re)creates the table with "Cache" entries (at most CACHE_MAX; 0 or a
// table that cannot be allocated: nothing is ever cached) and answers that
// number. Files of a previous table are closed. Only while no request runs.
uint32_t cache_init();

// The entry holding `inode`, made busy, its descriptor in *fd and its
// attributes in *attr; or null. Waits (outside the lock) while another
// request has it busy. An entry opened for reading when CACHE_WRITE is
// wanted is closed and freed, and null answered.
cache_entry *cache_take(uint32_t inode, uint32_t mode, int *fd, nfs_attr *attr);

// Puts a freshly opened descriptor into the next idle slot (round robin from
// a cursor; the slot's old file is closed) and answers it busy; null when
// every entry is busy or there is no table (the caller closes `fd` itself).
cache_entry *cache_put(uint32_t volume, uint32_t inode, int fd, uint32_t mode);

// Stores `attr` (may be null: keep the old ones) in a busy entry and makes
// it idle.
void cache_release(cache_entry *entry, const nfs_attr *attr);

// Closes a busy entry's descriptor and frees the entry.
void cache_drop(cache_entry *entry);

// The file position a busy entry's user last left its descriptor at, or -1
// when unknown (a fresh entry). Only that user may call these, between
// taking or putting the entry and releasing or dropping it: a sequential
// burst then needs no seek per request.
int64_t cache_position(const cache_entry *entry);
void cache_set_position(cache_entry *entry, int64_t position);

// Closes and frees the first idle entry of `inode`, if any.
void cache_close_idle(uint32_t inode);

// Closes and frees every idle entry of the volume `volume`, or every idle
// entry when `volume` is 0.
void cache_close_volume(uint32_t volume);

// Closes and frees every idle entry last used more than CACHE_IDLE_MS ago.
// Installed as the select loop's sweep (select_loop_sweep).
void cache_sweep();

// Entries that hold an open file, busy or idle (diagnostics and tests).
uint32_t cache_open_files();

// ---- Backends ----------------------------------------------------------------
// `o` is a handle of the request (request.h), resolved at its first use;
// the identity the attributes report is the one mapped for its export. Each
// answers an NFS status; *attr is filled when the answer is 0.

// GETATTR and every other attribute read of a handle: 70 (STALE) when the
// handle does not resolve, 6 (NXIO) when the export's volume changed, else
// nfs_path_attr of the file after its idle cached descriptor was closed (so
// that size and times are those on disk).
uint32_t nfs_fh_attr(nfs_object *o, nfs_attr *attr);

// Reads up to *count bytes at `offset` straight into `dest`, which must have
// room for *count bytes (the reply buffer at the data's final place). A
// count above "Datasize" is lowered to it. On 0, *count is the number of
// bytes read (0 at or after the end of the file). A file found in the cache
// answers with the attributes stored there, unchecked (no export check, no
// identity mapping), except that a read that comes up short reports the
// size the open file has now. Failures: 70, 6, 2, or the errno_status of a
// failed open, seek or read. With the transport `xp` of the reply, a large
// read may leave the data in the reply's pipe instead of at `dest`
// (rpc_reply_pipe); the file's position is then left where it was.
uint32_t nfs_read(nfs_object *o, uint64_t offset, uint32_t *count, uint8_t *dest,
                  nfs_attr *attr, xprt *xp = nullptr);

// Writes *count bytes from `data` at `offset` (a count above "Datasize" is
// lowered to it) and flushes the file to disk when `sync`. On 0, *count is
// the number of bytes written and *attr has the file's current size and
// atime = mtime = now. A write that would make the file larger than
// `max_size` (NFS2_MAX_SIZE for version 2) answers 27 (FBIG) and changes
// nothing. A caller mapped to uid 0 may write a READONLY file: its READONLY
// attribute is cleared (and set again when the call fails). Failures: 70,
// 30 (ROFS) on a read-only export, 6, 2, 27, or errno_status; a failed
// write leaves the file's length as it was.
uint32_t nfs_write(nfs_object *o, uint64_t offset, uint32_t *count, bool sync,
                   const uint8_t *data, uint64_t max_size, nfs_attr *attr);

// COMMIT: closes the file's cached descriptor when it has one (answering the
// attributes stored with it), else answers the file's attributes. `offset`
// and `count` are not used. Failures: 70, 30, 6, 2.
uint32_t nfs_commit(nfs_object *o, uint64_t offset, uint32_t count, nfs_attr *attr);
