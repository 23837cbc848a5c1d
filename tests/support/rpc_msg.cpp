#include "support/rpc_msg.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <future>

#include "platform/bytes.h"
#include "rpc/loop.h"

namespace {

constexpr uint32_t LAST_FRAGMENT = 0x80000000u;

bool wait_readable(sock_t s, int timeout_ms) {
    sock_wait want{s, false};
    return sock_poll(&want, 1, timeout_ms) == 1;
}

bool recv_all(sock_t s, uint8_t *p, size_t n, int timeout_ms) {
    for (size_t done = 0; done < n;) {
        ssize_t r = wait_readable(s, timeout_ms) ? recv(s, p + done, n - done, 0) : -1;
        if (r < 1) return false;
        done += size_t(r);
    }
    return true;
}

sockaddr_in loopback(uint16_t port) {
    // By field: Winsock's in_addr is a union whose first member is a byte.
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

void rpc_msg_word(rpc_bytes &out, uint32_t value) {
    out.resize(out.size() + 4);
    store_be32(&out[out.size() - 4], value);
}

void rpc_msg_opaque(rpc_bytes &out, const void *bytes, uint32_t n) {
    const uint8_t *p = static_cast<const uint8_t *>(bytes);
    if (n > 0) out.insert(out.end(), p, p + n);
    out.insert(out.end(), xdr_pad(n), 0);
}

rpc_bytes rpc_msg_bytes(const rpc_words &words) {
    rpc_bytes out;
    for (uint32_t w : words) rpc_msg_word(out, w);
    return out;
}

rpc_bytes rpc_msg_auth_unix(uint32_t stamp, const char *machine, uint32_t uid, uint32_t gid,
                            const rpc_words &groups) {
    rpc_bytes b = rpc_msg_bytes({stamp, uint32_t(strlen(machine))});
    rpc_msg_opaque(b, machine, uint32_t(strlen(machine)));
    for (uint32_t w : {uid, gid, uint32_t(groups.size())}) rpc_msg_word(b, w);
    for (uint32_t g : groups) rpc_msg_word(b, g);
    return b;
}

rpc_bytes rpc_msg_call(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc,
                       uint32_t cred_flavor, const rpc_bytes &cred, uint32_t verf_flavor,
                       const rpc_bytes &verf) {
    rpc_bytes m = rpc_msg_bytes({xid, 0, 2, prog, vers, proc, cred_flavor, uint32_t(cred.size())});
    rpc_msg_opaque(m, cred.data(), uint32_t(cred.size()));
    rpc_msg_word(m, verf_flavor);
    rpc_msg_word(m, uint32_t(verf.size()));
    rpc_msg_opaque(m, verf.data(), uint32_t(verf.size()));
    return m;
}

rpc_bytes rpc_msg_args(uint32_t xid, uint32_t prog, uint32_t vers, uint32_t proc,
                       const rpc_words &args) {
    rpc_bytes m = rpc_msg_call(xid, prog, vers, proc);
    for (uint32_t w : args) rpc_msg_word(m, w);
    return m;
}

rpc_words rpc_msg_words(const rpc_bytes &m) {
    rpc_words w;
    for (size_t i = 0; i + 4 <= m.size(); i += 4) w.push_back(load_be32(&m[i]));
    return w;
}

uint32_t rpc_msg_word_at(const rpc_bytes &m, size_t i) {
    return 4 * i + 4 <= m.size() ? load_be32(m.data() + 4 * i) : 0;
}

uint32_t rpc_msg_accept_status(const rpc_bytes &reply) {
    rpc_words w = rpc_msg_words(reply);
    // xid, REPLY, MSG_ACCEPTED, verifier flavour, empty verifier, status
    return w.size() < 6 || w[1] != 1 || w[2] != 0 || w[4] != 0 ? ~0u : w[5];
}

uint32_t rpc_reader::fail(const char *why) {
    if (error.empty()) error = std::string(why) + " at byte " + std::to_string(at);
    return 0;
}

uint32_t rpc_reader::word() {
    if (at + 4 > n) return fail("short");
    at += 4;
    return load_be32(p + at - 4);
}

uint64_t rpc_reader::hyper() {
    uint64_t high = word();
    return high << 32 | word();
}

bool rpc_reader::boolean() {
    uint32_t v = word();
    return v > 1 ? fail("bad boolean") : v == 1;
}

std::string rpc_reader::opaque(uint32_t len, bool zero) {
    uint32_t padded = xdr_pad(len) + len;
    if (len > 1024 || at + padded > n) return fail("bad length"), "";
    std::string out(reinterpret_cast<const char *>(p + at), len);
    if (std::any_of(p + at + (zero ? 0 : len), p + at + padded, [](uint8_t b) { return b; }))
        fail("not zero");
    at += padded;
    return out;
}

uint16_t rpc_sock_port(sock_t sock) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

rpc_rig::rpc_rig(uint32_t size, const char *client_name, bool tcp) {
    client_addr.sin_family = AF_INET;
    inet_pton(AF_INET, client_name, &client_addr.sin_addr);
    if (tcp) {
        sock_t listener = tcp_listen_socket("127.0.0.1", 0);
        uint16_t port = listener == SOCK_INVALID ? 0 : rpc_sock_port(listener);
        client = port ? rpc_tcp_connect(port, client_name) : SOCK_INVALID;
        sock_t server = client == SOCK_INVALID ? SOCK_INVALID : accept(listener, nullptr, nullptr);
        if (listener != SOCK_INVALID) sock_close(listener);
        client_addr.sin_port = htons(rpc_sock_port(client));
        if (server != SOCK_INVALID) xp = xprt_create(server, RPC_TCP, port, size);
        if (!xp && server != SOCK_INVALID) sock_close(server);
        return;
    }
    sock_t server = udp_socket(htonl(INADDR_LOOPBACK), 0);
    client = udp_socket(client_addr.sin_addr.s_addr, 0);
    client_addr.sin_port = htons(rpc_sock_port(client));
    if (server != SOCK_INVALID) xp = xprt_create(server, RPC_UDP, rpc_sock_port(server), size);
    if (!xp && server != SOCK_INVALID) sock_close(server);
}

rpc_rig::~rpc_rig() {
    if (xp) sock_close(xp->sock);
    if (xp) xprt_free(xp);
    if (client != SOCK_INVALID) sock_close(client);
}

rpc_bytes rpc_rig::serve(const rpc_bytes &msg, void (*serve_fn)(xprt *, rpc_call *), rpc_call *call,
                         int timeout_ms) {
    rpc_call own{};
    if (!call) call = &own;
    uint32_t n = msg.size() < xp->size ? uint32_t(msg.size()) : xp->size;
    if (n > 0) memcpy(xp->msg, msg.data(), n);
    xp->count = int32_t(n);
    xp->peer = client_addr;
    xp->peer_len = sizeof(sockaddr_in);
    // A long record fills the socket's buffers before it is all sent: the
    // client reads it meanwhile.
    std::future<rpc_bytes> record;
    if (xp->protocol == RPC_TCP)
        record = std::async(std::launch::async, [&] { return rpc_tcp_recv(client, timeout_ms); });
    if (rpc_decode_call(xp, call)) serve_fn(xp, call);
    return record.valid() ? record.get() : rpc_recv_datagram(client, timeout_ms);
}

rpc_bytes rpc_recv_datagram(sock_t sock, int timeout_ms) {
    if (!wait_readable(sock, timeout_ms)) return {};
    // Received into a buffer kept per thread: clearing a fresh 70 KB for each
    // of the fuzz test's calls costs more than serving them, under TSan.
    static thread_local std::vector<uint8_t> buf(70000);
    ssize_t n = recv(sock, buf.data(), buf.size(), 0);
    return rpc_bytes(buf.data(), buf.data() + (n > 0 ? n : 0));
}

rpc_bytes rpc_udp_exchange(sock_t s, uint16_t port, const rpc_bytes &msg, int timeout_ms,
                           const char *to) {
    sockaddr_in peer = loopback(port);
    inet_pton(AF_INET, to, &peer.sin_addr);
    if (connect(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0 ||
        send(s, msg.data(), msg.size(), 0) != ssize_t(msg.size()))
        return {};
    return rpc_recv_datagram(s, timeout_ms);
}

rpc_bytes rpc_udp_call(uint16_t port, const rpc_bytes &msg, int timeout_ms, const char *from,
                       const char *to) {
    in_addr addr{};
    inet_pton(AF_INET, from, &addr);
    sock_t s = udp_socket(addr.s_addr, 0);
    if (s == SOCK_INVALID) return {};
    rpc_bytes reply = rpc_udp_exchange(s, port, msg, timeout_ms, to);
    sock_close(s);
    return reply;
}

sock_t rpc_tcp_connect(uint16_t port, const char *from) {
    sock_t s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in me = loopback(0), to = loopback(port);
    if (from) inet_pton(AF_INET, from, &me.sin_addr);
    if (s != SOCK_INVALID &&
        ((from && bind(s, reinterpret_cast<sockaddr *>(&me), sizeof me) != 0) ||
         connect(s, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)) {
        sock_close(s);
        return SOCK_INVALID;
    }
    return s;
}

rpc_bytes rpc_tcp_record(const rpc_bytes &msg, const rpc_words &fragments) {
    rpc_words sizes = fragments.empty() ? rpc_words{uint32_t(msg.size())} : fragments;
    rpc_bytes wire;
    for (size_t i = 0, at = 0; i < sizes.size(); at += sizes[i++]) {
        rpc_msg_word(wire, sizes[i] | (i + 1 == sizes.size() ? LAST_FRAGMENT : 0));
        wire.insert(wire.end(), msg.begin() + long(at), msg.begin() + long(at + sizes[i]));
    }
    return wire;
}

bool rpc_tcp_send(sock_t s, const rpc_bytes &msg, const rpc_words &fragments) {
    rpc_bytes wire = rpc_tcp_record(msg, fragments);
    return send(s, wire.data(), wire.size(), MSG_NOSIGNAL) == ssize_t(wire.size());
}

rpc_bytes rpc_tcp_recv(sock_t s, int timeout_ms) {
    rpc_bytes out;
    for (;;) {
        uint8_t mark[4];
        if (!recv_all(s, mark, 4, timeout_ms)) return {};
        uint32_t word = load_be32(mark), at = uint32_t(out.size());
        out.resize(at + (word & ~LAST_FRAGMENT));
        if (!recv_all(s, out.data() + at, word & ~LAST_FRAGMENT, timeout_ms)) return {};
        if (word & LAST_FRAGMENT) return out;
    }
}

bool rpc_tcp_closed(sock_t s, int timeout_ms) {
    uint8_t byte;
    return wait_readable(s, timeout_ms) && recv(s, &byte, 1, 0) == 0;
}

rpc_fake::rpc_fake(uint16_t port, rpc_bytes results, bool silent)
    : results_(std::move(results)), silent_(silent) {
    sock_ = udp_socket(htonl(INADDR_LOOPBACK), port);
    this->port = rpc_sock_port(sock_);
    thread_ = std::thread([this] {
        rpc_bytes in(9000);
        while (!stop_) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = wait_readable(sock_, 50)
                            ? recvfrom(sock_, in.data(), in.size(), 0,
                                       reinterpret_cast<sockaddr *>(&from), &len)
                            : 0;
            if (n < 4) continue;
            {
                std::lock_guard<std::mutex> hold(lock_);
                last_.assign(in.begin(), in.begin() + n);
                calls_++;
            }
            rpc_bytes out = rpc_msg_bytes({load_be32(in.data()), 1, 0, 0, 0, 0});
            out.insert(out.end(), results_.begin(), results_.end());
            if (!silent_)
                sendto(sock_, out.data(), out.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    });
}

rpc_fake::~rpc_fake() {
    stop_ = true;
    thread_.join();
    sock_close(sock_);
}

rpc_bytes rpc_fake::last_call() {
    for (int i = 0; i < 300 && calls_.load() == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<std::mutex> hold(lock_);
    return last_;
}
