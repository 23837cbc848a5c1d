// ONC RPC version 2, server side: the transport record, call decoding,
// authentication, the registry of served programs, replies, and the replay
// cache of non-idempotent procedures. Decoding, dispatch, the handler and the
// reply all run on the thread that received the call; each such thread owns
// its xprt and rpc_call. Threads that serve one TCP connection side by side
// share only its socket, and send each reply whole under `send_lock`.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "platform/net.h"
#include "platform/netpipe.h"
#include "rpc/xdr.h"

constexpr uint16_t RPC_UDP = 17;
constexpr uint16_t RPC_TCP = 6;
constexpr uint32_t RPC_MAX_AUTH = 400;  // credential and verifier body limit
// The most one UDP datagram over IPv4 carries: 65535 less the IP and UDP
// headers. A reply longer than this is never sent.
constexpr uint32_t RPC_UDP_PAYLOAD_MAX = 65507;
// An accepted reply's fixed words (xid, type, reply status, verifier flavor
// and length, accept status), and its whole header at its largest, when it
// echoes the longest verifier.
constexpr uint32_t RPC_ACCEPTED_WORDS = 24;
constexpr uint32_t RPC_REPLY_HEADER_MAX = RPC_ACCEPTED_WORDS + RPC_MAX_AUTH;

// Accept status of an accepted reply.
enum : uint32_t {
    RPC_SUCCESS = 0,
    RPC_PROG_UNAVAIL = 1,
    RPC_PROG_MISMATCH = 2,
    RPC_PROC_UNAVAIL = 3,
    RPC_GARBAGE_ARGS = 4,
    RPC_SYSTEM_ERR = 5,  // a result that does not fit the message area
};
// Authentication status of a rejected reply.
enum : uint32_t {
    RPC_AUTH_BADCRED = 1,
    RPC_AUTH_REJECTEDCRED = 2,
    RPC_AUTH_BADVERF = 3,
};

// One transport endpoint: a socket, or a UDP worker, or a TCP connection.
// The one message area holds the call and then, overwritten, the reply.
struct xprt {
    xprt *next;  // the select loop's transport list
    sock_t sock;
    uint16_t port;       // local port, host order; what the portmapper is told
    uint16_t protocol;   // RPC_UDP or RPC_TCP
    socklen_t peer_len;  // 16
    sockaddr_in peer;    // sender of the current call, destination of the reply
    uint32_t local;      // UDP: the address the call came to, the reply's source
                         // (network order; 0: routing picks)
    uint32_t xid;        // transaction id of the call served (or made), host order
    uint8_t *buffer;     // the allocation: 4 reserved bytes, then the message area
    int32_t count;       // bytes received; then bytes of the reply to send
    uint32_t size;       // bytes the message area may hold
    uint8_t *msg;        // buffer + 4; the 4 bytes in front take a TCP record mark
    // TCP connections: bytes received behind the current record (the start
    // of calls a client sent ahead), kept here while the reply overwrites
    // the message area. Null on other records: a client reads exactly one
    // record and nothing behind it.
    uint8_t *ahead;
    uint32_t ahead_count;
    // TCP connections served by several threads: held for the whole of a
    // reply's fragments, so replies never interleave. Null: one thread.
    std::mutex *send_lock;
    // A reply whose bytes [pipe_at, pipe_at + pipe_count) of the message
    // area wait in `pipe` instead (READ data); null for every other reply.
    // rpc_send clears it.
    sock_pipe *pipe;
    uint32_t pipe_at;
    uint32_t pipe_count;
};

// The AUTH_UNIX identity. For AUTH_NULL calls it is the anonymous identity
// (uid and gid 65534, no groups, empty machine name), never an earlier call's.
struct rpc_cred {
    uint32_t stamp;
    char machine[256];
    uint32_t uid;
    uint32_t gid;
    uint32_t ngroups;
    uint32_t groups[32];
};

