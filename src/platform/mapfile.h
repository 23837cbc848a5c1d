// The mapped file under the inode table: one file, opened exclusively and
// mapped as a whole into one writable shared view. Paths are the server's own
// POSIX paths. Not thread-safe: the caller serialises every call on one
// mapfile (the inode table does so with its locks).
#pragma once

#include <cstdint>

struct mapfile {
    intptr_t handle = -1;     // the open file; -1 while closed
    uint8_t *base = nullptr;  // the view; null while unmapped
    uint64_t size = 0;        // bytes in the view
    bool snapshot = false;    // opened while snapshots were on (below)
    uint64_t snapshot_size = 0;
};

// Snapshots: while on, mapfile_open takes no lock and never writes the file
// (a missing one is not created); the view is private memory that holds a
// copy of the file's bytes as they were when mapped, and growing it grows
// only that memory. A check of the settings uses it to look at the table of
// a server that may be running, without ever changing that table.
void mapfile_snapshots(bool on);

// Opens `path` for reading and writing, creating it when missing, and takes
// an exclusive lock on it: a second opener, in this process or another,
// fails. With `empty_first` the file is emptied once the lock is held (the
// file that another server holds is never touched). False on failure; the
// mapfile stays closed.
bool mapfile_open(mapfile *m, const char *path, bool empty_first);

// The file's current size in bytes; false on failure.
bool mapfile_size(const mapfile *m, uint64_t *size);

// Maps the whole file writable and shared, first extending it to `size`
// bytes when it is shorter (the new bytes are zero and their disk space is
// reserved, so that writes through the view never fault on a full disk).
// False on failure, with nothing mapped and the file at its old size.
bool mapfile_map(mapfile *m, uint64_t size);

// Extends a mapped file to `new_size` bytes and moves the view over it. The
// new view exists before the old one goes, so on failure the old view, its
// address and the file's size are unchanged. On success `base` may differ.
bool mapfile_grow(mapfile *m, uint64_t new_size);

// Removes the view (safe when none).
void mapfile_unmap(mapfile *m);

// Removes the view, releases the lock and closes the file (safe when closed).
void mapfile_close(mapfile *m);

// The serial number of the file system that holds `posix_path` (or, when the
// file does not exist, its folder): stable across runs on the same file
// system, different on another one, never 0. A path in network form (two
// leading backslashes) has no readable volume: false.
bool host_path_volume_serial(const char *posix_path, uint32_t *serial);
