// The NFS service assembled for end-to-end tests and benchmarks: the
// portmapper on port 111, NFS versions 2 and 3 on UDP and TCP port 2049, the
// mount service (versions 1 to 3) on port 1058, and the select loop on a
// thread of its own, with UDP worker threads when asked; all over an
// nfs_tree world. Needs the private network namespace every test binary
// enters. One at a time per process.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <thread>

#include "rpc/rpc.h"
#include "support/nfs_tree.h"

constexpr uint16_t NFS_TEST_PORT = 2049;
constexpr uint16_t NFS_TEST_MOUNT_PORT = 1058;

class nfs_server {
   public:
    // `threads` below 2: the select loop serves NFS over UDP as well.
    explicit nfs_server(const std::string &exports = "c:\\ -maproot:0\n", uint32_t threads = 0,
                        uint32_t datasize = 8192);
    ~nfs_server();
    nfs_server(const nfs_server &) = delete;
    nfs_server &operator=(const nfs_server &) = delete;

    nfs_tree tree;

   private:
    void add(sock_t s, uint16_t protocol, uint16_t port, uint32_t size, uint32_t prog,
             std::initializer_list<uint32_t> versions);
    xprt *udp_ = nullptr;
    bool workers_ = false;
    std::thread loop_;
};
