// The socket shim on POSIX: a socket is a descriptor, errors are errno.
#include "platform/net.h"

#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

bool net_host_address(const char *name, uint32_t *address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;  // one answer per address, not one per socket type
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return false;
    *address = reinterpret_cast<const sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return true;
}

bool net_host_name(uint32_t address, char *name, uint32_t size) {
    if (size == 0) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = address;
    // getnameinfo rather than gethostbyaddr: look-ups run on several threads
    // at once. NI_NAMEREQD: an address without a name is no name.
    char found[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, found, sizeof found,
                    nullptr, 0, NI_NAMEREQD) != 0)
        return false;
    size_t n = strnlen(found, size - 1);
    memcpy(name, found, n);
    name[n] = 0;
    return true;
}

bool net_is_local_address(uint32_t addr) {
    if (addr == htonl(INADDR_LOOPBACK)) return true;
    char name[256];
    if (gethostname(name, sizeof name) != 0) return false;
    name[sizeof name - 1] = 0;
    // getaddrinfo rather than gethostbyname: several threads may ask at the
    // same time, and its result is their own.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0) return false;
    bool local = false;
    for (addrinfo *a = found; a && !local; a = a->ai_next)
        local = a->ai_addrlen >= sizeof(sockaddr_in) &&
                reinterpret_cast<const sockaddr_in *>(a->ai_addr)->sin_addr.s_addr == addr;
    freeaddrinfo(found);
    return local;
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
