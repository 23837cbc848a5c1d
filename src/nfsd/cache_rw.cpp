// The attribute read of a handle and the READ, WRITE and COMMIT backends,
// which reach their files through the open-file cache: a burst of requests
// to one file costs one open and one close.
#include <cerrno>
#include <cstdint>
#include <ctime>

#include "fs/fs.h"
#include "names/name.h"
#include "names/nfs_status.h"
#include "nfsd/attr_status.h"
#include "nfsd/cache.h"
#include "platform/rterrno.h"
#include "base/config.h"
#include "base/log.h"

namespace {

constexpr const char *LOG_CACHE_SIZE = "%s nfsd   file handle cache size %u\n";
constexpr const char *LOG_READ_OPEN = "nfs_read: open error %u node %u path %s\n";
constexpr const char *LOG_READ = "nfs_read: %s error %u\n";
constexpr const char *LOG_WRITE_SEEK = "nfs_write seek %u path %s error %u\n";
constexpr const char *LOG_WRITE = "nfs_write %s %u/%u error %u\n";

constexpr int64_t SEEK_LIMIT = INT64_MAX;  // the host's largest file position
// Below this a copy through the reply buffer costs less than the two host
// calls more that moving the data through a pipe takes.
constexpr uint64_t PIPE_MIN = 32768;

// One request's hold on an open file: the cache entry, or a descriptor of
// its own when the cache had no room.
struct open_file {
    cache_entry *entry = nullptr;
    int fd = -1;

    // Done with it; the attributes go back to the cache.
    void release(const nfs_attr *attr) {
        if (entry)
            cache_release(entry, attr);
        else
            rt_close(fd);
    }
    // Something went wrong with the descriptor: the next request reopens.
    void discard() {
        if (entry)
            cache_drop(entry);
        else
            rt_close(fd);
    }
    // Puts the position at `offset`; a request that goes on where the last
    // one of the burst ended finds it there already. False on a failed seek.
    bool seek(int64_t offset) {
        if (entry && cache_position(entry) == offset) return true;
        if (rt_lseek(fd, offset, RT_SEEK_SET) < 0) return false;
        if (entry) cache_set_position(entry, offset);
        return true;
    }
    // `n` bytes were read or written from the position on.
    void advance(int64_t n) {
        if (entry) cache_set_position(entry, cache_position(entry) + n);
    }
};

uint32_t lower_to_datasize(uint32_t count) {
    return count > config.datasize ? config.datasize : count;
}

// The attributes of a resolved object, checked and mapped; a file found
// gone takes its record, and so the object, with it.
uint32_t object_attr(nfs_object *o, nfs_attr *attr) {
    if (!nfs_object_check(o, true)) return NFSERR_NXIO;
    uint32_t status = nfs_path_attr(o->inode, o->exp, o->path, attr, nfs_object_identity(o));
    if (status == NFSERR_NOENT) nfs_object_drop(o);
    return status;
}

// Takes the file from the cache; on a miss checks the export and reads the
// attributes instead, and the caller opens the file. Answers a status.
uint32_t open_cached(nfs_object *o, uint32_t mode, open_file *f, nfs_attr *attr) {
    f->entry = cache_take(o->inode, mode, &f->fd, attr);
    if (f->entry) return NFS_OK;
    return object_attr(o, attr);
}

// Reads until `count` bytes are in or the file ends; -1 on a failed read.
int64_t read_fully(int fd, uint8_t *dest, uint32_t count) {
    uint32_t got = 0;
    while (got < count) {
        int n = rt_read(fd, dest + got, count - got);
        if (n < 0) return -1;
        if (n == 0) break;
        got += uint32_t(n);
    }
    return got;
}

// Cuts the file back to `length` after a failed write, through a handle of
// its own (the descriptor is already gone).
void restore_length(const char *path, int64_t length) {
    win_handle h = fs_create_file(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) return;
    uint64_t size = 0;
    if (win_get_file_size(h, &size) && size > uint64_t(length) &&
        win_set_file_pointer(h, length, nullptr, FILE_BEGIN))
        win_set_end_of_file(h);
    win_close_handle(h);
}

// The write backend's undo: file length and a READONLY attribute it cleared.
struct write_undo {
    const char *path;
    int64_t length = -1;        // -1: unknown, leave it
    uint32_t attributes = 0;    // to set again, when `readonly_cleared`
    bool readonly_cleared = false;

