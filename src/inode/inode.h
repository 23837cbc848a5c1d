// The persistent inode table: every file and directory that a client has
// seen has a 32-byte record in the mapped file "inodes.nfs", and the byte
// offset of that record is its inode number, the NFS fileid and the number
// in every file handle. 0 means none.
//
// File layout (every word little-endian, every link a byte offset):
//   block 0, header: free_head, 0, total_size, volume_serial, root_head, 0...
//   free run:   size, next_free
//   record:     next_sibling, first_child, parent, name_length (16 bits),
//               flags (8 bits), marker 0xFF, then the name with its NUL when
//               name_length <= 16, else name_block and the name's first 12
//               bytes
//   name block: next_block, 28 more bytes of the name
//
// Locks: the table lock (recursive) is held by every operation on records;
// the heap lock nests inside it for allocation, freeing and growth. A block
// address is valid only while the table lock is held and until the next call
// that may allocate (growth moves the view): hold offsets, not addresses.
// Every operation here takes the table lock itself unless it says otherwise.
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>

#include "platform/bytes.h"
#include "platform/winfile.h"

constexpr uint32_t INODE_BLOCK = 32;
constexpr uint32_t INODE_TABLE_MIN = 2097152;      // size of a new table
constexpr uint32_t INODE_PATH_MAX = WIN_PATH_MAX;  // path buffers, NUL included
constexpr uint32_t INODE_DEPTH_MAX = 30;           // records below a top-level record

// Record fields (offsets within the 32-byte block).
constexpr uint32_t INODE_NEXT = 0;
constexpr uint32_t INODE_CHILD = 4;
constexpr uint32_t INODE_PARENT = 8;
constexpr uint32_t INODE_NAMELEN = 12;
constexpr uint32_t INODE_FLAGS = 14;
constexpr uint32_t INODE_MARKER = 15;
constexpr uint32_t INODE_NAME = 16;
constexpr uint8_t INODE_MARK = 0xFF;
constexpr uint8_t INODE_SEEN = 0x1;      // seen by the running directory scan
constexpr uint8_t INODE_SCANNING = 0x2;  // a scan of this directory is running

// Little-endian words in the view, read and written as bytes.
inline uint32_t inode_get32(const uint8_t *p) {
    return load_le32(p);
}
inline void inode_put32(uint8_t *p, uint32_t v) {
    store_le32(p, v);
}
inline uint32_t inode_rec_next(const uint8_t *rec) {
    return inode_get32(rec + INODE_NEXT);
}
inline uint32_t inode_rec_child(const uint8_t *rec) {
    return inode_get32(rec + INODE_CHILD);
}
inline uint32_t inode_rec_parent(const uint8_t *rec) {
    return inode_get32(rec + INODE_PARENT);
}
inline uint32_t inode_rec_namelen(const uint8_t *rec) {
    return uint32_t(rec[INODE_NAMELEN]) | uint32_t(rec[INODE_NAMELEN + 1]) << 8;
}

// ---- The store --------------------------------------------------------

// Opens the table at start-up ("InodePath", else "inodes.nfs" in the program
// directory), reuses it when it is consistent and on the same file system,
// otherwise starts an empty one; starts the check thread when "InodeCheck"
// is on. False when the file cannot be opened or mapped.
bool inode_table_init();
// Sets the shutting-down flag, waits for the check thread, frees a held
// spare slot and closes the table. Later calls see an empty table.
void inode_table_shutdown();
// True once shutdown has begun; long directory scans poll it.
bool inode_shutting_down();

// Opens and maps the table file, at least `minimum` bytes, emptying it first
// when asked. Answers the total size (0 on failure) and the free bytes.
uint32_t inode_heap_open(uint32_t minimum, bool delete_first, uint32_t *free_bytes);
void inode_heap_close();
// A zeroed run of `size` bytes (a multiple of 32), growing the table when
// needed; 0 when it cannot grow. On failure the table stays mapped and
// every record stays valid. Table lock held by the caller.
uint32_t inode_heap_alloc(uint32_t size);
// Returns one 32-byte block to the free list. Table lock held by the caller.
void inode_heap_free(uint32_t offset);
// The block at `offset`, or null unless 32 <= offset <= total - 32 and a
// multiple of 32. Never faults, for any 32-bit value. Table lock held.
uint8_t *inode_block(uint32_t offset);
// The record `inode`, or null when the block is not valid or is not a record.
// Never faults, for any 32-bit value. Table lock held by the caller.
uint8_t *inode_record(uint32_t inode);
// The table's total size in bytes (0 while closed).
uint32_t inode_table_size();

