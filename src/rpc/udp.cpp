// The UDP transport. On Linux the NFS socket is an ordinary blocking socket:
// several threads blocked in recvfrom on one socket each get a datagram of
// their own, which is all the overlapped receive was for.
#include <chrono>
#include <mutex>
#include <thread>

#include "rpc/loop.h"
#include "rpc/rpc.h"
#include "base/log.h"

std::atomic<int> udp_workers_running{0};

namespace {

// Worker records live until the process ends; keeping them on a list keeps
// them reachable for the leak checker after their threads have ended.
std::mutex workers_lock;
xprt *workers = nullptr;

constexpr auto RECEIVE_RETRY = std::chrono::milliseconds(1000);

}  // namespace

sock_t udp_socket(uint32_t address, uint16_t port) {
    sock_t s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == SOCK_INVALID) return SOCK_INVALID;
    int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = address;
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        bind(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    return s;
}

bool udp_receive(xprt *xp) {
    xp->peer_len = sizeof(sockaddr_in);
    ssize_t n = recvfrom(xp->sock, xp->msg, xp->size, 0, reinterpret_cast<sockaddr *>(&xp->peer),
                         &xp->peer_len);
    xp->count = int32_t(n);
    return n > 0;
}

void udp_worker(xprt *xp) {
    rpc_call call;
    while (!xprt_stop.load()) {
        if (!udp_receive(xp)) {
            // A persistent socket error costs one attempt a second, not a spin;
            // that includes "would block", which a socket switched to
            // non-blocking would otherwise report in a tight loop.
            if (xp->count < 0 && !sock_error_interrupted(sock_errno()))
                std::this_thread::sleep_for(RECEIVE_RETRY);
            continue;
        }
        // A call that arrives after the stop is still served (the programs
        // are unregistered by then); the flag ends the loop afterwards.
        if (rpc_decode_call(xp, &call)) {
            xprt_idle.store(0);
            rpc_dispatch(xp, &call);
        }
    }
    udp_workers_running.fetch_sub(1);
}

bool udp_workers_start(uint32_t count, xprt *base) {
    if (count <= 1) return false;
    const xprt *before = base;
    for (uint32_t i = 0; i < count; i++) {
        xprt *xp = xprt_create(base->sock, RPC_UDP, base->port, before->size);
        if (!xp) {
            log_printf(LOG_EVENT, "nfsd: udp create error\n");
            return false;
        }
        {
            std::lock_guard<std::mutex> hold(workers_lock);
            xp->next = workers;
            workers = xp;
        }
        udp_workers_running.fetch_add(1);
        try {
            std::thread(udp_worker, xp).detach();
        } catch (...) {
            udp_workers_running.fetch_sub(1);
            log_printf(LOG_EVENT, "nfsd: udp thread create error\n");
            return false;
        }
        before = xp;
    }
    return true;
}
