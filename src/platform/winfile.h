// The Windows file and volume calls the server is written against, made real
// on this host. Paths are Windows paths in the host's name encoding (UTF-8
// here; src/fs/ converts the clients' character set): "c:\dir\file.txt",
// "c:" or "c:\" for a drive root, "\\server\share\dir" for a UNC root mapped
// with the setting "Remote". Only '\' separates components.
//
// How names resolve (the safety of exported data rests on this):
// - The drive letter or UNC root selects a mapped host directory (drive.h).
//   Everything below it is reached one component at a time with openat and
//   O_NOFOLLOW: a symbolic link on disk is never followed, at any depth, and
//   ".." and "." are folded away textually before anything touches the disk,
//   clamped at the root as Windows does. A component holding '/', a control
//   character or one of " * : < > ? | is an invalid name (123).
// - Lookup is case-insensitive over ASCII letters, as on Windows: the exact
//   name wins and costs no directory scan; otherwise the directory is
//   scanned and, among names that differ from each other only in case, the
//   byte-wise smallest wins (so the choice does not depend on directory order).
// - A POSIX symbolic link appears as a "link file": attributes exactly
//   SYSTEM, content its link text. A block or character device appears as a
//   "device file": SYSTEM, content the 32-byte "specdata" header. Neither is
//   ever opened on the host, and neither can be written. FIFOs and sockets do
//   not exist as far as these calls are concerned.
//
// Attributes: READONLY is the owner's write bit (setting it clears every
// write bit, clearing it sets the owner's); HIDDEN and SYSTEM live in the
// extended attribute "user.nimbora.attrib"; DIRECTORY comes from the type; a
// file with none of these reads as NORMAL. READONLY is enforced here, not by
// the host, because the server may run as root.
//
// Every call is thread-safe and reports failure through win_last_error().
// Share flags of CreateFile are accepted and not enforced: the host has no
// mandatory sharing; the test seam (winerr.h) produces sharing violations.
//
// On Windows these are the system's own calls, and names without case,
// attributes, sharing, hard links and their counts are the system's. Paths
// are checked first all the same: only absolute paths, no '/', no stream
// (':'), no device name, no device namespace (winfile_win32.h). Attributes
// are reported as above (READONLY, HIDDEN, SYSTEM, DIRECTORY or NORMAL).
#pragma once

#include <cstdint>

#include "platform/winerr.h"

constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
constexpr uint32_t FILE_ATTRIBUTE_HIDDEN = 0x02;
constexpr uint32_t FILE_ATTRIBUTE_SYSTEM = 0x04;
constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;
constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr uint32_t INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

constexpr uint32_t GENERIC_READ = 0x80000000;
constexpr uint32_t GENERIC_WRITE = 0x40000000;
constexpr uint32_t FILE_SHARE_READ = 1;
constexpr uint32_t FILE_SHARE_WRITE = 2;
constexpr uint32_t FILE_SHARE_DELETE = 4;

constexpr uint32_t CREATE_NEW = 1;         // fails with 80 when the name exists
constexpr uint32_t CREATE_ALWAYS = 2;      // truncates an existing file (last error 183)
constexpr uint32_t OPEN_EXISTING = 3;      // fails with 2 when missing
constexpr uint32_t OPEN_ALWAYS = 4;        // creates when missing (last error 183 if not)
constexpr uint32_t TRUNCATE_EXISTING = 5;  // needs GENERIC_WRITE

// Needed to open a directory (read-only handle for file information).
constexpr uint32_t FILE_FLAG_BACKUP_SEMANTICS = 0x02000000;

constexpr uint32_t FILE_BEGIN = 0;
constexpr uint32_t FILE_CURRENT = 1;
constexpr uint32_t FILE_END = 2;

// A file handle: an index into the layer's fixed table of open files (shared
// with the runtime descriptors of rtfile.h); no allocation per open.
typedef int64_t win_handle;
constexpr win_handle INVALID_HANDLE_VALUE = -1;

// A directory search in progress; null is the invalid value.
struct win_find;
typedef win_find *win_find_handle;

