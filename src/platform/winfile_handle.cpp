// Open files: the handle table, CreateFile and the calls on a handle.
//
// One fixed table serves both the Windows handles and the runtime
// descriptors (rtfile.cpp), so opening costs no allocation. A link or device
// file is held by an O_PATH descriptor and read from its virtual content;
// it is never opened on the host.
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/winfile_internal.h"

namespace {

constexpr int HFILE_SLOTS = 4096;
std::mutex table_lock;
hfile table[HFILE_SLOTS];
bool used[HFILE_SLOTS];
int cursor = 0;

int64_t virtual_size(const hfile &f) {
    if (f.kind == WK_DEVICE) return DEVICE_HEADER_SIZE;
    struct statx sx;
    if (statx(f.fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_SIZE, &sx) != 0) return -1;
    return int64_t(sx.stx_size);
}

hfile *get_or_fail(win_handle h) {
    hfile *f = hfile_get(h);
    if (!f) win_set_last_error(ERROR_INVALID_HANDLE);
    return f;
}

}  // namespace

size_t write_all(int fd, const void *buf, size_t size) {
    const char *p = static_cast<const char *>(buf);
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, p + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            break;
        }
        done += size_t(n);
    }
    return done;
}

int hfile_add(const hfile &f) {
    std::lock_guard<std::mutex> g(table_lock);
    // Slot 0 stays unused, so that no handle or descriptor is ever 0.
    for (int i = 0; i < HFILE_SLOTS; i++) {
        int slot = (cursor + i) % HFILE_SLOTS;
        if (slot != 0 && !used[slot]) {
            table[slot] = f;
            used[slot] = true;
            cursor = (slot + 1) % HFILE_SLOTS;
            return slot;
        }
    }
    errno = EMFILE;
    return -1;
}

hfile *hfile_get(int64_t slot) {
    if (slot < 0 || slot >= HFILE_SLOTS) return nullptr;
    std::lock_guard<std::mutex> g(table_lock);
    return used[slot] ? &table[slot] : nullptr;
}

bool hfile_remove(int64_t slot) {
    int fd;
    {
        std::lock_guard<std::mutex> g(table_lock);
        if (slot < 0 || slot >= HFILE_SLOTS || !used[slot]) return false;
        fd = table[slot].fd;
        used[slot] = false;
    }
    close(fd);
    return true;
}

