// The export list: one record per accepted line of the "exports" file, at
// most 128, in file order. Built once before the services start and only
// read afterwards, except the volume facts, which each mount refreshes.
#pragma once

#include <cstdint>

constexpr int EXPORT_MAX = 128;
constexpr int EXPORT_MAX_CLIENTS = 128;

enum : uint32_t {
    EXP_READONLY = 0x1,
    EXP_LOWERCASE = 0x2,
    EXP_PUBLIC = 0x4,
    EXP_MAPROOT_UID = 0x8,
    EXP_MAPALL_UID = 0x10,
    EXP_MAPROOT_GID = 0x20,
    EXP_MAPALL_GID = 0x40,
    EXP_RANGE = 0x80,
    EXP_NTFS = 0x100,
    EXP_ALLDIRS = 0x200,
    EXP_UMASK = 0x400,
    EXP_FAT = 0x2000,
};

struct export_entry {
    char *path;             // 'c:\data', 'c:' for a drive root, '\\server\share'; no trailing '\'
    char *name;             // -name: alias with a leading '/', or null
    uint32_t root_inode;    // inode number of path
    uint32_t drive_type;    // 2 removable, 3 fixed, 4 remote, 5 CD-ROM, 6 RAM disk
    uint32_t volume_serial; // 0 while unknown; the file system id clients see
    uint32_t max_name;      // maximum component length; 0 while unknown
    uint32_t export_id;     // CRC-32 of the signature, unique in the list
    uint32_t flags;         // EXP_*
    uint32_t umask;         // low six bits only; default 022
    uint32_t maproot_uid, maproot_gid;
    uint32_t mapall_uid, mapall_gid;
    int32_t client_count;   // 0: every client may mount
    uint32_t *clients;      // IPv4, network order; pairs (low, high) with EXP_RANGE
    export_entry *next;
};
