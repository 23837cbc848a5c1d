// The inode table store: the mapped file "inodes.nfs" managed as a heap of
// 32-byte blocks, with its opening, reuse test, growth, allocator, start-up
// check and shutdown.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "inode/inode.h"
#include "inode/internal.h"
#include "platform/clock.h"
#include "platform/mapfile.h"
#include "platform/registry.h"
#include "base/config.h"
#include "base/log.h"

namespace {

constexpr uint64_t TABLE_LIMIT = 0x100000000ull;  // the header's words are 32 bits
constexpr char TABLE_FILE[] = "inodes.nfs";

// Lock order: table_lock, then heap_lock.
std::recursive_mutex table_lock;
std::mutex heap_lock;

mapfile table;          // the open file and its one view
uint32_t total;         // the view's size; 0 while closed
uint32_t spare;         // the spare record slot, 0 when none
bool free_list_broken;  // found by the last opening
std::atomic<bool> shutting_down{false};

uint32_t get(uint32_t off) {
    return inode_get32(table.base + off);
}
void put(uint32_t off, uint32_t v) {
    inode_put32(table.base + off, v);
}

// `n` made up to whole blocks.
constexpr uint64_t whole_blocks(uint64_t n) {
    return (n + INODE_BLOCK - 1) & ~uint64_t(INODE_BLOCK - 1);
}

// ---- Removed records ----
// A removed record's block goes back to the free list at once (the file
// stays consistent whenever the process dies), but carries a mark in the
// bytes a free block leaves undefined: RETIRED_MAGIC and the second of the
// removal. Marked blocks are not handed out until the window has passed;
// in memory a bit per block says which, and a ring in removal order says
// when each comes back. The magic's bytes (00 FF 52 4D) never stand in a
// name block, where nothing but zeros follows a name's NUL.
constexpr uint32_t RETIRED_MAGIC = 0x4D52FF00u;
constexpr uint32_t RETIRED_MARK = 8;        // offset of the mark in the block
constexpr uint32_t RETIRED_MAX = 1u << 16;  // blocks held back at most

struct retired_entry {
    uint32_t offset;
    uint32_t second;
};
std::vector<uint64_t> retired_bits;       // heap lock
std::vector<retired_entry> retired_ring;  // RETIRED_MAX entries once opened
uint32_t ring_head, ring_count;
// The link (free_head, or the next_free of a run) where the search for a
// block starts: every run before the one it points to is held back whole,
// so allocation does not walk them again and again. Back to free_head
// whenever a block below that run comes free.
uint32_t hint_link = INODE_HDR_FREE;

void hint_check(uint32_t freed) {
    uint32_t at = get(hint_link);
    if (hint_link != INODE_HDR_FREE && (at == 0 || at >= total || freed < at))
        hint_link = INODE_HDR_FREE;
}

uint32_t block_index(uint32_t off) {
    return off / INODE_BLOCK;
}
bool retired(uint32_t off) {
    uint32_t i = block_index(off);
    return i / 64 < retired_bits.size() && (retired_bits[i / 64] >> (i % 64) & 1);
}
void retired_set(uint32_t off, bool on) {
    uint32_t i = block_index(off);
    if (i / 64 >= retired_bits.size()) return;
    if (on)
        retired_bits[i / 64] |= uint64_t(1) << (i % 64);
    else
        retired_bits[i / 64] &= ~(uint64_t(1) << (i % 64));
}

// The oldest held block comes back.
void ring_pop() {
    retired_set(retired_ring[ring_head].offset, false);
    hint_check(retired_ring[ring_head].offset);
    ring_head = (ring_head + 1) % RETIRED_MAX;
    ring_count--;
}

void ring_push(uint32_t off, uint32_t second) {
    if (retired_ring.empty()) return;
    // Beyond the bound the oldest comes back early rather than the table
    // growing without end.
    if (ring_count == RETIRED_MAX) ring_pop();
    retired_ring[(ring_head + ring_count) % RETIRED_MAX] = retired_entry{off, second};
    ring_count++;
    retired_set(off, true);
}

// Lets the blocks whose window has passed come back. A mark from the future
// (the clock was set back) counts from now.
void ring_expire() {
    uint32_t now = wall_seconds(), window = inode_quarantine_seconds.load();
    while (ring_count > 0) {
        uint32_t second = retired_ring[ring_head].second;
        if (window > 0 && (int32_t(now - second) < 0 || now - second < window)) break;
        ring_pop();
    }
}

// The first block index in [i, end) whose bit is clear; `end` when none.
uint32_t next_clear(uint32_t i, uint32_t end) {
    while (i < end) {
        uint32_t w = i / 64;
        if (w >= retired_bits.size()) return i;
        uint64_t clear = ~retired_bits[w] >> (i % 64);
        if (clear) {
            uint32_t j = i + uint32_t(__builtin_ctzll(clear));
            return j < end ? j : end;
        }
        i = (w + 1) * 64;
    }
    return end;
}

// The first offset in [from, end) that starts `size` bytes of blocks none
// of which is held back; `end` when there is none.
uint32_t first_usable(uint32_t from, uint32_t end, uint32_t size) {
    uint32_t n = size / INODE_BLOCK, e = end / INODE_BLOCK;
    for (uint32_t i = from / INODE_BLOCK;;) {
        i = next_clear(i, e);
        if (uint64_t(i) + n > e) return end;
        uint32_t k = 1;
        while (k < n && !retired((i + k) * INODE_BLOCK)) k++;
        if (k == n) return i * INODE_BLOCK;
        i += k + 1;
    }
}

// Sizes the bits to the table (after growth, keeping them).
void retired_fit() {
    retired_bits.resize(block_index(total) / 64 + 1, 0);
    hint_link = INODE_HDR_FREE;
}

// After an opening: nothing held back, then, for a stored table, the marks
// found in its free runs read back into the ring, oldest first.
void retired_load(bool stored) {
    retired_bits.assign(block_index(total) / 64 + 1, 0);
    hint_link = INODE_HDR_FREE;
    if (retired_ring.empty()) retired_ring.resize(RETIRED_MAX);
    ring_head = ring_count = 0;
    if (!stored) return;
    uint32_t now = wall_seconds(), window = inode_quarantine_seconds.load();
    std::vector<retired_entry> found;
    for (uint32_t cur = get(INODE_HDR_FREE); cur != 0 && cur < total;) {
        uint32_t run = get(cur), next = get(cur + 4);
        for (uint64_t off = cur; off + INODE_BLOCK <= uint64_t(cur) + run && off < total;
             off += INODE_BLOCK) {
            if (get(uint32_t(off) + RETIRED_MARK) != RETIRED_MAGIC) continue;
            uint32_t second = get(uint32_t(off) + RETIRED_MARK + 4);
            if (int32_t(now - second) < 0) second = now;
            if (now - second < window) found.push_back(retired_entry{uint32_t(off), second});
        }
        if (next <= cur) break;
        cur = next;
    }
    std::sort(found.begin(), found.end(), [](const retired_entry &a, const retired_entry &b) {
        return a.second < b.second;
    });
    for (const retired_entry &e : found) ring_push(e.offset, e.second);
}

uint32_t view_address() {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(table.base));
}

