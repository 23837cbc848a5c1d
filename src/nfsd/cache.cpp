// The open-file cache: a small table of open descriptors with the
// attributes last returned for each file. Bookkeeping under one lock;
// descriptors are closed after the lock is let go, so a slow close never
// holds up other requests.
#include <mutex>
#include <thread>

#include "nfsd/cache.h"
#include "platform/clock.h"
#include "platform/rtfile.h"
#include "base/config.h"

struct cache_entry {
    uint32_t volume;  // volume serial of the file's export
    uint32_t inode;
    int fd;  // -1: free
    bool busy;
    uint32_t mode;  // CACHE_READ or CACHE_WRITE
    uint32_t last_use;
    int64_t position;  // of the descriptor, -1 unknown; its user's alone
    nfs_attr attr;
};

namespace {

constexpr int NO_FILE = -1;

std::mutex cache_lock;
cache_entry table[CACHE_MAX];  // the first `entries` are in use
uint32_t entries = 0;
uint32_t cursor = 0;  // where the next free-slot search starts

// Descriptors taken out of the table under the lock, closed after it.
struct closing {
    int fds[CACHE_MAX];
    uint32_t count = 0;

    ~closing() {
        for (uint32_t i = 0; i < count; i++) rt_close(fds[i]);
    }
};

// Frees an entry and hands its descriptor to `out`. Lock held.
void release_slot(cache_entry *e, closing *out) {
    if (e->fd != NO_FILE) out->fds[out->count++] = e->fd;
    *e = cache_entry{};
    e->fd = NO_FILE;
    e->position = -1;
}

cache_entry *find_inode(uint32_t inode) {
    for (uint32_t i = 0; i < entries; i++)
        if (table[i].fd != NO_FILE && table[i].inode == inode) return &table[i];
    return nullptr;
}

// Frees every idle entry that `match` accepts.
template <class Match>
void close_idle(Match match) {
    closing done;
    std::lock_guard<std::mutex> hold(cache_lock);
    for (uint32_t i = 0; i < entries; i++) {
        cache_entry *e = &table[i];
        if (e->fd != NO_FILE && !e->busy && match(e)) release_slot(e, &done);
    }
}

}  // namespace

uint32_t cache_init() {
    closing done;
    std::lock_guard<std::mutex> hold(cache_lock);
    for (uint32_t i = 0; i < entries; i++) release_slot(&table[i], &done);
    // Slots beyond the old size never held a file (descriptor 0 is not "none").
    for (cache_entry &e : table) {
        e = cache_entry{};
        e.fd = NO_FILE;
    }
    int32_t wanted = config.cache;
    entries = wanted <= 0 ? 0 : wanted > int32_t(CACHE_MAX) ? CACHE_MAX : uint32_t(wanted);
    cursor = 0;
    return entries;
}

cache_entry *cache_take(uint32_t inode, uint32_t mode, int *fd, nfs_attr *attr) {
    closing done;
    std::unique_lock<std::mutex> hold(cache_lock);
    cache_entry *e = find_inode(inode);
    if (!e) return nullptr;
    // One request at a time per descriptor: wait outside the lock for the
    // user to release it.
    while (e->busy) {
        hold.unlock();
        std::this_thread::yield();
        hold.lock();
        if (e->fd == NO_FILE || e->inode != inode) return nullptr;
    }
    if (e->mode < mode) {
        // Opened for reading, wanted for writing: the caller reopens.
        release_slot(e, &done);
        return nullptr;
    }
    e->last_use = tick_count();
    e->busy = true;
    *fd = e->fd;
    *attr = e->attr;
    return e;
}

cache_entry *cache_put(uint32_t volume, uint32_t inode, int fd, uint32_t mode) {
    closing done;
    std::lock_guard<std::mutex> hold(cache_lock);
    // Round robin over idle slots: cheap, and a burst on one file keeps its
    // slot because it is taken again long before the cursor comes back.
    for (uint32_t looked = 0; looked < entries; looked++) {
        cache_entry *e = &table[cursor];
        cursor = (cursor + 1) % entries;
        if (e->busy) continue;
        release_slot(e, &done);
        e->volume = volume;
        e->inode = inode;
        e->fd = fd;
        e->mode = mode;
        e->busy = true;
        e->last_use = tick_count();
        return e;
    }
    return nullptr;
}

void cache_release(cache_entry *entry, const nfs_attr *attr) {
    std::lock_guard<std::mutex> hold(cache_lock);
    if (attr) entry->attr = *attr;
    entry->busy = false;
}

void cache_drop(cache_entry *entry) {
    closing done;
    std::lock_guard<std::mutex> hold(cache_lock);
    release_slot(entry, &done);
}

int64_t cache_position(const cache_entry *entry) {
    return entry->position;
}

void cache_set_position(cache_entry *entry, int64_t position) {
    entry->position = position;
}

void cache_close_idle(uint32_t inode) {
    // Every idle one: after a wait in cache_take two entries may hold it.
    close_idle([inode](const cache_entry *e) { return e->inode == inode; });
}

void cache_close_volume(uint32_t volume) {
    close_idle([volume](const cache_entry *e) { return volume == 0 || e->volume == volume; });
}

void cache_sweep() {
    uint32_t now = tick_count();
    close_idle([now](const cache_entry *e) { return now - e->last_use > CACHE_IDLE_MS; });
}

uint32_t cache_open_files() {
    std::lock_guard<std::mutex> hold(cache_lock);
    uint32_t n = 0;
    for (uint32_t i = 0; i < entries; i++) n += table[i].fd != NO_FILE;
    return n;
}
