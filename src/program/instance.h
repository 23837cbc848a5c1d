// One server per program directory. The first start takes an exclusive lock
// on "<program directory>/nfsd.pid" and writes its process id there; a second
// start for the same directory cannot take the lock and learns the first
// one's id instead. The lock goes with the process, so a server that was
// killed leaves no lock behind (only the file).
#pragma once

#include <cstdint>

constexpr const char *INSTANCE_FILE = "nfsd.pid";

enum instance_result {
    INSTANCE_OURS,     // this process holds the lock
    INSTANCE_RUNNING,  // another process holds it
    INSTANCE_ERROR,    // the file cannot be created (no such directory, no access)
};

// Takes the lock for `dir` (ending in '/'). With INSTANCE_RUNNING, *pid is
// the running server's id as its file says (0 when unreadable). Main thread.
instance_result instance_claim(const char *dir, uint32_t *pid);

// Removes the file and releases the lock; nothing when not held. Main thread.
void instance_release();
