// The socket shim on Windows: Winsock 2. A socket is a SOCKET, errors are
// WSAGetLastError's, and waiting is select over sets of SOCK_POLL_MAX
// (net.h raises FD_SETSIZE to it before Winsock's header).
#include "platform/net.h"

#include <iphlpapi.h>
#include <mswsock.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/clock.h"

// Here shutdown and accept are Winsock's own (net.h renames them for
// everyone else).
#undef shutdown
#undef accept

static_assert(FD_SETSIZE >= SOCK_POLL_MAX, "a wait set must hold SOCK_POLL_MAX sockets");

namespace {

// Winsock must be started before the first socket call of the process, and
// the server's threads may make that call in any order: start it while the
// program loads.
struct winsock_start {
    bool ok;
    winsock_start() {
        WSADATA data;
        ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
};
const winsock_start winsock;

// Sockets shut down and not yet closed (see net.h).
constexpr uint32_t SHUT_MAX = SOCK_POLL_MAX;
constexpr int WAIT_SLICE_MS = 100;
std::mutex shut_lock;
SOCKET shut_sockets[SHUT_MAX];
uint32_t shut_count = 0;

bool is_shut(SOCKET s) {
    std::lock_guard<std::mutex> hold(shut_lock);
    for (uint32_t i = 0; i < shut_count; i++)
        if (shut_sockets[i] == s) return true;
    return false;
}

void forget_shut(SOCKET s) {
    std::lock_guard<std::mutex> hold(shut_lock);
    for (uint32_t i = 0; i < shut_count; i++)
        if (shut_sockets[i] == s) shut_sockets[i] = shut_sockets[--shut_count];
}

}  // namespace

int sock_shutdown(SOCKET s, int how) {
    {
        std::lock_guard<std::mutex> hold(shut_lock);
        bool known = false;
        for (uint32_t i = 0; i < shut_count; i++) known = known || shut_sockets[i] == s;
        if (!known && shut_count < SHUT_MAX) shut_sockets[shut_count++] = s;
    }
    // Only a connected stream has anything to shut down; under Wine the call
    // on a listening or datagram socket that another thread waits on does
    // not return, and the mark above already wakes the waiter.
    sockaddr_in peer;
    int len = sizeof peer;
    if (getpeername(s, reinterpret_cast<sockaddr *>(&peer), &len) != 0) return 0;
    return ::shutdown(s, how);
}

SOCKET sock_accept(SOCKET s, sockaddr *addr, int *len) {
    if (is_shut(s)) {
        WSASetLastError(WSAEINVAL);
        return INVALID_SOCKET;
    }
    return ::accept(s, addr, len);
}

bool sock_wait_receive(SOCKET s) {
    sock_wait one{s, false};
    for (;;) {
        int n = sock_poll(&one, 1, -1);
        if (n > 0 && !is_shut(s)) return true;
        if (n > 0 || (n < 0 && !sock_error_transient(WSAGetLastError()))) {
            if (is_shut(s)) WSASetLastError(WSAESHUTDOWN);
            return false;
        }
    }
}

int sock_close(sock_t s) {
    forget_shut(s);
    return closesocket(s);
}

int sock_errno() {
    return WSAGetLastError();
}

bool sock_error_transient(int err) {
    return err == WSAEINTR || err == WSAEWOULDBLOCK || err == WSAETIMEDOUT;
}

bool sock_error_interrupted(int err) {
    return err == WSAEINTR;
}

bool sock_error_exhausted(int err) {
    return err == WSAEMFILE || err == WSAENOBUFS;
}

uint32_t net_interface_addresses(uint32_t *out, uint32_t max) {
    ULONG size = 16384;
    std::vector<uint8_t> buf;
    ULONG rc;
    do {
        buf.resize(size);
        rc = GetAdaptersAddresses(AF_INET,
                                  GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST |
                                      GAA_FLAG_SKIP_DNS_SERVER,
                                  nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buf.data()), &size);
    } while (rc == ERROR_BUFFER_OVERFLOW);
    if (rc != NO_ERROR) return 0;
    uint32_t count = 0;
    for (auto *a = reinterpret_cast<IP_ADAPTER_ADDRESSES *>(buf.data()); a; a = a->Next)
        for (auto *u = a->FirstUnicastAddress; u && count < max; u = u->Next)
            if (u->Address.lpSockaddr->sa_family == AF_INET)
                out[count++] = reinterpret_cast<const sockaddr_in *>(u->Address.lpSockaddr)->sin_addr.s_addr;
    return count;
}

bool sock_set_nodelay(sock_t s) {
    BOOL on = TRUE;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, int(sizeof on)) == 0;
}

bool sock_set_receive_timeout(sock_t s, uint32_t ms) {
    DWORD timeout = ms;  // Winsock takes milliseconds, not a timeval
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &timeout, int(sizeof timeout)) == 0;
}

bool sock_bind_privileged(sock_t s, uint32_t address) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = address;
    for (uint16_t port = 1023; port >= 512; port--) {
        at.sin_port = htons(port);
        if (bind(s, reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0) return true;
        if (WSAGetLastError() != WSAEADDRINUSE) return false;
    }
    return false;
}