void table_path(char *buf, uint32_t size) {
    buf[0] = 0;
    reg_read_string("nfsd", "InodePath", "", buf, size);
    if (buf[0]) return;
    uint32_t n = program_directory(buf, size);
    if (n + sizeof TABLE_FILE <= size) std::memcpy(buf + n, TABLE_FILE, sizeof TABLE_FILE);
}

// Walks the stored free list of a table whose file held `old_size` bytes,
// logging each run, and adds the space between `old_size` and `total` to it.
// A list that is out of order, overlapping or leaving the old file marks the
// table broken instead of being trusted. Answers the free bytes.
uint32_t account_free(uint32_t old_size) {
    free_list_broken = false;
    uint32_t free_bytes = 0, last = 0;
    uint32_t link = INODE_HDR_FREE;
    uint32_t cur = get(INODE_HDR_FREE);
    uint32_t low = INODE_BLOCK;  // runs ascend and never touch each other
    while (cur != 0) {
        if (cur >= old_size) {  // a link past the end ends the list
            put(link, 0);
            break;
        }
        uint32_t size = get(cur), next = get(cur + 4);
        log_printf(LOG_FULL_DETAIL, "inodeFree %u size %u next %u\n", cur, size, next);
        if (cur < low || cur % INODE_BLOCK || size == 0 || size % INODE_BLOCK ||
            size > old_size - cur) {
            free_list_broken = true;
            return free_bytes;
        }
        free_bytes += size;
        last = cur;
        low = cur + size + 1;
        link = cur + 4;
        cur = next;
    }
    if (total > old_size) {
        uint32_t added = total - old_size;
        if (last && last + get(last) == old_size) {
            put(last, get(last) + added);
        } else {
            put(old_size, added);
            put(old_size + 4, 0);
            put(last ? last + 4 : INODE_HDR_FREE, old_size);
        }
        free_bytes += added;
    }
    log_printf(LOG_FULL_DETAIL, "inodeHeap free %u\n", free_bytes);
    return free_bytes;
}