namespace {

// What CreateFile was asked for, as the two paths below need it.
struct create_request {
    uint32_t disposition;
    uint32_t flags_and_attributes;
    uint32_t new_attrs;  // READONLY, HIDDEN and SYSTEM of a new or replaced file
    int oflags;          // the host's access mode
    bool want_write, truncate;
};

// A name that does not exist yet: created exclusively, with its attributes.
win_handle create_new(const wpath &r, const create_request &q, hfile f) {
    if (q.disposition == OPEN_EXISTING || q.disposition == TRUNCATE_EXISTING)
        return fail(ERROR_FILE_NOT_FOUND), INVALID_HANDLE_VALUE;
    if (r.root) return fail(ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE;
    mode_t mode = (q.new_attrs & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    dir_mark mark;
    dircache_mark(r.dirfd, &mark);
    f.fd = openat(r.dirfd, r.name, q.oflags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (f.fd < 0) {
        uint32_t err = errno == EEXIST ? ERROR_FILE_EXISTS : win_error_from_errno(errno);
        return fail(err), INVALID_HANDLE_VALUE;
    }
    f.kind = WK_FILE;
    if ((q.new_attrs & ~FILE_ATTRIBUTE_READONLY) && !set_attributes_fd(f.fd, mode, q.new_attrs)) {
        uint32_t err = win_last_error();
        close(f.fd);
        unlinkat(r.dirfd, r.name, 0);
        return fail(err), INVALID_HANDLE_VALUE;
    }
    dircache_added(r.dirfd, r.name, &mark);
    int slot = hfile_add(f);
    if (slot < 0) {
        close(f.fd);
        if (unlinkat(r.dirfd, r.name, 0) == 0) dircache_removed(r.dirfd, r.name, &mark);
        return fail(ERROR_TOO_MANY_OPEN_FILES), INVALID_HANDLE_VALUE;
    }
    win_set_last_error(ERROR_SUCCESS);
    return slot;
}

// Opens what the name holds, as Windows allows it: a directory only for
// backup semantics, a link or device file only for reading, a READONLY
// file never for writing. False with the last error set.
bool open_existing_fd(wpath *r, const create_request &q, uint32_t attrs, hfile *f) {
    switch (r->kind) {
        case WK_DIR:
            if (!(q.flags_and_attributes & FILE_FLAG_BACKUP_SEMANTICS) || q.want_write || q.truncate)
                return fail(ERROR_ACCESS_DENIED);
            f->fd = open_resolved(r, O_RDONLY | O_DIRECTORY);
            f->can_read = false;
            break;
        case WK_LINK:
        case WK_DEVICE:
            if (q.want_write || q.truncate) return fail(ERROR_ACCESS_DENIED);
            f->fd = openat(r->dirfd, r->name, O_PATH | O_NOFOLLOW | O_CLOEXEC);
            break;
        default:
            // READONLY holds for root too: the layer, not the host, enforces it.
            if ((attrs & FILE_ATTRIBUTE_READONLY) && (q.want_write || q.truncate))
                return fail(ERROR_ACCESS_DENIED);
            // Windows refuses to replace a hidden or system file with one
            // that is not declared so.
            if (q.disposition == CREATE_ALWAYS &&
                (attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM) & ~q.new_attrs))
                return fail(ERROR_ACCESS_DENIED);
            f->fd = open_resolved(r, q.oflags);
            break;
    }
    return f->fd >= 0 || fail(win_error_from_errno(errno));
}

// A name that exists: opened, and truncated when the disposition says so.
win_handle open_existing(wpath *r, const create_request &q, hfile f) {
    if (q.disposition == CREATE_NEW) return fail(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
    uint32_t attrs = attributes_of(r->dirfd, r->name, r->sx);
    if (!open_existing_fd(r, q, attrs, &f)) return INVALID_HANDLE_VALUE;
    if (q.truncate && r->kind == WK_FILE) {
        // The new attributes before the content goes: a volume that cannot
        // keep them (no extended attributes) refuses the call unchanged.
        bool ok = q.disposition != CREATE_ALWAYS ||
                  q.new_attrs == (attrs & ~FILE_ATTRIBUTE_NORMAL) ||
                  set_attributes_fd(f.fd, r->sx.stx_mode, q.new_attrs);
        if (ok && ftruncate(f.fd, 0) != 0) ok = fail(win_error_from_errno(errno));
        if (!ok) {
            uint32_t err = win_last_error();
            close(f.fd);
            return fail(err), INVALID_HANDLE_VALUE;
        }
    }
    int slot = hfile_add(f);
    if (slot < 0) {
        close(f.fd);
        return fail(ERROR_TOO_MANY_OPEN_FILES), INVALID_HANDLE_VALUE;
    }
    bool reports_existing = q.disposition == CREATE_ALWAYS || q.disposition == OPEN_ALWAYS;
    win_set_last_error(reports_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return slot;
}

}  // namespace

win_handle win_create_file(const char *path, uint32_t access, uint32_t share, uint32_t disposition,
                           uint32_t flags_and_attributes) {
    (void)share;  // the host has no mandatory sharing; see winfile.h
    uint32_t e;
    if (win_fail_check("CreateFile", &e)) return INVALID_HANDLE_VALUE;
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING)
        return fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    create_request q;
    q.disposition = disposition;
    q.flags_and_attributes = flags_and_attributes;
    q.want_write = access & GENERIC_WRITE;
    q.truncate = disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    if (disposition == TRUNCATE_EXISTING && !q.want_write)
        return fail(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
    wpath r;
    e = wpath_resolve(path, &r);
    if (e) return fail(e), INVALID_HANDLE_VALUE;

    hfile f{};
    f.drive = r.drive.index;
    f.kind = r.kind;
    f.can_read = !q.want_write || (access & GENERIC_READ);
    f.can_write = q.want_write;
    q.new_attrs = flags_and_attributes &
                  (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    q.oflags = q.want_write ? ((access & GENERIC_READ) ? O_RDWR : O_WRONLY) : O_RDONLY;
    return r.kind == WK_NONE ? create_new(r, q, f) : open_existing(&r, q, f);
}

bool win_read_file(win_handle h, void *buf, uint32_t size, uint32_t *read_out) {
    uint32_t e;
    if (read_out) *read_out = 0;
    if (win_fail_check("ReadFile", &e)) return false;
    hfile *f = get_or_fail(h);
    if (!f) return false;
    if (!f->can_read) return fail(ERROR_ACCESS_DENIED);
    if (wkind_virtual(f->kind)) {
        struct statx sx;
        if (statx(f->fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS, &sx) != 0)
            return fail(win_error_from_errno(errno));
        int64_t n = virtual_read(f->fd, "", f->kind, sx, f->vpos, buf, size);
        if (n < 0) return fail(win_error_from_errno(errno));
        f->vpos += uint64_t(n);
        if (read_out) *read_out = uint32_t(n);
        return true;
    }
    ssize_t n;
    do n = read(f->fd, buf, size);
    while (n < 0 && errno == EINTR);
    if (n < 0) return fail(win_error_from_errno(errno));
    if (read_out) *read_out = uint32_t(n);
    return true;
}

bool win_write_file(win_handle h, const void *buf, uint32_t size, uint32_t *written) {
    uint32_t e;
    if (written) *written = 0;
    if (win_fail_check("WriteFile", &e)) return false;
    hfile *f = get_or_fail(h);
    if (!f) return false;
    if (!f->can_write || f->kind != WK_FILE) return fail(ERROR_ACCESS_DENIED);
    size_t done = write_all(f->fd, buf, size);
    if (written) *written = uint32_t(done);
    return done == size || fail(win_error_from_errno(errno));
}

bool win_set_file_pointer(win_handle h, int64_t distance, int64_t *new_pos, uint32_t method) {
    uint32_t e;
    if (win_fail_check("SetFilePointer", &e)) return false;
    hfile *f = get_or_fail(h);
    if (!f) return false;
    if (method > FILE_END) return fail(ERROR_INVALID_PARAMETER);
    if (wkind_virtual(f->kind)) {
        int64_t base = method == FILE_BEGIN     ? 0
                       : method == FILE_CURRENT ? int64_t(f->vpos)
                                                : virtual_size(*f);
        if (base < 0) return fail(win_error_from_errno(errno));
        int64_t pos;
        if (__builtin_add_overflow(base, distance, &pos)) return fail(ERROR_INVALID_PARAMETER);
        if (pos < 0) return fail(ERROR_NEGATIVE_SEEK);
        f->vpos = uint64_t(pos);
        if (new_pos) *new_pos = pos;
        return true;
    }
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    off_t pos = lseek(f->fd, distance, whence);
    if (pos < 0) return fail(errno == EINVAL ? ERROR_NEGATIVE_SEEK : win_error_from_errno(errno));
    if (new_pos) *new_pos = pos;
    return true;
}

bool win_set_end_of_file(win_handle h) {
    uint32_t e;
    if (win_fail_check("SetEndOfFile", &e)) return false;
    hfile *f = get_or_fail(h);
    if (!f) return false;
    if (!f->can_write || f->kind != WK_FILE) return fail(ERROR_ACCESS_DENIED);
    off_t pos = lseek(f->fd, 0, SEEK_CUR);
    if (pos < 0 || ftruncate(f->fd, pos) != 0) return fail(win_error_from_errno(errno));
    return true;
}

bool win_get_file_size(win_handle h, uint64_t *size) {
    hfile *f = get_or_fail(h);
    if (!f) return false;
    if (wkind_virtual(f->kind)) {
        int64_t n = virtual_size(*f);
        if (n < 0) return fail(win_error_from_errno(errno));
        *size = uint64_t(n);
        return true;
    }
    struct stat st;
    if (fstat(f->fd, &st) != 0) return fail(win_error_from_errno(errno));
    *size = f->kind == WK_DIR ? 0 : uint64_t(st.st_size);
    return true;
}

bool win_get_file_information_by_handle(win_handle h, win_file_info *info) {
    uint32_t e;
    if (win_fail_check("GetFileInformationByHandle", &e)) return false;
    hfile *f = get_or_fail(h);
    if (!f) return false;
    struct statx sx;
    if (statx(f->fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
              &sx) != 0)
        return fail(win_error_from_errno(errno));
    win_find_data d;
    find_data_from(f->fd, "", sx, "", &d);
    memset(info, 0, sizeof *info);
    info->attributes = d.attributes;
    info->creation_time = d.creation_time;
    info->access_time = d.access_time;
    info->write_time = d.write_time;
    info->size_high = d.size_high;
    info->size_low = d.size_low;
    info->links = sx.stx_nlink;
    info->index_high = uint32_t(sx.stx_ino >> 32);
    info->index_low = uint32_t(sx.stx_ino);
    drive_info drive;
    uint32_t serial = 0, err;
    if (drive_by_index(f->drive, &drive) && drive_serial(&drive, &serial, &err))
        info->volume_serial = serial;
    return true;
}

bool win_flush_file_buffers(win_handle h) {
    uint32_t e;
    if (win_fail_check("FlushFileBuffers", &e)) return false;
    hfile *f = get_or_fail(h);
    if (!f) return false;
    if (!f->can_write || f->kind != WK_FILE) return fail(ERROR_ACCESS_DENIED);
    if (fsync(f->fd) != 0) return fail(win_error_from_errno(errno));
    return true;
}

bool win_close_handle(win_handle h) {
    if (!hfile_remove(h)) return fail(ERROR_INVALID_HANDLE);
    return true;
}
