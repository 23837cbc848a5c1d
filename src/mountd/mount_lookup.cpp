// Host names of the mount table's clients, found off the request path. A
// look-up can take seconds, so it never runs on a serving thread and never
// under the table's lock; and since a client may mount thousands of paths,
// requests are queued by address (one look-up serves every entry of that
// client) and served by at most MOUNT_LOOKUP_THREADS threads, which end as
// soon as the queue is empty.
//
// An entry waiting for a name carries a ticket. A thread that takes an
// address notes the newest ticket given out; after the look-up it fills only
// entries of that address whose ticket is not newer, so an entry refreshed
// meanwhile waits for the next look-up, which its refresh has queued. The
// thread finds entries by walking the table under the lock, so an entry
// removed meanwhile is simply not found.
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <system_error>
#include <thread>

#include "mountd/mount_internal.h"

mount_resolver_fn mount_resolver = net_host_name;

namespace {

constexpr int STOP_WAIT_MS = 3000;

// Everything below is guarded by mount_lock().
uint32_t queue[MOUNT_TABLE_MAX];  // addresses waiting, oldest at `first`
uint32_t first = 0;
uint32_t queued = 0;
uint64_t tickets = 0;  // the newest ticket given out
uint32_t running = 0;
uint32_t peak = 0;
bool stopping = false;
// Never destroyed: a thread that outlives a stop may still signal it while
// the process ends.
std::condition_variable &idle = *new std::condition_variable;

bool is_queued(uint32_t address) {
    for (uint32_t i = 0; i < queued; i++)
        if (queue[(first + i) % MOUNT_TABLE_MAX] == address) return true;
    return false;
}

void lookup_thread() {
    for (;;) {
        uint32_t address;
        uint64_t started;
        {
            std::lock_guard<std::mutex> hold(mount_lock());
            if (stopping || queued == 0) {
                running--;
                idle.notify_all();
                return;
            }
            address = queue[first];
            first = (first + 1) % MOUNT_TABLE_MAX;
            queued--;
            started = tickets;
        }
        char name[MOUNT_HOST_MAX + 1];
        bool found = mount_resolver(address, name, sizeof name);
        std::lock_guard<std::mutex> hold(mount_lock());
        for (mount_entry *e = mount_table_head(); e; e = e->next) {
            if (e->client != address || e->lookup == 0 || e->lookup > started) continue;
            if (found) {
                size_t n = strnlen(name, MOUNT_HOST_MAX);
                memcpy(e->host, name, n);
                e->host[n] = 0;
            }
            e->lookup = 0;
        }
        idle.notify_all();
    }
}

}  // namespace

bool mount_lookup_request(mount_entry *e) {
    e->lookup = 0;
    if (stopping) return false;
    bool fresh = !is_queued(e->client);
    if (fresh) {
        if (queued == MOUNT_TABLE_MAX) return false;  // the dotted address stays
        queue[(first + queued) % MOUNT_TABLE_MAX] = e->client;
        queued++;
    }
    e->lookup = ++tickets;
    // An address already waiting has its thread, unless none could start.
    return running < MOUNT_LOOKUP_THREADS && (fresh || running == 0);
}

void mount_lookup_spawn() {
    {
        std::lock_guard<std::mutex> hold(mount_lock());
        if (running >= MOUNT_LOOKUP_THREADS || queued == 0 || stopping) return;
        running++;
        if (running > peak) peak = running;
    }
    try {
        std::thread(lookup_thread).detach();
    } catch (const std::system_error &) {
        // The queue waits for the next request to try again.
        std::lock_guard<std::mutex> hold(mount_lock());
        running--;
        idle.notify_all();
    }
}

void mount_lookup_forget() {
    first = 0;
    queued = 0;
}

void mount_lookup_stop() {
    std::unique_lock<std::mutex> hold(mount_lock());
    stopping = true;
    mount_lookup_forget();
    for (mount_entry *e = mount_table_head(); e; e = e->next) e->lookup = 0;
    idle.wait_for(hold, std::chrono::milliseconds(STOP_WAIT_MS), [] { return running == 0; });
    stopping = false;
}

bool mount_lookup_wait_idle(int timeout_ms) {
    std::unique_lock<std::mutex> hold(mount_lock());
    return idle.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                         [] { return running == 0 && queued == 0; });
}

uint32_t mount_lookup_running() {
    std::lock_guard<std::mutex> hold(mount_lock());
    return running;
}

uint32_t mount_lookup_peak() {
    std::lock_guard<std::mutex> hold(mount_lock());
    return peak;
}
