// Positioning a listing: the cookie-0 rescan rule, cookies as positions in
// the child list, and the remembered continuations that spare a long listing
// the walk from the front of the list for every reply.
#include "nfsd/readdir.h"

#include <atomic>
#include <mutex>

#include "inode/inode.h"
#include "names/nfs_status.h"
#include "nfsd/readdir_internal.h"
#include "platform/clock.h"
#include "base/config.h"

namespace {

// A directory scanned this recently is not scanned again for cookie 0.
constexpr uint32_t SCAN_FRESH_MS = 1001;

// The last scan, as one word so that its two halves never tear: the
// directory's inode number above, the tick count of the scan below.
std::atomic<uint64_t> last_scan{0};

// Continuations: a few per busy directory are plenty; the oldest slot is
// reused first.
constexpr uint32_t RESUME_SLOTS = 64;
struct resume_point {
    uint32_t dir;
    uint32_t cookie;
    uint32_t child;
};
std::mutex resume_lock;
resume_point resume[RESUME_SLOTS];
uint32_t resume_next;

bool scanned_recently(uint32_t dir, uint32_t now) {
    uint64_t last = last_scan.load(std::memory_order_acquire);
    return uint32_t(last >> 32) == dir && now - uint32_t(last) < SCAN_FRESH_MS;
}

}  // namespace

void readdir_resume_save(uint32_t dir, uint32_t cookie, uint32_t child) {
    std::lock_guard<std::mutex> hold(resume_lock);
    for (resume_point &r : resume)
        if (r.dir == dir && r.cookie == cookie) {
            r.child = child;
            return;
        }
    resume[resume_next] = {dir, cookie, child};
    resume_next = (resume_next + 1) % RESUME_SLOTS;
}

uint32_t readdir_resume_find(uint32_t dir, uint32_t cookie) {
    uint32_t child = 0;
    {
        std::lock_guard<std::mutex> hold(resume_lock);
        for (const resume_point &r : resume)
            if (r.dir == dir && r.cookie == cookie) {
                child = r.child;
                break;
            }
    }
    if (child == 0) return 0;
    // The child may have been removed since, and its block reused elsewhere.
    std::lock_guard<std::recursive_mutex> hold(inode_table_lock());
    const uint8_t *rec = inode_record(child);
    return rec && inode_rec_parent(rec) == dir ? child : 0;
}

void readdir_resume_clear() {
    std::lock_guard<std::mutex> hold(resume_lock);
    for (resume_point &r : resume) r = {};
    resume_next = 0;
}

uint32_t nfs_dir_limit(uint32_t count) {
    return count == 0 || count > config.datasize ? config.datasize : count;
}

uint32_t nfs_readdir(nfs_object *o, uint32_t cookie, uint32_t *first) {
    *first = 0;
    if (nfs_object_resolve(o, false) != NFS_OK) return NFSERR_STALE;
    uint32_t dir = o->inode;

    uint32_t index = 0;
    if (cookie != 0) {
        if ((*first = readdir_resume_find(dir, cookie)) != 0) return NFS_OK;
        uint32_t dots = inode_has_parent(dir) ? 2 : 1;
        // A cookie inside the dot entries continues with the rest of them
        // (the encoders write those), then the children from the first.
        index = cookie >= dots ? cookie - dots : 0;
    } else if (!scanned_recently(dir, tick_count())) {
        uint32_t status = nfs_getdir(o);
        if (status != NFS_OK) return status;
        // Timed from its end: a scan that takes longer than the second
        // still spares the requests right after it.
        last_scan.store(uint64_t(dir) << 32 | tick_count(), std::memory_order_release);
    }
    *first = inode_child_at(dir, index);
    return NFS_OK;
}

void nfs_scan_forget() {
    last_scan.store(0);
    readdir_resume_clear();
}