    void apply() const {
        if (length >= 0) restore_length(path, length);
        if (readonly_cleared) fs_set_attributes(path, attributes);
    }
};

}  // namespace

uint32_t nfs_service_init() {
    hardlink_lookup();
    uint32_t n = cache_init();
    log_printf(LOG_EVENT, LOG_CACHE_SIZE, log_time(), n);
    fs_startup_log();
    return n;
}

uint32_t nfs_fh_attr(nfs_object *o, nfs_attr *attr) {
    uint32_t status = nfs_object_resolve(o, false);
    if (status != NFS_OK) return status;
    if (!nfs_object_check(o, true)) return NFSERR_NXIO;
    // An open descriptor may hold changes the directory entry does not show yet.
    cache_close_idle(o->inode);
    return object_attr(o, attr);
}

// Moves the read through the reply's pipe when it is large enough to gain
// from it: the bytes moved, or SOCK_PIPE_UNSUPPORTED (the caller copies), or
// a negated error number.
long read_piped(xprt *xp, int fd, uint64_t offset, uint32_t want, const nfs_attr *attr,
                uint8_t *dest) {
    uint64_t expect = attr->size > offset ? attr->size - offset : 0;
    if (!xp || want < PIPE_MIN || expect < PIPE_MIN) return SOCK_PIPE_UNSUPPORTED;
    sock_pipe *pipe = rpc_reply_pipe(xp, want);
    if (!pipe) return SOCK_PIPE_UNSUPPORTED;
    long got = sock_pipe_fill(pipe, fd, int64_t(offset), want);
    if (got >= 0) rpc_reply_piped(xp, pipe, dest, uint32_t(got));
    return got;
}

uint32_t nfs_read(nfs_object *o, uint64_t offset, uint32_t *count, uint8_t *dest,
                  nfs_attr *attr, xprt *xp) {
    uint32_t want = lower_to_datasize(*count);
    *count = 0;
    uint32_t status = nfs_object_resolve(o, false);
    if (status != NFS_OK) return status;
    const char *path = o->path;
    uint32_t inode = o->inode;

    open_file f;
    status = open_cached(o, CACHE_READ, &f, attr);
    if (status != NFS_OK) return status;
    if (!f.entry) {
        f.fd = fs_open(path, RT_O_RDONLY | RT_O_BINARY, 0);
        if (f.fd < 0) {
            int err = errno;
            log_printf(LOG_DETAIL, LOG_READ_OPEN, unsigned(err), inode, path);
            return errno_status(err);
        }
        f.entry = cache_put(export_load(o->exp->volume_serial), inode, f.fd, CACHE_READ);
    }

    // No file reaches past the host's largest position: nothing to read there.
    int64_t got = 0;
    long piped = offset <= uint64_t(SEEK_LIMIT)
                     ? read_piped(xp, f.fd, offset, want, attr, dest)
                     : SOCK_PIPE_UNSUPPORTED;
    if (piped >= 0) {
        got = piped;
    } else if (piped != SOCK_PIPE_UNSUPPORTED) {
        f.discard();
        log_printf(LOG_DETAIL, LOG_READ, path, unsigned(-piped));
        return errno_status(int(-piped));
    } else if (offset <= uint64_t(SEEK_LIMIT)) {
        if (!f.seek(int64_t(offset))) {
            int err = errno;
            f.discard();
            return errno_status(err);
        }
        got = read_fully(f.fd, dest, want);
        if (got < 0) {
            int err = errno;
            f.discard();
            log_printf(LOG_DETAIL, LOG_READ, path, unsigned(err));
            return errno_status(err);
        }
        f.advance(got);
    }
    // Short: the file may have shrunk since its attributes were kept.
    if (uint32_t(got) < want) {
        int64_t length = rt_filelength(f.fd);
        if (length >= 0) attr->size = uint64_t(length);
    }
    f.release(attr);
    *count = uint32_t(got);
    return NFS_OK;
}

