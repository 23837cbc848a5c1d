// Opening the transports of the mount and NFS services and registering
// their programs, and the record of what was registered that the stop
// sequence walks.
#include <cstdint>

#include "mountd/mount.h"
#include "nfsd/nfs.h"
#include "platform/clock.h"
#include "platform/net.h"
#include "rpc/clnt.h"
#include "rpc/loop.h"
#include "rpc/rpc.h"
#include "base/config.h"
#include "base/log.h"
#include "program/start.h"
#include "program/start_internal.h"

namespace {

constexpr uint32_t MOUNT_RETRY_MS = 1000;  // a second try at the mount UDP port

constexpr const char *LOG_NFS_SOCKET = "nfsd: cannot create nfs socket\n";
constexpr const char *LOG_NFS_RCVBUF = "nfsd: set socket option rcvbuf=%u failed\n";
constexpr const char *LOG_NFS_UDP_HANDLE = "nfsd: cannot create udp handle\n";
constexpr const char *LOG_NFS_TCP_HANDLE = "nfsd: cannot create tcp handle\n";
constexpr const char *LOG_NFS2 = "nfsd: cannot register nfs2\n";
constexpr const char *LOG_NFS3 = "nfsd: cannot register nfs3\n";
constexpr const char *LOG_NFS_TCP_REGISTER = "nfsd: cannot register handle\n";
constexpr const char *LOG_MOUNT_UDP_BIND = "mountd: cannot bind udp socket\n";
constexpr const char *LOG_MOUNT_UDP_HANDLE = "mountd: cannot create udp handle\n";
constexpr const char *LOG_MOUNT_TCP_BIND = "mountd: cannot bind tcp socket\n";
constexpr const char *LOG_MOUNT_TCP_HANDLE = "mountd: cannot create tcp handle\n";
constexpr const char *LOG_MOUNT3 = "mountd: cannot register version 3\n";
constexpr const char *LOG_MOUNT2 = "mountd: cannot register version 2\n";
constexpr const char *LOG_MOUNT1 = "mountd: warning, cannot register version 1\n";

// Registrations made by this run: at most NFS 2 and 3 and MOUNT 1 to 3, each
// over UDP and TCP.
struct registration {
    uint32_t prog, vers, prot;
};
constexpr uint32_t REGISTRATIONS_MAX = 10;
registration registered[REGISTRATIONS_MAX];
uint32_t registered_count = 0;

bool mount_loaded = false;
// The NFS UDP socket's record while worker threads (and not the select
// loop) serve the socket; the workers have records of their own.
xprt *nfs_udp_base = nullptr;

// How long the stop waits for the UDP workers to leave their socket.
constexpr uint32_t WORKERS_STOP_MS = 3000;

constexpr const char *NFS_SERVICE = "NFS service";
constexpr const char *MOUNT_SERVICE = "mount service";
constexpr const char *BIND = "bind";

bool register_program(xprt *xp, uint32_t prog, uint32_t vers, rpc_handler handler) {
    if (!rpc_register(xp, prog, vers, handler, xp->protocol)) {
        start_failed_at(prog == NFS_PROG ? NFS_SERVICE : MOUNT_SERVICE, xp->port, xp->protocol,
                        "register", 0);
        return false;
    }
    if (registered_count < REGISTRATIONS_MAX)
        registered[registered_count++] = {prog, vers, xp->protocol};
    return true;
}

void unregister_if_made(uint32_t prog, uint32_t vers, uint32_t prot) {
    for (uint32_t i = 0; i < registered_count; i++) {
        registration &r = registered[i];
        if (r.prog == prog && r.vers == vers && r.prot == prot) {
            rpc_unregister(prog, vers, prot);
            r = {0, 0, 0};
            return;
        }
    }
}

// Raises the receive buffer of the NFS UDP socket to "SO_Rcvbuf" when that
// is more than the socket has; a refusal is logged and start-up goes on.
void raise_receive_buffer(sock_t s) {
    int have = 0;
    socklen_t len = sizeof have;
    if (getsockopt(s, SOL_SOCKET, SO_RCVBUF, &have, &len) != 0) return;
    if (config.so_rcvbuf <= uint32_t(have)) return;
    int want = int(config.so_rcvbuf);
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, &want, sizeof want) != 0)
        log_printf(START_LOG, LOG_NFS_RCVBUF, unsigned(config.so_rcvbuf));
}

// A transport for a fresh socket; on failure the socket is closed again so
// that no port stays bound.
xprt *make_xprt(sock_t s, uint16_t protocol, uint16_t port, uint32_t size) {
    xprt *xp = xprt_create(s, protocol, port, size);
    if (!xp) sock_close(s);
    return xp;
}

bool nfs_udp_start(uint16_t port) {
    sock_t s = udp_overlapped_socket(0, port);
    if (s == SOCK_INVALID) {
        start_failed_at(NFS_SERVICE, port, RPC_UDP, BIND, sock_errno());
        log_printf(START_LOG, "%s", LOG_NFS_SOCKET);
        return false;
    }
    raise_receive_buffer(s);
    xprt *xp = make_xprt(s, RPC_UDP, port, config.datasize);
    if (!xp) {
        log_printf(START_LOG, "%s", LOG_NFS_UDP_HANDLE);
        return false;
    }
    if (udp_workers_start(config.threads, xp))
        nfs_udp_base = xp;
    else
        xprt_add(xp);  // the select loop serves it (also beside a partial set of workers)
    if (config.version2 && !register_program(xp, NFS_PROG, NFS_V2, nfs2_dispatch)) {
        log_printf(START_LOG, "%s", LOG_NFS2);
        return false;
    }
    if (config.version3 && !register_program(xp, NFS_PROG, NFS_V3, nfs3_dispatch)) {
        log_printf(START_LOG, "%s", LOG_NFS3);
        return false;
    }
    return true;
}