// The table lock. Hold it (it is recursive) around inode_record, inode_name
// and every use of a record address.
std::recursive_mutex &inode_table_lock();

// ---- The name index ---------------------------------------------------
// Finding, adding, removing and positions take O(log n) name comparisons in
// a directory of n children: the order of every list in use is also held in
// memory (16 bytes a child), built from the file and dropped when the table
// is opened or closed; the lists in the file are kept sorted and stay the
// truth.

// Creates a record (the spare slot first, else a new block) with the name,
// parent and next sibling given; links nothing. 0 when out of space (logged).
// Table lock held by the caller.
uint32_t inode_new(const char *name, uint32_t parent, uint32_t next);
// Copies a record's name into `buffer` (cut to `size` - 1 bytes, always
// terminated); answers its length. Table lock held by the caller.
uint32_t inode_name(const uint8_t *record, char *buffer, uint32_t size);
// The child `name` of `dir` (0: top level), "." answering `dir`; 0 if none.
uint32_t inode_find(uint32_t dir, const char *name);
// As inode_find, adding the name in sorted position when missing. Names are
// equal and ordered ignoring the case of A-Z; the first-added case is kept.
// An empty name, "..", or a name holding a separator is refused (0).
uint32_t inode_lookup(uint32_t dir, const char *name);
// Whole paths ("c:\dir\f", "c:", "\\srv\share\f" with "Remote"), adding
// missing components / without adding. 0 when not found or out of space.
uint32_t inode_path_lookup(const char *path);
uint32_t inode_path_find(const char *path);
// Rebuilds the Windows path of a record into `buffer` (INODE_PATH_MAX
// bytes); null when the record is invalid, more than 30 levels deep, or its
// path would not fit.
char *inode_path(uint32_t inode, char *buffer);
// ".." of a directory whose current path is in `path` (INODE_PATH_MAX bytes,
// in and out), never above the export's root (record `root_inode`, path
// `root_path`): the root itself, or a path not below the root's path (letters
// compared without case), answers the root and its path. 0 when invalid.
uint32_t inode_parent(uint32_t root_inode, const char *root_path, uint32_t inode, char *path);
// Removes a record that has no children; with `keep_slot` its block becomes
// the spare slot when none is held. False (and no change) otherwise.
bool inode_remove(uint32_t inode, bool keep_slot);
// Removes a record's whole subtree and the record; false on the first failure.
bool inode_remove_tree(uint32_t inode);
// Removes every child subtree of a record, keeping the record.
void inode_remove_children(uint32_t inode);
// Moves a record to `new_name` below `new_parent`, removing the record the
// new name had (the replaced file's): the answer keeps the old number when
// the old record has no children, a new number otherwise. 0 when out of
// space.
uint32_t inode_rename(uint32_t inode, uint32_t new_parent, const char *new_name);

// ---- Directory scan bookkeeping ----------------------------------------

bool inode_has_parent(uint32_t inode);
// The n-th child of `dir` in list order (from 0), 0 past the end.
uint32_t inode_child_at(uint32_t dir, uint32_t n);
// The previous scan bit of `dir`; sets it when `set` > 0.
bool inode_scan_flag(uint32_t dir, int set);
void inode_scan_clear(uint32_t dir);
void inode_mark_seen(uint32_t inode);
// Drops every child of `dir` not marked seen since the scan began (with its
// subtree), clears the seen bits and the scan bit.
void inode_sweep(uint32_t dir);

// ---- Existence and names ---------------------------------------------

// Whether the record's file still exists on disk (errors other than "not
// found" count as existing). No lock held during the file system call.
bool inode_exists(uint32_t inode);
// The check thread's body: walks the table once and drops the records of
// files that no longer exist; stops early when shutdown begins.
void inode_check();

