// Composing a Windows path from a directory path and one name a client sent,
// and finding the root of a path's volume. Both work on the caller's buffers
// only and are safe on any thread.
#pragma once

#include <cstdint>

#include "mountd/export.h"

// Room for a path with its terminator, as every path buffer has.
constexpr uint32_t NFS_PATH_MAX = 1024;

// Appends '\' and `name` to `path` (a buffer of NFS_PATH_MAX bytes) under the
// export's rules and answers an NFS status:
//   0   appended ("." leaves the path as it is);
//   63  the result would not fit, or the name breaks the 8.3 length rules of
//       a volume with short names (maximum name length 12 or less);
//   1   the name is "..", which the callers resolve themselves;
//   2   the name is empty or holds a byte that names may not hold, or a space
//       on a volume with short names;
//   13  a device name (aux, con, nul, prn, com1 to com9, with any extension).
// With -lowercase the whole path is lower-cased. On any non-zero status the
// path is unchanged.
uint32_t nfs_add_name(const export_entry *exp, char *path, const char *name);

// The root of the volume that holds `path` into `root` (NFS_PATH_MAX bytes):
// 'c:\' for 'c:\data', '\\server\share\' for '\\server\share\dir'. Answers
// true when the path is itself that root ('c:', 'c:\', '\\server\share').
bool volume_root(const char *path, char *root);