// The content of a device file: word 0, the bytes "specdata" at 4, then
// little-endian words: type (3 block, 4 character), major, minor, and the
// mode (permission bits).
constexpr uint32_t DEVICE_HEADER_SIZE = 32;
constexpr uint32_t DEVICE_HEADER_MAGIC = 4;
constexpr uint32_t DEVICE_HEADER_TYPE = 16;
constexpr uint32_t DEVICE_HEADER_MAJOR = 20;
constexpr uint32_t DEVICE_HEADER_MINOR = 24;
constexpr uint32_t DEVICE_HEADER_MODE = 28;
constexpr char DEVICE_HEADER_TEXT[8] = {'s', 'p', 'e', 'c', 'd', 'a', 't', 'a'};

// Writes the header of a device of `type` (3 or 4) into `out`.
void win_device_header(uint8_t out[DEVICE_HEADER_SIZE], uint32_t type, uint32_t major,
                       uint32_t minor, uint32_t mode);

// Path buffers everywhere above this layer hold this many bytes, NUL
// included: a client's path in Windows form, a record's rebuilt path, an
// export path; a drive's mapped host directory fits in one as well. (The
// calls here accept longer paths and refuse them with error 206 themselves.)
constexpr uint32_t WIN_PATH_MAX = 1024;

// Times are Windows file times: 100 ns units since 1601-01-01 UTC.
constexpr uint64_t WIN_EPOCH_OFFSET = 116444736000000000ULL;

// The narrow find-data record.
struct win_find_data {
    uint32_t attributes;
    uint64_t creation_time;  // birth time where the host has one, else change time
    uint64_t access_time;
    uint64_t write_time;
    uint32_t size_high;
    uint32_t size_low;
    uint32_t reserved0;
    uint32_t reserved1;
    char name[260];       // on-disk name, NUL-terminated
    char short_name[14];  // 8.3 alias, "" when the name already is one
};

struct win_file_info {
    uint32_t attributes;
    uint64_t creation_time;
    uint64_t access_time;
    uint64_t write_time;
    uint32_t volume_serial;  // the serial of the drive the file was opened on
    uint32_t size_high;
    uint32_t size_low;
    uint32_t links;
    uint32_t index_high;  // host inode number
    uint32_t index_low;
};

// ---- Folders kept open ----
// Folders that walks went through stay open between calls, so that a name
// costs one host call. One not used for `idle_ms` is closed by a sweep: the
// server's timer sweeps, and so does the cache's own next use once a
// second, so that a file system mounted inside an exported folder can be
// unmounted once clients are idle. Nothing is kept open on Windows.
constexpr uint32_t WIN_FOLDER_IDLE_MS = 5000;
void win_folder_sweep(uint32_t idle_ms = WIN_FOLDER_IDLE_MS);

// One request's calls name the same folders again and again (a new name,
// its mode, its attributes, the folder's own attributes). While a thread
// holds a win_folder_scope, its calls reuse the folders that its earlier
// calls in the scope walked to, instead of reading the queue of host
// changes and walking from the drive's folder once more: a change made
// behind the server's back is seen from the next scope on. The layer's own
// moves and removals end the reuse at once, so that a folder moved inside
// the scope is never reached under its old name.
void win_folder_scope_begin();
void win_folder_scope_end();
struct win_folder_scope {
    win_folder_scope() { win_folder_scope_begin(); }
    ~win_folder_scope() { win_folder_scope_end(); }
    win_folder_scope(const win_folder_scope &) = delete;
    win_folder_scope &operator=(const win_folder_scope &) = delete;
};
// Walks from a drive's folder so far, by every thread (tests count those of
// one request).
uint64_t win_folder_walks();

