// Drives and volumes: which host directory a drive letter or UNC root stands
// for, and what Windows would report about that volume.
//
// The map comes from the settings store, key "nfsd\Drives": value "C" =
// "/srv" makes c:\data the directory /srv/data; "E-Type" = "2" gives drive
// E: type 2; "E-Serial" = "1234" fixes its volume serial number. With the
// setting "Remote" on, a value named "\\server\share" maps that UNC root
// (type 4). Without any drive value no drive is mapped, and a value that is
// not an absolute path of an existing directory maps nothing: the load keeps
// such values as problems for start-up to report (drive_load_problems). The
// mapped directory itself may be reached through a symbolic link; nothing
// below it is (winfile.h).
//
// Volume serial: the "-Serial" value when set, else derived from the device,
// inode number and birth time of the mapped directory, so that removing and
// recreating the directory looks like a new medium. A mapped directory that
// does not exist is a drive without medium (error 21).
//
// Thread-safe. The map is loaded on first use; drive_load reloads it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/winfile.h"

constexpr uint32_t DRIVE_UNKNOWN = 0;
constexpr uint32_t DRIVE_NO_ROOT_DIR = 1;
constexpr uint32_t DRIVE_REMOVABLE = 2;
constexpr uint32_t DRIVE_FIXED = 3;
constexpr uint32_t DRIVE_REMOTE = 4;
constexpr uint32_t DRIVE_CDROM = 5;
constexpr uint32_t DRIVE_RAMDISK = 6;

constexpr uint32_t DRIVE_MAX = 64;        // letters A-Z plus UNC roots
constexpr uint32_t DRIVE_NAME_MAX = 256;  // bytes of a UNC root "\\server\share"

// (Re)reads the map from the settings store, replacing the current map.
void drive_load();

// A drive value that the last load refused: the value's name ("C" or
// "\\server\share"), its text as stored, and why it maps nothing.
constexpr uint32_t DRIVE_PROBLEMS_MAX = 16;
struct drive_problem {
    char name[DRIVE_NAME_MAX];
    char value[WIN_PATH_MAX];
    char reason[64];  // "not an absolute path", "no such directory", ...
};

// Copies up to `max` problems of the last load into `out` and answers how
// many there were (at most DRIVE_PROBLEMS_MAX are kept).
uint32_t drive_load_problems(drive_problem *out, uint32_t max);

// Whether values named like "\\server\share" map UNC roots (the setting
// "Remote"). Off until start-up says otherwise; takes effect at the next load.
void drive_set_remote(bool on);

// Maps `name` ("C", "c" or "\\server\share") to the host directory `dir`
// with drive type `type` and a fixed serial (0: derived). A null `dir`
// removes the mapping. Replaces the loaded map's entry; used by start-up
// code and tests. False when the table is full or the name is malformed.
bool drive_map(const char *name, const char *dir, uint32_t type, uint32_t serial);

// Removes every mapping (until the next drive_load).
void drive_clear();

// Forgets the map; the next call loads it from the settings store again.
void drive_reset();

// ---- For the host layer ----
// One resolved drive: a copy of the map entry taken under the map's lock.
struct drive_info {
    int index;                // slot in the map
    uint32_t type;            // DRIVE_*
    uint32_t serial;          // fixed serial, 0 when derived
    char dir[WIN_PATH_MAX];   // host directory
};

// Splits a Windows path into its drive and the rest. On success `*rest`
// points just after the root ("c:" or "\\server\share"), at '\' or the end.
// Failure: 3 for a path without a drive, 67 for an unknown UNC root, 3 for
// an unmapped letter (the error is returned, not stored).
uint32_t drive_lookup(const char *path, drive_info *out, const char **rest);

// Serial number of a mapped drive: the fixed one, or derived from the
// directory. False (error 21 returned in *error) when the directory is
// missing, 5 when it is not a directory.
bool drive_serial(const drive_info *d, uint32_t *serial, uint32_t *error);

// The entry in slot `index` (from drive_lookup); false when it is gone.
bool drive_by_index(int index, drive_info *out);

// Drive type of a root path; DRIVE_NO_ROOT_DIR for an unmapped one.
uint32_t drive_type_of(const char *root);

// Length of the UNC root at the start of `p` ("\\server\share"), or 0.
size_t drive_unc_root_length(const char *p);
