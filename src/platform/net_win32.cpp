// The socket shim on Windows: Winsock 2. A socket is a SOCKET, errors are
// WSAGetLastError's, and waiting is select over sets of SOCK_POLL_MAX
// (net.h raises FD_SETSIZE to it before Winsock's header).
#include "platform/net.h"

#include <iphlpapi.h>
#include <mswsock.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/clock.h"
#include "platform/netmsg.h"

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
    if (getpeername(s, reinterpret_cast<sockaddr *>(&peer), &len) != 0) {
        // Receives under way on it (sock_receiver) end now, as cancelled.
        CancelIoEx(reinterpret_cast<HANDLE>(s), nullptr);
        return 0;
    }
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

}  // namespace

bool sock_report_destination(sock_t s) {
    std::call_once(recv_msg_once, recv_msg_lookup, s);
    DWORD on = 1;
    return recv_msg && setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, int(sizeof on)) == 0;
}

namespace {

// The message of one datagram: for a receive the sender comes into `peer`
// and the destination's control message into `control`.
void message_prepare(WSAMSG *m, WSABUF *data, sockaddr_in *peer, char *control) {
    *m = WSAMSG{};
    m->name = reinterpret_cast<sockaddr *>(peer);
    m->namelen = sizeof *peer;
    m->lpBuffers = data;
    m->dwBufferCount = 1;
    m->Control = WSABUF{ULONG(NETMSG_CONTROL_SIZE), control};
}

// Winsock fails a datagram larger than the buffer (WSAEMSGSIZE) where POSIX
// cuts it; it is cut here too, so that it is answered or dropped by what it
// holds, like any other. Answers the count to report, -1 for a real error.
long received(bool ok, DWORD n, uint32_t size) {
    if (ok) return long(n);
    return WSAGetLastError() == WSAEMSGSIZE ? long(size) : -1;
}

}  // namespace

long sock_recv_datagram(sock_t s, void *buf, uint32_t size, sockaddr_in *peer, socklen_t *peer_len,
                        uint32_t *local) {
    *local = 0;
    if (!recv_msg) {
        long n = recvfrom(s, buf, size, 0, reinterpret_cast<sockaddr *>(peer), peer_len);
        return received(n >= 0, DWORD(n), size);
    }
    if (!sock_wait_receive(s)) return -1;
    WSABUF data{ULONG(size), static_cast<char *>(buf)};
    alignas(WSACMSGHDR) char control[NETMSG_CONTROL_SIZE] = {};
    WSAMSG m;
    message_prepare(&m, &data, peer, control);
    DWORD n = 0;
    bool ok = recv_msg(s, &m, &n, nullptr, nullptr) == 0;
    long got = received(ok, n, size);
    if (got < 0) return -1;
    *peer_len = m.namelen;
    *local = netmsg_destination(control, m.Control.len);
    return got;
}

long sock_send_datagram(sock_t s, const void *buf, uint32_t size, const sockaddr_in *peer,
                        socklen_t peer_len, uint32_t local) {
    if (!netmsg_source_usable(local))
        return sendto(s, buf, size, 0, reinterpret_cast<const sockaddr *>(peer), peer_len);
    WSABUF data{ULONG(size), static_cast<char *>(const_cast<void *>(buf))};
    alignas(WSACMSGHDR) char control[NETMSG_CONTROL_SIZE];
    WSAMSG m;
    message_prepare(&m, &data, const_cast<sockaddr_in *>(peer), control);
    m.namelen = peer_len;
    m.Control.len = netmsg_fill_source(control, local);
    DWORD n = 0;
    if (WSASendMsg(s, &m, 0, &n, nullptr, nullptr) != 0) return -1;
    return long(n);
}

// One thread's overlapped receive: everything the pending call writes to
// lives here until it has completed.
struct sock_receiver {
    SOCKET sock;
    WSAEVENT event;  // auto-reset
    WSAOVERLAPPED overlapped;
    WSABUF data;
    WSAMSG message;
    DWORD flags;
    INT from_len;
    alignas(WSACMSGHDR) char control[NETMSG_CONTROL_SIZE];
};

sock_t sock_shared_datagram() {
    return WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
}

sock_receiver *sock_receiver_open(sock_t s) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) return nullptr;
    auto *r = new (std::nothrow) sock_receiver{};
    if (!r) {
        CloseHandle(event);
        return nullptr;
    }
    r->sock = s;
    r->event = event;
    return r;
}

namespace {

// Starts the receive: WSARecvMsg where the provider has it (so the
// destination is known), WSARecvFrom otherwise. True when it completed at
// once or is pending.
bool receive_start(sock_receiver *r, void *buf, uint32_t size, sockaddr_in *peer) {
    // A receive that completed at once left the event set; the wait for a
    // pending one must not take that for its own completion.
    WSAResetEvent(r->event);
    memset(&r->overlapped, 0, sizeof r->overlapped);
    r->overlapped.hEvent = r->event;
    r->data = WSABUF{ULONG(size), static_cast<char *>(buf)};
    int rc;
    if (recv_msg) {
        memset(r->control, 0, sizeof r->control);
        message_prepare(&r->message, &r->data, peer, r->control);
        rc = recv_msg(r->sock, &r->message, nullptr, &r->overlapped, nullptr);
    } else {
        r->flags = 0;
        r->from_len = sizeof *peer;
        rc = WSARecvFrom(r->sock, &r->data, 1, nullptr, &r->flags, reinterpret_cast<sockaddr *>(peer),
                         &r->from_len, &r->overlapped, nullptr);
    }
    return rc == 0 || WSAGetLastError() == WSA_IO_PENDING;
}

}  // namespace

long sock_receiver_recv(sock_receiver *r, void *buf, uint32_t size, sockaddr_in *peer,
                        socklen_t *peer_len, uint32_t *local) {
    *local = 0;
    for (;;) {
        if (is_shut(r->sock)) {
            WSASetLastError(WSAESHUTDOWN);
            return -1;
        }
        // A datagram at hand may fail at once (too large for the buffer, or
        // a reset); everything else completes through the overlapped record.
        DWORD n = 0, flags = 0;
        bool ok = receive_start(r, buf, size, peer);
        if (ok) {
            // A shutdown that came before the receive began had nothing to
            // cancel: now that it is under way, look again (sock_shutdown
            // marks first, then cancels, so one of the two sees the other).
            if (is_shut(r->sock)) CancelIoEx(reinterpret_cast<HANDLE>(r->sock), &r->overlapped);
            ok = WSAGetOverlappedResult(r->sock, &r->overlapped, &n, TRUE, &flags);
        }
        // A datagram sent earlier to a port that refused it is reported to
        // the next receive; it says nothing about this socket.
        if (!ok && WSAGetLastError() == WSAECONNRESET) continue;
        long got = received(ok, n, size);
        if (got < 0) {
            if (is_shut(r->sock)) WSASetLastError(WSAESHUTDOWN);
            return -1;
        }
        if (recv_msg) {
            *peer_len = r->message.namelen;
            *local = netmsg_destination(r->control, r->message.Control.len);
        } else {
            *peer_len = r->from_len;
        }
        return got;
    }
}

void sock_receiver_close(sock_receiver *r) {
    if (!r) return;
    CloseHandle(r->event);
    delete r;
}