// Heap lock held. Adds a quarter, in whole blocks. The new view is mapped
// before the old one goes, so a failure leaves every record where it was.
bool grow() {
    uint64_t new_size = uint64_t(total) + whole_blocks(total / 4);
    if (new_size >= TABLE_LIMIT) return false;
    char path[INODE_PATH_MAX];
    table_path(path, sizeof path);
    log_printf(LOG_DETAIL, "inodePath %s\n", path);
    uint32_t old_size = total;
    if (!mapfile_grow(&table, new_size)) return false;
    log_printf(LOG_FULL_DETAIL, "inodeHeap size %u\n", old_size);
    total = static_cast<uint32_t>(new_size);
    uint32_t free_bytes = account_free(old_size);
    retired_fit();
    put(INODE_HDR_TOTAL, total);
    log_printf(LOG_DETAIL, "inodeHeap mem base %u total %u free %u\n", view_address(), total, free_bytes);
    // A list that could not be walked did not receive the new space: growing
    // again would not help, so the allocation fails instead.
    return !free_list_broken;
}

}  // namespace

std::recursive_mutex &inode_table_lock() {
    return table_lock;
}

bool inode_shutting_down() {
    return shutting_down.load();
}

uint32_t inode_table_size() {
    return total;
}

bool inode_free_list_broken() {
    return free_list_broken;
}

uint8_t *inode_at(uint32_t offset) {
    if (!table.base || offset > total || total - offset < 4) return nullptr;
    return table.base + offset;
}

uint8_t *inode_block(uint32_t offset) {
    if (!table.base || offset < INODE_BLOCK || offset % INODE_BLOCK || offset > total - INODE_BLOCK)
        return nullptr;
    return table.base + offset;
}

uint8_t *inode_record(uint32_t inode) {
    uint8_t *b = inode_block(inode);
    return b && b[INODE_MARKER] == INODE_MARK ? b : nullptr;
}

