// Shared between the exports reader and the export table. Private to the exports folder.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exports/export.h"
#include "platform/winfile.h"

// Room for a Windows path or an alias with its terminator.
constexpr uint32_t EXPORT_TEXT_MAX = WIN_PATH_MAX;

// An entry with its own storage: nothing is allocated while reading, so no
// word can be lost to a failed allocation.
struct export_slot {
    export_entry entry;
    char path[EXPORT_TEXT_MAX];
    char name[EXPORT_TEXT_MAX];
    uint32_t clients[EXPORT_MAX_CLIENTS];
};

// The next free slot, cleared and wired to its storage; null when the table
// is full.
export_slot *export_slot_fresh();

// Number of entries in the list.
int export_count();

// The signature bytes of an entry (text followed by the stored client
// addresses) into `buf`; answers their number, 0 when they do not fit.
size_t export_signature(const export_entry *e, uint8_t *buf, size_t size);

// CRC-32 (reflected 0xEDB88320, initial all ones) without the final complement.
uint32_t export_crc32(const uint8_t *data, size_t length);

// Appends the fresh slot's entry to the list and writes its listing line;
// false when its export id is already listed (the caller reports it).
bool export_append(export_slot *slot);
