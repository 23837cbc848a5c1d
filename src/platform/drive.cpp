// The drive map: drive letters and UNC roots to host directories.
#include "platform/drive.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/ascii.h"
#include "platform/registry.h"
#include "platform/winerr.h"

namespace {

constexpr const char *DRIVES_KEY = "nfsd\\Drives";

struct drive_entry {
    bool used;
    char name[DRIVE_NAME_MAX];  // "C" or "\\server\share" (letter in upper case)
    char dir[WIN_PATH_MAX];
    uint32_t type;
    uint32_t serial;
};

std::mutex map_lock;
drive_entry drives[DRIVE_MAX];
bool loaded = false;

// Caller holds map_lock.
drive_entry *find_entry(const char *name, size_t n) {
    for (auto &d : drives)
        if (d.used && ascii_equal(name, n, d.name, strlen(d.name))) return &d;
    return nullptr;
}

bool map_locked(const char *name, const char *dir, uint32_t type, uint32_t serial) {
    size_t n = strlen(name);
    bool unc = drive_unc_root_length(name) == n && n > 0;
    if (!unc && !(n == 1 && ascii_is_letter(name[0]))) return false;
    if (n >= DRIVE_NAME_MAX) return false;
    drive_entry *e = find_entry(name, n);
    if (!dir) {
        if (e) e->used = false;
        return true;
    }
    if (strlen(dir) >= WIN_PATH_MAX || dir[0] != '/') return false;
    if (!e) {
        for (auto &d : drives)
            if (!d.used) {
                e = &d;
                break;
            }
        if (!e) return false;
    }
    e->used = true;
    snprintf(e->name, sizeof e->name, "%s", name);
    if (!unc) e->name[0] = ascii_upper(name[0]);
    snprintf(e->dir, sizeof e->dir, "%s", dir);
    e->type = type ? type : (unc ? DRIVE_REMOTE : DRIVE_FIXED);
    e->serial = serial;
    return true;
}

std::atomic<bool> remote_roots{false};

// Values the last load refused. Under map_lock.
drive_problem problems[DRIVE_PROBLEMS_MAX];
uint32_t problem_count = 0;

void refuse(const char *name, const char *text, const char *reason) {
    if (problem_count < DRIVE_PROBLEMS_MAX) {
        drive_problem &p = problems[problem_count];
        snprintf(p.name, sizeof p.name, "%s", name);
        snprintf(p.value, sizeof p.value, "%s", text);
        snprintf(p.reason, sizeof p.reason, "%s", reason);
    }
    problem_count++;
}

// Whether `text` names an existing directory by absolute path; else why not.
// A drive that silently stood for some other directory (or for "/") would
// export what nobody asked for, so anything doubtful maps nothing.
bool directory_usable(const char *text, const char **reason) {
    struct stat st;
    if (text[0] == 0) {
        *reason = "empty value";
    } else if (text[0] != '/') {
        *reason = "not an absolute path";
    } else if (strlen(text) >= WIN_PATH_MAX) {
        *reason = "path too long";
    } else if (stat(text, &st) != 0) {
        *reason = errno == ENOENT ? "no such directory" : strerror(errno);
    } else if (!S_ISDIR(st.st_mode)) {
        *reason = "not a directory";
    } else {
        return true;
    }
    return false;
}

void load_value(const char *name, const char *text, void *) {
    size_t n = strlen(name);
    bool unc = drive_unc_root_length(name) == n && n > 0;
    if (unc && !remote_roots.load()) return;
    if (!unc && !(n == 1 && ascii_is_letter(name[0]))) return;  // "-Type", "-Serial" read below
    const char *reason;
    if (!directory_usable(text, &reason)) {
        refuse(name, text, reason);
        return;
    }
    char key[DRIVE_NAME_MAX + 16];
    snprintf(key, sizeof key, "%s-Type", name);
    uint32_t type = reg_read_number(DRIVES_KEY, key, unc ? DRIVE_REMOTE : DRIVE_FIXED);
    if (type < DRIVE_REMOVABLE || type > DRIVE_RAMDISK) type = DRIVE_FIXED;
    if (unc) type = DRIVE_REMOTE;
    snprintf(key, sizeof key, "%s-Serial", name);
    uint32_t serial = reg_read_number(DRIVES_KEY, key, 0);
    if (!map_locked(name, text, type, serial)) refuse(name, text, "no room in the drive table");
}

void load_locked() {
    for (auto &d : drives) d.used = false;
    problem_count = 0;
    reg_enum_strings(DRIVES_KEY, load_value, nullptr);
    loaded = true;
}

void ensure_loaded() {
    if (!loaded) load_locked();
}

}  // namespace

