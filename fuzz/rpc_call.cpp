// The RPC call decoder and the record-marked receive: the input's first
// byte chooses UDP (one datagram) or TCP (a byte stream of records); every
// call that decodes is dispatched to the portmapper or to a small program
// whose procedures read words, strings and fixed opaques.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "pmap/pmap.h"
#include "rpc/loop.h"
#include "rpc/rpc_proc.h"

namespace {

constexpr uint32_t FUZZ_PROG = 0x20000888;

struct args {
    uint32_t word;
    char text[513];
    uint8_t fixed[32];
};

bool decode(rpc_call *call, void *a) {
    args *x = static_cast<args *>(a);
    return xdr_get_u32(call, &x->word) && xdr_get_string(call, x->text, 512) &&
           xdr_get_fixed32(call, x->fixed);
}

bool run(xprt *, rpc_call *, void *a, void *r) {
    memcpy(r, a, sizeof(args));
    return true;
}

void encode(xdr_out *o, const void *r) {
    const args *x = static_cast<const args *>(r);
    xdr_u32(o, x->word);
    xdr_opaque(o, x->text, uint32_t(strlen(x->text)));
    xdr_fixed(o, x->fixed, 32);
}

rpc_replay_slot slot;
args save;

const rpc_proc procs[] = {
    {.number = 0, .name = "null", .run = [](xprt *, rpc_call *, void *, void *) { return true; },
     .encode = rpc_void_result},
    {.number = 1, .name = "read", .decode = decode, .args_size = sizeof(args), .run = run,
     .encode = encode, .result_size = sizeof(args), .garbage_log = "fuzz: cannot read args\n"},
    {.number = 2, .name = "replayed", .decode = decode, .args_size = sizeof(args), .run = run,
     .encode = encode, .result_size = sizeof(args), .garbage_log = "fuzz: cannot read args\n",
     .slot = &slot, .save = &save, .save_size = sizeof(args)},
};
const rpc_program program = {procs, 3, "fuzz: no procedure %d\n", "fuzz: send failed\n"};

void fuzz_program(xprt *xp, rpc_call *call) {
    rpc_serve(xp, call, &program);
}

void serve(xprt *xp, rpc_call *call) {
    if (call->prog == 100000)
        pmap_serve(xp, call);
    else
        rpc_dispatch(xp, call);
}

xprt *udp_xp;
sock_t udp_client;
int pair[2];

void drain(int fd) {
    uint8_t sink[65536];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    rpc_pmap_call = nullptr;
    xprt reg{};
    for (uint32_t vers : {2u, 3u}) rpc_register(&reg, FUZZ_PROG, vers, fuzz_program, RPC_UDP);
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    udp_client = udp_socket(htonl(INADDR_LOOPBACK), 0);
    udp_xp = xprt_create(s, RPC_UDP, 0, 8192);
    sockaddr_in me{};
    socklen_t len = sizeof me;
    getsockname(udp_client, reinterpret_cast<sockaddr *>(&me), &len);
    udp_xp->peer = me;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 || size > 65536) return 0;
    pmap_list_reset();
    rpc_call call{};
    if ((data[0] & 1) == 0) {
        size_t n = size - 1 < udp_xp->size ? size - 1 : udp_xp->size;
        memcpy(udp_xp->msg, data + 1, n);
        udp_xp->count = int32_t(n);
        if (rpc_decode_call(udp_xp, &call)) serve(udp_xp, &call);
        drain(udp_client);
        return 0;
    }
    // The stream is written whole and closed, then read record by record
    // from a non-blocking socket: the receive ends where the input does.
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 0;
    int big = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    setsockopt(pair[0], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (write(pair[1], data + 1, size - 1) == ssize_t(size - 1)) {
        shutdown(pair[1], SHUT_WR);
        fcntl(pair[0], F_SETFL, O_NONBLOCK);
        xprt *xp = xprt_create(pair[0], RPC_TCP, 0, 1000);
        while (xp && tcp_receive_record(xp, -1) && rpc_decode_call(xp, &call)) {
            serve(xp, &call);
            drain(pair[1]);
        }
        xprt_free(xp);
    }
    close(pair[0]);
    close(pair[1]);
    return 0;
}