uint32_t nfs_write(nfs_object *o, uint64_t offset, uint32_t *count, bool sync,
                   const uint8_t *data, uint64_t max_size, nfs_attr *attr) {
    uint32_t want = lower_to_datasize(*count);
    *count = 0;
    uint32_t status = nfs_object_resolve(o, true);
    if (status != NFS_OK) return status;
    const char *path = o->path;
    uint32_t inode = o->inode;
    if (max_size > uint64_t(SEEK_LIMIT)) max_size = SEEK_LIMIT;
    if (offset > max_size - want) return NFSERR_FBIG;

    write_undo undo;
    undo.path = path;
    open_file f;
    status = open_cached(o, CACHE_WRITE, &f, attr);
    if (status != NFS_OK) return status;
    if (!f.entry) {
        const rpc_cred *cred = nfs_object_identity(o);
        // Root may write a READONLY file, as it may on a Unix server; the
        // attribute stays cleared once the write went through.
        uint32_t attributes = fs_get_attributes(path);
        if (cred && cred->uid == 0 && attributes != FS_INVALID_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_READONLY)) {
            undo.attributes = attributes;
            undo.readonly_cleared = fs_set_attributes(path, attributes & ~FILE_ATTRIBUTE_READONLY);
        }
        f.fd = fs_open(path, RT_O_RDWR | RT_O_BINARY, 0);
        if (f.fd < 0) {
            int err = errno;
            undo.apply();
            return errno_status(err);
        }
        f.entry = cache_put(export_load(o->exp->volume_serial), inode, f.fd, CACHE_WRITE);
    }
    // The length to go back to after a failed write: the attributes just
    // read, or those the cached file's last request left, which every
    // request through that descriptor keeps current. Only the length after
    // the write, which the reply carries, is read from the file.
    undo.length = int64_t(attr->size);

    if (!f.seek(int64_t(offset))) {
        int err = errno;
        f.discard();
        log_printf(LOG_DETAIL, LOG_WRITE_SEEK, uint32_t(offset), path, unsigned(err));
        undo.apply();
        return errno_status(err);
    }
    errno = 0;
    int written = rt_write(f.fd, data, want);
    // A short write is a failure too: version 2 replies cannot report it.
    if (written != int(want) || (sync && rt_commit(f.fd) != 0)) {
        int err = errno ? errno : rt_errno_host.nospc;
        f.discard();
        log_printf(LOG_DETAIL, LOG_WRITE, path, uint32_t(written), want, unsigned(err));
        undo.apply();
        return errno_status(err);
    }

    f.advance(want);
    int64_t length = rt_filelength(f.fd);
    if (length >= 0) attr->size = uint64_t(length);
    attr->atime_sec = attr->mtime_sec = uint32_t(std::time(nullptr));
    attr->atime_nsec = attr->mtime_nsec = 0;
    f.release(attr);
    *count = want;
    return NFS_OK;
}

uint32_t nfs_commit(nfs_object *o, uint64_t, uint32_t, nfs_attr *attr) {
    uint32_t status = nfs_object_resolve(o, true);
    if (status != NFS_OK) return status;
    uint32_t inode = o->inode;

    // Unstable writes become stable here: flush before the reply says so.
    int fd;
    cache_entry *e = cache_take(inode, CACHE_WRITE, &fd, attr);
    if (e) {
        int failed = rt_commit(fd);
        int err = errno;
        cache_drop(e);
        return failed ? errno_status(err) : NFS_OK;
    }
    status = object_attr(o, attr);
    if (status != NFS_OK) return status;
    // Written through a descriptor the sweep has closed since: the data may
    // still sit in the host's buffers.
    fd = fs_open(o->path, RT_O_RDWR | RT_O_BINARY, 0);
    if (fd >= 0) {
        int failed = rt_commit(fd);
        int err = errno;
        rt_close(fd);
        if (failed) return errno_status(err);
    }
    return NFS_OK;
}
