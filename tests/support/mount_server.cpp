#include "support/mount_server.h"

#include <sys/stat.h>

#include "inode/inode.h"
#include "exports/export.h"
#include "mountd/mount.h"
#include "platform/drive.h"
#include "pmap/pmap.h"
#include "rpc/clnt.h"
#include "rpc/loop.h"
#include "base/config.h"
#include "support/rpc_msg.h"

namespace {

struct version {
    uint32_t vers;
    rpc_handler handler;
};
const version versions[] = {
    {MOUNT_V3, mount3_dispatch}, {MOUNT_V2, mount1_dispatch}, {MOUNT_V1, mount1_dispatch}};

}  // namespace

mount_world::mount_world(const std::string &exports, const std::vector<std::string> &folders) {
    config = nfsd_config{};
    config.lowercase = 1;
    config.datasize = 8192;
    mkdir(home.file("c").c_str(), 0755);
    for (const std::string &f : folders) mkdir(home.file("c/" + f).c_str(), 0755);
    drive_clear();
    drive_map("C", home.file("c").c_str(), DRIVE_FIXED, 0);
    inode_table_init();
    home.write("exports", exports);
    exports_read();
}

mount_world::~mount_world() {
    inode_table_shutdown();
    drive_clear();
    drive_load();
}

mount_server::mount_server(bool portmapper) : portmapper_(portmapper) {
    if (portmapper_ && !pmap_start()) return;
    rpc_pmap_call = portmapper_ ? clnt_pmap_call : nullptr;
    xprt_stop.store(0);
    xprt_reset();
    sock_t u = udp_socket(0, 0);
    sock_t t = tcp_listen_socket(nullptr, 0);
    if (u == SOCK_INVALID || t == SOCK_INVALID) return;
    udp_port = rpc_sock_port(u);
    tcp_port = rpc_sock_port(t);
    xprt *uxp = xprt_create(u, RPC_UDP, udp_port, MOUNT_BUFFER);
    xprt *txp = xprt_create(t, RPC_TCP, tcp_port, 0);
    if (!uxp || !txp) return;
    txp->size = MOUNT_BUFFER;
    xprt_add(uxp);
    xprt_add(txp);
    for (const version &v : versions)
        for (xprt *xp : {uxp, txp})
            if (!rpc_register(xp, MOUNT_PROG, v.vers, v.handler, xp->protocol)) return;
    loop_ = std::thread(select_loop);
    ok_ = true;
}

mount_server::~mount_server() {
    for (const version &v : versions)
        for (uint16_t protocol : {RPC_UDP, RPC_TCP}) rpc_unregister(MOUNT_PROG, v.vers, protocol);
    xprt_close_all();
    if (loop_.joinable()) loop_.join();
    if (portmapper_) pmap_stop();
    rpc_pmap_call = nullptr;
}
