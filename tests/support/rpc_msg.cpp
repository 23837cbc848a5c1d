#include "support/rpc_msg.h"

#include <poll.h>

#include <cstring>

void rpc_msg_word(std::vector<uint8_t> &out, uint32_t value) {
    out.push_back(uint8_t(value >> 24));
    out.push_back(uint8_t(value >> 16));
    out.push_back(uint8_t(value >> 8));
    out.push_back(uint8_t(value));
}

void rpc_msg_opaque(std::vector<uint8_t> &out, const void *bytes, uint32_t n) {
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    if (n > 0) out.insert(out.end(), p, p + n);
    out.insert(out.end(), xdr_pad(n), 0);
}

std::vector<uint8_t> rpc_msg_auth_unix(uint32_t stamp, const char *machine, uint32_t uid,
                                       uint32_t gid, const std::vector<uint32_t> &groups) {
    std::vector<uint8_t> b;
    rpc_msg_word(b, stamp);
    rpc_msg_word(b, uint32_t(strlen(machine)));
    rpc_msg_opaque(b, machine, uint32_t(strlen(machine)));
    rpc_msg_word(b, uid);
    rpc_msg_word(b, gid);
    rpc_msg_word(b, uint32_t(groups.size()));
    for (uint32_t g : groups) rpc_msg_word(b, g);
    return b;
}

std::vector<uint8_t> rpc_msg_call(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc,
                                  uint32_t cred_flavor, const std::vector<uint8_t> &cred,
                                  uint32_t verf_flavor, const std::vector<uint8_t> &verf) {
    std::vector<uint8_t> m;
    for (uint32_t w : {xid, 0u, 2u, prog, vers, proc, cred_flavor}) rpc_msg_word(m, w);
    rpc_msg_word(m, uint32_t(cred.size()));
    rpc_msg_opaque(m, cred.data(), uint32_t(cred.size()));
    rpc_msg_word(m, verf_flavor);
    rpc_msg_word(m, uint32_t(verf.size()));
    rpc_msg_opaque(m, verf.data(), uint32_t(verf.size()));
    return m;
}

std::vector<uint32_t> rpc_msg_words(const uint8_t *bytes, uint32_t n) {
    std::vector<uint32_t> w;
    for (uint32_t i = 0; i + 4 <= n; i += 4)
        w.push_back(uint32_t(bytes[i]) << 24 | uint32_t(bytes[i + 1]) << 16 |
                    uint32_t(bytes[i + 2]) << 8 | bytes[i + 3]);
    return w;
}

uint16_t rpc_sock_port(sock_t sock) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

bool rpc_loop_open(rpc_loop *loop, uint32_t size) {
    uint32_t lo = htonl(INADDR_LOOPBACK);
    sock_t server = udp_socket(lo, 0);
    loop->client = udp_socket(lo, 0);
    if (server == SOCK_INVALID || loop->client == SOCK_INVALID) return false;
    loop->xp = xprt_create(server, RPC_UDP, rpc_sock_port(server), size);
    if (!loop->xp) return false;
    loop->xp->peer.sin_family = AF_INET;
    loop->xp->peer.sin_addr.s_addr = lo;
    loop->xp->peer.sin_port = htons(rpc_sock_port(loop->client));
    loop->xp->peer_len = sizeof(sockaddr_in);
    return true;
}

void rpc_loop_close(rpc_loop *loop) {
    if (loop->xp) {
        sock_close(loop->xp->sock);
        xprt_free(loop->xp);
        loop->xp = nullptr;
    }
    if (loop->client != SOCK_INVALID) sock_close(loop->client);
    loop->client = SOCK_INVALID;
}

std::vector<uint8_t> rpc_recv_datagram(sock_t sock, int timeout_ms) {
    pollfd p{sock, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return {};
    std::vector<uint8_t> buf(70000);
    ssize_t n = recv(sock, buf.data(), buf.size(), 0);
    buf.resize(n > 0 ? size_t(n) : 0);
    return buf;
}

std::vector<uint8_t> rpc_loop_serve(rpc_loop *loop, const std::vector<uint8_t> &msg, rpc_call *call,
                                    int timeout_ms) {
    rpc_call own{};
    if (!call) call = &own;
    uint32_t n = msg.size() < loop->xp->size ? uint32_t(msg.size()) : loop->xp->size;
    if (n > 0) memcpy(loop->xp->msg, msg.data(), n);
    loop->xp->count = int32_t(n);
    if (rpc_decode_call(loop->xp, call)) rpc_dispatch(loop->xp, call);
    return rpc_recv_datagram(loop->client, timeout_ms);
}

std::vector<uint8_t> rpc_udp_call(uint16_t port, const std::vector<uint8_t> &msg, int timeout_ms) {
    sock_t s = udp_socket(htonl(INADDR_LOOPBACK), 0);
    if (s == SOCK_INVALID) return {};
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<uint8_t> reply;
    if (sendto(s, msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to) ==
        ssize_t(msg.size()))
        reply = rpc_recv_datagram(s, timeout_ms);
    sock_close(s);
    return reply;
}