uint32_t inode_heap_open(uint32_t minimum, bool delete_first, uint32_t *free_bytes) {
    char path[INODE_PATH_MAX];
    table_path(path, sizeof path);
    log_printf(LOG_DETAIL, "inodePath %s\n", path);
    free_list_broken = false;
    total = 0;
    inode_order_clear();
    if (!mapfile_open(&table, path, delete_first)) return 0;
    // A size of 4 GiB or more cannot be described by the header's words.
    uint64_t size = 0;
    if (!mapfile_size(&table, &size) || size >= TABLE_LIMIT) {
        mapfile_close(&table);
        return 0;
    }
    uint64_t want = whole_blocks(std::max<uint64_t>(size, minimum));
    if (want >= TABLE_LIMIT || !mapfile_map(&table, want)) {
        mapfile_close(&table);
        return 0;
    }
    log_printf(LOG_FULL_DETAIL, "inodeHeap size %u\n", static_cast<uint32_t>(size));
    total = static_cast<uint32_t>(want);

    // Inode numbers are only meaningful on the file that handed them out: a
    // table copied to another volume, or a volume formatted again, starts over.
    uint32_t serial = 0;
    bool have_serial = host_path_volume_serial(path, &serial);
    uint32_t free_now;
    bool stored =
        have_serial && size != 0 && size >= INODE_BLOCK && serial == get(INODE_HDR_SERIAL);
    if (stored) {
        free_now = account_free(static_cast<uint32_t>(size & ~uint64_t(INODE_BLOCK - 1)));
    } else {
        // Every old byte goes, not only the header: a record left in the
        // free space would still carry its marker, and a handle holding its
        // number would resolve through it to a file the new table never saw.
        std::memset(table.base, 0, std::min<uint64_t>(size, total));
        put(INODE_HDR_FREE, INODE_BLOCK);
        put(INODE_BLOCK, total - INODE_BLOCK);
        put(INODE_BLOCK + 4, 0);
        free_now = total - INODE_BLOCK;
    }
    put(INODE_HDR_TOTAL, total);
    put(INODE_HDR_SERIAL, have_serial ? serial : 0);
    {
        std::lock_guard<std::mutex> hold(heap_lock);
        retired_load(stored && !free_list_broken);
    }
    log_printf(LOG_DETAIL, "inodeHeap mem base %u total %u free %u\n", view_address(), total, free_now);
    if (free_bytes) *free_bytes = free_now;
    return total;
}

void inode_heap_close() {
    inode_order_clear();
    mapfile_close(&table);
    total = 0;
}

uint32_t inode_heap_alloc(uint32_t size) {
    std::lock_guard<std::mutex> hold(heap_lock);
    if (!table.base || size == 0 || size > 0xFFFFFFE0u) return 0;
    size = uint32_t(whole_blocks(size));
    ring_expire();
    for (;;) {
        hint_check(0xFFFFFFFFu);
        uint32_t link = hint_link;
        uint32_t cur = get(link);
        while (cur != 0 && cur < total && cur % INODE_BLOCK == 0) {
            uint32_t run = get(cur), next = get(cur + 4);
            if (run == 0) break;
            uint32_t end = uint32_t(std::min<uint64_t>(uint64_t(cur) + run, total));
            uint32_t at = run >= size ? first_usable(cur, end, size) : end;
            if (at < end) {
                // Blocks held back in front stay a run of their own; the
                // remainder behind keeps its place in the list.
                uint32_t after = end - at - size;
                uint32_t rest = after ? at + size : next;
                if (after) {
                    put(at + size, after);
                    put(at + size + 4, next);
                }
                if (at == cur) {
                    put(link, rest);
                } else {
                    put(cur, at - cur);
                    put(cur + 4, rest);
                }
                hint_link = at == cur ? link : cur + 4;
                std::memset(table.base + at, 0, size);
                return at;
            }
            if (next <= cur) break;  // out of order: treat as the end
            link = cur + 4;
            cur = next;
        }
        if (!grow()) return 0;
    }
}