void drive_load() {
    std::lock_guard<std::mutex> g(map_lock);
    load_locked();
}

uint32_t drive_load_problems(drive_problem *out, uint32_t max) {
    std::lock_guard<std::mutex> g(map_lock);
    uint32_t kept = problem_count < DRIVE_PROBLEMS_MAX ? problem_count : DRIVE_PROBLEMS_MAX;
    for (uint32_t i = 0; i < kept && i < max; i++) out[i] = problems[i];
    return problem_count;
}

bool drive_map(const char *name, const char *dir, uint32_t type, uint32_t serial) {
    std::lock_guard<std::mutex> g(map_lock);
    ensure_loaded();
    return map_locked(name, dir, type, serial);
}

void drive_clear() {
    std::lock_guard<std::mutex> g(map_lock);
    for (auto &d : drives) d.used = false;
    loaded = true;
}

void drive_reset() {
    std::lock_guard<std::mutex> g(map_lock);
    for (auto &d : drives) d.used = false;
    loaded = false;
}

uint32_t drive_lookup(const char *path, drive_info *out, const char **rest) {
    size_t n;
    if (ascii_is_letter(path[0]) && path[1] == ':') {
        n = 1;
    } else {
        n = drive_unc_root_length(path);
        if (n == 0) return ERROR_PATH_NOT_FOUND;
    }
    std::lock_guard<std::mutex> g(map_lock);
    ensure_loaded();
    drive_entry *e = find_entry(path, n);
    if (!e) return n == 1 ? ERROR_PATH_NOT_FOUND : ERROR_BAD_NET_NAME;
    out->index = int(e - drives);
    out->type = e->type;
    out->serial = e->serial;
    memcpy(out->dir, e->dir, strlen(e->dir) + 1);
    *rest = path + (n == 1 ? 2 : n);
    return ERROR_SUCCESS;
}

bool drive_by_index(int index, drive_info *out) {
    if (index < 0 || index >= int(DRIVE_MAX)) return false;
    std::lock_guard<std::mutex> g(map_lock);
    const drive_entry &e = drives[index];
    if (!e.used) return false;
    out->index = index;
    out->type = e.type;
    out->serial = e.serial;
    memcpy(out->dir, e.dir, strlen(e.dir) + 1);
    return true;
}

bool drive_serial(const drive_info *d, uint32_t *serial, uint32_t *error) {
    struct statx sx;
    if (statx(AT_FDCWD, d->dir, 0, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0) {
        *error = (errno == ENOENT || errno == ENOTDIR) ? ERROR_NOT_READY : ERROR_ACCESS_DENIED;
        return false;
    }
    if (!S_ISDIR(sx.stx_mode)) {
        *error = ERROR_ACCESS_DENIED;
        return false;
    }
    if (d->serial) {
        *serial = d->serial;
        return true;
    }
    // A recreated directory usually gets the inode number of the old one
    // back, so the birth time takes part: the new directory is a new medium.
    uint64_t h = 1469598103934665603ULL;
    uint64_t parts[5] = {sx.stx_dev_major, sx.stx_dev_minor, sx.stx_ino, 0, 0};
    if (sx.stx_mask & STATX_BTIME) {
        parts[3] = uint64_t(sx.stx_btime.tv_sec);
        parts[4] = sx.stx_btime.tv_nsec;
    }
    for (uint64_t p : parts)
        for (int i = 0; i < 8; i++) {
            h ^= (p >> (8 * i)) & 0xFF;
            h *= 1099511628211ULL;
        }
    uint32_t s = uint32_t(h ^ (h >> 32));
    *serial = s ? s : 1;
    return true;
}

void drive_set_remote(bool on) {
    remote_roots.store(on);
}
