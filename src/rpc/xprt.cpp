// Transport records: one per socket, UDP worker and TCP connection.
#include <cstring>
#include <new>

#include "rpc/rpc.h"
#include "server/log.h"

xprt *xprt_create(sock_t sock, uint16_t protocol, uint16_t port, uint32_t size) {
    xprt *xp = new (std::nothrow) xprt;
    if (!xp) {
        log_printf(1, "xprt_create: out of memory\n");
        return nullptr;
    }
    memset(xp, 0, sizeof *xp);
    xp->sock = sock;
    xp->port = port;
    xp->protocol = protocol;
    xp->peer_len = sizeof(sockaddr_in);
    if (size > 0) {
        xp->size = size + 512;
        // The 4 bytes in front of the message area take a TCP record mark.
        xp->buffer = new (std::nothrow) uint8_t[uint64_t(xp->size) + 4];
        if (!xp->buffer) {
            delete xp;
            log_printf(1, "xprt_create: out of memory\n");
            return nullptr;
        }
        xp->msg = xp->buffer + 4;
    }
    return xp;
}

void xprt_free(xprt *xp) {
    if (!xp) return;
    delete[] xp->buffer;
    delete xp;
}
