// The runtime library's file descriptors over Windows paths (resolved as in
// winfile.h, so the same containment, case folding and READONLY rules hold).
// Failures return -1 and leave the host errno in errno (ENOENT, EACCES,
// EEXIST, ENOTDIR, EISDIR, ENOSPC, ...); callers read errno right after.
// A descriptor is a small non-negative number from the layer's own table,
// not a host descriptor: use only the rt_ calls on it. Thread-safe, but one
// descriptor serves one thread at a time (its position is shared).
#pragma once

#include <cstdint>

// Open flags with the runtime library's values.
constexpr int RT_O_RDONLY = 0x0000;
constexpr int RT_O_WRONLY = 0x0001;
constexpr int RT_O_RDWR = 0x0002;
constexpr int RT_O_APPEND = 0x0008;
constexpr int RT_O_CREAT = 0x0100;
constexpr int RT_O_TRUNC = 0x0200;
constexpr int RT_O_EXCL = 0x0400;
constexpr int RT_O_TEXT = 0x4000;    // accepted; no translation is ever done
constexpr int RT_O_BINARY = 0x8000;  // accepted; always binary
// Permission mode of a newly created file: without RT_S_IWRITE it is READONLY.
constexpr int RT_S_IREAD = 0x0100;
constexpr int RT_S_IWRITE = 0x0080;

constexpr int RT_SEEK_SET = 0;
constexpr int RT_SEEK_CUR = 1;
constexpr int RT_SEEK_END = 2;

// Opening for writing (RT_O_WRONLY, RT_O_RDWR or RT_O_TRUNC) an existing
// READONLY file fails with EACCES, also for root. A directory gives EACCES;
// a link or device file opens for reading only (its content is virtual).
int rt_open(const char *path, int flags, int pmode);
int64_t rt_lseek(int fd, int64_t offset, int whence);  // -1 on failure
int rt_read(int fd, void *buf, uint32_t size);         // bytes read, 0 at end, -1
int rt_write(int fd, const void *buf, uint32_t size);  // bytes written, -1
int rt_commit(int fd);                                 // flushes to disk; 0 or -1
int rt_close(int fd);                                  // 0 or -1
int64_t rt_filelength(int fd);                         // -1 on failure
// Sets access and modification times (seconds since 1970). As on Windows,
// where the runtime opens the file for writing to do this, a READONLY file or
// a directory gives EACCES, and link and device files cannot be changed.
int rt_utime(const char *path, int64_t atime, int64_t mtime);
