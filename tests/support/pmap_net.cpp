#include "support/pmap_net.h"

#include <chrono>
#include <cstring>

#include "pmap/pmap.h"
#include "rpc/loop.h"
#include "support/rpc_msg.h"

std::vector<uint8_t> pmap_msg(uint32_t xid, uint32_t proc, const std::vector<uint32_t> &args,
                              uint32_t vers, uint32_t prog) {
    std::vector<uint8_t> m = rpc_msg_call(xid, prog, vers, proc);
    for (uint32_t w : args) rpc_msg_word(m, w);
    return m;
}

bool pmap_rig_open(pmap_rig *rig, const char *client_addr) {
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    if (s == SOCK_INVALID) return false;
    rig->xp = xprt_create(s, RPC_UDP, 111, 8192);
    rig->client_addr.sin_family = AF_INET;
    inet_pton(AF_INET, client_addr, &rig->client_addr.sin_addr);
    rig->client = udp_socket(rig->client_addr.sin_addr.s_addr, 0);
    if (!rig->xp || rig->client == SOCK_INVALID) return false;
    rig->client_addr.sin_port = htons(rpc_sock_port(rig->client));
    return true;
}

void pmap_rig_close(pmap_rig *rig) {
    if (rig->xp) {
        sock_close(rig->xp->sock);
        xprt_free(rig->xp);
    }
    if (rig->client != SOCK_INVALID) sock_close(rig->client);
    rig->xp = nullptr;
    rig->client = SOCK_INVALID;
}

std::vector<uint8_t> pmap_rig_call(pmap_rig *rig, const std::vector<uint8_t> &msg, int timeout_ms) {
    xprt *xp = rig->xp;
    uint32_t n = msg.size() < xp->size ? uint32_t(msg.size()) : xp->size;
    memcpy(xp->msg, msg.data(), n);
    xp->count = int32_t(n);
    xp->peer = rig->client_addr;
    xp->peer_len = sizeof(sockaddr_in);
    rpc_call call{};
    if (rpc_decode_call(xp, &call)) pmap_serve(xp, &call);
    return rpc_recv_datagram(rig->client, timeout_ms);
}

sock_t pmap_tcp_connect(uint16_t port) {
    sock_t s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (s != SOCK_INVALID && connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        sock_close(s);
        return SOCK_INVALID;
    }
    return s;
}

bool pmap_tcp_send(sock_t s, const std::vector<uint8_t> &msg,
                   const std::vector<uint32_t> &fragments) {
    std::vector<uint32_t> sizes = fragments;
    if (sizes.empty()) sizes.push_back(uint32_t(msg.size()));
    std::vector<uint8_t> wire;
    size_t at = 0;
    for (size_t i = 0; i < sizes.size(); i++) {
        uint32_t mark = sizes[i] | (i + 1 == sizes.size() ? 0x80000000u : 0);
        rpc_msg_word(wire, mark);
        wire.insert(wire.end(), msg.begin() + at, msg.begin() + at + sizes[i]);
        at += sizes[i];
    }
    return send(s, wire.data(), wire.size(), MSG_NOSIGNAL) == ssize_t(wire.size());
}

static bool recv_all(sock_t s, uint8_t *p, size_t n, int timeout_ms) {
    size_t done = 0;
    while (done < n) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(s, &set);
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        if (select(s + 1, &set, nullptr, nullptr, &tv) < 1) return false;
        ssize_t r = recv(s, p + done, n - done, 0);
        if (r < 1) return false;
        done += size_t(r);
    }
    return true;
}

std::vector<uint8_t> pmap_tcp_recv(sock_t s, int timeout_ms) {
    std::vector<uint8_t> out;
    for (;;) {
        uint8_t mark[4];
        if (!recv_all(s, mark, 4, timeout_ms)) return {};
        uint32_t word = uint32_t(mark[0]) << 24 | mark[1] << 16 | mark[2] << 8 | mark[3];
        size_t at = out.size();
        out.resize(at + (word & 0x7FFFFFFF));
        if (!recv_all(s, out.data() + at, word & 0x7FFFFFFF, timeout_ms)) return {};
        if (word & 0x80000000u) return out;
    }
}

uint32_t pmap_word(const std::vector<uint8_t> &m, size_t i) {
    if (4 * i + 4 > m.size()) return 0;
    const uint8_t *p = m.data() + 4 * i;
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

namespace {
struct echo_result {
    uint32_t length;
    uint8_t bytes[9000];
};
uint32_t encode_echo(uint8_t *out, const void *result) {
    const echo_result *e = static_cast<const echo_result *>(result);
    memcpy(out, e->bytes, e->length);
    return e->length;
}
}  // namespace

void pmap_test_program(xprt *xp, rpc_call *call) {
    static thread_local echo_result echo;
    switch (call->proc) {
        case 0:
            rpc_reply(xp, call, rpc_void_result, nullptr);
            break;
        case 1:
            // Copied out first: the reply is written over the arguments.
            echo.length = call->arg_len < sizeof echo.bytes ? call->arg_len : 0;
            memcpy(echo.bytes, call->args, echo.length);
            rpc_reply(xp, call, encode_echo, &echo);
            break;
        default:
            rpc_error_reply(xp, call, RPC_PROC_UNAVAIL);
    }
}

pmap_fake::pmap_fake(uint16_t protocol, uint16_t port, uint32_t status,
                     std::vector<uint8_t> results, bool echo)
    : protocol_(protocol), status_(status), results_(std::move(results)), echo_(echo) {
    sock_ = protocol == RPC_UDP ? udp_socket(htonl(INADDR_LOOPBACK), port)
                                : tcp_listen_socket("127.0.0.1", port);
    this->port = rpc_sock_port(sock_);
    thread_ = std::thread([this] { run(); });
}

pmap_fake::~pmap_fake() {
    stop_ = true;
    thread_.join();
    sock_close(sock_);
}

std::vector<uint8_t> pmap_fake::last_call() {
    for (int i = 0; i < 300 && calls_.load() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<std::mutex> hold(lock_);
    return last_;
}

void pmap_fake::run() {
    std::vector<uint8_t> in(9000);
    while (!stop_) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(sock_, &set);
        timeval tv{0, 50000};
        if (select(sock_ + 1, &set, nullptr, nullptr, &tv) < 1) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        sock_t conn = SOCK_INVALID;
        std::vector<uint8_t> call;
        if (protocol_ == RPC_UDP) {
            ssize_t n =
                recvfrom(sock_, in.data(), in.size(), 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n > 0) call.assign(in.begin(), in.begin() + n);
        } else {
            conn = accept(sock_, nullptr, nullptr);
            call = pmap_tcp_recv(conn, 3000);
        }
        if (call.size() >= 4) {
            std::vector<uint8_t> out;
            rpc_msg_word(out, pmap_word(call, 0));
            for (uint32_t w : {1u, 0u, 0u, 0u, status_}) rpc_msg_word(out, w);
            out.insert(out.end(), results_.begin(), results_.end());
            if (echo_ && call.size() > 40) out.insert(out.end(), call.begin() + 40, call.end());
            {
                std::lock_guard<std::mutex> hold(lock_);
                last_ = call;
            }
            calls_++;
            if (protocol_ == RPC_UDP)
                sendto(sock_, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
            else
                pmap_tcp_send(conn, out, {8, uint32_t(out.size()) - 8});
        }
        if (conn != SOCK_INVALID) sock_close(conn);
    }
}
