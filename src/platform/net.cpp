// The socket shim on POSIX: a socket is a descriptor, errors are errno.
#include "platform/net.h"

#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/netmsg.h"

int sock_close(sock_t s) {
    return close(s);
}

int sock_errno() {
    return errno;
}

bool sock_error_transient(int err) {
    return err == EINTR || err == EAGAIN || err == EWOULDBLOCK;
}

bool sock_error_interrupted(int err) {
    return err == EINTR;
}

uint32_t net_interface_addresses(uint32_t *out, uint32_t max) {
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return 0;
    uint32_t count = 0;
    for (ifaddrs *a = list; a && count < max; a = a->ifa_next)
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET)
            out[count++] = reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr;
    freeifaddrs(list);
    return count;
}

bool sock_error_exhausted(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

bool sock_set_nodelay(sock_t s) {
    int on = 1;
    return setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) == 0;
}

bool sock_set_receive_timeout(sock_t s, uint32_t ms) {
    timeval tv{time_t(ms / 1000), suseconds_t(ms % 1000) * 1000};
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
}

bool sock_bind_privileged(sock_t s, uint32_t address) {
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = address;
    for (uint16_t port = 1023; port >= 512; port--) {
        at.sin_port = htons(port);
        if (bind(s, reinterpret_cast<const sockaddr *>(&at), sizeof at) == 0) return true;
        if (errno != EADDRINUSE) return false;  // no right to, or not bindable at all
    }
    return false;
}

int sock_poll(sock_wait *set, uint32_t count, int timeout_ms) {
    if (count > SOCK_POLL_MAX) {
        errno = EINVAL;
        return -1;
    }
    pollfd want[SOCK_POLL_MAX];
    for (uint32_t i = 0; i < count; i++) want[i] = pollfd{set[i].sock, POLLIN, 0};
    int n = poll(want, count, timeout_ms);
    for (uint32_t i = 0; i < count; i++)
        set[i].readable = n > 0 && (want[i].revents & (POLLIN | POLLERR | POLLHUP | POLLNVAL));
    return n;
}

uint32_t sock_descriptor_limit() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) != 0) return 0;
    return r.rlim_cur > 0x7FFFFFFF ? 0x7FFFFFFF : uint32_t(r.rlim_cur);
}

uint32_t sock_descriptor_limit_raise() {
    rlimit r{};
    if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
        // An unlimited hard limit is not one the kernel takes as a soft one.
        rlimit raised{r.rlim_max, r.rlim_max};
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0) {
            raised.rlim_cur = 1u << 20;
            if (raised.rlim_cur > r.rlim_cur) setrlimit(RLIMIT_NOFILE, &raised);
        }
    }
    return sock_descriptor_limit();
}

bool sock_report_destination(sock_t s) {
    int on = 1;
    return setsockopt(s, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) == 0;
}

long sock_recv_datagram(sock_t s, void *buf, uint32_t size, sockaddr_in *peer, socklen_t *peer_len,
                        uint32_t *local) {
    iovec io{buf, size};
    alignas(cmsghdr) char control[NETMSG_CONTROL_SIZE];
    msghdr m{};
    m.msg_name = peer;
    m.msg_namelen = sizeof *peer;
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = sizeof control;
    ssize_t n = recvmsg(s, &m, 0);
    *local = 0;
    if (n < 0) return -1;
    *peer_len = m.msg_namelen;
    *local = netmsg_destination(control, m.msg_controllen);
    return long(n);
}

long sock_send_datagram(sock_t s, const void *buf, uint32_t size, const sockaddr_in *peer,
                        socklen_t peer_len, uint32_t local) {
    iovec io{const_cast<void *>(buf), size};
    alignas(cmsghdr) char control[NETMSG_CONTROL_SIZE];
    msghdr m{};
    m.msg_name = const_cast<sockaddr_in *>(peer);
    m.msg_namelen = peer_len;
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    if (netmsg_source_usable(local)) {
        m.msg_control = control;
        m.msg_controllen = netmsg_fill_source(control, local);
    }
    return long(sendmsg(s, &m, MSG_NOSIGNAL));
}

// Blocked receives on one descriptor each take a datagram of their own, so
// a receiver here is no more than the socket.
struct sock_receiver {
    sock_t sock;
};

sock_t sock_shared_datagram() {
    return socket(AF_INET, SOCK_DGRAM, 0);
}

sock_receiver *sock_receiver_open(sock_t s) {
    return new (std::nothrow) sock_receiver{s};
}

long sock_receiver_recv(sock_receiver *r, void *buf, uint32_t size, sockaddr_in *peer,
                        socklen_t *peer_len, uint32_t *local) {
    return sock_recv_datagram(r->sock, buf, size, peer, peer_len, local);
}

void sock_receiver_close(sock_receiver *r) {
    delete r;
}
