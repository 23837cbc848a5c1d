// File attributes: the one place where the server invents the Unix
// attributes that Windows files do not have, and the export check that every
// NFS procedure makes before it touches a file.
//
// Owner: every file is reported as owned by the (mapped) caller. Mode: from
// the READONLY, HIDDEN and SYSTEM attributes, by this table:
//
//   HIDDEN SYSTEM   directory   regular file
//   no     no       040777      0100666
//   no     yes      041777      (device file or symbolic link, below)
//   yes    no       040666      0100777
//   yes    yes      041666      0104777
//
// then READONLY clears the write bits and the export's -umask is removed
// (directories and regular files only).
//
// Device files and symbolic links: a file with SYSTEM set and HIDDEN and
// DIRECTORY clear. When its content starts with the 32-byte special-file
// header below it is a block or character device; otherwise it is a
// symbolic link whose content is the link text.
//
// Every call here is thread-safe and takes no lock of its own (the inode
// table locks itself). Paths are the internal byte strings of src/fs/.
#pragma once

#include <cstdint>

#include "exports/export.h"
#include "platform/winfile.h"
#include "rpc/rpc.h"

// NFS file types (RFC 1094 ftype, RFC 1813 ftype3).
enum : uint32_t {
    NFNON = 0,
    NFREG = 1,
    NFDIR = 2,
    NFBLK = 3,
    NFCHR = 4,
    NFLNK = 5,
};

// Unix file-type bits of a mode.
constexpr uint32_t NFS_IFMT = 0170000;
constexpr uint32_t NFS_IFDIR = 0040000;
constexpr uint32_t NFS_IFREG = 0100000;
constexpr uint32_t NFS_IFLNK = 0120000;
constexpr uint32_t NFS_IFCHR = 0020000;
constexpr uint32_t NFS_IFBLK = 0060000;
constexpr uint32_t NFS_PERM_BITS = 07777;  // what a version 3 fattr3 carries


// The server's attribute record of one file. Every field the rules do not
// set is 0. Times are Unix seconds and nanoseconds (the nanoseconds of a
// Windows time are always 0).
struct nfs_attr {
    uint32_t type;   // NFNON .. NFLNK
    uint32_t mode;   // with the file-type bits
    uint32_t nlink;
    uint32_t uid;
    uint32_t gid;
    uint64_t size;
    uint32_t rdev_minor;  // device files only
    uint32_t rdev_major;
    uint32_t fsid;    // the export's volume serial
    uint32_t fileid;  // the inode number, as in the file handle
    uint32_t atime_sec, atime_nsec;
    uint32_t mtime_sec, mtime_nsec;
    uint32_t ctime_sec, ctime_nsec;  // creation time of the Windows file
};

// A decoded set-attribute request (v2 sattr, v3 sattr3). A set_ word of 0
// leaves the value alone. set_atime and set_mtime hold the v3 time_how
// (NFS_TIME_SERVER, NFS_TIME_CLIENT); v2 requests use NFS_TIME_SERVER with
// the client's values. Times in nanoseconds (v2 microseconds * 1000).
struct nfs_sattr {
    uint32_t set_mode, mode;
    uint32_t set_uid, uid;
    uint32_t set_gid, gid;
    uint32_t set_size;
    uint64_t size;
    uint32_t set_atime, atime_sec, atime_nsec;
    uint32_t set_mtime, mtime_sec, mtime_nsec;
};
constexpr uint32_t NFS_TIME_SERVER = 1;
constexpr uint32_t NFS_TIME_CLIENT = 2;

// ---- The special-file header ------------------------------------------
// 32 bytes, little-endian words: 0, "specdata", 0, type (3 or 4), major,
// minor, mode (permission bits, at most 07777).
// The host layer shows a device with the same header (platform/winfile.h).
constexpr uint32_t NFS_SPECIAL_SIZE = DEVICE_HEADER_SIZE;
constexpr uint32_t NFS_SPECIAL_TYPE = DEVICE_HEADER_TYPE;  // offsets of the words
constexpr uint32_t NFS_SPECIAL_MAJOR = DEVICE_HEADER_MAJOR;
constexpr uint32_t NFS_SPECIAL_MINOR = DEVICE_HEADER_MINOR;
constexpr uint32_t NFS_SPECIAL_MODE = DEVICE_HEADER_MODE;