bool nfs_tcp_start(uint16_t port) {
    sock_t s = tcp_listen_socket(nullptr, port);
    if (s == SOCK_INVALID) {
        start_failed_at(NFS_SERVICE, port, RPC_TCP, BIND, sock_errno());
        log_printf(START_LOG, "%s", LOG_NFS_SOCKET);
        return false;
    }
    xprt *xp = make_xprt(s, RPC_TCP, port, 0);
    if (!xp) {
        log_printf(START_LOG, "%s", LOG_NFS_TCP_HANDLE);
        return false;
    }
    xp->size = config.datasize;  // what accepted connections get (plus 512)
    xprt_add(xp);
    if ((config.version2 && !register_program(xp, NFS_PROG, NFS_V2, nfs2_dispatch)) ||
        (config.version3 && !register_program(xp, NFS_PROG, NFS_V3, nfs3_dispatch))) {
        log_printf(START_LOG, "%s", LOG_NFS_TCP_REGISTER);
        return false;
    }
    if (config.version2) rpc_set_quick(NFS_PROG, NFS_V2, &nfs2_program);
    if (config.version3) rpc_set_quick(NFS_PROG, NFS_V3, &nfs3_program);
    return true;
}

// Versions 3 (when "Version3" is on), 2 and 1 of MOUNT on one transport. A
// missing version 1 is only a warning.
bool mount_register(xprt *xp) {
    if (config.version3 && !register_program(xp, MOUNT_PROG, MOUNT_V3, mount3_dispatch)) {
        log_printf(START_LOG, "%s", LOG_MOUNT3);
        return false;
    }
    if (!register_program(xp, MOUNT_PROG, MOUNT_V2, mount1_dispatch)) {
        log_printf(START_LOG, "%s", LOG_MOUNT2);
        return false;
    }
    if (!register_program(xp, MOUNT_PROG, MOUNT_V1, mount1_dispatch)) log_printf(START_LOG, "%s", LOG_MOUNT1);
    return true;
}

bool mount_udp_start(uint16_t port) {
    sock_t s = udp_socket(0, port);
    if (s == SOCK_INVALID) {
        // The port may still be held by a previous run that is just ending.
        sleep_ms(MOUNT_RETRY_MS);
        s = udp_socket(0, port);
    }
    if (s == SOCK_INVALID) {
        start_failed_at(MOUNT_SERVICE, port, RPC_UDP, BIND, sock_errno());
        log_printf(START_LOG, "%s", LOG_MOUNT_UDP_BIND);
        return false;
    }
    xprt *xp = make_xprt(s, RPC_UDP, port, MOUNT_BUFFER);
    if (!xp) {
        log_printf(START_LOG, "%s", LOG_MOUNT_UDP_HANDLE);
        return false;
    }
    xprt_add(xp);
    return mount_register(xp);
}

bool mount_tcp_start(uint16_t port) {
    sock_t s = tcp_listen_socket(nullptr, port);
    if (s == SOCK_INVALID) {
        start_failed_at(MOUNT_SERVICE, port, RPC_TCP, BIND, sock_errno());
        log_printf(START_LOG, "%s", LOG_MOUNT_TCP_BIND);
        return false;
    }
    xprt *xp = make_xprt(s, RPC_TCP, port, 0);
    if (!xp) {
        log_printf(START_LOG, "%s", LOG_MOUNT_TCP_HANDLE);
        return false;
    }
    xp->size = MOUNT_BUFFER;
    xprt_add(xp);
    return mount_register(xp);
}

}  // namespace

bool nfs_service_start(uint16_t port) {
    if (config.udp && !nfs_udp_start(port)) return false;
    if (!config.tcp) return true;
    return nfs_tcp_start(port);
}

bool mount_service_start(uint16_t port) {
    if (config.mount_udp && !mount_udp_start(port)) return false;
    if (config.mount_tcp && !mount_tcp_start(port)) return false;
    mount_table_load();
    mount_loaded = true;
    return true;
}

void start_forget() {
    registered_count = 0;
    mount_loaded = false;
    nfs_udp_base = nullptr;
}

void start_unregister_nfs() {
    for (uint32_t vers = NFS_V2; vers <= NFS_V3; vers++) {
        unregister_if_made(NFS_PROG, vers, RPC_UDP);
        unregister_if_made(NFS_PROG, vers, RPC_TCP);
    }
}

void start_unregister_mount() {
    for (uint32_t vers = MOUNT_V3; vers >= MOUNT_V1; vers--) {
        unregister_if_made(MOUNT_PROG, vers, RPC_UDP);
        unregister_if_made(MOUNT_PROG, vers, RPC_TCP);
    }
}

bool start_mount_table_loaded() {
    return mount_loaded;
}

void start_close_nfs_udp() {
    xprt *base = nfs_udp_base;
    if (!base) return;
    nfs_udp_base = nullptr;
    // Shutting the socket down wakes every worker blocked on it; each then
    // sees the stop flag and leaves. Only when all have left may the
    // descriptor be closed, or a worker could end up reading a reused one.
    shutdown(base->sock, SHUT_RDWR);
    uint32_t begun = tick_count();
    while (udp_workers_running.load() > 0 && tick_count() - begun < WORKERS_STOP_MS) sleep_ms(10);
    if (udp_workers_running.load() == 0) sock_close(base->sock);
    xprt_free(base);
}
