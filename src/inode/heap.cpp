// The inode table store: the mapped file "inodes.nfs" managed as a heap of
// 32-byte blocks, with its opening, reuse test, growth, allocator, start-up
// check and shutdown.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "inode/inode.h"
#include "inode/internal.h"
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
    if (have_serial && size != 0 && size >= INODE_BLOCK && serial == get(INODE_HDR_SERIAL)) {
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
    for (;;) {
        uint32_t link = INODE_HDR_FREE;
        uint32_t cur = get(INODE_HDR_FREE);
        while (cur != 0 && cur < total && cur % INODE_BLOCK == 0) {
            uint32_t run = get(cur), next = get(cur + 4);
            if (run == 0) break;
            if (run >= size) {
                if (run == size) {
                    put(link, next);
                } else {  // the remainder keeps its place in the list
                    put(cur + size, run - size);
                    put(cur + size + 4, next);
                    put(link, cur + size);
                }
                std::memset(table.base + cur, 0, size);
                return cur;
            }
            if (next <= cur) break;  // out of order: treat as the end
            link = cur + 4;
            cur = next;
        }
        if (!grow()) return 0;
    }
}

void inode_heap_free(uint32_t offset) {
    std::lock_guard<std::mutex> hold(heap_lock);
    if (!inode_block(offset)) return;
    uint32_t head = get(INODE_HDR_FREE);
    if (head == 0 || head >= total) {
        put(offset, INODE_BLOCK);
        put(offset + 4, 0);
        put(INODE_HDR_FREE, offset);
        return;
    }
    // prev: the last run below the block; cur: the first run above it.
    uint32_t prev = 0, link = INODE_HDR_FREE, cur = head;
    while (cur != 0 && cur < total && cur <= offset) {
        if (offset < uint64_t(cur) + get(cur)) {
            log_printf(LOG_DETAIL, "already free %u\n", view_address() + offset);
            return;
        }
        uint32_t next = get(cur + 4);
        prev = cur;
        link = cur + 4;
        if (next <= cur) {  // out of order: treat as the end
            cur = 0;
            break;
        }
        cur = next;
    }
    if (cur >= total) cur = 0;
    if (prev && prev + get(prev) == offset) {
        put(prev, get(prev) + INODE_BLOCK);
        if (cur && prev + get(prev) == cur) {
            put(prev, get(prev) + get(cur));
            put(prev + 4, get(cur + 4));
        }
    } else if (cur && offset + INODE_BLOCK == cur) {
        put(offset, INODE_BLOCK + get(cur));
        put(offset + 4, get(cur + 4));
        put(link, offset);
    } else {
        put(offset, INODE_BLOCK);
        put(offset + 4, cur);
        put(link, offset);
    }
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
    if (spare) inode_heap_free(spare);
    spare = 0;
}

bool inode_table_init() {
    uint32_t free_bytes = 0, used = 0, size = 0;
    {
        std::lock_guard<std::recursive_mutex> hold(table_lock);
        shutting_down = false;
        spare = 0;
        if (!inode_heap_open(INODE_TABLE_MIN, config.inode_reset != 0, &free_bytes)) return false;
        if (!inode_table_walk(&used) || uint64_t(free_bytes) + used != total) {
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
