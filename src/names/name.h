// The rules of names: which bytes a name may hold, composing a Windows path
// from a directory path and one name a client sent, and finding the root of
// a path's volume. All work on the caller's buffers only and are safe on any
// thread.
#pragma once

#include <cstdint>

#include "platform/winfile.h"

// Room for a path with its terminator, as every path buffer has.
constexpr uint32_t NFS_PATH_MAX = WIN_PATH_MAX;

// A byte valid in a name: 32 or above, not one of " * / : < > ? \ | or 127,
// and below 128 when "CharSet" is 0. Stricter than what the file calls
// refuse (name_char_bad in src/platform), on purpose: this rule decides what
// a client may name and where the index splits a path (every other byte
// separates components), so DEL counts as the control character it is, and
// under "CharSet" 0 a byte from 128 up, which has no meaning in ASCII, is
// refused rather than passed to the disk as some code page's letter.
bool name_char_valid(unsigned char c);
// Every byte valid (the empty name is valid).
bool name_valid(const char *name);

// Appends '\' and `name` to `path` (a buffer of NFS_PATH_MAX bytes) under a
// volume's rules and answers an NFS status:
//   0   appended ("." leaves the path as it is);
//   63  the result would not fit, or the name breaks the 8.3 length rules of
//       a volume with short names (`max_name`, its longest name, 12 or less);
//   1   the name is "..", which the callers resolve themselves;
//   2   the name is empty or holds a byte that names may not hold, or a space
//       on a volume with short names;
//   13  a device name (aux, con, nul, prn, com1 to com9, with any extension).
// With `lowercase` the whole path is lower-cased. On any non-zero status the
// path is unchanged. Exports call it through nfs_add_name.
uint32_t name_append(char *path, const char *name, uint32_t max_name, bool lowercase);

// The root of the volume that holds `path` into `root` (NFS_PATH_MAX bytes):
// 'c:\' for 'c:\data', '\\server\share\' for '\\server\share\dir'. Answers
// true when the path is itself that root ('c:', 'c:\', '\\server\share').
bool volume_root(const char *path, char *root);
