// The mount service: the MOUNT program (100005), versions 1 and 2 through
// mount1_dispatch and version 3 through mount3_dispatch, and the mount table
// that remembers who mounted what, kept in the file "mounttab" across runs.
//
// Start-up registers the dispatchers for the mount transports and then calls
// mount_table_load; shutdown unregisters them, calls mount_table_save and
// then mount_lookup_stop. Everything here is thread-safe: MOUNT calls arrive
// on the select loop's thread and on TCP connection threads at once.
#pragma once

#include <cstdint>

#include "exports/export.h"
#include "rpc/rpc.h"
#include "rpc/rpc_proc.h"

constexpr uint32_t MOUNT_V1 = 1;
constexpr uint32_t MOUNT_V2 = 2;
constexpr uint32_t MOUNT_V3 = 3;
// Message area of the mount transports (xprt_create adds 512 to it).
constexpr uint32_t MOUNT_BUFFER = 800;

// Mount status beside export_check's EXPORT_OK, EXPORT_NOENT, EXPORT_ACCES:
// the export's volume cannot be read (no medium, share gone).
constexpr uint32_t MOUNT_NODEV = 19;

// A dirpath holds at most this many bytes.
constexpr uint32_t MOUNT_PATH_MAX = 1024;
// A host name holds at most this many bytes.
constexpr uint32_t MOUNT_HOST_MAX = 511;

// The table keeps at most this many mounts per client address and in all; a
// new mount beyond either bound pushes out the oldest one (of that client,
// or of the whole table). Ordinary clients stay far below both.
constexpr uint32_t MOUNT_CLIENT_MAX = 256;
constexpr uint32_t MOUNT_TABLE_MAX = 4096;
// Host-name look-ups run on at most this many threads at once; requests
// wait in a queue of distinct addresses that holds at most MOUNT_TABLE_MAX.
constexpr uint32_t MOUNT_LOOKUP_THREADS = 2;

// ---- The program ------------------------------------------------------------

// Handlers to register with rpc_register: versions 1 and 2 (fhstatus replies)
// and version 3 (mountres3 replies). NULL, MNT, DUMP, UMNT, UMNTALL and
// EXPORT are served; every other procedure gets PROC_UNAVAIL.
void mount1_dispatch(xprt *xp, rpc_call *call);
void mount3_dispatch(xprt *xp, rpc_call *call);

// The procedure tables behind them.
extern const rpc_program mount1_program;
extern const rpc_program mount3_program;

// ---- The mount table ----------------------------------------------------------

// With `exp` (the export that admitted the mount) and `path` (MNT, reload):
// refreshes the entry of this client (IPv4, network order) and path, byte
// for byte (host name emptied and looked up again), or puts a new one at the front of the table
// and starts its host-name look-up. With no `exp` and a `path` (UMNT):
// removes the first entry of this client with this path. With neither
// (UMNTALL): removes every entry of this client. `path` holds at most
// MOUNT_PATH_MAX bytes. A new entry that cannot get memory is not
// remembered; nothing else fails.
void mount_table_update(const char *path, uint32_t client, const export_entry *exp);

// Reads "mounttab" and admits every line whose path export_check still
// admits for its client, in file order, each to the front of the table, so
// the table holds them in reverse order. A missing file loads nothing. The
// last step of the mount service's start.
void mount_table_load();

// Writes the table, newest first, one "%x %s\n" line per entry (address with
// the first octet most significant, then the path), through a temporary
// file that replaces "mounttab" only once it is complete. Nothing is saved
// when the file cannot be written. At shutdown, after the MOUNT versions are
// unregistered.
void mount_table_save();

// The file that holds the table: "mounttab" beside the inode table when the
// setting "InodePath" is set, else in the program directory; never the
// inode table's own file. False when no such name can be formed.
bool mount_table_file(char *out, uint32_t size);

// Waits for the host-name look-ups under way (at most a few seconds) and
// drops those not yet begun; their entries keep the dotted address. Called
// at shutdown after mount_table_save; later mounts start look-ups again.
void mount_lookup_stop();

// ---- Replies ------------------------------------------------------------------

// The DUMP reply (mountlist) over the table, newest first, taken under the
// table's lock: the host name, or the dotted address while it has none, and
// the path as the client sent it. An entry whose host text and path are
// together longer than 784 bytes ends the list, and so does an entry that
// would not leave the end word within the room of `out`.
void mountlist_encode(xdr_out *out);

// The EXPORT reply (exportlist) from `first` in list order: the alias or the
// export name, then the client addresses in dotted form and the option
// texts as groups. Within the room of `out`: an export whose name and
// options do not fit ends the list; one whose client list does not fit all
// shows the clients that fit, followed by all its options.
void exports_encode(xdr_out *out, const export_entry *first);
