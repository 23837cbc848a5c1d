// The mapped inode table file on Linux: open + flock for the exclusive
// opening, fallocate + mmap/mremap for the view.
#include "platform/mapfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

int fd_of(const mapfile *m) {
    return static_cast<int>(m->handle);
}

// Extends the file to `size` bytes with its blocks reserved. A file system
// that cannot reserve (EOPNOTSUPP) falls back to a plain, sparse extension.
bool extend_file(int fd, uint64_t old_size, uint64_t size) {
    if (size <= old_size) return true;
    int rc = posix_fallocate(fd, static_cast<off_t>(old_size), static_cast<off_t>(size - old_size));
    if (rc == 0) return true;
    if (rc != EOPNOTSUPP && rc != EINVAL) return false;
    return ftruncate(fd, static_cast<off_t>(size)) == 0;
}

// Best effort: a file left longer holds zeros that the next opening accounts for.
void restore_size(int fd, uint64_t size) {
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return;
}

uint32_t fnv1a(const void *data, size_t n, uint32_t h) {
    const auto *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < n; i++) h = (h ^ p[i]) * 16777619u;
    return h;
}

bool snapshots = false;

// The view of a snapshot: private memory of `size` bytes holding the file's
// bytes (zeros past its end, or where it shrank meanwhile).
bool snapshot_map(mapfile *m, uint64_t size) {
    if (size < m->snapshot_size) size = m->snapshot_size;
    if (size == 0) return false;
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    auto *base = static_cast<uint8_t *>(p);
    uint64_t done = 0;
    while (m->handle >= 0 && done < m->snapshot_size) {
        ssize_t n = pread(fd_of(m), base + done, m->snapshot_size - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<uint64_t>(n);
    }
    m->base = base;
    m->size = size;
    return true;
}

}  // namespace

void mapfile_snapshots(bool on) {
    snapshots = on;
}

bool mapfile_open(mapfile *m, const char *path, bool empty_first) {
    mapfile_close(m);
    if (snapshots) {
        int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0 && errno != ENOENT) return false;
        struct stat st;
        m->snapshot = true;
        m->handle = fd;
        m->snapshot_size = fd >= 0 && !empty_first && fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
        return true;
    }
    int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    // The table must have one owner: two servers writing one table would
    // corrupt each other's records.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || (empty_first && ftruncate(fd, 0) != 0)) {
        close(fd);
        return false;
    }
    m->handle = fd;
    return true;
}

bool mapfile_size(const mapfile *m, uint64_t *size) {
    if (m->snapshot) {
        *size = m->snapshot_size;
        return true;
    }
    struct stat st;
    if (m->handle < 0 || fstat(fd_of(m), &st) != 0) return false;
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

bool mapfile_map(mapfile *m, uint64_t size) {
    if (m->snapshot) return !m->base && snapshot_map(m, size);
    uint64_t old_size = 0;
    if (m->base || !mapfile_size(m, &old_size)) return false;
    if (size < old_size) size = old_size;
    if (size == 0 || !extend_file(fd_of(m), old_size, size)) return false;
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd_of(m), 0);
    if (p == MAP_FAILED) {
        if (size > old_size) restore_size(fd_of(m), old_size);
        return false;
    }
    m->base = static_cast<uint8_t *>(p);
    m->size = size;
    return true;
}

bool mapfile_grow(mapfile *m, uint64_t new_size) {
    if (!m->base || new_size <= m->size) return false;
    uint64_t old_size = m->size;
    if (m->snapshot) {
        void *p = mremap(m->base, old_size, new_size, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) return false;
        m->base = static_cast<uint8_t *>(p);
        m->size = new_size;
        return true;
    }
    if (!extend_file(fd_of(m), old_size, new_size)) {
        restore_size(fd_of(m), old_size);
        return false;
    }
    // mremap either moves the whole view or leaves the old one in place.
    void *p = mremap(m->base, old_size, new_size, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) {
        restore_size(fd_of(m), old_size);
        return false;
    }
    m->base = static_cast<uint8_t *>(p);
    m->size = new_size;
    return true;
}

void mapfile_unmap(mapfile *m) {
    if (m->base) munmap(m->base, m->size);
    m->base = nullptr;
    m->size = 0;
}

void mapfile_close(mapfile *m) {
    mapfile_unmap(m);
    if (m->handle >= 0) close(fd_of(m));  // closing releases the flock
    m->handle = -1;
    m->snapshot = false;
    m->snapshot_size = 0;
}

bool host_path_volume_serial(const char *posix_path, uint32_t *serial) {
    if (!posix_path || !*posix_path) return false;
    if (posix_path[0] == '\\' && posix_path[1] == '\\') return false;
    std::string path = posix_path;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        size_t slash = path.find_last_of('/');
        path = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (stat(path.c_str(), &st) != 0) return false;
    }
    // The file system id survives reboots where the device number may not
    // (most disk file systems derive it from their UUID); file systems that
    // report none fall back to the device number.
    uint32_t h = 2166136261u;
    struct statfs sf;
    int32_t fsid[2] = {0, 0};
    if (statfs(path.c_str(), &sf) == 0) std::memcpy(fsid, &sf.f_fsid, sizeof fsid);
    if (fsid[0] != 0 || fsid[1] != 0) {
        h = fnv1a(fsid, sizeof fsid, h);
    } else {
        uint64_t dev = st.st_dev;
        h = fnv1a(&dev, sizeof dev, h);
    }
    *serial = h ? h : 1;
    return true;
}
