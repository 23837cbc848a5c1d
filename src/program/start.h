// Server start-up and shutdown: the server thread brings every service up
// in a fixed order, reports a failed step once (log line, message, status),
// then becomes the select loop; server_stop takes the services down again in
// a fixed order. The main thread reads the settings (config_load) before it
// starts the server thread and calls server_stop when the program ends.
#pragma once

#include <cstdint>
#include <cstdio>

// The start status: what server_start answers and server_thread returns.
enum : int32_t {
    START_OK = 0,
    START_PMAP_FAILED = 2,   // the built-in portmapper could not start
    START_MOUNT_FAILED = 3,  // the mount service could not start
    START_NFS_FAILED = 4,    // the NFS service could not start
    START_TCPIP_FAILED = 5,  // the socket layer is not available
    START_INODE_FAILED = 6,  // the inode table could not be opened
};

// The caption of every message the program shows.
constexpr const char *SERVER_CAPTION = "Nimbora NFS Server";

// The body of the server thread: opens the log, runs server_start, shows the
// message of a failed start, runs the select loop (statuses 0 to 4) until it
// returns, closes the log and answers the start status. One server thread
// per process at a time.
int32_t server_thread();

// The start-up sequence; answers the start status and records it (see
// server_status). Requires the configuration to be loaded. Called by
// server_thread; tests call it directly and then server_stop.
int32_t server_start();

// Whether server_start has finished, and what it answered (0 until then).
// Safe on any thread.
bool server_started();
int32_t server_status();

// The shutdown sequence: withdraws the programs from the portmapper, saves
// the mount table, closes every transport of the select loop (which makes a
// running loop return within moments), closes the inode table and the idle
// files of the open-file cache, and stops the built-in portmapper. Only the
// first call after a start acts. It undoes only what the run did, so it is
// also the orderly end of a run whose start failed: no port stays bound, no
// portmapper keeps a mapping of ours, and a mount table that was never
// loaded is not written over. Call it after server_start has returned, from
// any one thread (normally the main thread).
void server_stop();

// Records the shutdown order (level 0x100, no retry) and checks that the
// socket layer can make a socket. False when it cannot.
bool tcpip_init();

// Opens the NFS transports on `port` (UDP unless "UDP" is 0, TCP unless "TCP"
// is 0), starts the UDP workers and registers NFS versions 2 and 3 as the
// settings say. False after the step's log line; what was opened stays for
// the caller to close (xprt_close_all and server_stop).
bool nfs_service_start(uint16_t port);

// Opens the mount transports on `port` ("Mount-UDP", "Mount-TCP"), registers
// MOUNT versions 3 (unless "Version3" is 0), 2 and 1, and loads the mount
// table. False after the step's log line.
bool mount_service_start(uint16_t port);

// Formats a message printf-style (at most about one kilobyte) and shows it
// in a message box (msgbox.h: on Linux standard error, "<caption>: <text>")
// and, while a log is open, in the log. `owner` and
// `flags` are those of a message box (0: an error box) and change nothing
// here. Answers true, as a box answered with OK would. Thread-safe.
bool show_message(void *owner, uint32_t flags, const char *caption, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// nfsd --check: reads the settings' exports file as a start would (drives,
// options, clients, export ids from a private copy of the inode table) and
// prints the export table to `out` (one line each: the client-visible name,
// then the entry as the log lists it) and every problem to `err`, without
// opening the log, the services or any file for writing. Requires the
// configuration to be loaded. Answers the number of problems.
int server_check(FILE *out, FILE *err);

// Re-reads the exports file of a running server: new requests see the new
// list, requests in flight finish on the old one, and a file with any
// problem leaves the old list in place. The outcome and the problems go to
// the log and to standard error. Not at the same time as another reading.
bool server_reload();
