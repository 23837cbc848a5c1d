// File handles. A handle names an export and an inode number and nothing
// else: 32 bytes of little-endian words, opaque to the client.
//   0  tag 16        4  export id      8  inode number
//   12 check = export id + inode (mod 2^32)      16..31 zero
// NFS version 2 and MOUNT 1/2 carry all 32 bytes; NFS version 3 and MOUNT 3
// carry the first 16 as an opaque of length 16. 32 zero bytes are the WebNFS
// public handle, which never decodes.
//
// fh_make touches no shared state; the other calls read the export list and
// take the inode table lock inside the index calls. All are thread-safe.
#pragma once

#include <atomic>
#include <cstdint>

#include "exports/export.h"

constexpr uint32_t FH_SIZE = 32;   // version 2 form
constexpr uint32_t FH3_SIZE = 16;  // version 3 form: the first 16 bytes
constexpr uint32_t FH_TAG = 16;

// Clears `fh` (FH_SIZE bytes) and writes tag, export id, inode and check.
void fh_make(uint32_t inode, uint32_t export_id, uint8_t *fh);

// Finds or adds the path's record and fills `fh` with it (inode 0 when the
// lookup failed). Answers the inode number, 0 on failure.
uint32_t fh_for_path(uint32_t export_id, const char *path, uint8_t *fh);

// The export a handle names: tag 16, inode a multiple of 32, check right and
// an export with that id loaded; otherwise null. Only the first 16 bytes are
// read, so a version 3 handle works as well.
export_entry *fh_decode(const uint8_t *fh);
// Handles decoded so far (tests count the resolutions of a request with it).
extern std::atomic<uint64_t> fh_decodes;

// The path (`path`: 1024 bytes) of the handle's record, which must lie inside
// the export `e` that fh_decode found for it. Answers the inode number, or 0
// when the record is gone or lies outside the export.
uint32_t fh_path(const export_entry *e, const uint8_t *fh, char *path);
