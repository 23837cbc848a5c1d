// The socket shim on POSIX: a socket is a descriptor, errors are errno.
#include "platform/net.h"

#include <netdb.h>
#include <unistd.h>

#include <cerrno>

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
