// The socket shim. The rest of the code speaks the BSD socket calls that
// POSIX and Winsock share; only what differs between them is named here.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <cstdint>

typedef int sock_t;
constexpr sock_t SOCK_INVALID = -1;

// Closes a socket; 0 on success.
int sock_close(sock_t s);

// The error number of the last failed socket call on this thread.
int sock_errno();

// The first IPv4 address of the host called `name`, in network order; false
// when the name does not resolve. Blocks for as long as the resolver does.
bool net_host_address(const char *name, uint32_t *address);

// The official name of the host at `address` (IPv4, network order) into
// `name`, cut to `size` - 1 bytes; false when the address has no name.
// Thread-safe. Blocks for as long as the resolver does.
bool net_host_name(uint32_t address, char *name, uint32_t size);

// True when `addr` (IPv4, network order) belongs to this host.
bool net_is_local_address(uint32_t addr);

// One socket to wait on; `readable` says afterwards whether input, a
// hang-up or an error is waiting on it.
struct sock_wait {
    sock_t sock;
    bool readable;
};
// Largest set sock_poll takes.
constexpr uint32_t SOCK_POLL_MAX = 256;

// Waits until one of the `count` sockets is readable or `timeout_ms` has
// passed (-1: no limit). Any descriptor number works, unlike an fd_set.
// Answers how many are readable, 0 on time-out, -1 on error (sock_errno;
// EINVAL for a set larger than SOCK_POLL_MAX).
int sock_poll(sock_wait *set, uint32_t count, int timeout_ms);

// True for the two errors the select loop rides out: an interrupted call and
// a call that would block (Winsock's 10004 and 10035).
bool sock_error_transient(int err);

// True for an interrupted call only (Winsock's 10004): the one error a
// blocking receive or send simply repeats.
bool sock_error_interrupted(int err);
