// The built-in portmapper: program 100000 version 2 (RFC 1833) on UDP and
// TCP port 111, on a thread of its own apart from the select loop, with one
// more thread per TCP connection. Only the local host may change the table
// of mappings or forward calls through it.
#pragma once

#include <cstdint>

#include "rpc/rpc.h"
#include "rpc/rpc_proc.h"

// One mapping.
struct pmap_entry {
    uint32_t prog;
    uint32_t vers;
    uint32_t prot;  // RPC_UDP or RPC_TCP
    uint32_t port;
    pmap_entry *next;
    // Who set it, network order: the one caller besides a privileged port
    // that may remove it. 0 and 0 for the portmapper's own mappings.
    uint32_t setter_addr;
    uint16_t setter_port;
};

// Entries a DUMP answer holds at most.
constexpr uint32_t PMAP_DUMP_MAX = 26;

// Binds UDP and TCP port 111 ("%s bind on port %u failed\n" when either
// cannot be bound), puts the portmapper's own two mappings in the list,
// reads this host's interface addresses, writes "%s pmapd ready on port
// %u\n" and starts the thread and the forwarders. False on any failure, with
// nothing left bound. Called at server start. TCP connections are bounded by
// the setting "TCP-Connections" like the server's own.
bool pmap_start();

// Why the last pmap_start failed to bind: the protocol whose port could not
// be had (17 UDP, 6 TCP; 0 when binding was not the trouble) and the host's
// error number, so that start-up can say why.
struct pmap_failure {
    uint32_t protocol;
    int error;
};
pmap_failure pmap_start_failure();

// Sets the stop request and closes both sockets; only the first call after a
// start acts. From another thread it also waits for the portmapper thread
// and the forwarders (a forwarded call under way: 2 s at most) to leave.
// Connections already accepted keep their threads until they close.
void pmap_stop();

// Empties the mapping list and puts back (100000, 2, 6, 111) and
// (100000, 2, 17, 111), in that order. False when memory is short.
bool pmap_list_reset();

// Copies into *found the mapping for (prog, vers, prot), or else the last one
// with the same program and protocol but another version. False when there
// is neither. Takes the list's lock.
bool pmap_lookup(uint32_t prog, uint32_t vers, uint32_t prot, pmap_entry *found);

// True when the caller's address is this host and `port` is 0 or above 1024.
bool pmap_caller_allowed(const sockaddr_in *peer, uint32_t port);

// The portmapper's procedures, one row each.
extern const rpc_program pmap_program;

// Serves one decoded portmapper call on `xp` (NULL, SET, UNSET, GETPORT,
// DUMP, and CALLIT over UDP only). Safe on several threads at once.
void pmap_dispatch(xprt *xp, rpc_call *call);

// Answers one call received on a portmapper transport: a call to another
// program gets PROG_UNAVAIL, to another version PROG_MISMATCH 2..2, the rest
// goes to pmap_dispatch.
void pmap_serve(xprt *xp, rpc_call *call);
