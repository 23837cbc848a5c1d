// The select loop and the TCP transport. After start-up the server thread
// runs select_loop: it serves the UDP records registered with it, accepts
// connections on the listening TCP records and gives each connection
// threads of its own (within the bound of the setting "TCP-Connections"). On
// its 2-second beat it sweeps the open-file cache and keeps the machine
// awake while clients are active.
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
// with the host's usual backlog (SOMAXCONN), so a burst of connects is
// queued rather than left to retry a second later. SOCK_INVALID on any
// failure.
sock_t tcp_listen_socket(const char *host, uint16_t port);

// A listening socket and the connections accepted on it. At most `limit`
// are open at once: a connection beyond it closes the one that has gone
// longest without a complete record among those of the client address that
// holds the most; one address holds at most a quarter of `limit` (at least
// 1), beyond which its own longest idle goes. A connection that delivers no
// complete record for tcp_idle_ms is closed. When accepting fails for want
// of descriptors, or takes one of the reserve, the longest idle connection
// of any listener is closed, and on failure the listener rests for
// TCP_EXHAUSTED_PAUSE_MS instead of retrying at once. Connections are
// not closed when the listener's owner stops (they end with their peers).
struct tcp_listener;

// Makes the record for listening socket `sock`: each connection gets a
// transport with protocol 6, `port` and a message area of size + 512 bytes
// (with size 0 connections are refused), and `serve` runs each decoded call
// on one of the connection's threads: up to `calls` of them (0 counts as 1)
// serve its calls side by side, each reply sent as it is ready, so replies
// may leave in another order than their calls came. `limit` 0 (a
// configuration not loaded) means CONFIG_TCP_CONNECTIONS. Null when memory
// is short. Does not take over the socket.
tcp_listener *tcp_listener_create(sock_t sock, uint16_t port, uint32_t size, uint32_t limit,
                                  uint32_t calls, void (*serve)(xprt *, rpc_call *));
// The owner is done with the listener (its socket is closed or about to be):
// it is freed once its last connection has ended.
void tcp_listener_release(tcp_listener *l);
// Milliseconds the listener still rests after running out of descriptors;
// 0 when it may accept. Only the owner's thread asks.
uint32_t tcp_listener_resting(tcp_listener *l);

constexpr uint32_t TCP_EXHAUSTED_PAUSE_MS = 100;
// Descriptors kept free for the listeners and the files requests open: a
// quarter of the process's limit, within these bounds. A connection
// accepted into the reserve closes the longest idle connection of any
// listener. One client address holds a quarter of a listener's bound.
constexpr uint32_t TCP_DESCRIPTOR_RESERVE_MIN = 16;
constexpr uint32_t TCP_DESCRIPTOR_RESERVE_MAX = 256;
// Milliseconds without a complete record after which a connection is closed
// (6 minutes; a variable so that tests need not wait that long).
extern std::atomic<uint32_t> tcp_idle_ms;

// Accepts one connection on `l` and starts a detached thread serving it.
// On NO_RECORD and NO_THREAD the connection is closed again; the caller
// writes its line. EXHAUSTED: no descriptor was left (the listener rests).
enum tcp_accept_result {
    TCP_ACCEPT_SERVED,
    TCP_ACCEPT_NONE,  // accept itself failed
    TCP_ACCEPT_NO_RECORD,
    TCP_ACCEPT_NO_THREAD,
    TCP_ACCEPT_EXHAUSTED,
};
tcp_accept_result tcp_accept(tcp_listener *l);

// Receives one whole record-marked RPC record into the message area and sets
// xp->count to its length. Fragments are joined in place. A connection
// record (with an `ahead` area) receives as much as the message area holds
// in one go, so calls sent ahead cost no receive of their own; a client
// record receives exactly the record. Fails (false) when the peer closes or
// errs, when the record does not fit the buffer, when it comes in more than
// TCP_FRAGMENTS_MAX fragments ("rpc: tcp record in more than %u fragments
// from %s, connection closed\n"), or, with timeout_ms >= 0, when the peer
// sends nothing for that long while a record is under way ("RPC tcp receive
// timeout\n"). timeout_ms < 0: no time limit.
bool tcp_receive_record(xprt *xp, int timeout_ms);
constexpr uint32_t TCP_FRAGMENTS_MAX = 1024;
