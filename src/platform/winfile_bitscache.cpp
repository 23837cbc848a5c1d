// HIDDEN and SYSTEM of recently read files, so that an attribute read costs
// the statx alone and not the extended attribute as well.
//
// An entry is keyed by the file's device, inode, change and birth times:
// setting or removing the extended attribute gives the file a new change
// time, provided the file system stamps a change after a read of its times
// with a later time than the one read (dircache_fine_times). Only such file
// systems are remembered; whether a device is one is asked once per device
// and forgotten when the mount table changes, which may reuse its number.
#include <sys/stat.h>

#include <cstring>
#include <mutex>

#include "platform/winfile_internal.h"

namespace {

struct bits_entry {
    bool used;
    uint64_t dev, ino;
    struct statx_timestamp ctime, btime;
    uint32_t bits;
};

struct device_entry {
    uint64_t dev;
    bool fine;
};

constexpr uint32_t BITS_SLOTS = 16384;  // a tree of ten thousand files and more
constexpr uint32_t BITS_LOCKS = 16;
constexpr uint32_t DEVICES = 16;

bits_entry entries[BITS_SLOTS];
std::mutex locks[BITS_LOCKS];

std::mutex device_lock;
device_entry devices[DEVICES];
uint32_t device_count = 0;
uint64_t devices_as_of = 0;  // mount table changes when the list was made

uint64_t dev_of(const struct statx &sx) {
    return uint64_t(sx.stx_dev_major) << 32 | sx.stx_dev_minor;
}

uint32_t slot_of(const struct statx &sx) {
    return uint32_t((sx.stx_ino ^ (dev_of(sx) * 31)) % BITS_SLOTS);
}

bool same_time(const struct statx_timestamp &a, const struct statx_timestamp &b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool same_file(const bits_entry &e, const struct statx &sx) {
    return e.used && e.dev == dev_of(sx) && e.ino == sx.stx_ino &&
           same_time(e.ctime, sx.stx_ctime) && same_time(e.btime, sx.stx_btime);
}

// Whether the device of `sx` takes a new change time at every change; the
// file is `name` in `dirfd`, whose file system is asked when it is the
// file's (a name may be a mount point).
bool device_fine(int dirfd, const char *name, const struct statx &sx) {
    uint64_t dev = dev_of(sx);
    std::lock_guard<std::mutex> g(device_lock);
    uint64_t changes = pathcache_mount_changes();
    if (changes != devices_as_of) {
        device_count = 0;
        devices_as_of = changes;
    }
    for (uint32_t i = 0; i < device_count; i++)
        if (devices[i].dev == dev) return devices[i].fine;
    if (device_count == DEVICES) return false;
    if (name[0]) {
        struct statx dir;
        if (statx(dirfd, "", AT_EMPTY_PATH, 0, &dir) != 0 || dev_of(dir) != dev) return false;
    }
    bool fine = dircache_fine_times(dirfd);
    devices[device_count++] = {dev, fine};
    return fine;
}

}  // namespace

bool bitscache_get(const struct statx &sx, uint32_t *bits) {
    if (!(sx.stx_mask & STATX_BTIME)) return false;
    uint32_t slot = slot_of(sx);
    std::lock_guard<std::mutex> g(locks[slot % BITS_LOCKS]);
    if (!same_file(entries[slot], sx)) return false;
    *bits = entries[slot].bits;
    return true;
}

void bitscache_put(int dirfd, const char *name, const struct statx &sx, uint32_t bits) {
    if (!(sx.stx_mask & STATX_BTIME) || !device_fine(dirfd, name, sx)) return;
    uint32_t slot = slot_of(sx);
    std::lock_guard<std::mutex> g(locks[slot % BITS_LOCKS]);
    entries[slot] = {true, dev_of(sx), sx.stx_ino, sx.stx_ctime, sx.stx_btime, bits};
}