// Writes the header for a device of `type` (NFBLK or NFCHR, the host
// layer's 3 and 4) into `out`.
inline void nfs_special_header(uint8_t out[NFS_SPECIAL_SIZE], uint32_t type, uint32_t major,
                               uint32_t minor, uint32_t mode) {
    win_device_header(out, type, major, minor, mode);
}

// Reads the first 32 bytes of a SYSTEM file and answers its type:
//   header: NFBLK or NFCHR, *major, *minor from it, *mode its mode word plus
//           NFS_IFBLK or NFS_IFCHR;
//   readable, no header (shorter, or other bytes): NFLNK, mode 0120777;
//   unreadable: NFNON, mode 0100666, and the log line
//           "nfs_get_special: %s error %u\n" (level 2).
// *major and *minor are 0 unless a header was read. Any out pointer may be
// null.
uint32_t nfs_get_special(const char *path, uint32_t *major, uint32_t *minor, uint32_t *mode);

// ---- Modes and times -----------------------------------------------------

// The mode of a file with the Windows `attributes` (READONLY, HIDDEN,
// SYSTEM, DIRECTORY; others ignored) by the table above, READONLY and the
// `umask` applied. Not for SYSTEM files without HIDDEN and DIRECTORY (those
// are device files and links: nfs_get_special).
uint32_t nfs_mode_of(uint32_t attributes, uint32_t umask);

// Unix seconds of a Windows file time (100 ns units since 1601), truncated
// to 32 bits.
uint32_t nfs_unix_time(uint64_t windows_time);

// ---- Export check and attributes ------------------------------------------

// The check every procedure makes before it touches a file:
// 1. An export on a drive that is not fixed (type 3) must still hold the
//    same volume: the serial of volume_root(path) must equal the export's.
//    False when it differs or cannot be read (callers answer 6, NXIO).
// 2. With `cred` (may be null: the volume test alone), the identity is
//    mapped in place by nfs_map_identity.
bool nfs_check_export(const export_entry *exp, const char *path, rpc_cred *cred);
// The identity for the export: -mapall replaces the uid (and the gid when
// -mapall gave one); otherwise uid 0 becomes the -maproot uid and gid (gid
// 65534 when -maproot gave none), or 65534/65534 without -maproot. A
// non-zero uid is never changed without -mapall.
void nfs_map_identity(const export_entry *exp, rpc_cred *cred);

// Fills *attr for the file at `path` in export `exp`: fsid the export's
// volume serial, fileid `inode`, uid and gid those of `cred` (reported as 0
// when 65534; 0 and 0 when `cred` is null). Answers 0, or 2 (NOENT) when the
// file does not exist, in which case the record `inode` (when not 0) is
// removed with its subtree from the inode table; a search that fails for
// another reason answers win_error_status of it and keeps the record. A volume root is a
// directory of mode 040777 less the umask, size 4096, nlink its
// subdirectories + 1 and atime = mtime = now. A directory whose entries
// cannot be counted has nlink 0; that never fails the call.
uint32_t nfs_path_attr(uint32_t inode, const export_entry *exp, const char *path, nfs_attr *attr,
                       const rpc_cred *cred);

// ---- Encoders (RFC 1094, RFC 1813) ---------------------------------------
// Each writes XDR through `out` (rpc/xdr.h).
constexpr uint32_t NFS_FATTR_SIZE = 68;       // 17 words
constexpr uint32_t NFS_FATTR3_SIZE = 84;      // 21 words
constexpr uint32_t NFS_WCC_ATTR_SIZE = 24;    // 6 words
constexpr uint32_t NFS_BLOCK_SIZE = 4096;     // v2 blocksize, and block unit

// v2 fattr: size and blocks from the low 32 bits of the size, rdev
// (major << 8) | (minor & 255), times in microseconds.
void xdr_fattr(xdr_out *out, const nfs_attr *attr);
// v3 fattr3: the mode reduced to its permission bits (& 07777), used =
// size, rdev as (major, minor), fsid and fileid as 64 bits with high word 0.
void xdr_fattr3(xdr_out *out, const nfs_attr *attr);
// v3 wcc_attr: size, mtime, ctime.
void xdr_wcc_attr(xdr_out *out, const nfs_attr *attr);
// The word 1 and the attributes when `present`, else the word 0 (and
// `attr` is not read; it may be null).
void xdr_pre_op_attr(xdr_out *out, bool present, const nfs_attr *attr);
void xdr_post_op_attr(xdr_out *out, bool present, const nfs_attr *attr);
