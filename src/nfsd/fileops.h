// The file operations behind the changing NFS procedures: SETATTR, CREATE,
// MKNOD, MKDIR, REMOVE, RMDIR, RENAME, LINK, SYMLINK and READLINK. Version 2
// and version 3 handlers call the same backends; each answers an NFS status
// (nfs_status.h) that goes into the reply unchanged, and keeps the inode
// table in step with what it did on disk.
//
// Unix things Windows lacks are stored like this:
// - Mode: in READONLY, HIDDEN and SYSTEM (nfs_setugmode below; attr.h reads
//   them back). A regular file never gets SYSTEM without HIDDEN, because
//   SYSTEM alone marks a device file or a symbolic link.
// - Owner and group: not stored. Setting them succeeds and changes nothing.
// - Device file: the 32-byte special-file header of attr.h as content,
//   attributes exactly SYSTEM.
// - Symbolic link: the link text as content, byte for byte, no terminator,
//   attributes exactly SYSTEM.
// - Hard link: native on an export with EXP_NTFS when the host has the call
//   (hardlink_available); otherwise, with "HardLinks" on, a copy made at the
//   time of the LINK.
//
// Common rules of the backends that take a directory handle and a name:
// - The directory handle is resolved for a change (70 STALE, 30 ROFS on a
//   read-only export), the export is checked (6 NXIO when its removable
//   volume changed), and the name is appended under the export's rules
//   (nfs_add_name: 63, 2, 13, and 1 for ".."). Names with separators never
//   reach the disk. Nothing outside the handle's export is touched: RENAME
//   and LINK between two exports answer 18 (XDEV), between two volumes 5.
// - A name "." never creates (17 EXIST) and never removes or renames the
//   directory itself (22 INVAL).
// - Before a file is overwritten, deleted or moved, its idle cached
//   descriptor is closed and READONLY and SYSTEM are cleared (READONLY only
//   for a caller with uid 0). A failed operation puts back what it changed:
//   attributes, a destination that RENAME took out of the way, a partly
//   written link or device file.
// - Handles are objects of the request (request.h), resolved once for the
//   whole request. SETATTR, CREATE, MKNOD and MKDIR run as the identity
//   mapped for the export; REMOVE, RMDIR, RENAME, LINK and SYMLINK check the
//   export without mapping, so they run as the caller sent itself unless an
//   earlier step of the request mapped the identity.
// - Failures of host calls are logged at level 2 with the texts quoted
//   below and answered with win_error_status or errno_status (attr.h).
//
// Thread-safe: the backends hold nothing between calls and share only the
// inode table and the open-file cache, which lock themselves. RENAME sleeps
// between its retries holding no lock. No allocation.
#pragma once

#include <cstdint>

#include "nfsd/attr.h"
#include "nfsd/request.h"
#include "rpc/rpc.h"

// Create modes of CREATE (RFC 1813 createmode3).
constexpr uint32_t NFS_CREATE_UNCHECKED = 0;
constexpr uint32_t NFS_CREATE_GUARDED = 1;
constexpr uint32_t NFS_CREATE_EXCLUSIVE = 2;

// The mode a symbolic link is given and reported with.
constexpr uint32_t NFS_LINK_MODE = 0120777;

// Sharing-violation retries of RENAME before it gives up (1 ms apart).
constexpr uint32_t FILE_RENAME_RETRIES = 10000;

// SETATTR. Applies, in this order: the times, only when both are set and the
// file is not a directory (seconds only; a READONLY file is unlocked for the
// moment); the size (nfs_setsize); the mode (nfs_setugmode, by the file's
// type). Answers 0 with the new attributes in *attr, or the first failure.
uint32_t nfs_setattr(nfs_object *o, const nfs_sattr *sattr, nfs_attr *attr);

// CREATE of a regular file `name` in the directory `dir`. UNCHECKED
// creates or truncates; GUARDED answers 17 for an existing name; EXCLUSIVE
// answers 10004 (NOTSUPP) without touching the disk. The size and the mode
// of `sattr` are applied afterwards (their failures are not the answer; the
// attributes show the outcome). On 0, `fh_out` (32 bytes) holds the new
// handle and *attr its attributes; 5 when no record could be added.
uint32_t nfs_create(nfs_object *dir, const char *name, uint32_t how, const nfs_sattr *sattr,
                    uint8_t *fh_out, nfs_attr *attr);

// MKNOD (and v2 CREATE of a device): a device file of `type` (NFBLK or
// NFCHR, else 22) holding the special-file header with `major` and
// `minor`, and the mode of `sattr` when set. An existing link or device
// file of that name is replaced; an existing regular file or directory
// answers 17. Failure to write the header: "nfs_mknod: %s error %u\n"
// (path, errno); the name is left as it was. Outputs as nfs_create.
uint32_t nfs_mknod(nfs_object *dir, const char *name, uint32_t type, const nfs_sattr *sattr,
                   uint32_t minor, uint32_t major, uint8_t *fh_out, nfs_attr *attr);