int sock_poll(sock_wait *set, uint32_t count, int timeout_ms) {
    if (count > SOCK_POLL_MAX) {
        WSASetLastError(WSAEINVAL);
        return -1;
    }
    for (uint32_t i = 0; i < count; i++) set[i].readable = false;
    if (count == 0) {
        // select refuses empty sets on Winsock.
        if (timeout_ms > 0) sleep_ms(uint32_t(timeout_ms));
        return 0;
    }
    fd_set readable, failed;
    FD_ZERO(&readable);
    FD_ZERO(&failed);
    for (uint32_t i = 0; i < count; i++) {
        FD_SET(set[i].sock, &readable);
        FD_SET(set[i].sock, &failed);
    }
    // In slices, so that a socket shut down meanwhile (which Winsock does not
    // report) ends the wait as it would on POSIX.
    uint32_t begun = tick_count();
    for (;;) {
        int left = timeout_ms < 0 ? WAIT_SLICE_MS : timeout_ms - int(tick_count() - begun);
        if (left < 0) left = 0;
        int slice = left < WAIT_SLICE_MS ? left : WAIT_SLICE_MS;
        fd_set r = readable, f = failed;
        timeval tv{slice / 1000, (slice % 1000) * 1000};
        int n = select(0, &r, nullptr, &f, &tv);
        if (n == SOCKET_ERROR) return -1;
        int ready = 0;
        for (uint32_t i = 0; i < count; i++) {
            set[i].readable = FD_ISSET(set[i].sock, &r) || FD_ISSET(set[i].sock, &f) || is_shut(set[i].sock);
            if (set[i].readable) ready++;
        }
        if (ready > 0) return ready;
        if (timeout_ms >= 0 && slice == left) return 0;
    }
}

// Sockets are handles with no per-process bound here; the runtime's table
// of file descriptors, which the open-file cache uses, holds 2048.
uint32_t sock_descriptor_limit() {
    return 2048;
}

uint32_t sock_descriptor_limit_raise() {
    return sock_descriptor_limit();
}

// Winsock reports a datagram's destination only through WSARecvMsg, an
// extension whose address the provider hands out (SIO_GET_EXTENSION_FUNCTION_
// POINTER); it is looked up once, on the first socket that asks to report.
namespace {

std::once_flag recv_msg_once;
LPFN_WSARECVMSG recv_msg = nullptr;

void recv_msg_lookup(SOCKET s) {
    GUID id = WSAID_WSARECVMSG;
    LPFN_WSARECVMSG fn = nullptr;
    DWORD got = 0;
    if (WSAIoctl(s, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &fn, sizeof fn, &got, nullptr,
                 nullptr) == 0)
        recv_msg = fn;
}

// A destination a reply can leave from: not broadcast, not multicast.
bool source_usable(uint32_t local) {
    return local != 0 && !IN_MULTICAST(ntohl(local)) && local != INADDR_BROADCAST;
}

}  // namespace

bool sock_report_destination(sock_t s) {
    std::call_once(recv_msg_once, recv_msg_lookup, s);
    DWORD on = 1;
    return recv_msg && setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, int(sizeof on)) == 0;
}

long sock_recv_datagram(sock_t s, void *buf, uint32_t size, sockaddr_in *peer, socklen_t *peer_len,
                        uint32_t *local) {
    *local = 0;
    if (!recv_msg) return recvfrom(s, buf, size, 0, reinterpret_cast<sockaddr *>(peer), peer_len);
    if (!sock_wait_receive(s)) return -1;
    WSABUF data{ULONG(size), static_cast<char *>(buf)};
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))];
    WSAMSG m{};
    m.name = reinterpret_cast<sockaddr *>(peer);
    m.namelen = sizeof *peer;
    m.lpBuffers = &data;
    m.dwBufferCount = 1;
    m.Control = WSABUF{ULONG(sizeof control), control};
    DWORD n = 0;
    if (recv_msg(s, &m, &n, nullptr, nullptr) != 0) return -1;
    *peer_len = m.namelen;
    for (WSACMSGHDR *c = WSA_CMSG_FIRSTHDR(&m); c; c = WSA_CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
            IN_PKTINFO info;
            memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            *local = info.ipi_addr.s_addr;
        }
    }
    return long(n);
}

long sock_send_datagram(sock_t s, const void *buf, uint32_t size, const sockaddr_in *peer,
                        socklen_t peer_len, uint32_t local) {
    if (!source_usable(local))
        return sendto(s, buf, size, 0, reinterpret_cast<const sockaddr *>(peer), peer_len);
    WSABUF data{ULONG(size), static_cast<char *>(const_cast<void *>(buf))};
    alignas(WSACMSGHDR) char control[WSA_CMSG_SPACE(sizeof(IN_PKTINFO))] = {};
    WSAMSG m{};
    m.name = reinterpret_cast<sockaddr *>(const_cast<sockaddr_in *>(peer));
    m.namelen = peer_len;
    m.lpBuffers = &data;
    m.dwBufferCount = 1;
    m.Control = WSABUF{ULONG(sizeof control), control};
    WSACMSGHDR *c = WSA_CMSG_FIRSTHDR(&m);
    c->cmsg_level = IPPROTO_IP;
    c->cmsg_type = IP_PKTINFO;
    c->cmsg_len = WSA_CMSG_LEN(sizeof(IN_PKTINFO));
    IN_PKTINFO info{};
    info.ipi_addr.s_addr = local;
    memcpy(WSA_CMSG_DATA(c), &info, sizeof info);
    DWORD n = 0;
    if (WSASendMsg(s, &m, 0, &n, nullptr, nullptr) != 0) return -1;
    return long(n);
}
