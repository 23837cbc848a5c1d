// What the file operations share: the preamble that turns a directory
// handle and a name into a path, the clearing step, and the keeping of a
// link or device file that MKNOD or SYMLINK replaces.
#pragma once

#include <cstdint>

#include "fs/fs.h"
#include "names/name.h"
#include "nfsd/attr.h"
#include "nfsd/attr_status.h"
#include "nfsd/request.h"
#include "rpc/rpc.h"
#include "base/log.h"

struct export_entry;

// Level of the failure lines of the file operations.
constexpr int FILEOPS_LOG = LOG_DETAIL;

// Windows attributes that carry the Unix mode.
constexpr uint32_t FILEOPS_MODE_ATTRS =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;

// A directory entry named by a handle and a name.
struct fileops_target {
    nfs_object *dir_object;
    export_entry *exp;
    uint32_t dir;    // the directory's inode number
    uint32_t inode;  // the name's record, 0 when none (or not looked up)
    char path[NFS_PATH_MAX];
};

enum : uint32_t {
    FILEOPS_NEW = 0x1,         // the name is to be created: "." answers 17
    FILEOPS_NO_FIND = 0x2,     // no record lookup, no cache close (MKDIR)
    FILEOPS_CHECK_LATE = 0x4,  // check the export after the name (REMOVE)
    FILEOPS_MAP = 0x8,         // the export check maps the caller's identity
};

// Resolves the directory for a change, checks the export (mapping the
// identity with FILEOPS_MAP), appends the name to a copy of the
// directory's path and, unless FILEOPS_NO_FIND, finds the name's record and
// closes its idle cached descriptor. Answers 0 or the status to answer.
uint32_t fileops_target_resolve(nfs_object *dir, const char *name, uint32_t flags,
                                fileops_target *t);
// The identity the operation runs as (request.h).
inline const rpc_cred *fileops_identity(const fileops_target *t) {
    return nfs_object_identity(t->dir_object);
}

// The last component of a path (after its last '\').
const char *fileops_leaf(const char *path);

// True when `attributes` (valid) mark a link or device file.
inline bool fileops_is_special(uint32_t attributes) {
    return (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                          FILE_ATTRIBUTE_DIRECTORY)) == FILE_ATTRIBUTE_SYSTEM;
}

// Sets the mode-carrying bits of `attributes`, NORMAL when there are none.
bool fileops_set_attrs(const char *path, uint32_t attributes);

// The clearing step: before a file is overwritten, deleted or moved,
// READONLY and SYSTEM come off (READONLY only for uid 0), so that the
// Windows call can act; undone when the operation fails.
struct fileops_cleared {
    uint32_t before;  // attributes as read, FS_INVALID_ATTRIBUTES when unreadable
    bool changed;
};
void fileops_clear(const char *path, uint32_t uid, fileops_cleared *c);
void fileops_unclear(const char *path, const fileops_cleared *c);

// A link or device file that MKNOD or SYMLINK replaces, kept in memory so
// that a failed write can put it back. Link texts up to this size; a longer
// existing link is not replaced (17).
constexpr uint32_t FILEOPS_KEEP_MAX = 4096;
struct fileops_prior {
    bool exists;
    fileops_cleared cleared;
    uint32_t length;
    uint8_t bytes[FILEOPS_KEEP_MAX];
};
// Looks at the name before a device or link file is written there: 0 when
// it is free or holds a link or device file (then kept and cleared), 17 for
// a regular file, a directory or an over-long link, or the status of an
// unreadable file.
uint32_t fileops_prior_take(const char *path, uint32_t uid, fileops_prior *p);
// Puts the name back as it was after a failure. `touched`: the file was
// created or written, so the new file is deleted, or the kept content is
// written back; otherwise only the cleared attributes are set again.
void fileops_prior_restore(const char *path, const fileops_prior *p, bool touched);
