// What the version 2 and version 3 programs share: their limits, the
// decoders of names and opaque data, the admission of a caller to the
// export a handle names, the place of READ data in the reply, and the two
// backends of their own, LOOKUP and STATFS. Internal to src/nfsd/.
//
// All of it is thread-safe and allocates nothing.
#pragma once

#include <cstdint>

#include "fh/fh.h"
#include "nfsd/attr.h"
#include "nfsd/request.h"
#include "rpc/rpc.h"

constexpr uint32_t NFS_NAME_MAX = 512;          // a file name in a call
constexpr uint32_t NFS_LINK_MAX = 4096;         // a SYMLINK text; READLINK's buffer
constexpr uint32_t NFS_READLINK_REPLY = 1024;   // longest link text READLINK answers
constexpr uint32_t NFS_VERIFIER_SIZE = 8;       // write and cookie verifiers
constexpr const char *NFS_UNKNOWN_PROC_LOG = "nfsd: error, procedure %d not supported\n";

// A handle as the procedures hold it: the 32 bytes of version 2, or the 16
// of version 3 followed by 16 zero bytes (the backends read the first 16).
struct nfs_handle {
    uint8_t bytes[FH_SIZE];
};

// A name of at most NFS_NAME_MAX bytes into `name` (NFS_NAME_MAX + 1
// bytes), terminated. A longer name, one that runs past the call, or one
// that holds a NUL byte (it would name another file) does not decode.
bool nfs_get_name(rpc_call *call, char *name);
// A link text of at most NFS_LINK_MAX bytes into `text` (NFS_LINK_MAX + 1
// bytes), terminated; *length its bytes.
bool nfs_get_link_text(rpc_call *call, char *text, uint32_t *length);
// An opaque of at most `max` bytes left in place: *data points into the
// call's arguments, which must hold all *length bytes.
bool nfs_get_opaque_ref(rpc_call *call, uint32_t max, const uint8_t **data, uint32_t *length);
// A version 3 handle (nfs_fh3): a length word that must be 16, then its 16
// bytes into the first 16 of `fh`. False, cursor unchanged, otherwise.
bool nfs_get_fh3(rpc_call *call, uint8_t *fh);

// A link text as READLINK replies carry it: copied to `out` (room for
// NFS_READLINK_REPLY bytes) with its length, and 0; or 63 (NAMETOOLONG)
// for a longer text, which a cut would turn into another, wrong target.
uint32_t nfs_readlink_text(const char *text, char *out, uint32_t *length);

// Where READ data goes: the reply buffer at `offset` bytes after the
// accepted-reply header that rpc_reply will write for this call. *room is
// how many bytes fit there (with their padding) inside the message area.
uint8_t *nfs_reply_data(xprt *xp, const rpc_call *call, uint32_t offset, uint32_t *room);

// READ data that nfs_reply_data placed behind its length word: the cursor
// passes over its `count` bytes and writes only their padding.
void nfs_put_data_in_place(xdr_out *out, uint32_t count);

// LOOKUP, for both versions: `name` in the directory `dir`, or, when `dir`
// does not resolve, relative to the WebNFS public handle. Fills the new
// handle and its attributes (fileid = the handle's inode number). Answers
// 0; 6 when the export's volume changed; 19 for ".." of a directory that
// has no record; 2 when the name does not exist or gets no record; the
// status of the name rules; or the status of webnfs_lookup (70 for a
// handle that is neither resolvable nor public). The attributes report the
// identity mapped for the export (as sent on the WebNFS path).
uint32_t nfs_lookup(nfs_object *dir, const char *name, nfs_handle *fh, nfs_attr *attr);

// The volume's sizes in 4096-byte blocks, for STATFS and FSSTAT.
struct nfs_fsstat {
    uint64_t blocks;  // total
    uint64_t bfree;   // free on the volume (also what the caller may use)
};
// STATFS, for both versions: 70 when `fh` does not resolve, 6 when the
// export's volume changed, 5 when the free space cannot be read ("nfs_statfs:
// %s error %u\n" with the volume root and the Windows error, log level 2).
uint32_t nfs_statfs(nfs_object *o, nfs_fsstat *out);
