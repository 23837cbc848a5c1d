// What the NFS call benchmarks share: a call header, and a served tree
// (drive C: in a temporary program directory, one export "c:\ -maproot:0",
// the version 3 program on UDP workers without a portmapper).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench_null.h"
#include "base/config.h"
#include "exports/export.h"
#include "inode/inode.h"
#include "nfsd/cache.h"
#include "nfsd/nfs.h"
#include "platform/drive.h"
#include "platform/registry.h"

inline void bench_put_word(std::vector<uint8_t> &m, uint32_t v) {
    uint8_t b[4];
    xdr_put_u32(b, v);
    m.insert(m.end(), b, b + 4);
}

// A version 3 call header with AUTH_UNIX root.
inline std::vector<uint8_t> bench_nfs3_header(uint32_t xid, uint32_t proc) {
    std::vector<uint8_t> m;
    for (uint32_t w : {xid, 0u, 2u, NFS_PROG, NFS_V3, proc, 1u, 28u, 1u, 5u}) bench_put_word(m, w);
    m.insert(m.end(), {'b', 'e', 'n', 'c', 'h', 0, 0, 0});
    for (uint32_t w : {0u, 0u, 0u, 0u, 0u}) bench_put_word(m, w);  // uid gid groups, verifier
    return m;
}

struct bench_server {
    std::string home;  // the program directory; its "c" is drive C:
    uint32_t export_id = 0;
    uint16_t port = 0;
    sock_t sock = SOCK_INVALID;
};

// Serves home/c (made and filled by the caller) with `workers` UDP workers;
// "Datasize" `datasize` unless 0. False when any step fails.
inline bool bench_serve(bench_server *b, uint32_t workers, uint32_t datasize) {
    std::ofstream(b->home + "/exports") << "c:\\ -maproot:0\n";
    program_directory_set(b->home.c_str());
    config_load("nfsd");
    if (datasize) config.datasize = datasize;
    drive_clear();
    drive_map("C", (b->home + "/c").c_str(), 3, 0);
    if (!inode_table_init()) return false;
    exports_read();
    nfs_service_init();
    if (!export_list) return false;
    b->export_id = export_list.load()->export_id;
    rpc_pmap_call = nullptr;
    b->sock = udp_socket(htonl(INADDR_LOOPBACK), 0);
    int rcvbuf = 1 << 20;
    setsockopt(b->sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    b->port = bench_local_port(b->sock);
    xprt *base = xprt_create(b->sock, RPC_UDP, b->port, config.datasize + 512);
    if (!base || !rpc_register(base, NFS_PROG, NFS_V3, nfs3_dispatch, RPC_UDP)) return false;
    xprt_stop.store(0);
    return udp_workers_start(workers, base);
}

// Stops the workers, closes the table and removes the program directory.
inline void bench_serve_end(bench_server *b) {
    bench_stop_udp_workers(b->port);
    sock_close(b->sock);
    inode_table_shutdown();
    std::error_code ec;
    std::filesystem::remove_all(b->home, ec);
}
