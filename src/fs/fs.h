// The file-call wrappers: every file and volume call of the server goes
// through these, with paths as internal byte strings in the clients'
// character set ("c:\data\f.txt", at most 1024 bytes). The setting "CharSet"
// decides how a name reaches the disk:
//   0 "ASCII"  bytes pass unchanged (bytes of 128 and above are refused
//              earlier, by the NFS name rules);
//   1 "ANSI"   bytes are in the code page "CodePage" (0 means 1252) and are
//              converted to UTF-8 on the way in and back on the way out;
//   2 "UTF-8"  names are UTF-8 and reach the disk unchanged.
// A name that cannot be converted in gives error 123 (invalid name); a disk
// name that cannot be converted out shows '?' for each such character.
//
// Each wrapper answers what its Windows or runtime counterpart answers
// (winfile.h, rtfile.h) and adds no errors of its own beyond the conversion:
// read win_last_error() or errno right after a failed call. Conversion
// buffers live on the caller's stack; nothing is allocated per call. All
// wrappers are thread-safe; hardlink_lookup runs once at start-up.
#pragma once

#include <cstdint>

#include "platform/codepage.h"
#include "platform/rtfile.h"
#include "platform/winerr.h"
#include "platform/winfile.h"

constexpr uint32_t FS_INVALID_ATTRIBUTES = 0xFFFFFFFF;

// Runtime calls (errno).
int fs_open(const char *path, int flags, int pmode);
int fs_utime(const char *path, int64_t atime, int64_t mtime);

// Windows calls (last error).
uint32_t fs_get_attributes(const char *path);  // FS_INVALID_ATTRIBUTES on failure
bool fs_set_attributes(const char *path, uint32_t attributes);
bool fs_delete_file(const char *path);
win_handle fs_create_file(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                          uint32_t flags_and_attributes);
bool fs_create_directory(const char *path);
bool fs_remove_directory(const char *path);
bool fs_copy_file(const char *existing, const char *new_path, bool fail_if_exists);
bool fs_move_file(const char *existing, const char *new_path);
// Through the hard-link slot; fails with 1 when hardlink_available() is false.
bool fs_create_hard_link(const char *new_path, const char *existing);
// The names in `data` come back in the clients' character set.
win_find_handle fs_find_first(const char *pattern, win_find_data *data);
bool fs_find_next(win_find_handle h, win_find_data *data);
// The same listing with names alone (win_find_first_name), continued by
// fs_find_next.
win_find_handle fs_find_first_name(const char *pattern, win_find_data *data);
bool fs_find_close(win_find_handle h);
// The entries with the DIRECTORY attribute that fs_find_first and
// fs_find_next would list for `pattern`, counted without reading each one's
// attributes (win_count_directories).
bool fs_count_directories(const char *pattern, uint32_t *count);
// One exact path's find data and, for a directory, its fs_count_directories
// count of "path\*.*", resolving the path once (win_find_entry).
bool fs_find_entry(const char *path, win_find_data *data, uint32_t *count);
bool fs_disk_free_space(const char *root, uint64_t *free_to_caller, uint64_t *total,
                        uint64_t *total_free);
uint32_t fs_drive_type(const char *root);
// root like "c:\"; any out pointer may be null; names come back converted
// into the caller's buffers of the given sizes.
bool fs_volume_information(const char *root, char *volume_name, uint32_t volume_name_size,
                           uint32_t *serial, uint32_t *max_component, uint32_t *flags,
                           char *fs_name, uint32_t fs_name_size);

// Fills the hard-link slots (the narrow one, and the wide one when "CharSet"
// is 2); true when the narrow call exists, which on this host it always does.
bool hardlink_lookup();
// True when the slot that the current "CharSet" needs is filled.
bool hardlink_available();
// Empties the slots (tests).
void hardlink_reset();


// Writes the start-up lines "%s nfsd   client charset %s\n" and, when
// hardlink_lookup answered true, "%s nfsd   NTFS 2000/XP hardlinks
// supported\n" (log level 1 and above).
void fs_startup_log();
