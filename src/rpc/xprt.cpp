// Transport records: one per socket, UDP worker and TCP connection.
#include <cstdint>
#include <new>

#include "rpc/rpc.h"
#include "rpc/rpc_internal.h"
#include "base/log.h"

xprt *xprt_create(sock_t sock, uint16_t protocol, uint16_t port, uint32_t size) {
    // The byte count is signed 32-bit: a larger area (or a size that would
    // wrap when the 512 bytes are added) cannot be served, like a failed
    // allocation.
    bool fits = uint64_t(size) + 512 <= uint64_t(INT32_MAX);
    xprt *xp = fits ? new (std::nothrow) xprt{} : nullptr;
    // The 4 bytes in front of the message area take a TCP record mark; a
    // connection's area for calls sent ahead follows in the same allocation.
    uint32_t area = size + 512 + 4;
    uint32_t areas = protocol == RPC_TCP ? 2 : 1;
    uint8_t *buffer = xp && size > 0 ? new (std::nothrow) uint8_t[size_t(area) * areas] : nullptr;
    if (!xp || (size > 0 && !buffer)) {
        delete xp;
        log_printf(LOG_EVENT, "xprt_create: out of memory\n");
        return nullptr;
    }
    xp->sock = sock;
    xp->port = port;
    xp->protocol = protocol;
    xp->peer_len = sizeof(sockaddr_in);
    if (buffer) {
        xp->buffer = buffer;
        xp->size = size + 512;
        xp->msg = buffer + 4;
        if (areas == 2) xp->ahead = buffer + area;
    }
    return xp;
}

void xprt_free(xprt *xp) {
    if (!xp) return;
    delete[] xp->buffer;
    delete xp;
}

xprt *xprt_create_sibling(const xprt *first) {
    xprt *xp = new (std::nothrow) xprt{};
    uint8_t *buffer = xp ? new (std::nothrow) uint8_t[size_t(first->size) + 4] : nullptr;
    if (!buffer) {
        delete xp;
        log_printf(LOG_EVENT, "xprt_create: out of memory\n");
        return nullptr;
    }
    *xp = *first;
    xp->next = nullptr;
    xp->buffer = buffer;
    xp->msg = buffer + 4;
    xp->pipe = nullptr;
    // The ahead area lies in first's allocation; xprt_free leaves it alone.
    return xp;
}
