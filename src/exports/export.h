// The export list: one record per accepted line of the "exports" file, at
// most 128, in file order. Built once before the services start and only
// read afterwards, except the volume facts, which each mount refreshes.
#pragma once

#include <atomic>
#include <cstddef>
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
    char *path;              // 'c:\data', 'c:' for a drive root, '\\server\share'; no trailing '\'
    char *name;              // -name: alias with a leading '/', or null
    uint32_t root_inode;     // inode number of path
    uint32_t drive_type;     // 2 removable, 3 fixed, 4 remote, 5 CD-ROM, 6 RAM disk
    uint32_t volume_serial;  // 0 while unknown; the file system id clients see
    uint32_t max_name;       // maximum component length; 0 while unknown
    uint32_t export_id;      // CRC-32 of the signature, unique in the list
    uint32_t flags;          // EXP_*
    uint32_t umask;          // low six bits only; default 022
    uint32_t maproot_uid, maproot_gid;
    uint32_t mapall_uid, mapall_gid;
    int32_t client_count;  // 0: every client may mount
    uint32_t *clients;     // IPv4, network order; pairs (low, high) with EXP_RANGE
    export_entry *next;
};

// The fields that export_volume_refresh may change while requests are
// served (volume serial, maximum name length, flags) are read through this,
// so that a mount refreshing an entry never races with a request reading it.
inline uint32_t export_load(const uint32_t &field) {
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(field)).load(std::memory_order_relaxed);
}

// ---- The list --------------------------------------------------------------

// First entry in file order, or null. Entries live in a fixed table and are
// never freed; the list is built by exports_read and only read afterwards.
extern export_entry *export_list;

// Set as soon as a -public or -webnfs option is read, even on a line that is
// then ignored. webnfs_lookup refuses everything while it is off.
extern bool export_public_seen;

// ---- Problems of the exports file ------------------------------------------

// Problem numbers: the values "ExpError" takes, which are also the string
// table entries of their texts.
enum : uint32_t {
    EXPORTS_DUPLICATE = 0,       // "duplicate exports line" (never in "ExpError")
    EXPORTS_CANNOT_OPEN = 21,    // the file does not open (line 0)
    EXPORTS_EXPECTED_DRIVE = 22,
    EXPORTS_EXPECTED_PATH = 23,
    EXPORTS_DRIVE_TYPE = 24,     // also a drive letter that maps nothing
    EXPORTS_UNKNOWN_OPTION = 25,
    EXPORTS_INVALID_CLIENT = 26,
    EXPORTS_TOO_MANY_CLIENTS = 27,
    EXPORTS_UNTERMINATED_QUOTE = 28,  // the line is ignored
    EXPORTS_NO_DIRECTORY = 29,        // the export is made (never in "ExpError")
};

struct exports_problem {
    uint32_t number;  // above
    uint32_t line;    // 1-based; 0 for EXPORTS_CANNOT_OPEN
    char detail[128]; // the word concerned (option, client, path), or ""
};

// Every problem of one reading, in file order.
constexpr uint32_t EXPORTS_PROBLEMS_MAX = 64;
struct exports_report {
    uint32_t count;    // problems found; only the first EXPORTS_PROBLEMS_MAX are kept
    uint32_t entries;  // exports the file makes
    exports_problem problems[EXPORTS_PROBLEMS_MAX];
};

// The problem in words, as standard error shows it:
// 'line 3: Line 3 ignored, unknown option: foo'. `out` gets at most `size` bytes.
void exports_problem_describe(const exports_problem *p, char *out, size_t size);

// Reads "<program directory>exports" and builds the list, logging each entry
// and each problem and leaving the last problem in "ExpError"/"ExpLine".
// A missing file leaves the list empty. Run once, before any service starts.
// With `report`, every problem is also listed there.
void exports_read(exports_report *report = nullptr);

// Reads the exports file at `path` (a POSIX path) as exports_read would,
// with the same drive map and settings, and lists its problems, but builds
// no list, writes no log line or setting and touches no inode. False when
// the file does not open (the report then holds EXPORTS_CANNOT_OPEN).
// Safe while the server runs.
bool exports_check(const char *path, exports_report *report);

// Empties the list and clears export_public_seen. For tests, which read
// several exports files in one process.
void exports_clear();

// The client-visible name of an export path into `out` (room for 1024
// bytes): 'c:\data\x' gives '/c/data/x', 'c:' gives '/c', '\\srv\share'
// gives '//srv/share'; a trailing '/' is dropped.
void export_name(const char *path, char *out);

// The entry with this export id, or null. Lock-free; any thread.
export_entry *export_find(uint32_t export_id);

// Reads the volume facts of the entry's volume (serial, maximum name length,
// file system flags and name). A changed serial means a new medium: the
// inode table forgets everything below the export's root. Flags are only
// ever added. False when the volume cannot be read (nothing changes then).
bool export_volume_refresh(export_entry *entry);

// Appends '\' and `name` to `path` (NFS_PATH_MAX bytes) under the rules of
// the export's volume (its longest name, -lowercase): name_append's statuses.
uint32_t nfs_add_name(const export_entry *exp, char *path, const char *name);

// ---- Matching ----------------------------------------------------------------

// Mount status numbers that export_check answers.
constexpr int EXPORT_OK = 0;
constexpr int EXPORT_NOENT = 2;
constexpr int EXPORT_ACCES = 13;

// Matches a mount path and a client address (network order) against the
// list. `path` is the caller's buffer of EXPORT_PATH_BUFFER bytes; an alias
// in it is rewritten to the export name (plus the rest of the path); a
// rewrite that would not fit the buffer answers EXPORT_NOENT and leaves the
// path as it was. Answers EXPORT_OK with *entry set, EXPORT_ACCES with
// *entry set to the last export of that path that refused the client, or
// EXPORT_NOENT (*entry unchanged). Any thread; reads the list only.
constexpr int EXPORT_PATH_BUFFER = 1025;
int export_check(char *path, uint32_t client, export_entry **entry);

// Whether `client` (IPv4, network order) is on the export's client list,
// matched as export_check matches it: an export without a list admits
// everyone. A refusal is logged as export_check logs it, with the export's
// name for the path. Reads the entry only; any thread. File handles are
// easy to forge, so every NFS request asks this again of the export its
// handle names, not only MNT.
bool export_admits(const export_entry *e, uint32_t client);

// A client address (network order) as the log lines show it with "%x": the
// word read as a little-endian number (192.168.1.5 is 501a8c0).
uint32_t export_address_logged(uint32_t client);

// A LOOKUP relative to the WebNFS public handle. `handle` is 32 bytes;
// `name` the name the client sent. Answers an NFS status: 0 with the public
// export, the inode reached and its Windows path (`path`: 1024 bytes);
// 70 when WebNFS is not in use or the handle is not the public handle; 13
// when no export is public; 1 when the name leaves the public export or a
// component cannot be entered; or the status of nfs_add_name.
uint32_t webnfs_lookup(const uint8_t *handle, const char *name, export_entry **entry,
                       uint32_t *inode, char *path);
