// The UDP transport. The NFS socket is served by several workers at once,
// each receiving into its own buffer through a receiver of its own (an
// overlapped receive on Windows, a blocking one elsewhere).
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

// Binds a fresh datagram socket; closes it on failure.
sock_t udp_bind(sock_t s, uint32_t address, uint16_t port) {
    if (s == SOCK_INVALID) return SOCK_INVALID;
    int on = 1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = address;
    // The destination of each call is reported, so that a reply leaves from
    // the address the client called on a host with several.
    if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
        !sock_report_destination(s) ||
        bind(s, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    return s;
}

// One receive into the message area: through the worker's own receiver,
// or (none) straight on the socket.
bool udp_receive_with(xprt *xp, sock_receiver *receiver) {
    xp->peer_len = sizeof(sockaddr_in);
    long n =
        receiver
            ? sock_receiver_recv(receiver, xp->msg, xp->size, &xp->peer, &xp->peer_len, &xp->local)
            : sock_recv_datagram(xp->sock, xp->msg, xp->size, &xp->peer, &xp->peer_len, &xp->local);
    xp->count = int32_t(n);
    return n > 0;
}

}  // namespace

sock_t udp_socket(uint32_t address, uint16_t port) {
    return udp_bind(socket(AF_INET, SOCK_DGRAM, 0), address, port);
}

sock_t udp_overlapped_socket(uint32_t address, uint16_t port) {
    return udp_bind(sock_shared_datagram(), address, port);
}

bool udp_receive(xprt *xp) {
    return udp_receive_with(xp, nullptr);
}

void udp_worker(xprt *xp) {
    rpc_call call;
    // Without a receiver of its own (out of resources) the worker receives
    // as the select loop does, blocking on the shared socket.
    sock_receiver *receiver = sock_receiver_open(xp->sock);
    while (!xprt_stop.load()) {
        if (!udp_receive_with(xp, receiver)) {
            // A persistent socket error costs one attempt a second, not a spin;
            // that includes "would block", which a socket switched to
            // non-blocking would otherwise report in a tight loop. A receive
            // ended by the stop is not retried.
            if (xp->count < 0 && !xprt_stop.load() && !sock_error_interrupted(sock_errno()))
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
    sock_receiver_close(receiver);
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