// ---- Attributes, names ----
uint32_t win_get_file_attributes(const char *path);  // INVALID_FILE_ATTRIBUTES on failure
// Sets READONLY, HIDDEN, SYSTEM (others ignored; 0 means NORMAL). Setting
// HIDDEN or SYSTEM on a file system without extended attributes fails with 50
// and changes nothing. On a link or device file the call succeeds and
// changes nothing: their attributes follow from their type.
bool win_set_file_attributes(const char *path, uint32_t attributes);
bool win_delete_file(const char *path);       // 5 on a directory or READONLY file
bool win_create_directory(const char *path);  // 183 when the name exists
bool win_remove_directory(const char *path);  // 267 not a directory, 145 not empty, 5 READONLY
// Copies content, READONLY/HIDDEN/SYSTEM and the write time. With
// fail_if_exists an existing destination gives 80; otherwise a READONLY or
// directory destination gives 5. A failed copy leaves no new file behind.
bool win_copy_file(const char *existing, const char *new_path, bool fail_if_exists);
// Moves a file or directory; 183 when the destination exists, unless it is
// the same file (a change of case). A file moves across host file systems by
// copy and delete; a directory cannot (17).
bool win_move_file(const char *existing, const char *new_path);
bool win_create_hard_link(const char *new_path, const char *existing);

// ---- Handles ----
win_handle win_create_file(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                           uint32_t flags_and_attributes);
bool win_read_file(win_handle h, void *buf, uint32_t size, uint32_t *read);
bool win_write_file(win_handle h, const void *buf, uint32_t size, uint32_t *written);
// SetFilePointerEx: `new_pos` may be null. A negative result gives 131.
bool win_set_file_pointer(win_handle h, int64_t distance, int64_t *new_pos, uint32_t method);
bool win_set_end_of_file(win_handle h);  // truncates or extends at the file pointer
bool win_get_file_size(win_handle h, uint64_t *size);
bool win_get_file_information_by_handle(win_handle h, win_file_info *info);
bool win_flush_file_buffers(win_handle h);
bool win_close_handle(win_handle h);

// ---- Directory search ----
// `pattern` is "dir\*.*" (every entry; "." and ".." first except at a drive
// root), "dir\<wildcards>" with * and ? matched without case, or an exact
// path (one entry, named as on disk). Names that cannot be addressed through
// these calls (holding '\' or another character invalid in a name) or whose
// name does not fit `name` are not listed. No match: 2; missing directory: 3.
win_find_handle win_find_first_file(const char *pattern, win_find_data *data);
bool win_find_next_file(win_find_handle h, win_find_data *data);  // 18 at the end
// The same search, for its names alone: only `name` is filled, every other
// field is 0, and no entry's attributes are read (win_find_next_file goes
// on in the same way). It lists exactly the names win_find_first_file does.
win_find_handle win_find_first_name(const char *pattern, win_find_data *data);
bool win_find_close(win_find_handle h);
// How many entries with the DIRECTORY attribute a search of `pattern` lists,
// taken from the directory's entry types instead of each entry's attributes
// (an entry of unknown type is looked at). The count of an unchanged
// directory on a fixed drive is remembered. A pattern that matches nothing
// counts 0; false with the last error when the search cannot start (3, 123,
// 206, 21, ...).
bool win_count_directories(const char *pattern, uint32_t *count);
// The find data of one exact path (no wildcards; not a drive root), as
// win_find_first_file gives it, and for a directory the count that
// win_count_directories gives for "path\*.*" (0 when it cannot be listed;
// anything else counts 0), with the path resolved once. False with the last
// error as the search would set it.
bool win_find_entry(const char *path, win_find_data *data, uint32_t *count);

// ---- Volumes ----
// `root` is "c:\" (or "c:", or any directory path for the free space), or
// "\\server\share\". A drive whose directory is missing fails with 21.
bool win_get_disk_free_space_ex(const char *root, uint64_t *free_to_caller, uint64_t *total,
                                uint64_t *total_free);
uint32_t win_get_drive_type(const char *root);  // DRIVE_* of drive.h; 1 when unmapped
// Any out pointer may be null. Volume name "", flags 3, file system name
// "FAT" on vfat/msdos/exfat and "NTFS" elsewhere.
bool win_get_volume_information(const char *root, char *volume_name, uint32_t volume_name_size,
                                uint32_t *serial, uint32_t *max_component, uint32_t *flags,
                                char *fs_name, uint32_t fs_name_size);

// Conversions between Windows file times and POSIX seconds + nanoseconds.
uint64_t win_time_from_unix(int64_t sec, uint32_t nsec);
int64_t win_time_to_unix(uint64_t t, uint32_t *nsec);
