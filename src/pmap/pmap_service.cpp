// The portmapper's sockets and threads: one thread waits on UDP and TCP port
// 111, serves the datagrams itself and gives each accepted connection a
// thread of its own; indirect calls go to the forwarders.

#include <mutex>
#include <thread>

#include "pmap/pmap_internal.h"
#include "rpc/clnt.h"
#include "rpc/loop.h"
#include "base/config.h"
#include "base/log.h"

namespace {

// Message areas of 8192 bytes; xprt_create adds the 512.
constexpr uint32_t PMAP_BUFFER = 8192 - 512;

// Start and stop run on the server thread, or stop on the portmapper thread
// when its wait fails; the lock keeps them from overlapping. The thread
// itself reads the sockets, the UDP record and the listener, which stay
// valid until it has been joined (or, when it stops itself, until it is
// past its loop).
std::mutex service_lock;
pmap_failure failure{0, 0};  // of the last start; under service_lock
std::thread service_thread;
sock_t udp_sock = SOCK_INVALID;
sock_t tcp_sock = SOCK_INVALID;
xprt *udp_xprt = nullptr;
tcp_listener *listener = nullptr;
std::atomic<int> stop_request{0};
std::atomic<int> stopped{1};

void close_sockets() {
    if (udp_sock != SOCK_INVALID) sock_close(udp_sock);
    if (tcp_sock != SOCK_INVALID) sock_close(tcp_sock);
    udp_sock = tcp_sock = SOCK_INVALID;
    xprt_free(udp_xprt);
    udp_xprt = nullptr;
    tcp_listener_release(listener);
    listener = nullptr;
}

void accept_connection(tcp_listener *l) {
    // A thread that cannot be started costs the connection, without a line.
    if (tcp_accept(l) == TCP_ACCEPT_NO_RECORD)
        log_printf(LOG_DETAIL, "%s pmapd: out of memory\n", log_time());
}

void pmap_thread(sock_t udp, sock_t tcp, xprt *xp, tcp_listener *l) {
    rpc_call call;
    // poll rather than select: either descriptor may lie beyond an fd_set
    // when the portmapper is started late in a busy process.
    sock_wait want[2] = {{udp, false}, {tcp, false}};
    while (!stop_request.load()) {
        // A listener out of descriptors rests rather than spinning on a
        // connection it cannot take.
        uint32_t rest = tcp_listener_resting(l);
        int n = sock_poll(want, rest > 0 ? 1 : 2, rest > 0 ? int(rest) : -1);
        if (n < 0) {
            if (sock_error_transient(sock_errno())) continue;
            break;
        }
        if (stop_request.load()) break;
        if (want[0].readable && udp_receive(xp) && rpc_decode_call(xp, &call))
            pmap_serve(xp, &call);
        if (rest == 0 && want[1].readable) accept_connection(l);
    }
    pmap_stop();
}

}  // namespace

pmap_failure pmap_start_failure() {
    std::lock_guard<std::mutex> hold(service_lock);
    return failure;
}

bool pmap_start() {
    std::lock_guard<std::mutex> hold(service_lock);
    if (!stopped.load()) return false;
    failure = {0, 0};
    udp_sock = udp_socket(0, PMAP_PORT);
    if (udp_sock == SOCK_INVALID)
        failure = {RPC_UDP, sock_errno()};
    else if ((tcp_sock = tcp_listen_socket(nullptr, PMAP_PORT)) == SOCK_INVALID)
        failure = {RPC_TCP, sock_errno()};
    if (tcp_sock == SOCK_INVALID) {
        log_printf(LOG_EVENT, "%s bind on port %u failed\n", log_time(), unsigned(PMAP_PORT));
        close_sockets();
        return false;
    }
    udp_xprt = xprt_create(udp_sock, RPC_UDP, PMAP_PORT, PMAP_BUFFER);
    listener =
        tcp_listener_create(tcp_sock, PMAP_PORT, PMAP_BUFFER, config.tcp_connections, 1, pmap_serve);
    if (!udp_xprt || !listener || !pmap_list_reset()) {
        close_sockets();
        return false;
    }
    net_local_addresses_refresh();
    log_printf(LOG_EVENT, "%s pmapd ready on port %u\n", log_time(), unsigned(PMAP_PORT));
    stop_request.store(0);
    stopped.store(0);
    try {
        service_thread = std::thread(pmap_thread, udp_sock, tcp_sock, udp_xprt, listener);
    } catch (...) {
        stopped.store(1);
        close_sockets();
        return false;
    }
    pmap_forward_start();
    return true;
}

void pmap_stop() {
    if (stopped.exchange(1)) return;
    std::lock_guard<std::mutex> hold(service_lock);
    stop_request.store(1);
    // Closing a socket does not wake a thread waiting on it; shutting it
    // down does, and the descriptors stay ours until the thread is gone.
    shutdown(udp_sock, SHUT_RDWR);
    shutdown(tcp_sock, SHUT_RDWR);
    if (service_thread.joinable()) {
        if (service_thread.get_id() == std::this_thread::get_id())
            service_thread.detach();
        else
            service_thread.join();
    }
    // Forwarders answer on the UDP socket: they end before it closes.
    pmap_forward_stop();
    close_sockets();
}
