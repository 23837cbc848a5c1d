// Declarations shared by the inode table's source files only.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

constexpr uint32_t INODE_HDR_FREE = 0;
constexpr uint32_t INODE_HDR_TOTAL = 8;
constexpr uint32_t INODE_HDR_SERIAL = 12;
constexpr uint32_t INODE_HDR_ROOT = 16;

// The word at byte `offset` of the view, or null when it lies outside (the
// header's root_head is reached this way). Table lock held.
uint8_t *inode_at(uint32_t offset);
// True when the last opening found a free list that is out of order, overlaps
// itself or leaves the table: the start-up check then replaces the table.
bool inode_free_list_broken();

// The spare record slot: a cleared block that the next record creation takes.
// Table lock held.
uint32_t inode_spare_take();
// Makes `offset` the spare slot; false when one is already held.
bool inode_spare_hold(uint32_t offset);
// Frees a held spare slot.
void inode_spare_release();

// The consistency walk of start-up: every block must be the header, in one
// free run, a record reachable from root_head or a name block of one, and no
// block twice. Clears every record's flags. Answers false on any fault;
// otherwise the bytes used by the header, records and name blocks, and in
// `leaked` (when given) the blocks that are neither free nor used: a change
// cut short by a kill holds such blocks, and nothing refers to them.
bool inode_table_walk(uint32_t *used, std::vector<uint32_t> *leaked = nullptr);

// Name comparison ignoring the case of A-Z: negative when the record's name
// sorts before `name`, 0 when equal, positive after. Table lock held.
int inode_name_cmp(const uint8_t *record, const char *name);
// A name a record may carry: not empty, not "." or "..", and free of the
// separators that would make the rebuilt path name another file, so that it
// never leads outside its directory. A top-level name may begin with '/' (a
// UNC server).
bool inode_name_storable(uint32_t parent, const char *name);
// Name blocks of a record whose name_length is `length`.
inline uint32_t inode_name_blocks(uint32_t length) {
    return length <= 16 ? 0 : (length - 12 + 27) / 28;
}

// The order of sibling lists in memory (order.cpp), a faster way to the same
// answers as walking the lists in the file, which stay the truth. Table lock
// held by the caller for every call.
struct inode_place {
    uint32_t found;  // the child with the name, 0 when none
    uint32_t prev;   // the child before the name's place, 0 at the front
    uint32_t rank;   // the name's position in the list, from 0
};
// Where `name` is or would go among the children of `dir` (0: top level).
// False when `dir` is not a record or the table is closed.
bool inode_order_find(uint32_t dir, const char *name, inode_place *at);
// The position of the child `inode` in `dir`'s list; false when not found.
bool inode_order_rank(uint32_t dir, uint32_t inode, uint32_t *rank);
// The n-th child of `dir` (from 0); 0 past the end or when `dir` is invalid.
uint32_t inode_order_at(uint32_t dir, uint32_t n);
// `inode` was linked at position `rank` / unlinked from it in `dir`'s list.
void inode_order_insert(uint32_t dir, uint32_t rank, uint32_t inode);
void inode_order_unlinked(uint32_t dir, uint32_t rank, uint32_t inode);
// The record `inode` is made or gone: no order is held for its children.
void inode_order_forget(uint32_t inode);
// Forgets every order (the table is opened or closed).
void inode_order_clear();

// The check thread, started at start-up and joined at shutdown.
void inode_check_start();
void inode_check_join();

// Removed records: a record's block stays out of use for this many seconds
// after its removal (across restarts), so that a handle a client still holds
// never reaches the next file created. A variable for the tests.
constexpr uint32_t INODE_QUARANTINE_SECONDS = 3600;
extern std::atomic<uint32_t> inode_quarantine_seconds;
// Frees the block of a removed record (cleared by the caller) and keeps it
// out of use for the window above. Table lock held.
void inode_heap_retire(uint32_t offset);
