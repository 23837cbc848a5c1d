// The mount table: who mounted which path, newest first, under one lock.
// It is bounded so that a client mounting thousands of directories below an
// -alldirs export cannot make it grow without end: past MOUNT_CLIENT_MAX
// mounts of one client its oldest goes, past MOUNT_TABLE_MAX in all the
// table's oldest goes.
#include <cstring>
#include <new>

#include "mountd/mount_internal.h"

namespace {

// Trivially destructible, so a late look-up thread may still take it while
// the process ends.
std::mutex table_lock;
mount_entry *head = nullptr;
uint32_t entries = 0;

// Unlinks `e`, which follows `prev` (null: `e` is the head), and frees it.
void drop(mount_entry *prev, mount_entry *e) {
    (prev ? prev->next : head) = e->next;
    delete e;
    entries--;
}

// MNT or reload of (path, client). The export that admitted it is not kept:
// a reload of the exports retires the old list, and a mount is only ever
// listed by its path. Answers whether a look-up thread is to be started.
bool record(const char *path, uint32_t client) {
    mount_entry *prev = nullptr;
    mount_entry *own_oldest = nullptr, *own_oldest_prev = nullptr;
    mount_entry *last_prev = nullptr;
    uint32_t own = 0;
    for (mount_entry *e = head; e; prev = e, e = e->next) {
        if (e->client == client) {
            if (strcmp(e->path, path) == 0) {
                e->host[0] = 0;
                return mount_lookup_request(e);
            }
            own++;
            own_oldest = e;
            own_oldest_prev = prev;
        }
        last_prev = prev;
    }
    mount_entry *fresh = new (std::nothrow) mount_entry{};
    if (!fresh) return false;  // answered normally, just not remembered
    size_t n = strnlen(path, MOUNT_PATH_MAX);
    memcpy(fresh->path, path, n);
    fresh->path[n] = 0;
    fresh->client = client;
    // Make room before linking: the oldest of this client, else the oldest of all.
    if (own >= MOUNT_CLIENT_MAX)
        drop(own_oldest_prev, own_oldest);
    else if (entries >= MOUNT_TABLE_MAX && prev)
        drop(last_prev, prev);
    fresh->next = head;
    head = fresh;
    entries++;
    return mount_lookup_request(fresh);
}

void remove_first(const char *path, uint32_t client) {
    mount_entry *prev = nullptr;
    for (mount_entry *e = head; e; prev = e, e = e->next) {
        if (e->client == client && strcmp(e->path, path) == 0) {
            drop(prev, e);
            return;
        }
    }
}

void remove_client(uint32_t client) {
    mount_entry *prev = nullptr;
    for (mount_entry *e = head; e;) {
        mount_entry *next = e->next;
        if (e->client == client)
            drop(prev, e);
        else
            prev = e;
        e = next;
    }
}

}  // namespace

std::mutex &mount_lock() {
    return table_lock;
}

mount_entry *mount_table_head() {
    return head;
}

void mount_table_update(const char *path, uint32_t client, const export_entry *exp) {
    bool spawn = false;
    {
        std::lock_guard<std::mutex> hold(table_lock);
        if (!path)
            remove_client(client);
        else if (!exp)
            remove_first(path, client);
        else
            spawn = record(path, client);
    }
    // Threads start outside the lock: the new thread's first step takes it.
    if (spawn) mount_lookup_spawn();
}

void mount_table_visit(void (*fn)(void *ctx, const mount_entry *e), void *ctx) {
    std::lock_guard<std::mutex> hold(table_lock);
    for (const mount_entry *e = head; e; e = e->next) fn(ctx, e);
}

void mount_table_clear() {
    std::lock_guard<std::mutex> hold(table_lock);
    while (head) drop(nullptr, head);
    mount_lookup_forget();
}