// The decoded call; one per receiving thread, reused for each call.
struct rpc_call {
    uint32_t msg_type;
    uint32_t rpc_version;
    uint32_t prog, vers, proc;
    uint32_t cred_flavor;
    uint32_t cred_len;
    uint8_t cred[4 + RPC_MAX_AUTH];  // length word and body, as received
    uint32_t verf_flavor;
    uint32_t verf_len;
    uint8_t verf[4 + RPC_MAX_AUTH];  // length word and body, echoed in accepted replies
    rpc_cred unix_cred;
    // Argument cursor: next word, bytes after the header, first argument word.
    uint32_t pos;
    uint32_t arg_len;
    const uint32_t *args;
};

typedef void (*rpc_handler)(xprt *xp, rpc_call *call);
// Writes a result record through `out`, which stops it at the end of the
// message area.
typedef void (*rpc_encoder)(xdr_out *out, const void *result);

// Creates a transport record. With size 0 it has no buffer (a listening TCP
// socket; the caller stores the size for accepted connections in `size`);
// otherwise the message area holds size + 512 bytes, and a TCP record gets
// an `ahead` area of the same size beside it. None on out of memory,
// or when size + 512 exceeds what the signed byte count can hold
// ("xprt_create: out of memory\n").
xprt *xprt_create(sock_t sock, uint16_t protocol, uint16_t port, uint32_t size);
// Frees the record and its buffer; does not close the socket.
void xprt_free(xprt *xp);

// Decodes the message in the message area (xp->count bytes). False when the
// call is dropped or was already answered with an RPC or authentication
// error. Dropped without an answer: fewer than 32 bytes, not a CALL, and a
// header whose declared credential or verifier reaches past the received
// bytes (there is no whole verifier to echo, so no accepted reply can be
// formed). Every read is checked against the received count.
bool rpc_decode_call(xprt *xp, rpc_call *call);
// Authenticates the call and runs its handler, or answers the error. For
// AUTH_NULL calls call->unix_cred becomes the anonymous identity.
void rpc_dispatch(xprt *xp, rpc_call *call);

// The identity nobody runs as: given to AUTH_NULL calls, to unmapped root
// on an export, and reported as 0.
constexpr uint32_t RPC_ANON_ID = 65534;

// Registers (prog, vers) with `handler`, then tells the portmapper about
// (prog, vers, protocol, xp->port). False when the pair already has another
// handler, or the portmapper refused. Called during start-up only.
bool rpc_register(xprt *xp, uint32_t prog, uint32_t vers, rpc_handler handler, uint32_t protocol);
// Tells the portmapper to drop (prog, vers, protocol), then removes the entry.
void rpc_unregister(uint32_t prog, uint32_t vers, uint32_t protocol);

// The portmapper call behind rpc_register/rpc_unregister: SET when `set`,
// else UNSET. Returns the portmapper's answer. Null means "no portmapper":
// registration succeeds locally only (unit tests).
typedef bool (*rpc_pmap_fn)(bool set, uint32_t prog, uint32_t vers, uint32_t protocol,
                            uint16_t port);
extern rpc_pmap_fn rpc_pmap_call;

