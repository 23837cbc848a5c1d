// The socket shim. The rest of the code speaks the BSD socket calls that
// POSIX and Winsock share; only what differs between them is named here.
#pragma once

#include <cstdint>

#ifdef _WIN32
// Winsock's select takes at most FD_SETSIZE sockets (64 unless raised before
// its header); sock_poll waits on up to SOCK_POLL_MAX, so raise it to that.
#ifndef FD_SETSIZE
#define FD_SETSIZE 256
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstddef>

#include "platform/win32_names.h"

#ifndef SHUT_RDWR
#define SHUT_RDWR SD_BOTH
#endif

// Shutting a socket down wakes every thread that waits on it on POSIX, which
// the stop of each service relies on; Winsock wakes neither a select nor a
// blocking receive. So on Windows a shut-down socket is remembered until it
// is closed: sock_poll reports it readable within its wait slice, and
// recvfrom on it fails (WSAESHUTDOWN) instead of blocking; overlapped
// receives under way on it (sock_receiver) are cancelled.
int sock_shutdown(SOCKET s, int how);
#define shutdown sock_shutdown
// accept on a shut-down listener fails (WSAEINVAL) instead of blocking.
SOCKET sock_accept(SOCKET s, sockaddr *addr, int *len);
#define accept sock_accept
// Waits until `s` is readable; false (with WSAESHUTDOWN) once it is shut down.
bool sock_wait_receive(SOCKET s);

typedef SOCKET sock_t;
constexpr sock_t SOCK_INVALID = INVALID_SOCKET;
// Winsock raises no signal on a broken connection.
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif
// Winsock takes char buffers and int lengths where POSIX takes void and
// size_t; these forward the POSIX forms, so the callers stay one source.
inline int send(SOCKET s, const void *buf, size_t n, int flags) {
    return ::send(s, static_cast<const char *>(buf), int(n), flags);
}
inline int recv(SOCKET s, void *buf, size_t n, int flags) {
    return ::recv(s, static_cast<char *>(buf), int(n), flags);
}
inline int sendto(SOCKET s, const void *buf, size_t n, int flags, const sockaddr *to, int tolen) {
    return ::sendto(s, static_cast<const char *>(buf), int(n), flags, to, tolen);
}
inline int recvfrom(SOCKET s, void *buf, size_t n, int flags, sockaddr *from, int *fromlen) {
    if (!sock_wait_receive(s)) return -1;
    return ::recvfrom(s, static_cast<char *>(buf), int(n), flags, from, fromlen);
}
inline int setsockopt(SOCKET s, int level, int name, const void *value, int len) {
    return ::setsockopt(s, level, name, static_cast<const char *>(value), len);
}
inline int getsockopt(SOCKET s, int level, int name, void *value, int *len) {
    return ::getsockopt(s, level, name, static_cast<char *>(value), len);
}
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

typedef int sock_t;
constexpr sock_t SOCK_INVALID = -1;
#endif

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

// True when `addr` (IPv4, network order) is 127.0.0.1 or an address of one
// of this host's interfaces. The interface table is read at the first call
// (or net_local_addresses_refresh) and read again when an address is not in
// it, at most once a second; no name is ever looked up, so the answer never
// waits on a resolver. Thread-safe.
bool net_is_local_address(uint32_t addr);
// Reads the interface table now (at service start).
void net_local_addresses_refresh();
// For the host layer: the IPv4 addresses (network order) of this host's
// interfaces, at most `max` of them, into `out`; answers how many.
uint32_t net_interface_addresses(uint32_t *out, uint32_t max);

// One socket to wait on; `readable` says afterwards whether input, a
// hang-up or an error is waiting on it.
struct sock_wait {
    sock_t sock;
    bool readable;
};
// Largest set sock_poll takes (FD_SETSIZE on Windows).
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

// True when a call failed because the process or the system has no
// descriptor left (Winsock's 10024, or out of buffers).
bool sock_error_exhausted(int err);

// Sends small segments at once (TCP_NODELAY): a reply must not wait for the
// acknowledgement of the one before it, which a client with calls in flight
// delays. True on success.
bool sock_set_nodelay(sock_t s);

// A blocking receive on `s` that gets no data for `ms` milliseconds fails
// with a transient error (SO_RCVTIMEO); 0 waits for ever. True on success.
bool sock_set_receive_timeout(sock_t s, uint32_t ms);

// Binds `s` to a free privileged port (1023 down to 512) of `address`
// (network order). False when the process has no right to bind one, or none
// is free; the socket is then still unbound.
bool sock_bind_privileged(sock_t s, uint32_t address);

// The process's limit of descriptors (the soft one); 0 when unknown.
uint32_t sock_descriptor_limit();
// Raises the soft limit of descriptors to the hard one (at start, so that
// connections and open files have all the room the host allows). Answers
// the limit now in force.
uint32_t sock_descriptor_limit_raise();

// Datagrams that know their destination. sock_recv_datagram receives one
// datagram of at most `size` bytes into `buf`, the sender into *peer and
// *peer_len, and the address it was sent to (network order; 0 when the
// socket does not report it) into *local; answers the byte count or -1.
// sock_send_datagram sends `size` bytes to `peer` from the address `local`
// (0: the one routing picks), so that a reply leaves from the address the
// call came to. sock_report_destination asks the socket to report it (true
// on success); udp sockets of the server do this when made.
bool sock_report_destination(sock_t s);
long sock_recv_datagram(sock_t s, void *buf, uint32_t size, sockaddr_in *peer, socklen_t *peer_len,
                        uint32_t *local);
long sock_send_datagram(sock_t s, const void *buf, uint32_t size, const sockaddr_in *peer,
                        socklen_t peer_len, uint32_t local);

// Several threads receiving on one datagram socket (the NFS socket), each
// into its own buffer and each served the datagram it got. The socket comes
// from sock_shared_datagram (on Windows made for overlapped receives; an
// ordinary one elsewhere). Each thread opens a receiver of its own (on
// Windows an event and an overlapped record, so that its receive waits on
// its own event), made once per thread: receiving allocates nothing.
// sock_receiver_recv receives as sock_recv_datagram does; a datagram larger
// than `size` is cut to it. Shutting the socket down (shutdown) ends every
// receive that waits on it with an error, so a stop in order never waits on
// a datagram; only then may the socket be closed.
struct sock_receiver;
sock_t sock_shared_datagram();
sock_receiver *sock_receiver_open(sock_t s);  // null when out of resources
long sock_receiver_recv(sock_receiver *r, void *buf, uint32_t size, sockaddr_in *peer,
                        socklen_t *peer_len, uint32_t *local);
void sock_receiver_close(sock_receiver *r);
