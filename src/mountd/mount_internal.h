// Shared inside the mount service: the table's entries and its one lock, the
// look-up queue that works under that lock, and small address formats.
#pragma once

#include <cstdint>
#include <mutex>

#include "mountd/mount.h"

// One mount. Entries are reached only by walking the table under its lock;
// nothing keeps a pointer to one outside it, so a removed entry is never
// touched again.
struct mount_entry {
    char path[MOUNT_PATH_MAX + 1];  // as the client sent it (an alias stays an alias)
    char host[MOUNT_HOST_MAX + 1];  // empty until the look-up finds a name
    uint32_t client;                // IPv4, network order
    mount_entry *next;              // newer entries first
    uint64_t lookup;                // ticket of the look-up it waits for; 0 none
};

// The table's lock: held by every change of the table, by DUMP, by saving
// and by the write-back of a host name. No other lock is taken under it.
std::mutex &mount_lock();
// The newest entry. Lock held.
mount_entry *mount_table_head();

// Calls `fn` for every entry, newest first, under the lock. For tests and
// tools that read the whole table.
void mount_table_visit(void (*fn)(void *ctx, const mount_entry *e), void *ctx);
// Removes every entry. For tests.
void mount_table_clear();

// ---- Host-name look-ups -----------------------------------------------------

// Asks for the host name of `e`'s client: gives the entry a fresh ticket and
// queues its address unless that address is already waiting. Lock held.
// Answers true when the caller must call mount_lookup_spawn once it has let
// go of the lock. A full queue, or a stop under way, leaves the entry
// without a look-up (ticket 0).
bool mount_lookup_request(mount_entry *e);
// Starts a look-up thread (lock not held). A thread that cannot be started
// leaves the queue for the next request.
void mount_lookup_spawn();
// Forgets the tickets of a table being emptied: queued addresses whose
// entries are gone find nothing to fill. Lock held.
void mount_lookup_forget();

// The resolver the look-up threads call; the host layer's by default. Tests
// replace it (before any look-up runs) to control names and timing.
typedef bool (*mount_resolver_fn)(uint32_t address, char *name, uint32_t size);
extern mount_resolver_fn mount_resolver;

// Waits until no look-up is queued or running (up to `timeout_ms`); true
// when that point was reached. For tests.
bool mount_lookup_wait_idle(int timeout_ms);
// Look-up threads running now, and the most that ever ran at once.
uint32_t mount_lookup_running();
uint32_t mount_lookup_peak();

// ---- Address formats ----------------------------------------------------------

// "%u.%u.%u.%u" of a network-order address into `out` (16 bytes).
void mount_dotted(uint32_t client, char out[16]);