namespace {

// Heap lock held. A block being retired stays held back, so the search
// need not move back to it.
void heap_free(uint32_t offset, bool retiring) {
    hint_check(0xFFFFFFFFu);
    uint32_t head = get(INODE_HDR_FREE);
    if (head == 0 || head >= total) {
        put(offset, INODE_BLOCK);
        put(offset + 4, 0);
        put(INODE_HDR_FREE, offset);
        hint_link = INODE_HDR_FREE;
        return;
    }
    // prev: the last run below the block, reached through prev_link; cur:
    // the first run above it. Above the hint's run the walk starts there:
    // the runs before it are the long stretch of held-back ones.
    uint32_t start = get(hint_link);
    bool above = hint_link != INODE_HDR_FREE && offset > start;
    uint32_t prev = above ? hint_link - 4 : 0, prev_link = INODE_HDR_FREE;
    uint32_t link = above ? hint_link : INODE_HDR_FREE, cur = above ? start : head;
    while (cur != 0 && cur < total && cur <= offset) {
        if (offset < uint64_t(cur) + get(cur)) {
            log_printf(LOG_DETAIL, "already free %u\n", view_address() + offset);
            return;
        }
        uint32_t next = get(cur + 4);
        prev_link = link;
        prev = cur;
        link = cur + 4;
        if (next <= cur) {  // out of order: treat as the end
            cur = 0;
            break;
        }
        cur = next;
    }
    if (cur >= total) cur = 0;
    // The link of the run that now holds the block: the search starts there
    // when the block lies before the runs it skipped so far.
    uint32_t holder;
    bool joined = false;  // merged with the run above it as well
    if (prev && prev + get(prev) == offset) {
        put(prev, get(prev) + INODE_BLOCK);
        if (cur && prev + get(prev) == cur) {
            joined = true;
            put(prev, get(prev) + get(cur));
            put(prev + 4, get(cur + 4));
            if (hint_link == cur + 4) hint_link = prev + 4;  // cur's header is gone
        }
        holder = prev_link;
    } else if (cur && offset + INODE_BLOCK == cur) {
        put(offset, INODE_BLOCK + get(cur));
        put(offset + 4, get(cur + 4));
        put(link, offset);
        if (hint_link == cur + 4) hint_link = offset + 4;  // cur's header moved
        holder = link;
    } else {
        put(offset, INODE_BLOCK);
        put(offset + 4, cur);
        put(link, offset);
        holder = link;
    }
    if (!above && (!retiring || joined)) hint_link = holder;
}

}  // namespace

void inode_heap_free(uint32_t offset) {
    std::lock_guard<std::mutex> hold(heap_lock);
    if (inode_block(offset)) heap_free(offset, false);
}

std::atomic<uint32_t> inode_quarantine_seconds{INODE_QUARANTINE_SECONDS};

void inode_heap_retire(uint32_t offset) {
    std::lock_guard<std::mutex> hold(heap_lock);
    if (!inode_block(offset) || retired(offset)) return;
    heap_free(offset, true);
    uint32_t now = wall_seconds();
    put(offset + RETIRED_MARK, RETIRED_MAGIC);
    put(offset + RETIRED_MARK + 4, now);
    ring_push(offset, now);
}

uint32_t inode_spare_take() {
    uint32_t s = spare;
    spare = 0;
    return s;
}

bool inode_spare_hold(uint32_t offset) {
    if (spare) return false;
    spare = offset;
    return true;
}

void inode_spare_release() {
    if (spare) inode_heap_retire(spare);
    spare = 0;
}

bool inode_table_init() {
    uint32_t free_bytes = 0, used = 0, size = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(table_lock);
        shutting_down = false;
        spare = 0;
        if (!inode_heap_open(INODE_TABLE_MIN, config.inode_reset != 0, &free_bytes)) return false;
        // Blocks that a change cut short by a kill left neither free nor used
        // go back to the heap, held back like any freed record (one may have
        // been a record a client still holds a handle to): losing the whole
        // table for them would make every handle stale.
        std::vector<uint32_t> leaked;
        bool sound = inode_table_walk(&used, &leaked) &&
                     uint64_t(free_bytes) + used + uint64_t(leaked.size()) * INODE_BLOCK == total;
        if (sound)
            for (uint32_t off : leaked) inode_heap_retire(off);
        if (!sound) {
            log_printf(LOG_DETAIL, "inodeTable corrupt, deleted\n");
            inode_heap_close();
            if (!inode_heap_open(INODE_TABLE_MIN, true, &free_bytes)) return false;
            used = INODE_BLOCK;
        }
        size = total;
    }
    if (config.inode_check) inode_check_start();
    log_printf(LOG_DETAIL, "inodeHeap total %u used %u free %u\n", size, used, size - used);
    return true;
}

void inode_table_shutdown() {
    shutting_down = true;
    inode_check_join();
    std::lock_guard<std::recursive_mutex> hold(table_lock);
    inode_spare_release();
    inode_heap_close();
}
