// The socket shim on POSIX: a socket is a descriptor, errors are errno.
#include "platform/net.h"

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
