// The mount service as start-up sets it up, on ports of its own: a UDP and a
// listening TCP transport of the mount service's size, versions 1 to 3
// registered for both, served by the select loop on a thread of its own.
// With `portmapper` the built-in portmapper runs too and holds the
// mappings, so that real clients find the service. One at a time.
#pragma once

#include <cstdint>
#include <thread>

#include "rpc/rpc.h"

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

// A TCP connection to 127.0.0.1:port from the loopback address `from`
// ("127.0.1.7" plays another client); SOCK_INVALID on failure.
sock_t mount_tcp_connect(const char *from, uint16_t port);
