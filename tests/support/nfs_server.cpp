#include "support/nfs_server.h"

#include <chrono>
#include <stdexcept>

#include "fs/fs.h"
#include "mountd/mount.h"
#include "nfsd/cache.h"
#include "nfsd/nfs.h"
#include "pmap/pmap.h"
#include "rpc/clnt.h"
#include "rpc/loop.h"
#include "server/config.h"

namespace {

rpc_handler handler_of(uint32_t prog, uint32_t vers) {
    if (prog == NFS_PROG) return vers == NFS_V2 ? nfs2_dispatch : nfs3_dispatch;
    return vers == MOUNT_V3 ? mount3_dispatch : mount1_dispatch;
}

}  // namespace

void nfs_server::add(sock_t s, uint16_t protocol, uint16_t port, uint32_t size, uint32_t prog,
                     std::initializer_list<uint32_t> versions) {
    if (s == SOCK_INVALID) throw std::runtime_error("port " + std::to_string(port) + " busy");
    xprt *xp = xprt_create(s, protocol, port, protocol == RPC_UDP ? size : 0);
    if (!xp) throw std::runtime_error("no transport");
    if (protocol == RPC_TCP) xp->size = size;
    for (uint32_t v : versions)
        if (!rpc_register(xp, prog, v, handler_of(prog, v), protocol))
            throw std::runtime_error("registration failed");
    if (prog == NFS_PROG && protocol == RPC_UDP) udp_ = xp;
    else xprt_add(xp);
}

nfs_server::nfs_server(const std::string &exports, uint32_t threads, uint32_t datasize)
    : tree(exports) {
    config.datasize = datasize;
    config.softlinks = 1;
    config.hardlinks = 1;
    hardlink_lookup();
    xprt_stop.store(0);
    xprt_reset();
    if (!pmap_start()) throw std::runtime_error("portmapper did not start");
    rpc_pmap_call = clnt_pmap_call;
    uint32_t size = datasize + 512;
    add(udp_socket(0, NFS_TEST_PORT), RPC_UDP, NFS_TEST_PORT, size, NFS_PROG, {NFS_V2, NFS_V3});
    add(tcp_listen_socket(nullptr, NFS_TEST_PORT), RPC_TCP, NFS_TEST_PORT, size, NFS_PROG,
        {NFS_V2, NFS_V3});
    add(udp_socket(0, NFS_TEST_MOUNT_PORT), RPC_UDP, NFS_TEST_MOUNT_PORT, MOUNT_BUFFER, MOUNT_PROG,
        {MOUNT_V1, MOUNT_V2, MOUNT_V3});
    add(tcp_listen_socket(nullptr, NFS_TEST_MOUNT_PORT), RPC_TCP, NFS_TEST_MOUNT_PORT, MOUNT_BUFFER,
        MOUNT_PROG, {MOUNT_V1, MOUNT_V2, MOUNT_V3});
    workers_ = udp_workers_start(threads, udp_);
    if (!workers_) xprt_add(udp_);
    select_loop_sweep = cache_sweep;
    loop_ = std::thread(select_loop);
}

nfs_server::~nfs_server() {
    for (uint32_t v : {NFS_V2, NFS_V3})
        for (uint32_t p : {RPC_UDP, RPC_TCP}) rpc_unregister(NFS_PROG, v, p);
    for (uint32_t v : {MOUNT_V1, MOUNT_V2, MOUNT_V3})
        for (uint32_t p : {RPC_UDP, RPC_TCP}) rpc_unregister(MOUNT_PROG, v, p);
    xprt_close_all();
    if (workers_) {
        // The workers wait in a receive on the one socket: shutting it down
        // wakes them to see the stop flag.
        shutdown(udp_->sock, SHUT_RDWR);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (udp_workers_running.load() > 0 && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        sock_close(udp_->sock);
        xprt_free(udp_);
    }
    loop_.join();
    mount_lookup_stop();
    select_loop_sweep = nullptr;
    pmap_stop();
    rpc_pmap_call = nullptr;
}
