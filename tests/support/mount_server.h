// The mount service as start-up sets it up, on ports of its own: a UDP and a
// listening TCP transport of the mount service's size, versions 1 to 3
// registered for both, served by the select loop on a thread of its own.
// With `portmapper` the built-in portmapper runs too and holds the
// mappings, so that real clients find the service. One at a time.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "rpc/rpc.h"
#include "support/home.h"

// The exports world of a test that serves real clients: drive C: with the
// given folders, the inode table open and the exports file read once; no
// log. Unlike exports_env it leaves the export list as read when it goes: a
// finished client's connection thread may still read it, and nothing orders
// its end before a rewrite. One world per process, made before the server.
class mount_world {
   public:
    mount_world(const std::string &exports, const std::vector<std::string> &folders);
    ~mount_world();
    mount_world(const mount_world &) = delete;
    mount_world &operator=(const mount_world &) = delete;

    test_home home;
};

class mount_server {
   public:
    explicit mount_server(bool portmapper);
    ~mount_server();
    mount_server(const mount_server &) = delete;
    mount_server &operator=(const mount_server &) = delete;

    bool ok() const { return ok_; }
    uint16_t udp_port = 0, tcp_port = 0;

   private:
    bool ok_ = false;
    bool portmapper_;
    std::thread loop_;
};
