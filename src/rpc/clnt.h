// RPC client calls, always towards this host (127.0.0.1): registration with
// the portmapper, the queries the settings pages make of the running
// services, and the portmapper's forwarding of indirect calls. Every call is
// one request and at most one reply, with a fixed 2-second wait and no
// retransmission. Each call uses a transport and buffer of its own, so the
// calls are safe on any thread; log lines need "Log" at least 1.
#pragma once

#include <cstdint>

#include "rpc/rpc.h"

constexpr uint32_t PMAP_PROG = 100000;
constexpr uint32_t PMAP_VERS = 2;
constexpr uint16_t PMAP_PORT = 111;
constexpr uint32_t MOUNT_PROG = 100005;
constexpr int CLNT_WAIT_MS = 2000;
constexpr uint32_t CLNT_HEADER_LEN = 40;  // call header with AUTH_NULL, no arguments
constexpr uint32_t CLNT_RESULTS = 24;     // results start here in a reply with empty verifier

// Results of clnt_check_reply / clnt_receive below 1.
enum : int32_t {
    CLNT_TIMEOUT = 0,
    CLNT_BAD_XID = -1,
    CLNT_NOT_REPLY = -2,
    CLNT_RPC_MISMATCH = -3,
    CLNT_AUTH_ERROR = -4,
    CLNT_PROG_MISMATCH = -6,
    CLNT_PROG_UNAVAIL = -7,
    CLNT_PROC_UNAVAIL = -8,
    CLNT_SYSTEM_ERR = -9,
    CLNT_SHORT = -10,
};

// Makes `xp` a client transport over `buffer`, which holds 4 + size bytes
// (the 4 in front take a TCP record mark). No socket yet.
void clnt_xprt_init(xprt *xp, uint8_t *buffer, uint32_t size);

// Takes the next process-wide transaction id into xp->xid (the first is the
// current time in seconds modulo 65536) and writes the call header with an
// AUTH_NULL credential and verifier. Sets xp->count to and returns its
// length, 40; the caller appends arguments and adds their length.
uint32_t clnt_call_header(xprt *xp, uint32_t prog, uint32_t vers, uint32_t proc);

// Opens a socket to 127.0.0.1:port: a UDP socket on any local port, or a
// connected stream socket for RPC_TCP. False when neither can be made.
bool clnt_open(xprt *xp, uint16_t protocol, uint16_t port);

// Waits up to 2 s for the reply and receives it (over TCP at most 2 s
// between fragments), closes the socket in every case, and returns
// clnt_check_reply, or 0 after "RPC receive timeout\n".
int32_t clnt_receive(xprt *xp);

// Judges the received reply against the call in xp: the byte count when it
// is an accepted SUCCESS of at least 24 bytes, else one of CLNT_* below 0.
int32_t clnt_check_reply(const xprt *xp);

// SET (port above 0) or UNSET (port 0) of (prog, vers, protocol, port) at the
// portmapper on 127.0.0.1:111 over UDP; its boolean answer, false on failure
// (after 2 s: "RPC receive timeout\n"). Every call of the run leaves from
// the same socket, on a privileged port when the process may bind one, so
// the portmapper knows the UNSET for the setter of the mapping. Calls on
// several threads take turns.
bool pmap_set_unset(uint32_t prog, uint32_t vers, uint32_t protocol, uint16_t port);

// The seam behind rpc_register/rpc_unregister (rpc_pmap_call).
bool clnt_pmap_call(bool set, uint32_t prog, uint32_t vers, uint32_t protocol, uint16_t port);

// The queries. `udp` above 0 asks over UDP, otherwise over TCP. Each entry of
// the answer is handed to `fn` in order; the strings live only for the call.
// False when the call failed ("RPC request rejected\n" for a refused reply).
typedef void (*pmap_dump_fn)(void *ctx, uint32_t prog, uint32_t vers, uint32_t protocol,
                             uint32_t port);
bool pmap_dump(int udp, pmap_dump_fn fn, void *ctx);
// MOUNT version 2 DUMP at "Mount-Port": (host name, directory) pairs.
typedef void (*mount_dump_fn)(void *ctx, const char *host, const char *directory);
bool mount_dump(int udp, mount_dump_fn fn, void *ctx);
// MOUNT version 2 EXPORT at "Mount-Port": (directory, options, clients); the
// options ("-" names) and clients are each followed by one blank.
typedef void (*mount_exports_fn)(void *ctx, const char *directory, const char *options,
                                 const char *clients);
bool mount_exports(int udp, mount_exports_fn fn, void *ctx);

// Turns a directory as clients see it into its Windows display form, in
// place (`size` bytes available): "/C/data" -> "C:\data" ("c:\data" with
// "Lowercase"), "/c" -> "c:\", "//srv/share" -> "\\srv\share"; other paths
// beginning with "/" keep it and get backslashes; the rest stay unchanged.
// Under "CharSet" 2 the UTF-8 text is first converted to "CodePage".
void clnt_display_path(char *path, uint32_t size);

// True for 127.0.0.1 and every IPv4 address of this host's name. `addr` in
// network order. Thread-safe.
bool is_local_address(uint32_t addr);
