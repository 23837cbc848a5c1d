// Shared pieces of the POSIX implementation of winfile.h and rtfile.h. Not a
// public header: only the POSIX sources of src/platform/ include it.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>

#include "platform/drive.h"
#include "platform/winfile.h"

constexpr uint32_t WIN_PATH_LIMIT = 4096;  // bytes of a Windows path, NUL included
constexpr uint32_t WIN_NAME_LIMIT = 255;   // bytes of one component

// What a name on disk is, as the Windows calls see it.
enum wkind : uint8_t {
    WK_NONE = 0,  // missing (FIFOs and sockets count as missing)
    WK_FILE,
    WK_DIR,
    WK_LINK,    // POSIX symbolic link: a link file
    WK_DEVICE,  // block or character device: a device file
};

// Link and device files have content made by the layer, never the host's:
// they are read as text or header, never opened, never written.
inline bool wkind_virtual(wkind kind) {
    return kind == WK_LINK || kind == WK_DEVICE;
}

// A walk's hold on a cached directory (winfile_pathcache.cpp): while held,
// its descriptor stays open even when a host change drops it from the cache.
struct path_node;
struct path_hold {
    path_node *node = nullptr;
    uint32_t gen = 0;  // the node's events when the hold was taken
};

// The cached descriptor of a drive's folder `dir`, held in `h`; -1 when
// none is cached. Reads the queued host changes first.
int pathcache_root(const char *dir, path_hold *h);
// Caches `fd` (O_PATH) as drive folder `dir` and holds it; false when it is
// not cached (the caller keeps the descriptor).
bool pathcache_add_root(const char *dir, int fd, path_hold *h);
// The cached child `name` (exactly as spelt) of the held directory: moves
// the hold to it and answers its descriptor; -1, hold unchanged, when none.
int pathcache_child(path_hold *h, const char *name);
// Caches `fd` as child `name` (spelt `disk` on disk) of the held directory
// and moves the hold to it. False when the held directory changed since the hold was taken, or
// no watch can be had: the hold is released and the caller keeps `fd`.
bool pathcache_add(path_hold *h, const char *name, const char *disk, int fd);
// The on-disk name of the held folder (WIN_NAME_LIMIT + 1 bytes).
void pathcache_disk_name(const path_hold *h, char *out);
void pathcache_release(path_hold *h);
// Reads the queued host changes; false when the held folder has been
// dropped for one (or nothing can be cached).
bool pathcache_refresh(const path_hold *h);
// A second hold `to` on the folder that `from` holds; false when that folder
// has been dropped from the cache since.
bool pathcache_hold_copy(const path_hold *from, path_hold *to);
// The descriptor of the folder held in `h`.
int pathcache_descriptor(const path_hold *h);
// Drops everything (tests; a drive map that changed).
void pathcache_clear();
// Changes of the mount table the walks have seen so far.
uint64_t pathcache_mount_changes();

// HIDDEN and SYSTEM as last read for the file whose statx is `sx`
// (winfile_bitscache.cpp); false when not known.
bool bitscache_get(const struct statx &sx, uint32_t *bits);
// Remembers `bits`, read after `sx` was taken from the file `name` in
// `dirfd` ("": dirfd itself).
void bitscache_put(int dirfd, const char *name, const struct statx &sx, uint32_t bits);

// The folders of the calling thread's win_folder_scope (winfile_scope.cpp),
// each keyed by the text of the path up to its last component. The folder
// that `key` named earlier in the scope: its descriptor, held in `h`, or -1
// (outside a scope, never seen, or dropped since).
int scope_folder(const char *key, size_t key_length, path_hold *h);
// Remembers the folder held in `h` as `key` for the rest of the scope.
void scope_keep(const char *key, size_t key_length, const path_hold *h);
// Forgets every folder of the scope: the layer moved or removed a name.
void scope_forget();
// Counts a walk from a drive's folder (win_folder_walks).
void scope_count_walk();

// A resolved Windows path: the parent directory is open, the last component
// is named as on disk when it exists, as given otherwise.
struct wpath {
    drive_info drive;
    int dirfd = -1;     // parent directory (O_PATH), or the root itself
    path_hold hold;     // when set, dirfd belongs to the cache
    bool root = false;  // the path names the drive root (name is "")
    char name[WIN_NAME_LIMIT + 1];
    char given[WIN_NAME_LIMIT + 1];  // the last component as the caller wrote it
    wkind kind = WK_NONE;
    struct statx sx;  // valid when kind != WK_NONE

    wpath() = default;
    wpath(const wpath &) = delete;
    wpath &operator=(const wpath &) = delete;
    ~wpath() {
        if (hold.node)
            pathcache_release(&hold);
        else if (dirfd >= 0)
            close(dirfd);
    }
};

// Resolves `path`. Success (0) means the parent directory exists; then
// `kind` says whether the last component does. Errors: 3 missing parent (or
// a parent that is not a directory), 123 invalid name, 206 too long, 21 drive
// without medium, 5 unreadable drive directory, and the drive_lookup errors.
// The error is returned, not stored as the last error.
uint32_t wpath_resolve(const char *path, wpath *r);
// The same for a read: when the path is a folder the request reached
// before, that folder answers it itself (dirfd the folder, name "", root
// false), with no walk to its parent. Never for a change of the name.
uint32_t wpath_resolve_read(const char *path, wpath *r);

// Resolves the directory part of `path` only and returns its last
// component, unchecked, in `last` (for search patterns).
uint32_t wpath_resolve_parent(const char *path, wpath *r, char *last, uint32_t last_size);

