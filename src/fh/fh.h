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

// Resolves a handle to its export, inode number and Windows path (`path`:
// 1024 bytes). Answers the inode number, or 0 when the handle is stale.
// Modifying callers pass `status`: it is set to 70 (STALE) at once, and to
// 30 (ROFS) when the export is read-only, which is tested before the record
// is; they answer *status when the result is 0. Read-only callers pass null
// and answer 70 themselves. A record whose path lies outside the export's
// directory is stale. *exp is set only on success.
uint32_t fh_resolve(const uint8_t *fh, export_entry **exp, char *path, uint32_t *status);

// The cheaper resolution of directory reading: fh_decode and a valid record
// below the export's root record, no path. Answers the inode number or 0;
// *exp is set only on success.
uint32_t fh_dir(const uint8_t *fh, export_entry **exp);
