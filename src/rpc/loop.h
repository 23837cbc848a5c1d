// The select loop and the TCP transport. After start-up the server thread
// runs select_loop: it serves the UDP records registered with it, accepts
// connections on the listening TCP records and gives each connection a
// thread of its own (tcp_connection). On its 2-second beat it sweeps the
// open-file cache and keeps the machine awake while clients are active.
#pragma once

#include <atomic>
#include <cstdint>

#include "rpc/rpc.h"

// Shared by the UDP workers and the select loop: set by xprt_close_all, read
// after every receive; and the count of idle 2-second beats.
extern std::atomic<int> xprt_stop;
extern std::atomic<int> xprt_idle;

// Registered sockets the loop serves at most; later records stay unserved.
constexpr uint32_t XPRT_MAX_SOCKETS = 64;
// Idle beats (2 s each) after which the stay-awake request is released.
constexpr int XPRT_IDLE_BEATS = 10;

// Puts the record's socket into the socket set (unless it is there already
// or the set is full) and the record at the front of the transport list.
// A listening TCP record carries the size of its connections' message area
// in `size` (xprt_create adds 512 to it); with 0 its connections are refused
// ("nfsd: tcp create error\n"). Only before select_loop runs; the loop owns
// the record from then on.
void xprt_add(xprt *xp);

// Empties the socket set. Only before select_loop runs.
void xprt_reset();

// Sets the stop flag and closes every registered transport. May be called
// from any thread. While select_loop runs, the sockets are shut down here
// (which wakes the loop at once) and the loop's own thread closes them and
// frees the records when it sees the flag, so it never walks a freed record;
// otherwise they are closed and freed before this returns.
void xprt_close_all();

// Serves the registered sockets until the stop flag is set (returns at once
// when it already is) or select fails with a fatal error ("nfsd: fatal read
// error %d\n"). Runs on one thread, normally the server thread.
void select_loop();

// Housekeeping on the loop's beat, called once per pass before it waits: the
// open-file cache's sweep. Null (the default) does nothing.
typedef void (*loop_sweep_fn)();
extern loop_sweep_fn select_loop_sweep;

// A listening stream socket bound to `host` (null or empty: any address; a
// dotted IPv4 address; or the first IPv4 address of a host name) and `port`,
// backlog 5. SOCK_INVALID on any failure.
sock_t tcp_listen_socket(const char *host, uint16_t port);

// Accepts one connection on `listener` and starts `body` on a detached
// thread of its own with a new record: protocol 6, `port`, a message area of
// size + 512 bytes (`size` above 0), the peer's address. On NO_RECORD and
// NO_THREAD the connection is closed again; the caller writes its line.
enum tcp_accept_result {
    TCP_ACCEPT_SERVED,
    TCP_ACCEPT_NONE,  // accept itself failed
    TCP_ACCEPT_NO_RECORD,
    TCP_ACCEPT_NO_THREAD,
};
tcp_accept_result tcp_accept(sock_t listener, uint16_t port, uint32_t size, void (*body)(xprt *));

// The body of a connection thread: serves the connection's calls one after
// another until the peer closes, a record is too large or a call does not
// decode; then closes the socket and frees the record.
void tcp_connection(xprt *xp);

// Receives one whole record-marked RPC record into the message area and sets
// xp->count to its length. Fragments are joined in place. Fails (false) when
// the peer closes or errs, when the record does not fit the buffer, or, with
// timeout_ms >= 0, when the peer sends nothing for that long while a record
// is under way ("RPC tcp receive timeout\n"). timeout_ms < 0: no time limit.
bool tcp_receive_record(xprt *xp, int timeout_ms);
