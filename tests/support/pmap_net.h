// Test helpers for the select loop, the client calls and the portmapper: a
// portmapper transport whose replies land on a client socket of a chosen
// address, and plain record-marked TCP calls.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "rpc/rpc.h"
#include "support/log_capture.h"
#include "support/netns.h"

// A portmapper call: header with AUTH_NULL and the argument words.
std::vector<uint8_t> pmap_msg(uint32_t xid, uint32_t proc, const std::vector<uint32_t> &args,
                              uint32_t vers = 2, uint32_t prog = 100000);

// A UDP transport on 127.0.0.1 and a client socket bound to `client_addr`
// (for example "127.0.0.2" to play a remote caller).
struct pmap_rig {
    xprt *xp = nullptr;
    sock_t client = SOCK_INVALID;
    sockaddr_in client_addr{};
};
bool pmap_rig_open(pmap_rig *rig, const char *client_addr = "127.0.0.1");
void pmap_rig_close(pmap_rig *rig);
// Serves `msg` as if the client had sent it (rpc_decode_call, pmap_serve) and
// returns the reply datagram, empty when none came within `timeout_ms`.
std::vector<uint8_t> pmap_rig_call(pmap_rig *rig, const std::vector<uint8_t> &msg,
                                   int timeout_ms = 300);

// Record-marked TCP: connect to 127.0.0.1:port, send a record (split into
// fragments of the given sizes when `fragments` is not empty), receive one.
sock_t pmap_tcp_connect(uint16_t port);
bool pmap_tcp_send(sock_t s, const std::vector<uint8_t> &msg,
                   const std::vector<uint32_t> &fragments = {});
std::vector<uint8_t> pmap_tcp_recv(sock_t s, int timeout_ms = 1000);

// A test program's handler: procedure 0 answers empty, procedure 1 echoes
// its argument bytes, others get PROC_UNAVAIL.
constexpr uint32_t PMAP_TEST_PROG = 0x20000777;
void pmap_test_program(xprt *xp, rpc_call *call);

// Word i of a message, host order (0 past its end).
uint32_t pmap_word(const std::vector<uint8_t> &m, size_t i);

// A fake service on 127.0.0.1:port (0: any free port) answering each call
// with an accepted reply of `status`, then `results`, then (with `echo`) the
// call's bytes after its 40-byte header. TCP replies leave in two fragments.
class pmap_fake {
   public:
    pmap_fake(uint16_t protocol, uint16_t port, uint32_t status, std::vector<uint8_t> results,
              bool echo = false);
    ~pmap_fake();
    pmap_fake(const pmap_fake &) = delete;
    pmap_fake &operator=(const pmap_fake &) = delete;
    // The last call received (waits up to 3 s for a first one).
    std::vector<uint8_t> last_call();
    int calls() const { return calls_.load(); }
    uint16_t port = 0;

   private:
    void run();
    uint16_t protocol_;
    uint32_t status_;
    std::vector<uint8_t> results_;
    bool echo_;
    sock_t sock_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> calls_{0};
    std::mutex lock_;
    std::vector<uint8_t> last_;
};