// MKDIR. 17 when the name exists; other failures log
// "file_mkdir: %s error %d\n". The mode of the request is not applied.
// Outputs as nfs_create.
uint32_t file_mkdir(nfs_object *dir, const char *name, uint8_t *fh_out, nfs_attr *attr);

// REMOVE of a file (a directory answers 13). A READONLY file is removed for
// uid 0 only (13 otherwise). Failure: "file_unlink %s error %d\n". On 0 the
// name's record is gone from the inode table.
uint32_t file_unlink(nfs_object *dir, const char *name);

// RMDIR. ".." answers 17; a non-empty directory 66 (not logged); a
// directory that may not be removed 17. uid 0 may remove a READONLY
// directory. Other failures: "file_rmdir %s error %d\n". On 0 the record
// and every record below it are gone.
uint32_t file_rmdir(nfs_object *dir, const char *name);

// RENAME of `from_name` in `from` to `to_name` in `to`, both
// directories of one export. An existing destination is replaced: a file by
// any source; an empty directory by a directory (17 when it is not empty).
// A file renamed onto a directory moves into it under its own name (21 when
// that name is a directory there). A directory never moves into its own
// subtree (22). While the destination cannot be removed because another
// program holds it (sharing violation), the source is copied to the
// temporary path (the to path with its last character replaced by '_') and
// the removal is retried FILE_RENAME_RETRIES times, 1 ms apart, then 13.
// The moved file keeps the source's attributes and its record (the
// destination's record when there was one). On failure the source, the
// destination and the inode table are as they were. Log lines (level 2):
// "file_rename %s %s failed error %d\n" (unreadable source, 2),
// "file_rename %s %s copy error %d\n", "file_rename %s %s remove error %d\n",
// "file_rename %s error %d\n" (directory destination), and
// "file_rename %s %s error %d\n" (the move).
uint32_t file_rename(nfs_object *from, nfs_object *to, const char *from_name,
                     const char *to_name);

// LINK: a new name `name` in `dir` for the file `file` (resolved without
// the read-only test: 70). 2 when the file is gone, 21 for a directory.
// Native hard link or copy as said above; "HardLinks" off without a native
// link: 13; the new name exists or the link or copy fails: 17 (a failed
// copy leaves no file). No record is added; the first LOOKUP adds it.
uint32_t nfs_link(nfs_object *file, nfs_object *dir, const char *name);

// SYMLINK: a link file `name` in `dir` holding the `length` bytes of
// `text`. 13 when "SoftLinks" is off; 2 for an empty text and 22 for one
// holding a NUL byte (neither could be read back); 17 when the name holds a
// regular file or directory (a link or device file is replaced). Failures:
// "nfs_symlink: %s to %s error %d\n", and 5 when the text cannot be written
// whole; the name is then left as it was (no partly written file remains).
// The mode of `sattr` is not used. On 0 the name has its record.
uint32_t nfs_symlink(nfs_object *dir, const char *name, const nfs_sattr *sattr, const char *text,
                     uint32_t length);

// READLINK into `buffer` of `size` bytes, NUL-terminated. 13 when
// "SoftLinks" is off; 70 for a stale handle; 2 when the file cannot be
// opened, or when it is on another volume than its export (its record is
// then dropped); 63 when the text does not fit the buffer. A file that is
// not a link (a device file, a regular file, an empty file) logs
// "nfs_readlink: %s error %u\n", drops its record and answers 5.
uint32_t nfs_readlink(nfs_object *o, char *buffer, uint32_t size);

// Stores a mode in the attributes of `path` of NFS file `type`:
//   NFREG: HIDDEN+SYSTEM for 04000, HIDDEN for 0100, READONLY without 0200;
//   NFDIR: SYSTEM for 01000, HIDDEN without 0100, READONLY without 0200;
//   NFBLK, NFCHR: the mode word of the header (nfs_put_special; failure 5),
//          then exactly SYSTEM; NFLNK: exactly SYSTEM.
// For NFREG and NFDIR nothing happens unless `set_mode`; an unreadable
// device file (NFNON) answers 5 to a mode rather than guess its content.
// uid and gid are accepted and not stored. A failed attribute call logs
// "nfs_setugmode: %s error %u\n" and answers win_error_status.
uint32_t nfs_setugmode(const char *path, uint32_t set_uid, uint32_t set_gid, uint32_t set_mode,
                       uint32_t uid, uint32_t gid, uint32_t type, uint32_t mode);

// Truncates or extends `path` to `size` bytes. Failures log
// "nfs_setsize: %s error %u\n" and answer win_error_status (2 when the file
// is gone, 13 when it is READONLY).
uint32_t nfs_setsize(const char *path, uint64_t size);

// Rewrites the mode word (offset 28) of the device file `path` with
// `mode` % 4096, leaving its attributes NORMAL (the caller sets SYSTEM).
// Failure logs "nfs_put_special: %s error %u\n", puts the attributes back
// and answers false.
bool nfs_put_special(const char *path, uint32_t mode);