// Replies. Each writes its header at the start of the message area and sends.
void rpc_void_result(xdr_out *out, const void *result);
// Where rpc_reply will put the body of its reply to `call`: behind the
// accepted-reply header, which echoes the call's verifier. *room is how many
// bytes the body may take inside the message area, and over UDP inside one
// datagram. A handler may place data
// there before it answers (READ data; listings), as long as it reads nothing
// of the call afterwards.
uint8_t *rpc_reply_body(xprt *xp, const rpc_call *call, uint32_t *room);
// The bytes of that header.
uint32_t rpc_reply_header_size(const rpc_call *call);
// Data of a reply sent without a copy through the process: this thread's
// pipe, empty and able to take `count` bytes, when the reply goes out on TCP
// and the host has such pipes; null otherwise (the data goes to the message
// area). A handler that fills it names the data's place with
// rpc_reply_piped: the `count` bytes the encoder reserves at `at`, inside
// the body, are sent from the pipe. A reply that does not carry them (an
// error, a result cut off) empties the pipe.
sock_pipe *rpc_reply_pipe(xprt *xp, uint32_t count);
void rpc_reply_piped(xprt *xp, sock_pipe *pipe, const uint8_t *at, uint32_t count);
bool rpc_reply(xprt *xp, rpc_call *call, rpc_encoder encoder, const void *result);
void rpc_error_reply(xprt *xp, rpc_call *call, uint32_t accept_status);
void rpc_prog_mismatch_reply(xprt *xp, rpc_call *call, uint32_t low, uint32_t high);
void rpc_version_mismatch_reply(xprt *xp, rpc_call *call, uint32_t low, uint32_t high);
void rpc_auth_error_reply(xprt *xp, rpc_call *call, uint32_t auth_status);

// Sends `count` bytes of the message area to the peer: one datagram over UDP
// (up to three attempts), record-marked fragments over TCP. Below 1 on
// failure: the negated error number of the failing send, or 0 when a send
// took nothing without reporting an error.
int rpc_send(xprt *xp);

// Replay cache: one slot per non-idempotent procedure, remembering its last
// call from any client and the result record saved beside it. Slots are
// shared by all receiving threads without a lock: `state` owns the other
// fields and the save area (taken with acquire by moving it to -1, handed
// back with release by setting it to 1). A slot that is busy on another
// thread neither replays nor saves. Zero-initialise slots (static storage).
struct rpc_replay_slot {
    uint32_t xid;
    uint32_t addr;               // client IPv4, network order
    uint16_t port;               // client port, network order
    std::atomic<int16_t> state;  // 0 empty, -1 busy, 1 valid
};
// Each program keeps its slots, one per non-idempotent procedure, and the
// save area for each procedure's result record beside it (see rpc_proc.h).

// Answers from the slot when it holds this call (same xid, address, port);
// true when it answered.
bool rpc_replay_check(xprt *xp, rpc_call *call, rpc_replay_slot *slot, rpc_encoder encoder,
                      const void *save);
// Remembers this call's result record (size bytes) unless the slot is busy.
void rpc_replay_save(xprt *xp, rpc_replay_slot *slot, void *save, const void *result,
                     uint32_t size);

// UDP. Several worker threads receive on the NFS socket, each into its own
// buffer and each gets one datagram.
//
// A blocking datagram socket with SO_BROADCAST bound to `address` (IPv4,
// network order, 0 = any) and `port` (host order, 0 = any free port);
// SOCK_INVALID on failure, with nothing left open.
sock_t udp_socket(uint32_t address, uint16_t port);
// The same for the NFS socket, made for the workers' own receives
// (overlapped on Windows).
sock_t udp_overlapped_socket(uint32_t address, uint16_t port);
// Starts `count` detached worker threads on base->sock, each with its own
// record (each 512 bytes larger than the one before). False when count is
// below 2 or a record or thread could not be made ("nfsd: udp create
// error\n", "nfsd: udp thread create error\n"); workers already started keep
// running, and the caller serves the base record from the select loop.
bool udp_workers_start(uint32_t count, xprt *base);
// Worker thread body: receive (through a receiver of its own), decode,
// dispatch, until xprt_stop is seen after a receive. A failing receive is
// retried once a second; one ended by a shutdown of the socket after the
// stop is not.
void udp_worker(xprt *xp);
// One blocking recvfrom of at most xp->size bytes into the message area;
// sets peer, peer_len and count (below 0 when the receive failed). True
// when more than 0 bytes arrived.
bool udp_receive(xprt *xp);
// Worker threads currently running (tests wait on it after a stop).
extern std::atomic<int> udp_workers_running;
