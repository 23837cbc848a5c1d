// The folders of one request (win_folder_scope): each thread keeps the last
// few folders its calls walked to while its scope lasts, held in the cache
// of open folders, so that the request's next calls below them skip the
// change queue and the walk from the drive's folder. A folder that the
// cache drops meanwhile (a change seen by another thread's walk) is walked
// to again.
#include <atomic>
#include <cstring>

#include "platform/winfile_internal.h"

namespace {

// A request names at most a folder and its parent (a new name and the
// folder's own attributes), RENAME and LINK two of each.
constexpr int SCOPE_FOLDERS = 4;

struct kept_folder {
    path_hold hold;
    uint32_t used;  // scope tick of the last use, for replacement
    size_t key_length;
    char key[WIN_PATH_LIMIT];
};

struct folder_scope {
    uint32_t depth;  // nested scopes count as one
    uint32_t tick;
    kept_folder kept[SCOPE_FOLDERS];
};

thread_local folder_scope scope;
std::atomic<uint64_t> walks{0};

void release(kept_folder *k) {
    if (k->hold.node) pathcache_release(&k->hold);
    k->key_length = 0;
}

}  // namespace

void win_folder_scope_begin() {
    scope.depth++;
}

void win_folder_scope_end() {
    if (scope.depth == 0 || --scope.depth > 0) return;
    scope_forget();
}

uint64_t win_folder_walks() {
    return walks.load(std::memory_order_relaxed);
}

void scope_count_walk() {
    walks.fetch_add(1, std::memory_order_relaxed);
}

int scope_folder(const char *key, size_t key_length, path_hold *h) {
    if (scope.depth == 0) return -1;
    for (kept_folder &k : scope.kept) {
        if (!k.hold.node || k.key_length != key_length || memcmp(k.key, key, key_length) != 0)
            continue;
        if (!pathcache_hold_copy(&k.hold, h)) {
            release(&k);
            return -1;
        }
        k.used = ++scope.tick;
        return pathcache_descriptor(h);
    }
    return -1;
}

void scope_keep(const char *key, size_t key_length, const path_hold *h) {
    if (scope.depth == 0 || !h->node || key_length >= WIN_PATH_LIMIT) return;
    kept_folder *slot = &scope.kept[0];
    for (kept_folder &k : scope.kept) {
        if (!k.hold.node) {
            slot = &k;
            break;
        }
        if (k.used < slot->used) slot = &k;
    }
    release(slot);
    if (!pathcache_hold_copy(h, &slot->hold)) return;
    memcpy(slot->key, key, key_length);
    slot->key_length = key_length;
    slot->used = ++scope.tick;
}

void scope_forget() {
    for (kept_folder &k : scope.kept) release(&k);
}