// The parent directory's descriptor for the caller to keep: `r` no longer
// closes it (a duplicate when the cache holds the original); -1 on failure.
int wpath_take_dirfd(wpath *r);

// Fills kind and sx for r->name below r->dirfd (exact name only).
void wpath_restat(wpath *r);

// The kind of a statx result.
wkind wkind_of(const struct statx &sx);

// Windows attributes of a statx result; `dirfd`/`name` are used to read
// HIDDEN and SYSTEM from the extended attribute ("" name: dirfd itself).
uint32_t attributes_of(int dirfd, const char *name, const struct statx &sx);

// "/proc/self/fd/<fd>/<name>" or "/proc/self/fd/<fd>" when name is "".
void proc_path(char *buf, size_t size, int fd, const char *name);

// Case-insensitive directory index (winfile_dircache.cpp).
// Finds a name in directory `dirfd` that equals `name` ignoring ASCII case;
// copies the on-disk name into `out` (WIN_NAME_LIMIT + 1 bytes). False with
// errno ENOENT when there is none, or with the errno of the failing call
// when the directory could not be read (EMFILE: out of descriptors).
bool dircache_find(int dirfd, const char *name, char *out);
// The key of a directory, taken right before the layer changes it.
struct dir_mark {
    bool ok;
    uint64_t dev, ino;
    uint64_t times[4];
};
void dircache_mark(int dirfd, dir_mark *m);
// After a successful change of the directory marked in `m`: a name was added
// or removed. The mark then holds the new key, so that the second half of a
// rename within one directory can follow with the same mark.
void dircache_added(int dirfd, const char *name, dir_mark *m);
void dircache_removed(int dirfd, const char *name, dir_mark *m);
// Forgets the index of `dirfd`.
void dircache_changed(int dirfd);
// Remembered directory counts of win_count_directories, keyed by the
// directory's statx `sx` (device, inode, times, size, links) and whether it
// was searched as a drive root (which lists no dot entries).
bool dircache_count_get(const struct statx &sx, bool root, uint32_t *count);
// Keeps `count` only when the directory has not changed within a few
// seconds before `now` (real-time seconds read before `sx` was taken): a
// change in the same tick of the file system's clock would leave its times
// as they were, and a stale count would be served. With `fine_times`
// (dircache_fine_times) any later change gives new times, and the count is
// kept at once.
void dircache_count_put(const struct statx &sx, bool root, uint32_t count, int64_t now,
                        bool fine_times);
// Whether a change to the directory open as `fd` after its times were read
// always gives it new times: kernels from 6.13 on, which stamp a change
// after such a read with a finer time than the clock's tick, on the file
// systems that take part (ext4, XFS, Btrfs, tmpfs).
bool dircache_fine_times(int fd);

// The "specdata" content of a device file (DEVICE_HEADER_* in winfile.h).
void device_header(const struct statx &sx, uint8_t out[DEVICE_HEADER_SIZE]);

// Content of a link or device file: up to `size` bytes from `offset`.
// Returns bytes copied, or -1 with errno.
int64_t virtual_read(int dirfd, const char *name, wkind kind, const struct statx &sx,
                     uint64_t offset, void *buf, uint32_t size);

// Handle table shared with rtfile.cpp (winfile_handle.cpp).
struct hfile {
    int fd;     // host descriptor: O_RDONLY/O_RDWR for files; O_PATH for virtual ones
    int drive;  // drive slot, for the volume serial
    wkind kind;
    bool can_read;
    bool can_write;
    bool append;
    uint64_t vpos;  // position in a virtual file
};
// Stores a new open file; returns its slot or -1 (EMFILE) when full.
int hfile_add(const hfile &f);
// The open file in `slot`, or null.
hfile *hfile_get(int64_t slot);
// Frees the slot and closes its descriptor; false for an invalid slot.
bool hfile_remove(int64_t slot);

// Opens an existing regular file found by resolution, race-free: the name is
// opened O_PATH|O_NOFOLLOW, checked, then reopened through /proc with
// `flags`. Returns the descriptor or -1 with errno.
int open_resolved(wpath *r, int flags);
// An O_PATH descriptor of what `r` resolved to, never following a link: the
// name in its folder, or the folder itself when the name is "" (extra
// `flags`, such as O_DIRECTORY, apply to a name). -1 with errno.
int wpath_open_path(const wpath *r, int flags);

// A directory entry as getdents64 returns it; directories are read with
// that call so a listing needs no allocation.
struct linux_dirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

// Writes all `size` bytes at `buf` to host descriptor `fd`, again after an
// interruption or a short write. Answers the bytes written: `size`, or fewer
// when a write failed, errno saying why (ENOSPC when the host took nothing
// and reported no error).
size_t write_all(int fd, const void *buf, size_t size);

// Sets the calling thread's last error and answers false / the given value.
inline bool fail(uint32_t error) {
    win_set_last_error(error);
    return false;
}

// Fills a find-data record for `name` below `dirfd` (statx already taken);
// `shown` is the name to report ("." and ".." for the dot entries).
void find_data_from(int dirfd, const char *name, const struct statx &sx, const char *shown,
                    win_find_data *data);

// Sets READONLY, HIDDEN and SYSTEM on the regular file or directory open as
// `fd` (any descriptor, O_PATH included) whose mode is `mode_now`. On
// failure the last error is set and nothing has changed.
bool set_attributes_fd(int fd, uint32_t mode_now, uint32_t attributes);
